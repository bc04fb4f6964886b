#pragma once

#include <bitset>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/run/Workspace.h"
#include "platform/Database.h"

namespace vantrel {

// The record database "wenjianming.mdb": one SQLite file beside the settings, whose schema
// is made here and nowhere else. A command or a run opens it once (openRecords) and its
// stores are views over that one connection, so they can share a transaction.
//
// The schema's version is kept in the file's user_version: 0 in a file of a version before
// it was kept, whatever tables it holds. The first write that finds the file older runs the
// migrations it lacks, oldest first, in one transaction with the new version; a file of a
// newer version is read and written as it is, never set back.
//
// Tables, in the order they came: `wenjianming` (one row per copy, as the first versions
// made it), `vantrel_copy_state` (what an incomplete copy lacks) and `vantrel_journal`
// (replacements under way), `run_history`, and the manifests: the old per-entry table
// `manifest`, still read, and `vantrel_manifest`, each with a trigger that drops a copy's
// manifest with its row; then what each run's copy changed (`vantrel_run_changes`), the
// guard's holds on pruning (`vantrel_change_hold`), the last check of each copy
// (`vantrel_copy_check`), the exclusion rules each copy was made with (`vantrel_copy_rules`,
// and `vantrel_journal_rules` for a replacement under way), the copies kept for good
// (`vantrel_pin`), each dropped with its row by a trigger, the files a check found
// damaged (`vantrel_damaged`), and what a replacement under way records with its row
// (`vantrel_journal_run`: the manifest and the run's history row); the source each copy was
// made from (`vantrel_copy_source`, and `vantrel_journal_source` for a replacement under way)
// and the volume each target folder lay on when it was marked (`vantrel_target_volume`); and
// every check and restore drill made (`vantrel_check_log`), kept when its copy is pruned.
class RecordDatabase {
public:
    // Parts of the schema, each made when first written to, so a database that is only read
    // is never changed.
    enum class Part {
        Copies,
        CopyState,
        History,
        Manifests,
        ChangeGuard,
        CopyChecks,
        Rules,
        Pins,
        JournalRuns,
        Sources,
        CheckLog
    };

    // Creates the file with table `wenjianming` when no file of that name exists (an empty
    // file, or one whose creation was killed before its commit, counts as none). Returns true
    // when it made the table. Throws BackupError naming the file when it cannot.
    static bool CreateIfMissing(const std::filesystem::path& file);

    // Opens an existing database. Throws BackupError naming the file when it is missing or
    // is not an SQLite database; such a file is never written.
    explicit RecordDatabase(const std::filesystem::path& file);

    RecordDatabase(const RecordDatabase&) = delete;
    RecordDatabase& operator=(const RecordDatabase&) = delete;

    // The version of the schema this program writes.
    static int currentVersion();
    // The version the file holds.
    int version();
    // Brings a file of an older version up to this one. Returns whether it wrote. Throws the
    // DatabaseError.
    bool migrate();

    Database& db() { return m_db; }
    const std::filesystem::path& file() const { return m_file; }

    bool hasTable(std::string_view name);
    // Whether every table of `part` exists.
    bool has(Part part);
    // Makes the tables and triggers of `part` that are missing (Part::Copies is made by
    // CreateIfMissing; Part::Rules needs Part::CopyState). Throws BackupError.
    void ensure(Part part);
    // The same for several parts, those missing made in one transaction.
    void ensure(std::initializer_list<Part> parts);
    // As ensure, but throws the DatabaseError; returns whether any part was missing (and
    // so whether anything was written).
    bool makeMissing(std::initializer_list<Part> parts);

    // SQLite's quick check of every page: none when the file is sound, else what it found
    // (a damaged file may also fail to answer, which counts as damage).
    std::optional<std::string> damage();

    // Throws the BackupError that names the file, with SQLite's message.
    [[noreturn]] void fail(const std::exception& e) const;

private:
    std::filesystem::path m_file;
    Database m_db;
    std::bitset<static_cast<std::size_t>(Part::CheckLog) + 1> m_complete;  // known whole
    bool m_migrated = false;  // known to be at this version or newer
};

// A store's record database: the command's or run's, shared, or one of its own for a caller
// that reads a single store once. Answers as the database does.
class RecordsRef {
public:
    explicit RecordsRef(RecordDatabase& shared) : m_db(&shared) {}
    explicit RecordsRef(const std::filesystem::path& file)
        : m_own(std::make_unique<RecordDatabase>(file)), m_db(m_own.get()) {}

    RecordDatabase& operator*() const { return *m_db; }
    Database& db() const { return m_db->db(); }
    const std::filesystem::path& file() const { return m_db->file(); }
    bool hasTable(std::string_view name) const { return m_db->hasTable(name); }
    bool has(RecordDatabase::Part part) const { return m_db->has(part); }
    void ensure(RecordDatabase::Part part) const { m_db->ensure(part); }
    void ensure(std::initializer_list<RecordDatabase::Part> parts) const { m_db->ensure(parts); }
    bool makeMissing(std::initializer_list<RecordDatabase::Part> parts) const {
        return m_db->makeMissing(parts);
    }
    [[noreturn]] void fail(const std::exception& e) const { m_db->fail(e); }

private:
    std::unique_ptr<RecordDatabase> m_own;
    RecordDatabase* m_db;
};

// The job's record database, opened for one command or run; none when the job has none yet
// (reading makes none). Throws BackupError naming a file that is not a database.
std::unique_ptr<RecordDatabase> openRecords(const Workspace& ws);
// The same, the file made first when missing; `made`, when given, says whether it was.
std::unique_ptr<RecordDatabase> openOrMakeRecords(const Workspace& ws, bool* made = nullptr);

// "记录数据库“<file>”出错：<what>", thrown as BackupError.
[[noreturn]] void failDatabase(const std::filesystem::path& file, const std::exception& e);

}  // namespace vantrel
