#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupError.h"

#include "engine/BackupSettings.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/places/RunTarget.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/RunHistory.h"
#include "engine/run/CopyNaming.h"
#include "engine/run/Workspace.h"
#include "platform/Clock.h"
#include "platform/Volumes.h"

namespace vantrel {

enum class PruneAfterRun { No, IfKeepCountSet };

// How a caller steers a run under way.
struct RunControl {
    // Set from another thread (or a signal handler) to cancel the copy; the run then throws
    // BackupCancelled (engine/BackupError.h) and leaves nothing behind.
    const std::atomic<bool>* cancel = nullptr;
    // The source as counted just before the run; the space check then needs no walk of its
    // own.
    const TreeSize* counted = nullptr;
    // Called once the run holds its locks and has passed its checks, just before it plans the
    // copy: where the caller counts the source, so that a refused run never waits for a count.
    // Returns the count, or none when the source could not be counted.
    std::function<std::optional<TreeSize>(const RunTarget& run)> countSource = {};
    // The run's history row (its start, trigger and fire instant): written as running once
    // the run holds its lock, and again with the copy's row, so that a run killed at any point
    // after its start leaves one; its id is set once it is written. Null: the caller keeps no
    // history.
    RunRecord* history = nullptr;
    // Where the target's volume is looked up (engine/places/TargetMark.h); null: the system's.
    Volumes* volumes = nullptr;
    // The record database of the run's caller, made when missing; null: the run opens one.
    RecordDatabase* records = nullptr;
    // Why the copy was cancelled, when not by the user: the cancelled run's history row keeps
    // this text (a literal; set before `cancel`, also from a signal handler).
    const std::atomic<const char*>* cancelReason = nullptr;
};

// Why a run was cancelled when the system shuts down or the user logs off.
inline constexpr const char* kCancelledBySessionEnd = "已取消：系统关机或注销";
static_assert(std::atomic<const char*>::is_always_lock_free, "set from a signal handler");

// What a run did.
struct RunReport {
    bool ran = false;                   // false: refused before copying, its message already shown
    std::optional<Refusal> refusal;     // why, when it was refused
    std::string targetPath;             // TargetPath of the copy, as recorded (UTF-8)
    std::vector<SkippedEntry> skipped;  // entries that could not be copied: the copy is incomplete
    // Of those, the ones carried over from the day's earlier copy that this one replaced.
    std::vector<std::filesystem::path> carried;
    std::vector<PruneFailure> pruneFailures;
    CopyProgress copied;                    // files and bytes placed in the copy
    std::uint64_t shared = 0;               // unchanged files linked from the previous copy
    std::uint64_t shareFallbacks = 0;       // of those, links that failed and were copied instead
    bool sharingUnsupported = false;        // sharing was on, but the target holds no hard links
    std::chrono::milliseconds duration{0};  // from the start until the copy was in place
    std::int64_t recordId = 0;              // the copy's row
    std::optional<ChangeCounts> changes;    // what the copy changed against the previous one
    // The guard's warning when the copy changed so much that pruning is held back.
    std::optional<std::string> massChange;
    // The warning when the copy holds no file because the source holds none.
    std::optional<std::string> emptySource;

    bool incomplete() const { return !skipped.empty(); }
    // Done, but with something the user should look at.
    bool hasWarning() const {
        return incomplete() || !pruneFailures.empty() || massChange || emptySource;
    }
};

// Makes one dated copy of the source in the target folder, logs it and records it; then,
// when asked and a keep count is set, prunes old copies. A refused run (empty source or
// target, target inside the source) shows its message and returns a report with `ran` false
// and the refusal. Another run holding the lock throws BackupBusy; a cancel throws
// BackupCancelled; any other failure throws BackupError with the user-facing text, the
// status then reading "文件备份失败！" when the copy itself failed.
RunReport RunBackup(Workspace& ws, const TBackupSettings& settings,
                    PruneAfterRun prune = PruneAfterRun::No, const RunControl& control = {});

// Why the run could not copy `entry`, one of its skipped entries: the system's reason, and
// "；已保留今天较早备份中的版本" when the entry was carried over.
std::string skippedReason(const RunReport& report, const SkippedEntry& entry);
// A finished run: "文件备份完毕！用时 5 秒，12 个文件，3.4 MB"; an incomplete copy begins
// "文件备份完毕，但有 N 项未能复制！" instead.
std::string finishedText(const RunReport& report);

}  // namespace vantrel
