#include "engine/places/RunTarget.h"

#include "engine/Settings.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "engine/run/CopyNaming.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTargetInsideSource = "备份文件的目的地址不能位于源地址之内！";

fs::path followed(FileOps& files, const fs::path& p) {
    if (files.stat(p, true)) {
        if (auto real = files.resolveLinks(p)) {
            return *real;
        }
    }
    return p;
}

// Whether the target lies in the source or is it: as written, and with links resolved for
// the parts that exist.
bool liesInside(FileOps& files, const fs::path& target, const fs::path& source) {
    if (isWithin(target, source)) {
        return true;
    }
    const auto realTarget = files.resolveLinks(target);
    const auto realSource = files.resolveLinks(source);
    if (realTarget && realSource && isWithin(*realTarget, *realSource)) {
        return true;
    }
    // Bind mounts and other aliases: the source is one of the target's existing ancestors.
    const auto sourceId = files.fileId(source);
    if (!sourceId) {
        return false;
    }
    for (auto p = target.parent_path(); !p.empty(); p = p.parent_path()) {
        if (files.fileId(p) == sourceId) {
            return true;
        }
        if (p == p.root_path() || p.parent_path() == p) {
            break;
        }
    }
    return false;
}

}  // namespace

ResolvedRun resolveRun(const Workspace& ws, const TBackupSettings& settings, LocalTime when) {
    ResolvedRun run;
    if (settings.SourcePath.empty()) {
        run.refusal = Refusal{RefusalReason::NoSource, std::string(kNoSourceMessage)};
        return run;
    }
    if (settings.TargetFolder.empty()) {
        run.refusal = Refusal{RefusalReason::NoTarget, std::string(kNoTargetMessage)};
        return run;
    }
    RunTarget& t = run.target;
    t.started = when;
    t.sourceText = settings.SourcePath;
    t.places = placesOf(ws, settings);
    // A source that is a link (a folder moved to another disk) means the folder it names.
    t.source = followed(ws.files, resolveInWorkDir(ws.dir, settings.SourcePath));
    t.targetText = makeTargetPath(settings.SourcePath, settings.TargetFolder, when);
    t.target = resolveInWorkDir(ws.dir, t.targetText).lexically_normal();
    t.stem = copyStem(settings.SourcePath);
    t.dateDigits = dateDigits(when);
    t.date = dateText(when);
    t.day = std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(when)};
    t.retention = retentionOf(settings);
    t.exclusions = Exclusions(settings.ExcludeRules);
    if (liesInside(ws.files, t.target, t.source)) {
        run.refusal = Refusal{RefusalReason::TargetInsideSource, std::string(kTargetInsideSource)};
    }
    return run;
}

std::string_view targetInsideSourceMessage() {
    return kTargetInsideSource;
}

bool targetInsideSource(const Workspace& ws, const TBackupSettings& settings) {
    const ResolvedRun run = resolveRun(ws, settings, ws.clock.now());
    return run.refusal && run.refusal->reason == RefusalReason::TargetInsideSource;
}

bool checkTargetOutsideSource(Workspace& ws, const TBackupSettings& settings) {
    if (settings.SourcePath.empty() || settings.TargetFolder.empty() ||
        !targetInsideSource(ws, settings)) {
        return true;
    }
    ws.ui.showMessage(targetInsideSourceMessage());
    return false;
}

}  // namespace vantrel
