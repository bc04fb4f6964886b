#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Database.h"
#include "platform/FileOps.h"

namespace vantrel {

// One entry a copy left out, with the OS's reason, as kept with the copy (UTF-8).
struct FailedEntry {
    std::string path;
    std::string reason;

    friend bool operator==(const FailedEntry&, const FailedEntry&) = default;
};

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
    bool complete() const { return failed.empty(); }
};

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
};

// Where pruning may delete on disk: directly in the current target folder, under the
// current source's name followed by "_" and eight digits.
struct PruneScope {
    std::filesystem::path targetFolder;  // absolute
    std::string copyStem;                // the source's last component (UTF-8)
};

// The rows of copies made, in table `wenjianming` of the SQLite file "wenjianming.mdb",
// each copy's completeness in a table of its own, the journal of replacements under way,
// and the pruning of old copies.
class BackupRecordStore {
public:
    // Creates the database with its table when no file of that name exists. Returns true
    // when it created one. Throws BackupError naming the file when it cannot.
    static bool CreateIfMissing(const std::filesystem::path& dbFile);

    // Opens an existing database. Throws BackupError naming the file when it is missing or
    // is not an SQLite database; such a file is never written.
    explicit BackupRecordStore(const std::filesystem::path& dbFile);

    // Throws BackupError naming the file when a write transaction cannot be started.
    void checkWritable();

    // Adds the row and, for an incomplete copy, its list of failed entries. Returns its id.
    std::int64_t Add(std::string_view targetPath, std::chrono::year_month_day date,
                     const std::vector<FailedEntry>& failed = {});

    // Whether a row names the place `path` (resolved from the working directory).
    bool namesPlace(const std::filesystem::path& path);

    std::int64_t addJournal(const JournalEntry& entry);
    std::vector<JournalEntry> journal();
    void dropJournal(std::int64_t id);
    // In one transaction: adds the entry's row and removes the entry. Returns the row's id.
    std::int64_t commitJournal(const JournalEntry& entry);

    // Keeps the newest ceil(keepValue) complete copies and every copy newer than the oldest
    // of them; with fewer complete copies than that, every complete copy and as many of the
    // newest incomplete ones. Does nothing when keepValue is absent or below 1. An older row
    // for a place a newer row names is dropped without touching the disk. A copy is deleted
    // on disk only within `scope`, shaped "..._yyyymmdd", and never while a kept row names
    // it; a copy that cannot be deleted keeps its row and is returned, and pruning goes on.
    // Rows older than `holdBefore` are all kept (the guard against mass changes holds them).
    std::vector<PruneFailure> PruneBackups(std::optional<double> keepValue, FileOps& files,
                                           const PruneScope& scope,
                                           std::optional<std::int64_t> holdBefore = std::nullopt);

    // Every row, newest first.
    std::vector<BackupRecord> List();

    const std::filesystem::path& file() const { return m_file; }

private:
    void ensureTables();
    void deleteRow(std::int64_t id);
    std::int64_t insertRow(std::string_view targetPath, std::string_view date,
                           const std::vector<FailedEntry>& failed);

    std::filesystem::path m_file;
    Database m_db;
    bool m_hasStateTables = false;
};

}  // namespace vantrel
