#include "engine/records/RecordDatabase.h"

#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "engine/BackupError.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

using Part = RecordDatabase::Part;

struct SchemaStep {
    Part part;
    std::string_view table;  // the table it makes; empty for a trigger
    std::string_view sql;
    std::string_view trigger = {};  // the trigger it makes; empty for a table
};

// Every statement that shapes the file, oldest first. Databases in use hold these texts:
// a change is a new step, never an edit of one.
constexpr SchemaStep kSchema[] = {
    {Part::Copies, "wenjianming",
     "CREATE TABLE wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, wenjianming TEXT, "
     "shijian TEXT)"},
    // Completeness of each copy, keyed by its row; a row without one is a complete copy.
    {Part::CopyState, "vantrel_copy_state",
     "CREATE TABLE IF NOT EXISTS vantrel_copy_state (record_id INTEGER PRIMARY KEY, "
     "complete INTEGER NOT NULL, failed_count INTEGER NOT NULL, failed_entries TEXT NOT NULL)"},
    {Part::CopyState, "vantrel_journal",
     "CREATE TABLE IF NOT EXISTS vantrel_journal (id INTEGER PRIMARY KEY AUTOINCREMENT, "
     "target_text TEXT NOT NULL, target TEXT NOT NULL, staging TEXT NOT NULL, "
     "aside TEXT NOT NULL, new_device INTEGER NOT NULL, new_inode INTEGER NOT NULL, "
     "log_line TEXT NOT NULL, log_offset INTEGER NOT NULL, run_date TEXT NOT NULL, "
     "failed_entries TEXT NOT NULL)"},
    {Part::History, "run_history",
     "CREATE TABLE IF NOT EXISTS run_history (id INTEGER PRIMARY KEY AUTOINCREMENT, "
     "started TEXT NOT NULL, ended TEXT NOT NULL, trigger TEXT NOT NULL, outcome TEXT NOT NULL, "
     "message TEXT NOT NULL DEFAULT '', files INTEGER NOT NULL DEFAULT 0, "
     "bytes INTEGER NOT NULL DEFAULT 0, target_path TEXT NOT NULL DEFAULT '', "
     "fire_instant TEXT, prune_failures INTEGER NOT NULL DEFAULT 0)"},
    // Manifests are kept one BLOB per copy in vantrel_manifest; table manifest, one row per
    // entry, is what earlier versions wrote, still read for the copies they made.
    {Part::Manifests, "manifest",
     "CREATE TABLE IF NOT EXISTS manifest ("
     "copy_id INTEGER NOT NULL, path TEXT NOT NULL, type TEXT NOT NULL, "
     "size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, hash TEXT NOT NULL, "
     "PRIMARY KEY (copy_id, path)) WITHOUT ROWID"},
    {Part::Manifests, "",
     "CREATE TRIGGER IF NOT EXISTS manifest_goes_with_row AFTER DELETE ON wenjianming "
     "BEGIN DELETE FROM manifest WHERE copy_id = OLD.id; END",
     "manifest_goes_with_row"},
    {Part::Manifests, "vantrel_manifest",
     "CREATE TABLE IF NOT EXISTS vantrel_manifest ("
     "copy_id INTEGER PRIMARY KEY, entries BLOB NOT NULL)"},
    {Part::Manifests, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_manifest_goes_with_row AFTER DELETE ON wenjianming "
     "BEGIN DELETE FROM vantrel_manifest WHERE copy_id = OLD.id; END",
     "vantrel_manifest_goes_with_row"},
    // What a run's copy changed against the previous copy, by the run's history row.
    {Part::History, "vantrel_run_changes",
     "CREATE TABLE IF NOT EXISTS vantrel_run_changes (run_id INTEGER PRIMARY KEY, "
     "added INTEGER NOT NULL, modified INTEGER NOT NULL, deleted INTEGER NOT NULL)"},
    // Holds on pruning after mass changes, each until confirmed.
    {Part::ChangeGuard, "vantrel_change_hold",
     "CREATE TABLE IF NOT EXISTS vantrel_change_hold (id INTEGER PRIMARY KEY AUTOINCREMENT, "
     "record_id INTEGER NOT NULL, started TEXT NOT NULL, changed INTEGER NOT NULL, "
     "files_before INTEGER NOT NULL, confirmed TEXT)"},
    // The last check of each copy against its manifest.
    {Part::CopyChecks, "vantrel_copy_check",
     "CREATE TABLE IF NOT EXISTS vantrel_copy_check (record_id INTEGER PRIMARY KEY, "
     "checked TEXT NOT NULL, intact INTEGER NOT NULL)"},
    {Part::CopyChecks, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_copy_check_goes_with_row AFTER DELETE ON wenjianming "
     "BEGIN DELETE FROM vantrel_copy_check WHERE record_id = OLD.id; END",
     "vantrel_copy_check_goes_with_row"},
    // The exclusion rules a copy was made with, so that an entry left out on purpose is told
    // from one deleted since; a copy without a row was made without rules.
    {Part::Rules, "vantrel_copy_rules",
     "CREATE TABLE IF NOT EXISTS vantrel_copy_rules (record_id INTEGER PRIMARY KEY, "
     "rules TEXT NOT NULL)"},
    {Part::Rules, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_copy_rules_go_with_row AFTER DELETE ON wenjianming "
     "BEGIN DELETE FROM vantrel_copy_rules WHERE record_id = OLD.id; END",
     "vantrel_copy_rules_go_with_row"},
    {Part::Rules, "vantrel_journal_rules",
     "CREATE TABLE IF NOT EXISTS vantrel_journal_rules (journal_id INTEGER PRIMARY KEY, "
     "rules TEXT NOT NULL)"},
    {Part::Rules, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_journal_rules_go_with_entry AFTER DELETE ON "
     "vantrel_journal BEGIN DELETE FROM vantrel_journal_rules WHERE journal_id = OLD.id; END",
     "vantrel_journal_rules_go_with_entry"},
    // Copies kept for good, by row.
    {Part::Pins, "vantrel_pin",
     "CREATE TABLE IF NOT EXISTS vantrel_pin (record_id INTEGER PRIMARY KEY)"},
    {Part::Pins, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_pin_goes_with_row AFTER DELETE ON wenjianming "
     "BEGIN DELETE FROM vantrel_pin WHERE record_id = OLD.id; END",
     "vantrel_pin_goes_with_row"},
    // Files a check found damaged, by identity: whichever copies hold one, it is never linked
    // into a new copy again.
    {Part::Manifests, "vantrel_damaged",
     "CREATE TABLE IF NOT EXISTS vantrel_damaged (device INTEGER NOT NULL, "
     "inode INTEGER NOT NULL, copy_path TEXT NOT NULL, path TEXT NOT NULL, "
     "found TEXT NOT NULL, PRIMARY KEY (device, inode))"},
    // What a replacement under way records with its row, so that whichever run finishes it
    // writes them in the row's transaction: the copy's manifest and its run's history row.
    {Part::JournalRuns, "vantrel_journal_run",
     "CREATE TABLE IF NOT EXISTS vantrel_journal_run (journal_id INTEGER PRIMARY KEY, "
     "manifest BLOB, started TEXT, trigger TEXT, fire_instant TEXT, "
     "files INTEGER NOT NULL DEFAULT 0, bytes INTEGER NOT NULL DEFAULT 0)"},
    {Part::JournalRuns, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_journal_run_goes_with_entry AFTER DELETE ON "
     "vantrel_journal BEGIN DELETE FROM vantrel_journal_run WHERE journal_id = OLD.id; END",
     "vantrel_journal_run_goes_with_entry"},
    // The source folder each copy was made from (absolute, UTF-8), so that a copy of a former
    // source is never taken for this one's; a copy without a row predates it.
    {Part::Sources, "vantrel_copy_source",
     "CREATE TABLE IF NOT EXISTS vantrel_copy_source (record_id INTEGER PRIMARY KEY, "
     "source TEXT NOT NULL)"},
    {Part::Sources, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_copy_source_goes_with_row AFTER DELETE ON "
     "wenjianming BEGIN DELETE FROM vantrel_copy_source WHERE record_id = OLD.id; END",
     "vantrel_copy_source_goes_with_row"},
    {Part::Sources, "vantrel_journal_source",
     "CREATE TABLE IF NOT EXISTS vantrel_journal_source (journal_id INTEGER PRIMARY KEY, "
     "source TEXT NOT NULL)"},
    {Part::Sources, "",
     "CREATE TRIGGER IF NOT EXISTS vantrel_journal_source_goes_with_entry AFTER DELETE ON "
     "vantrel_journal BEGIN DELETE FROM vantrel_journal_source WHERE journal_id = OLD.id; END",
     "vantrel_journal_source_goes_with_entry"},
    // The volume each target folder lay on when it was marked, by the folder's key, so that a
    // disk that comes back under another drive letter is found again.
    {Part::Sources, "vantrel_target_volume",
     "CREATE TABLE IF NOT EXISTS vantrel_target_volume (folder TEXT PRIMARY KEY, "
     "volume TEXT NOT NULL, serial TEXT NOT NULL, below TEXT NOT NULL)"},
    // Every check of a copy and every restore drill, newest last: when, which copy (its row
    // and its name, which outlive a pruned row), which kind, whether it passed and what it
    // found, in short.
    {Part::CheckLog, "vantrel_check_log",
     "CREATE TABLE IF NOT EXISTS vantrel_check_log (id INTEGER PRIMARY KEY AUTOINCREMENT, "
     "checked TEXT NOT NULL, record_id INTEGER NOT NULL, copy TEXT NOT NULL, "
     "kind TEXT NOT NULL, passed INTEGER NOT NULL, found TEXT NOT NULL DEFAULT '')"},
};

bool exists(Database& db, std::string_view type, std::string_view name) {
    auto stmt =
        db.prepare("SELECT count(*) FROM sqlite_master WHERE type = :type AND name = :name");
    stmt.bind("type", type);
    stmt.bind("name", name);
    return stmt.step() && stmt.columnInt(0) > 0;
}

bool tableExists(Database& db, std::string_view name) {
    return exists(db, "table", name);
}

bool anyTable(Database& db) {
    auto stmt = db.prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    return stmt.step() && stmt.columnInt(0) > 0;
}

// Whether every table and trigger of `part` exists.
bool complete(Database& db, Part part) {
    for (const SchemaStep& step : kSchema) {
        if (step.part == part && !(step.trigger.empty() ? tableExists(db, step.table)
                                                        : exists(db, "trigger", step.trigger))) {
            return false;
        }
    }
    return true;
}

// Runs the steps of `part` in order.
void make(Database& db, Part part) {
    for (const SchemaStep& step : kSchema) {
        if (step.part == part) {
            db.exec(step.sql);
        }
    }
}

std::size_t bit(Part part) {
    return static_cast<std::size_t>(part);
}

constexpr Part kAllParts[] = {Part::Copies,      Part::CopyState,  Part::History, Part::Manifests,
                              Part::ChangeGuard, Part::CopyChecks, Part::Rules,   Part::Pins,
                              Part::JournalRuns, Part::Sources};

// One step of the schema's history: what brings a file of the version before to `version`.
struct Migration {
    int version;
    void (*apply)(Database& db);
};

// Oldest first; a change of the schema is a new migration at the end, never an edit of one.
constexpr Migration kMigrations[] = {
    // Files before versions were kept: the first releases' table `wenjianming` alone, or with
    // some of the tables added since, each made when first written. Every table and trigger
    // missing is made.
    {1,
     [](Database& db) {
         for (const Part part : kAllParts) {
             if (part != Part::Copies) {
                 make(db, part);
             }
         }
     }},
    // The log of checks and drills.
    {2, [](Database& db) { make(db, Part::CheckLog); }},
};

int storedVersion(Database& db) {
    auto stmt = db.prepare("PRAGMA user_version");
    return stmt.step() ? static_cast<int>(stmt.columnInt(0)) : 0;
}

}  // namespace

void failDatabase(const std::filesystem::path& file, const std::exception& e) {
    throw BackupError("记录数据库“" + pathToUtf8(file) + "”出错：" + e.what());
}

bool RecordDatabase::CreateIfMissing(const std::filesystem::path& file) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const bool filled = fs::is_regular_file(fs::status(file, ec)) && fs::file_size(file, ec) != 0;
    // A creation killed before its commit leaves a filled file with its journal beside it,
    // which SQLite rolls back to an empty database on opening. Any other filled file is left
    // to whoever opens it, which names what is wrong with it.
    const fs::path journal =
        file.parent_path() / pathFromUtf8(pathToUtf8(file.filename()) + "-journal");
    if (filled && !fs::exists(journal, ec)) {
        return false;
    }
    try {
        Database db(file, Database::Mode::CreateIfMissing);
        if (filled ? anyTable(db) : tableExists(db, "wenjianming")) {
            return false;
        }
        try {
            make(db, Part::Copies);
        } catch (const DatabaseError&) {
            // Another instance may have created it in the meantime.
            if (!tableExists(db, "wenjianming")) {
                throw;
            }
            return false;
        }
        return true;
    } catch (const DatabaseError& e) {
        if (filled) {
            return false;
        }
        failDatabase(file, e);
    }
}

RecordDatabase::RecordDatabase(const std::filesystem::path& file) try
    : m_file(file), m_db(file, Database::Mode::OpenExisting) {
} catch (const DatabaseError& e) {
    failDatabase(file, e);
}

int RecordDatabase::currentVersion() {
    return std::end(kMigrations)[-1].version;
}

int RecordDatabase::version() {
    try {
        return storedVersion(m_db);
    } catch (const DatabaseError& e) {
        fail(e);
    }
}

bool RecordDatabase::migrate() {
    if (m_migrated || storedVersion(m_db) >= currentVersion()) {
        m_migrated = true;
        return false;
    }
    Transaction tx(m_db);
    const int from = storedVersion(m_db);  // another process may have migrated it meanwhile
    if (from >= currentVersion()) {
        m_migrated = true;
        return false;
    }
    for (const Migration& step : kMigrations) {
        if (step.version > from) {
            step.apply(m_db);
        }
    }
    m_db.exec("PRAGMA user_version = " + std::to_string(currentVersion()));
    tx.commit();
    m_migrated = true;
    m_complete.reset();  // looked up again: a migration may have made any part
    return true;
}

bool RecordDatabase::hasTable(std::string_view name) {
    try {
        return tableExists(m_db, name);
    } catch (const DatabaseError& e) {
        fail(e);
    }
}

bool RecordDatabase::has(Part part) {
    if (m_complete.test(bit(part))) {
        return true;  // tables are never dropped
    }
    for (const SchemaStep& step : kSchema) {
        if (step.part == part && !step.table.empty() && !hasTable(step.table)) {
            return false;
        }
    }
    return true;
}

void RecordDatabase::ensure(Part part) {
    ensure({part});
}

void RecordDatabase::ensure(std::initializer_list<Part> parts) {
    try {
        makeMissing(parts);
    } catch (const DatabaseError& e) {
        fail(e);
    }
}

bool RecordDatabase::makeMissing(std::initializer_list<Part> parts) {
    std::vector<Part> missing;
    for (const Part part : parts) {
        if (m_complete.test(bit(part))) {
            continue;
        }
        if (complete(m_db, part)) {
            m_complete.set(bit(part));
        } else {
            missing.push_back(part);
        }
    }
    if (missing.empty()) {
        return false;
    }
    // A file of an older version is brought up first: whatever it lacks is made with it.
    migrate();
    // One transaction, one flush: each statement alone would be a transaction of its own.
    Transaction tx(m_db);
    for (const Part part : missing) {
        make(m_db, part);
    }
    tx.commit();
    for (const Part part : missing) {
        m_complete.set(bit(part));
    }
    return true;
}

std::optional<std::string> RecordDatabase::damage() {
    try {
        auto stmt = m_db.prepare("PRAGMA quick_check(5)");
        std::string found;
        while (stmt.step()) {
            const std::string line = stmt.columnText(0);
            if (line != "ok") {
                found += (found.empty() ? "" : "；") + line;
            }
        }
        return found.empty() ? std::nullopt : std::optional<std::string>(found);
    } catch (const DatabaseError& e) {
        return std::string(e.what());
    }
}

void RecordDatabase::fail(const std::exception& e) const {
    failDatabase(m_file, e);
}

std::unique_ptr<RecordDatabase> openRecords(const Workspace& ws) {
    const std::filesystem::path file = ws.databaseFile();
    if (!ws.files.stat(file, true)) {
        return nullptr;
    }
    return std::make_unique<RecordDatabase>(file);
}

std::unique_ptr<RecordDatabase> openOrMakeRecords(const Workspace& ws, bool* made) {
    const std::filesystem::path file = ws.databaseFile();
    const bool created = RecordDatabase::CreateIfMissing(file);
    if (made != nullptr) {
        *made = created;
    }
    return std::make_unique<RecordDatabase>(file);
}

}  // namespace vantrel
