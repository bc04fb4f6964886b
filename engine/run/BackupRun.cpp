#include "engine/run/BackupRun.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "engine/places/TargetMark.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"
#include "engine/rules/ChangeGuard.h"
#include "engine/run/CopyNaming.h"
#include "engine/run/CopyPlan.h"
#include "engine/run/CopySlot.h"
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
    // A path outside the source is one the copy wrote.
    const auto inSource = path.lexically_relative(fallback);
    const bool written = inSource.empty() || *inSource.begin() == "..";
    throw BackupError(
        std::string(kCopyFailed) + "“" + pathToUtf8(path) + "”：" +
        (written ? describeWriteError(path, result.error) : describeError(result.error)));
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

// Copies each entry the run could not read (`skipped`, source paths) from the copy it
// replaces at `replaced` into the staged copy, where that copy holds it and the staged copy
// does not; each goes into the manifest through `record`. Returns the entries carried over.
std::vector<fs::path> carryOver(FileOps& files, const fs::path& source, const fs::path& replaced,
                                const fs::path& staging, const std::vector<SkippedEntry>& skipped,
                                const std::function<void(const CopiedEntry&)>& record) {
    std::vector<fs::path> carried;
    // Folders before what they hold: an entry inside one carried over is carried with it.
    std::vector<const SkippedEntry*> order;
    for (const auto& entry : skipped) {
        order.push_back(&entry);
    }
    std::sort(order.begin(), order.end(),
              [](const SkippedEntry* a, const SkippedEntry* b) { return a->path < b->path; });
    for (const SkippedEntry* entry : order) {
        const fs::path relative = entry->path.lexically_relative(source);
        if (relative.empty() || relative == "." || *relative.begin() == "..") {
            continue;
        }
        const fs::path from = replaced / relative;
        const fs::path to = staging / relative;
        if (!files.stat(from, false) || files.stat(to, false)) {
            continue;
        }
        CopyOptions options;
        options.skipFailedEntries = true;
        if (record) {
            // Placed below the copy's top; what the source holds there now was never read.
            options.onEntry = [&record, &relative](const CopiedEntry& e) {
                CopiedEntry placed = e;
                const fs::path at = e.relative.empty() ? relative : relative / e.relative;
                placed.relative = at;
                placed.source = nullptr;
                record(placed);
            };
        }
        // What could not be carried stays listed as not copied, without the note.
        if (const auto result = files.copyTree(from, to, options, {});
            result.ok() && result.skipped.empty()) {
            carried.push_back(entry->path);
        }
    }
    return carried;
}

// The path of the pinned copy at `target`, when this job's records pin the copy there.
std::optional<std::string> pinnedCopyAt(FileOps& files, BackupRecordStore& store,
                                        const fs::path& target, const fs::path& workDir) {
    if (!files.stat(target, false)) {
        return std::nullopt;
    }
    const Place wanted = placeOf(files, target);
    for (const auto& row : store.list()) {
        if (row.pinned && samePlace(placeOf(files, row.place(workDir)), wanted)) {
            return row.path;
        }
    }
    return std::nullopt;
}

}  // namespace

RunReport RunBackup(Workspace& ws, const TBackupSettings& settings, PruneAfterRun prune,
                    const RunControl& control) {
    BackupUi& ui = ws.ui;
    RunReport report;
    ResolvedRun resolved = resolveRun(ws, settings, ws.clock.now());
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
    std::unique_ptr<RecordDatabase> opened;
    RecordDatabase& records =
        control.records != nullptr ? *control.records : *(opened = openOrMakeRecords(ws));
    BackupRecordStore store(records);
    store.checkWritable();
    OperationLog(ws.logFile()).checkWritable();

    // Nothing is made in a target folder that is not the job's own (a disk not connected).
    const fs::path folder = claimTarget(ws, store, run.places, run.targetFolder(),
                                        control.volumes ? *control.volumes : systemVolumes());
    if (pathKey(folder) != pathKey(run.targetFolder())) {
        // The marked disk is mounted elsewhere now (another drive letter).
        TBackupSettings moved = settings;
        moved.TargetFolder = pathToUtf8(folder);
        resolved = resolveRun(ws, moved, run.started);
        if (resolved.refusal) {
            ui.showMessage(resolved.refusal->text);
            report.refusal = resolved.refusal;
            return report;
        }
    }

    // The run's row is there from now on: a run killed before it ends still leaves one, which
    // the next run (holding this lock) marks interrupted.
    std::optional<RunHistory> history;
    if (control.history != nullptr) {
        history.emplace(records);
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

    // A copy kept for good is never changed, so a second run of its day does not replace it.
    if (const auto pinned = pinnedCopyAt(ws.files, store, target, ws.dir)) {
        throw BackupError(
            "备份“" + *pinned +
            "”已永久保留，今天再次备份会替换它，本次未备份！如需再次备份，请先取消它的"
            "永久保留。");
    }
    // Rules that leave every file out would make an empty copy, and pruning would then
    // delete the copies that hold the files.
    if (const auto rules = rulesLeavingNothing(ws.files, source, run.exclusions)) {
        report.refusal =
            Refusal{RefusalReason::Settings, rulesLeaveNothingMessage(*rules, run.sourceText)};
        ui.showMessage(report.refusal->text);
        return report;
    }

    // While the guard against mass changes holds, no copy older than its run's is pruned.
    std::optional<ChangeHold> hold = ChangeGuard(records).active();
    CopyPlan plan(ws, records, settings, run, prune == PruneAfterRun::IfKeepCountSet,
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
        // A disk or network place gone during the copy is a target not connected.
        if (copied.failedPath.empty() || isWithin(copied.failedPath, run.targetFolder())) {
            throwIfNotConnected(run.targetFolder(), copied.error);
        }
        failCopy(ui, copied, source);
    }

    // A second run of the day replaces the day's copy: what it could not read now is carried
    // over from that copy, so the replacement never holds less than the copy it replaces.
    std::vector<fs::path> carried;
    if (!copied.skipped.empty() && ws.files.stat(target, false)) {
        carried =
            carryOver(ws.files, source, target, slot.staging(), copied.skipped, options.onEntry);
    }
    report.carried = std::move(carried);
    std::vector<FailedEntry> failed;
    for (const auto& entry : copied.skipped) {
        failed.push_back({pathToUtf8(entry.path), skippedReason(report, entry)});
    }
    const auto line =
        OperationLog::composeLine(ws.clock.now(), run.sourceText, run.targetText, failed.size());
    std::optional<RunRecord> historyRow;
    if (control.history != nullptr) {
        // As the run ends here; the caller rewrites it once the run has ended.
        historyRow = *control.history;
        historyRow->ended = ws.clock.now();
        historyRow->outcome = failed.empty() ? RunOutcome::Success : RunOutcome::Incomplete;
        historyRow->message =
            failed.empty() ? std::string() : notCopiedText(failed.size(), report.carried.size());
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
    // A source without a single file is worth a word even where no earlier copy says it
    // should hold some (a first run, a folder picked wrongly).
    if (copied.done.files == 0 && copied.skipped.empty()) {
        if (const auto st = ws.files.stat(source, true); st && st->type == EntryType::Folder) {
            report.emptySource = "备份文件源地址“" + run.sourceText +
                                 "”中没有任何文件，本次备份是空的，请确认源地址是否正确！";
        }
    }

    // What the copy changed; a mass change holds pruning back until the user confirms it.
    bool mayPrune = true;
    try {
        const CopyChanges changes = measureNewCopy(ws, settings, target, plan.newManifest());
        report.changes = changes.sincePrevious;
        if (settings.GuardMassChanges && changes.sinceComplete &&
            isMassChange(*changes.sinceComplete)) {
            const ChangeCounts& c = *changes.sinceComplete;
            report.massChange = massChangeWarning(c);
            const ChangeHold held{report.recordId, run.started, c.filesModified + c.filesDeleted,
                                  c.filesBefore};
            ChangeGuard(records).hold(held);
            hold = hold ? hold : held;
        }
    } catch (const BackupError& e) {
        // Without the counts the guard cannot judge: nothing is pruned this time.
        mayPrune = false;
        ui.showMessage(std::string("未能统计本次备份的变化，本次不清理旧备份：") + e.what());
    }
    plan.releaseManifests();

    ui.setStatus(finishedText(report));
    if (report.emptySource) {
        ui.showMessage(*report.emptySource);
    }
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

std::string skippedReason(const RunReport& report, const SkippedEntry& entry) {
    std::string reason = describeNotCopied(entry.path, entry.error);
    if (std::find(report.carried.begin(), report.carried.end(), entry.path) !=
        report.carried.end()) {
        reason += "；" + std::string(kCarriedOver);
    }
    return reason;
}

std::string finishedText(const RunReport& report) {
    // An incomplete copy keeps saying so; the figures follow either way.
    const std::string head =
        report.incomplete() ? "文件备份完毕，但有 " +
                                  notCopiedText(report.skipped.size(), report.carried.size()) + "！"
                            : std::string("文件备份完毕！");
    return head + "用时 " + durationText(report.duration) + "，" +
           std::to_string(report.copied.files) + " 个文件，" + sizeText(report.copied.bytes);
}

}  // namespace vantrel
