#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "engine/manifest/ManifestCheck.h"
#include "engine/run/Workspace.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace vantrel {

// The last check of a copy against its manifest.
struct CopyCheck {
    LocalTime when{};
    bool intact = false;
    // Whether the contents were compared too: a copy recorded without hashes is checked for
    // everything else only.
    bool contentsChecked = true;
};

// Keeps the outcome of checking the copy of row `recordId`, in table vantrel_copy_check of
// the record database (made when missing). Throws BackupError naming the file.
void recordCheck(const std::filesystem::path& dbFile, std::int64_t recordId, LocalTime when,
                 bool intact, bool contentsChecked = true);
// The last check of each copy, by row; empty without a database or checks. Reads only.
std::map<std::int64_t, CopyCheck> copyChecks(FileOps& files, const std::filesystem::path& dbFile);

// One entry of the job's log of checks: a full check of a copy, or a restore drill.
struct CheckEntry {
    enum class Kind { Verify, Drill };

    LocalTime when{};
    std::int64_t recordId = 0;
    std::string copy;  // the copy's name as recorded
    Kind kind = Kind::Verify;
    bool passed = false;
    std::string found;  // what was wrong, in short; empty when it passed
};

class RecordDatabase;

// Appends `entry` to the log (made when missing). Throws BackupError naming the file.
void logCheck(RecordDatabase& records, const CheckEntry& entry);
// The newest entry of `kind`; none before the first. Reads only.
std::optional<CheckEntry> lastCheck(RecordDatabase& records, CheckEntry::Kind kind);
// The newest entry of `kind` of the copy of row `recordId`.
std::optional<CheckEntry> lastCheckOf(RecordDatabase& records, std::int64_t recordId,
                                      CheckEntry::Kind kind);
// Copies still recorded whose newest check or drill failed, by name, newest first.
std::vector<std::string> copiesFoundDamaged(RecordDatabase& records);

// "上次校验：yyyy-mm-dd（完好）", or what it found; "上次校验：从未校验" before the first.
std::string lastCheckLine(const std::optional<CheckEntry>& last);
// "缺少 N 项，改动 N 项，多出 N 项" without the counts that are 0; empty when intact.
std::string foundText(const ManifestDiff& diff);

// Checks the newest copy of the date `yyyymmdd` (the newest of all when empty) in full and
// records the outcome, for the restore window and in the log: what `vantrel-cli verify`, the
// window and the timetable's checks all call. Throws BackupError as verifyCopy does.
VerifyResult checkAndRecord(const Workspace& ws, std::string_view yyyymmdd);
// The same for the copy of row `recordId`.
VerifyResult checkAndRecordCopy(const Workspace& ws, std::int64_t recordId);

}  // namespace vantrel
