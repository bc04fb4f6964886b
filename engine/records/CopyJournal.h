#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records/BackupRecordStore.h"
#include "engine/records/FailedEntryCodec.h"
#include "engine/records/RunHistory.h"
#include "platform/FileOps.h"

namespace vantrel {

// A replacement of a dated path under way: written before the staged copy takes the dated
// name and removed in the transaction that records it, so the next run can finish or undo
// a run that died in between. Paths are absolute (UTF-8).
struct JournalEntry {
    std::int64_t id = 0;
    std::string targetText;  // TargetPath as it is recorded
    std::string target;
    std::string staging;
    std::string aside;
    FileId newCopy;  // identity of the staged copy's top folder or file
    std::string logLine;
    std::uint64_t logOffset = 0;  // the log's size before the line was appended
    std::string date;             // "yyyy-mm-dd"
    std::vector<FailedEntry> failed;
    std::string rules;   // the exclusion rules the copy was made with
    std::string source;  // the source it was made from (absolute)
    // Written with the row: the copy's manifest (encoded; empty for none; held by the caller
    // while the entry is added, and never read back into an entry: the row's transaction
    // takes it from the journal's table) and the history row of the run as its copy ends it
    // (none in entries of earlier versions).
    std::string_view manifest;
    std::optional<RunRecord> run;
};

// The rows one commit wrote.
struct Committed {
    std::int64_t recordId = 0;   // the copy's row
    std::int64_t historyId = 0;  // the run's history row; 0 when the entry had none
};

// The journal of replacements, in table `vantrel_journal` beside the rows it leads to; the
// journal's tables are written here only, a commit's row, manifest and history row through
// their stores' views in the journal's transaction. Errors are BackupError naming the
// database.
class CopyJournal {
public:
    explicit CopyJournal(RecordDatabase& records) : m_records(records) {}

    // Writes the entry; returns its id.
    std::int64_t add(const JournalEntry& entry);
    // Every entry, oldest first.
    std::vector<JournalEntry> entries();
    void drop(std::int64_t id);
    // In one transaction: adds the entry's row, its manifest and its run's history row, and
    // removes the entry.
    Committed commit(const JournalEntry& entry);

private:
    RecordDatabase& m_records;
};

}  // namespace vantrel
