#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/Workspace.h"
#include "platform/FilePlacer.h"

namespace vantrel {

// What to bring back, from which copy, and where to.
struct RestoreRequest {
    // Files or folders: absolute, or relative to the source; "." the whole source.
    std::vector<std::string> paths;
    // The copy of this date ("yyyymmdd"); empty: for each path the newest complete copy that
    // holds it (an incomplete one only when no complete copy does).
    std::string fromDate;
    // The copy of this row, as the restore window picks it; it wins over fromDate.
    std::optional<std::int64_t> fromCopy;
    // A folder to restore under, keeping each path relative to the source (relative to the
    // working directory); empty: each to its original place.
    std::string to;
    // A destination file that differs is replaced instead of kept beside the restored one.
    bool overwrite = false;
};

// Files placed so far, and of how many.
struct RestoreProgress {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t totalFiles = 0;
    std::uint64_t totalBytes = 0;
};

struct RestoreControl {
    // Set from another thread to stop: what is placed stays, nothing half-written does.
    const std::atomic<bool>* cancel = nullptr;
    // Called as files are placed; with it the entries are counted first.
    std::function<void(const RestoreProgress&)> progress;
};

// A destination entry that differed and was kept; the restored one lies beside it.
struct KeptBeside {
    std::string existing;  // the file kept (UTF-8)
    std::string restored;  // where the restored one was written
};

// What a restore did.
struct RestoreOutcome {
    std::vector<std::string> sources;  // one line per path: which copy it came from
    std::uint64_t restored = 0;        // files and links written
    std::uint64_t identical = 0;       // already there and the same: left alone
    std::vector<KeptBeside> besides;
    // Folders whose name something else held (a file, a link): kept; the restored folder and
    // what it holds went beside it.
    std::vector<KeptBeside> foldersBeside;
    std::vector<FailedEntry> failed;  // each entry that could not be restored, and why
    bool cancelled = false;

    // 0 when all were restored, 3 when some failed, 1 when nothing could be.
    int exitStatus() const;
    // "恢复完毕：已恢复 N 个文件，M 个文件已相同，K 个文件另存为新名称，F 项未能恢复".
    std::string summary() const;
};

// Refuses a restore while a backup or another restore of the job runs.
inline constexpr std::string_view kRestoreBusy = "备份或另一个恢复正在进行中，请在它结束后再恢复！";

// Brings each path back from a copy. Files are written under a temporary name beside their
// place, flushed to disk, then renamed into place with the copy's time and permission bits:
// always new files, never links to the copy. A destination file that is the same is left
// alone; one that differs is kept and the restored file written beside it as
// "<stem> (恢复 yyyymmdd)<ext>", unless `overwrite`. Missing folders are made. Nothing else
// is changed, and nothing is ever written into a copy. Throws RequestRefused (naming it) for
// a path outside the source, and for a destination inside a copy or, for `to`, inside the
// target folder; BackupError(kRestoreBusy) while a backup or a restore of the job runs. It
// holds the job's lock meanwhile: a backup started then is refused as busy.
RestoreOutcome restoreFiles(const Workspace& ws, const TBackupSettings& settings,
                            const RestoreRequest& request, FilePlacer& placer,
                            const RestoreControl& control = {});

// Whether `name` is one a restore writes under before renaming into place,
// ".vantrel-<16 hex digits>.tmp": what a killed restore leaves, never to be backed up.
bool isRestoreTempName(std::string_view name);
// `exclude`, and besides it every entry so named: what a backup leaves out.
ExcludeFn leavingOutRestoreTemps(ExcludeFn exclude);

// "已保留“<existing>”，恢复的文件另存为“<restored>”".
std::string keptBesideText(const KeptBeside& kept);
// "未能恢复“<path>”：<reason>".
std::string notRestoredText(const FailedEntry& failed);

// "<stem> (恢复 yyyymmdd)<ext>" for the file name `name`; the counter, from 2, tells further
// ones apart: "<stem> (恢复 yyyymmdd 2)<ext>". A name without extension (or one that starts
// with its only dot) gets the suffix at its end. The stem is shortened (never inside a
// character) so that the name is at most 255 bytes long.
std::string besideName(const std::string& name, std::string_view dateDigits, int counter = 1);

}  // namespace vantrel
