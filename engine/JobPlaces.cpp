#include "engine/JobPlaces.h"

#include "engine/CopyNaming.h"
#include "engine/CopySlot.h"
#include "engine/TextRules.h"
#include "platform/FileOpsCommon.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

std::string JobPlaces::recordedSource() const {
    return pathToUtf8(source);
}

bool sameSource(FileOps& files, std::string_view recorded, const fs::path& source) {
    const fs::path was = pathFromUtf8(recorded);
    if (pathKey(was) == pathKey(source)) {
        return true;
    }
    // Either may be reached through a link, or be one.
    const auto realWas = files.resolveLinks(was);
    const auto realNow = files.resolveLinks(source);
    return realWas && realNow && pathKey(*realWas) == pathKey(*realNow);
}

bool recordInScope(FileOps& files, const BackupRecord& record, const fs::path& place,
                   const PruneScope& scope) {
    return inPruneScope(files, place, scope) && (scope.source.empty() || record.source.empty() ||
                                                 sameSource(files, record.source, scope.source));
}

bool JobPlaces::madeFrom(FileOps& files, const BackupRecord& record) const {
    if (record.source.empty()) {
        return isCopyOf(pathToUtf8(pathFromUtf8(record.path).filename()), stem);
    }
    return sameSource(files, record.source, source);
}

JobPlaces placesOf(const Workspace& ws, const TBackupSettings& settings) {
    JobPlaces p;
    p.sourceText = settings.SourcePath;
    const std::string_view written = withoutTrailingSeparators(settings.SourcePath);
    p.source =
        detail::withoutTrailingSeparator(resolveInWorkDir(ws.dir, written).lexically_normal());
    p.realSource = p.source;
    if (ws.files.stat(p.source, true)) {
        p.realSource = ws.files.resolveLinks(p.source).value_or(p.source);
    }
    p.stem = copyStem(settings.SourcePath);
    p.key = CopySlot::jobKey(ws.files, ws.dir);
    return p;
}

}  // namespace vantrel
