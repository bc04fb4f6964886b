#include "engine/BackupRun.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/ChangeGuard.h"
#include "engine/CopyNaming.h"
#include "engine/CopyPlan.h"
#include "engine/CopySlot.h"
#include "engine/OperationLog.h"
#include "engine/Settings.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "platform/ErrorText.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTargetInsideSource = "备份文件的目的地址不能位于源地址之内！";
constexpr std::string_view kBusy = "另一个备份正在进行中，请稍后再试！";
constexpr std::string_view kCopyFailed = "文件备份失败！";

// Whether the target lies in the source or is it: as written, and with links resolved for
// the parts that exist.
bool targetInsideSource(const fs::path& target, const fs::path& source) {
    if (isWithin(target, source)) {
        return true;
    }
    std::error_code ec1, ec2;
    const auto realTarget = fs::weakly_canonical(target, ec1);
    const auto realSource = fs::weakly_canonical(source, ec2);
    if (!ec1 && !ec2 && isWithin(realTarget, realSource)) {
        return true;
    }
    // Bind mounts and other aliases: the source is one of the target's existing ancestors.
    const auto sourceId = fileIdOf(source);
    if (!sourceId) {
        return false;
    }
    for (auto p = target.parent_path(); !p.empty(); p = p.parent_path()) {
        if (fileIdOf(p) == sourceId) {
            return true;
        }
        if (p == p.root_path() || p.parent_path() == p) {
            break;
        }
    }
    return false;
}

[[noreturn]] void failCopy(BackupUi& ui, const FileOpResult& result, const fs::path& fallback) {
    ui.setStatus(kCopyFailed);
    const auto& path = result.failedPath.empty() ? fallback : result.failedPath;
    throw BackupError(std::string(kCopyFailed) + "“" + pathToUtf8(path) + "”：" +
                      describeError(result.error));
}

bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

fs::path followed(const fs::path& p) {
    std::error_code ec;
    auto real = fs::canonical(p, ec);
    return ec ? p : real;
}

bool isEmptyFolder(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec) && fs::is_empty(p, ec) && !ec;
}

// Whether this job's newest copy still on disk is a folder holding something.
bool newestCopyHoldsFiles(BackupRecordStore& store, const fs::path& workDir) {
    for (const auto& row : store.List()) {
        const auto place = resolveInWorkDir(workDir, row.path);
        std::error_code ec;
        if (fs::is_directory(place, ec)) {
            return !fs::is_empty(place, ec);
        }
    }
    return false;
}

}  // namespace

RunReport RunBackup(Workspace& ws, const TBackupSettings& settings, PruneAfterRun prune,
                    const RunControl& control) {
    BackupUi& ui = ws.ui;
    RunReport report;
    if (settings.SourcePath.empty()) {
        ui.showMessage(kNoSourceMessage);
        return report;
    }
    if (settings.TargetFolder.empty()) {
        ui.showMessage(kNoTargetMessage);
        return report;
    }

    const LocalTime started = ws.clock.now();
    const std::string targetText =
        MakeTargetPath(settings.SourcePath, settings.TargetFolder, started);
    // A source that is a link (a folder moved to another disk) means the folder it names.
    const fs::path source = followed(resolveInWorkDir(ws.dir, settings.SourcePath));
    const fs::path target = resolveInWorkDir(ws.dir, targetText).lexically_normal();
    // Copying a folder into itself would never end, and each copy would hold the earlier ones.
    if (targetInsideSource(target, source)) {
        ui.showMessage(kTargetInsideSource);
        return report;
    }

    // One run at a time per working directory, from the copy to the end of the prune.
    std::optional<RunLock> lock;
    try {
        lock = RunLock::tryAcquire(ws.lockFile());
    } catch (const std::system_error& e) {
        throw BackupError("无法打开文件“" + pathToUtf8(ws.lockFile()) + "”：" +
                          describeError(e.code()));
    }
    if (!lock) {
        throw BackupError(std::string(kBusy));
    }

    // The record file and the log are tried before the copy, so one that cannot be written
    // refuses the run instead of leaving a copy that no row or line names.
    BackupRecordStore::CreateIfMissing(ws.databaseFile());
    BackupRecordStore store(ws.databaseFile());
    store.checkWritable();
    OperationLog(ws.logFile()).checkWritable();

    const std::string date = dateDigits(started);
    CopySlot slot(ws, store, target, targetText, date);
    slot.recover();

    // The dated path is replaced only when it is this job's own copy.
    if (pathExists(target) && !store.namesPlace(target)) {
        throw BackupError("备份目的地址“" + pathToUtf8(target) +
                          "”已存在，但不是本备份任务的备份；它未被改动，本次未备份！");
    }
    // An empty source where the last copy holds files is most likely a disk not connected.
    if (isEmptyFolder(source) && newestCopyHoldsFiles(store, ws.dir)) {
        throw BackupError("备份文件源地址“" + settings.SourcePath +
                          "”是空文件夹（也许磁盘未连接），本次未备份！");
    }

    // While the guard against mass changes holds, no copy older than its run's is pruned.
    std::optional<ChangeHold> hold = ChangeGuard(ws.databaseFile()).active();
    CopyPlan plan(ws, settings, source, target, prune == PruneAfterRun::IfKeepCountSet, probeLinks,
                  hold ? std::optional<std::int64_t>(hold->recordId) : std::nullopt);
    std::optional<TreeSize> count;
    if (control.countSource) {
        count = control.countSource();
    } else if (control.counted != nullptr) {
        count = *control.counted;
    }
    if (count) {
        plan.useCount(*count);
    }
    plan.prepare();

    ui.setStatus(kCopyingStatus);

    CopyOptions options = plan.options();
    options.skipFailedEntries = true;
    options.cancel = control.cancel;
    if (const auto id = fileIdOf(target.parent_path())) {
        options.skipFolders.push_back(*id);
    }
    auto cancelled = [&] { return control.cancel && control.cancel->load(); };
    slot.discard();
    const auto copied = ws.files.copyTree(source, slot.staging(), options,
                                          [&ui](const CopyProgress& p) { ui.showProgress(p); });
    if (cancelled() || copied.error == std::errc::operation_canceled) {
        slot.discard();
        ui.setStatus(BackupCancelled().what());
        throw BackupCancelled();
    }
    if (!copied.ok()) {
        slot.discard();
        failCopy(ui, copied, source);
    }

    std::vector<FailedEntry> failed;
    for (const auto& entry : copied.skipped) {
        failed.push_back({pathToUtf8(entry.path), describeError(entry.error)});
    }
    const auto line =
        OperationLog::composeLine(ws.clock.now(), settings.SourcePath, targetText, failed.size());
    try {
        report.recordId = slot.commit(line, dateText(started), failed);
    } catch (const BackupError&) {
        ui.setStatus(kCopyFailed);
        throw;
    }
    plan.recordManifest(targetText);

    report.ran = true;
    report.targetPath = targetText;
    report.skipped = copied.skipped;
    report.copied = copied.done;
    report.shared = copied.shared;
    report.shareFallbacks = copied.shareFallbacks;
    report.sharingUnsupported = plan.sharingUnsupported();
    report.duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(ws.clock.now() - started);

    // What the copy changed; a mass change holds pruning back until the user confirms it.
    bool mayPrune = true;
    try {
        const CopyChanges changes = measureNewCopy(ws, target, plan.newManifest(),
                                                   plan.sharedFromId(), plan.sharedFromManifest());
        report.changes = changes.sincePrevious;
        if (settings.GuardMassChanges && changes.sinceComplete &&
            isMassChange(*changes.sinceComplete)) {
            const ChangeCounts& c = *changes.sinceComplete;
            report.massChange = massChangeWarning(c);
            const ChangeHold held{report.recordId, started, c.filesModified + c.filesDeleted,
                                  c.filesBefore};
            ChangeGuard(ws.databaseFile()).hold(held);
            hold = hold ? hold : held;
        }
    } catch (const BackupError& e) {
        // Without the counts the guard cannot judge: nothing is pruned this time.
        mayPrune = false;
        ui.showMessage(std::string("未能统计本次备份的变化，本次不清理旧备份：") + e.what());
    }
    plan.releaseManifests();

    ui.setStatus(finishedText(report));
    if (report.massChange) {
        ui.showMessage(*report.massChange);
    }
    if (mayPrune && prune == PruneAfterRun::IfKeepCountSet && settings.KeepCount) {
        const PruneScope scope{target.parent_path(), copyStem(settings.SourcePath)};
        report.pruneFailures =
            store.PruneBackups(settings.KeepCount, ws.files, scope,
                               hold ? std::optional<std::int64_t>(hold->recordId) : std::nullopt);
        for (const auto& f : report.pruneFailures) {
            ui.showMessage("无法删除旧备份“" + f.path + "”：" + f.reason);
        }
    }
    return report;
}

bool TargetInsideSource(const Workspace& ws, const TBackupSettings& settings) {
    const std::string targetText =
        MakeTargetPath(settings.SourcePath, settings.TargetFolder, ws.clock.now());
    return targetInsideSource(resolveInWorkDir(ws.dir, targetText),
                              resolveInWorkDir(ws.dir, settings.SourcePath));
}

std::string_view TargetInsideSourceMessage() {
    return kTargetInsideSource;
}

bool IsBusyRefusal(const std::exception& error) {
    return error.what() == kBusy;
}

}  // namespace vantrel
