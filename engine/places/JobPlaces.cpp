#include "engine/places/JobPlaces.h"

#include <cstdint>
#include <cstdio>

#include "engine/TextRules.h"
#include "engine/run/CopyNaming.h"
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

std::string canonicalKey(FileOps& files, const fs::path& p) {
    return pathKey(files.resolveLinks(p).value_or(p.lexically_normal()));
}

std::string stableHash(std::string_view text, int digits) {
    std::uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : text) {
        h = (h ^ c) * 1099511628211ull;
    }
    char buf[17];
    std::snprintf(
        buf, sizeof buf, "%0*llx", digits,
        static_cast<unsigned long long>(h) & (digits >= 16 ? ~0ull : (1ull << (4 * digits)) - 1));
    return buf;
}

std::string jobKey(FileOps& files, const fs::path& workDir) {
    return stableHash(canonicalKey(files, workDir), 8);
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
    p.key = jobKey(ws.files, ws.dir);
    return p;
}

}  // namespace vantrel
