#include "engine/BackupRun.h"

#include <filesystem>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/ChangeGuard.h"
#include "engine/CopyNaming.h"
#include "engine/CopyPlan.h"
#include "engine/CopySlot.h"
#include "engine/OperationLog.h"
#include "engine/RunHistory.h"
#include "engine/Texts.h"
#include "platform/ErrorText.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCopyFailed = "文件备份失败！";

[[noreturn]] void failCopy(BackupUi& ui, const FileOpResult& result, const fs::path& fallback) {
    ui.setStatus(kCopyFailed);
    const auto& path = result.failedPath.empty() ? fallback : result.failedPath;
    throw BackupError(std::string(kCopyFailed) + "“" + pathToUtf8(path) + "”：" +
                      describeError(result.error));
}

// Whether this job's newest copy still on disk is a folder holding something.
bool newestCopyHoldsFiles(FileOps& files, BackupRecordStore& store, const fs::path& workDir) {
    for (const auto& row : store.list()) {
        const auto place = row.place(workDir);
        if (const auto st = files.stat(place, true); st && st->type == EntryType::Folder) {
            return !files.isEmptyFolder(place).value_or(false);
        }
    }
    return false;
}

}  // namespace

RunReport RunBackup(Workspace& ws, const TBackupSettings& settings, PruneAfterRun prune,
                    const RunControl& control) {
    BackupUi& ui = ws.ui;
    RunReport report;
    const ResolvedRun resolved = resolveRun(ws, settings, ws.clock.now());
    if (resolved.refusal) {
        ui.showMessage(resolved.refusal->text);
        report.refusal = resolved.refusal;
        return report;
    }
    const RunTarget& run = resolved.target;
    const fs::path& source = run.source;
    const fs::path& target = run.target;

    // One run at a time per working directory, from the copy to the end of the prune.
    std::optional<RunLock> lock;
    try {
        lock = RunLock::tryAcquire(ws.lockFile());
    } catch (const std::system_error& e) {
        throw BackupError("无法打开文件“" + pathToUtf8(ws.lockFile()) + "”：" +
                          describeError(e.code()));
    }
    if (!lock) {
        throw BackupBusy();
    }

    // The record file and the log are tried before the copy, so one that cannot be written
    // refuses the run instead of leaving a copy that no row or line names.
    BackupRecordStore::CreateIfMissing(ws.databaseFile());
    BackupRecordStore store(ws.databaseFile());
    store.checkWritable();
    OperationLog(ws.logFile()).checkWritable();

    // The run's row is there from now on: a run killed before it ends still leaves one, which
    // the next run (holding this lock) marks interrupted.
    std::optional<RunHistory> history;
    if (control.history != nullptr) {
        history.emplace(ws.databaseFile());
        RunRecord& row = *control.history;
        row.outcome = RunOutcome::Running;
        row.ended = row.started;
        row.id = history->add(row);
    }

    CopySlot slot(ws, store, run);
    slot.recover();
    if (history) {
        history->markInterrupted(control.history->id);
    }

    // The dated path is replaced only when it is this job's own copy.
    if (ws.files.stat(target, false) && !store.namesPlace(ws.files, target)) {
        throw BackupError("备份目的地址“" + pathToUtf8(target) +
                          "”已存在，但不是本备份任务的备份；它未被改动，本次未备份！");
    }
    // An empty source where the last copy holds files is most likely a disk not connected.
    if (ws.files.isEmptyFolder(source).value_or(false) &&
        newestCopyHoldsFiles(ws.files, store, ws.dir)) {
        throw BackupError("备份文件源地址“" + run.sourceText +
                          "”是空文件夹（也许磁盘未连接），本次未备份！");
    }

    // While the guard against mass changes holds, no copy older than its run's is pruned.
    std::optional<ChangeHold> hold = ChangeGuard(ws.databaseFile()).active();
    CopyPlan plan(ws, settings, run, prune == PruneAfterRun::IfKeepCountSet,
                  hold ? std::optional<std::int64_t>(hold->recordId) : std::nullopt);
    std::optional<TreeSize> count;
    if (control.countSource) {
        count = control.countSource(run);
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
    if (const auto id = ws.files.fileId(target.parent_path())) {
        options.skipFolders.push_back(*id);
    }
    auto cancelled = [&] { return control.cancel && control.cancel->load(); };
    slot.discard();
    const auto copied = ws.files.copyTree(source, slot.staging(), options,
                                          [&ui](const CopyProgress& p) { ui.showProgress(p); });
    if (cancelled() || copied.error == std::errc::operation_canceled) {
        slot.discard();
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
        OperationLog::composeLine(ws.clock.now(), run.sourceText, run.targetText, failed.size());
    std::optional<RunRecord> historyRow;
    if (control.history != nullptr) {
        // As the run ends here; the caller rewrites it once the run has ended.
        historyRow = *control.history;
        historyRow->ended = ws.clock.now();
        historyRow->outcome = failed.empty() ? RunOutcome::Success : RunOutcome::Incomplete;
        historyRow->message = failed.empty() ? std::string() : notCopiedText(failed.size());
        historyRow->files = copied.done.files;
        historyRow->bytes = copied.done.bytes;
        historyRow->targetPath = run.targetText;
    }
    try {
        const Committed done =
            slot.commit(line, run.date, failed, plan.takeManifest(), std::move(historyRow));
        report.recordId = done.recordId;
        if (control.history != nullptr) {
            control.history->id = done.historyId;
        }
    } catch (const BackupError&) {
        ui.setStatus(kCopyFailed);
        throw;
    }

    report.ran = true;
    report.targetPath = run.targetText;
    report.skipped = copied.skipped;
    report.copied = copied.done;
    report.shared = copied.shared;
    report.shareFallbacks = copied.shareFallbacks;
    report.sharingUnsupported = plan.sharingUnsupported();
    report.duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(ws.clock.now() - run.started);

    // What the copy changed; a mass change holds pruning back until the user confirms it.
    bool mayPrune = true;
    try {
        const CopyChanges changes = measureNewCopy(ws, target, plan.newManifest());
        report.changes = changes.sincePrevious;
        if (settings.GuardMassChanges && changes.sinceComplete &&
            isMassChange(*changes.sinceComplete)) {
            const ChangeCounts& c = *changes.sinceComplete;
            report.massChange = massChangeWarning(c);
            const ChangeHold held{report.recordId, run.started, c.filesModified + c.filesDeleted,
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
    if (mayPrune && prune == PruneAfterRun::IfKeepCountSet && run.retention) {
        report.pruneFailures =
            store.prune(*run.retention, ws.files, run.pruneScope(),
                        hold ? std::optional<std::int64_t>(hold->recordId) : std::nullopt);
        for (const auto& f : report.pruneFailures) {
            ui.showMessage("无法删除旧备份“" + f.path + "”：" + f.reason);
        }
    }
    return report;
}

bool targetInsideSource(const Workspace& ws, const TBackupSettings& settings) {
    const ResolvedRun run = resolveRun(ws, settings, ws.clock.now());
    return run.refusal && run.refusal->reason == RefusalReason::TargetInsideSource;
}

}  // namespace vantrel
