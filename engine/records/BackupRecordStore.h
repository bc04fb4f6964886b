#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records/FailedEntryCodec.h"
#include "engine/records/RecordDatabase.h"
#include "engine/rules/Retention.h"
#include "platform/FileOps.h"

namespace vantrel {

// An old copy that pruning could not delete; its row stays, so a later prune retries it.
struct PruneFailure {
    std::string path;  // UTF-8
    std::string reason;
};

struct BackupRecord {
    std::int64_t id = 0;
    std::string path;                 // TargetPath of the copy (UTF-8)
    std::string date;                 // the run's date as "yyyy-mm-dd"
    std::vector<FailedEntry> failed;  // entries the copy lacks; empty for a complete copy
    std::string rules;                // the exclusion rules it was made with; empty for none
    bool pinned = false;              // kept for good
    std::string source;               // the source it was made from; empty in earlier rows
    bool complete() const { return failed.empty(); }
    // Of the failed entries, those the copy holds in the version of the copy it replaced.
    std::size_t carriedOver() const;
    // Where the copy is: a relative path counts from the working directory `workDir`, where
    // the database lives.
    std::filesystem::path place(const std::filesystem::path& workDir) const;
};

// What pruning would do: each row with its place and verdict, newest first.
struct PruneSelection {
    std::vector<BackupRecord> rows;
    std::vector<std::filesystem::path> places;  // where each row's copy is (absolute)
    std::vector<Verdict> verdicts;
};

// The rows of copies made, in table `wenjianming` of the record database, each copy's
// completeness in a table of its own, and the pruning of old copies.
class BackupRecordStore {
public:
    // Creates the database with its table when no file of that name exists. Returns true
    // when it created one. Throws BackupError naming the file when it cannot.
    static bool CreateIfMissing(const std::filesystem::path& dbFile);

    // A view of the rows in `records`. Throws BackupError when it has no table `wenjianming`.
    explicit BackupRecordStore(RecordDatabase& records);
    // Opens an existing database of its own. Throws BackupError naming the file when it is
    // missing or is not an SQLite database; such a file is never written.
    explicit BackupRecordStore(const std::filesystem::path& dbFile);

    // Throws BackupError naming the file when a write transaction cannot be started. Makes
    // the tables a backup run writes that are missing, in one transaction.
    void checkWritable();

    // Adds the row and, for an incomplete copy, its list of failed entries, the exclusion
    // rules it was made with, and the source it was made from. Returns its id.
    std::int64_t Add(std::string_view targetPath, std::chrono::year_month_day date,
                     const std::vector<FailedEntry>& failed = {}, std::string_view rules = {},
                     std::string_view source = {});

    // Whether a row names the place `path` (resolved from the working directory).
    bool namesPlace(FileOps& files, const std::filesystem::path& path);

    // Keeps the newest ceil(keepValue) complete copies and every copy newer than the oldest
    // of them; with fewer complete copies than that, every complete copy and as many of the
    // newest incomplete ones. Does nothing when keepValue is absent or below 1. An older row
    // for a place a newer row names is dropped without touching the disk. A copy is deleted
    // on disk only within `scope`, shaped "..._yyyymmdd", and never while a kept row names
    // it; a copy that cannot be deleted keeps its row and is returned, and pruning goes on.
    // Rows older than `holdBefore`, when set, are all kept: the guard against mass changes
    // holds them.
    std::vector<PruneFailure> PruneBackups(std::optional<double> keepValue, FileOps& files,
                                           const PruneScope& scope,
                                           std::optional<std::int64_t> holdBefore = std::nullopt);
    // The same under a whole policy (engine/rules/Retention.h): monthly and yearly copies, pinned
    // and held ones are kept too.
    std::vector<PruneFailure> prune(const RetentionPolicy& policy, FileOps& files,
                                    const PruneScope& scope,
                                    std::optional<std::int64_t> holdBefore = std::nullopt);
    // What prune would do, touching nothing. `coming`, a copy about to be made and recorded on
    // `comingDate`, counts as the newest complete copy (row id 0).
    PruneSelection selectPrune(FileOps& files, const RetentionPolicy& policy,
                               const PruneScope& scope,
                               const std::optional<std::filesystem::path>& coming = std::nullopt,
                               std::optional<std::chrono::year_month_day> comingDate = std::nullopt,
                               std::optional<std::int64_t> holdBefore = std::nullopt);

    // Marks the row's copy kept for good, or no longer. A pin on a row that a later run of the
    // same day supersedes passes to that run's row when pruning drops the older one.
    void setPinned(std::int64_t id, bool pinned);

    // Every row, newest first.
    std::vector<BackupRecord> list();

    // Makes the tables a row with failed entries, rules or a source needs. Throws BackupError.
    void ensureTablesFor(bool failed, bool rules, bool source);
    // Adds the row, its state, its rules and its source, inside the caller's transaction on
    // the same database (whose tables ensureTablesFor made). Throws DatabaseError.
    std::int64_t insertRow(std::string_view targetPath, std::string_view date,
                           const std::vector<FailedEntry>& failed, std::string_view rules,
                           std::string_view source);

    const std::filesystem::path& file() const { return m_records.file(); }
    // The database it is a view of.
    RecordDatabase& records() const { return *m_records; }

private:
    void checkCopiesTable();
    // Deletes the row; a pin it held passes to `pinTo` when given.
    void deleteRow(std::int64_t id, std::optional<std::int64_t> pinTo = std::nullopt);
    // vantrel_copy_state and vantrel_journal exist
    bool hasStateTables() const { return m_records.has(RecordDatabase::Part::CopyState); }
    // vantrel_copy_rules and vantrel_journal_rules exist
    bool hasRuleTables() const { return m_records.has(RecordDatabase::Part::Rules); }
    bool hasPins() const { return m_records.has(RecordDatabase::Part::Pins); }
    // vantrel_copy_source and vantrel_journal_source exist
    bool hasSources() const { return m_records.has(RecordDatabase::Part::Sources); }

    RecordsRef m_records;
};

}  // namespace vantrel
