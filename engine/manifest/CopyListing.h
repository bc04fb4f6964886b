#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/rules/Retention.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// A recorded copy as the user is shown it.
struct ListedCopy {
    BackupRecord record;
    bool onDisk = false;  // the copy still exists where its row says
    // Made for a source or target folder the settings no longer name: never pruned.
    bool elsewhere = false;
};

// The job's copies, newest first. A row for a place a newer row also names (an earlier run of
// the same day, replaced by the later one) is left out. Reads only: a working directory
// without a record database has no copies, and none is made. With `scope`, the copies
// outside it are marked.
std::vector<ListedCopy> listCopies(const Workspace& ws, const PruneScope* scope = nullptr);

// The copies of the job `settings` describe, marked as above; every copy unmarked when the
// settings name no source or target folder.
std::vector<ListedCopy> listCopies(const Workspace& ws, const TBackupSettings& settings);

// A copy with what the next prune would do to it and why.
struct PreviewedCopy {
    BackupRecord record;
    std::string verdict;  // "保留（最近 2 个）", "保留（每月）", "将删除"...
};

// What pruning under `settings` would do to each of the job's copies as they are now, newest
// first, touching nothing; the same selection pruning makes. Rows a later run of the same day
// replaced are left out, as listCopies leaves them out. Throws BackupError with the refusal
// when the settings name no source or no target folder.
std::vector<PreviewedCopy> previewPrune(const Workspace& ws, const TBackupSettings& settings);

// Marks the job's copies of `date` ("yyyy-mm-dd") kept for good, or no longer. Returns the
// copies marked; none when the job has no copy of that date.
std::vector<BackupRecord> pinCopies(const Workspace& ws, std::string_view date, bool pinned);
// The same for the one copy of row `id`, as listCopies lists it; none when it lists no such copy.
std::optional<BackupRecord> pinCopy(const Workspace& ws, std::int64_t id, bool pinned);

}  // namespace vantrel
