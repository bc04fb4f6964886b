#include "engine/BackupRecordStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/BackupError.h"
#include "engine/CopyNaming.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

constexpr std::string_view kCreateTable =
    "CREATE TABLE wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, wenjianming TEXT, "
    "shijian TEXT)";

[[noreturn]] void failDatabase(const std::filesystem::path& file, const std::exception& e) {
    throw BackupError("记录数据库“" + pathToUtf8(file) + "”出错：" + e.what());
}

// A row's path as a file-system path: relative paths count from the working directory,
// which is where the database lives.
std::filesystem::path resolve(const std::filesystem::path& base, std::string_view text) {
    return resolveInWorkDir(base, text).lexically_normal();
}

bool samePlace(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (pathKey(a) == pathKey(b)) {
        return true;
    }
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

bool hasTable(Database& db, std::string_view name = "wenjianming") {
    auto stmt =
        db.prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = :name");
    stmt.bind("name", name);
    return stmt.step() && stmt.columnInt(0) > 0;
}

// Completeness of each copy, keyed by its row; a row without one is a complete copy.
constexpr std::string_view kCreateStateTable =
    "CREATE TABLE IF NOT EXISTS vantrel_copy_state (record_id INTEGER PRIMARY KEY, "
    "complete INTEGER NOT NULL, failed_count INTEGER NOT NULL, failed_entries TEXT NOT NULL)";
constexpr std::string_view kCreateJournalTable =
    "CREATE TABLE IF NOT EXISTS vantrel_journal (id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "target_text TEXT NOT NULL, target TEXT NOT NULL, staging TEXT NOT NULL, "
    "aside TEXT NOT NULL, new_device INTEGER NOT NULL, new_inode INTEGER NOT NULL, "
    "log_line TEXT NOT NULL, log_offset INTEGER NOT NULL, run_date TEXT NOT NULL, failed_entries "
    "TEXT NOT NULL)";

// Failed entries as text: one per line, path and reason split by a tab; backslashes, tabs
// and line ends inside them escaped.
std::string escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string encodeFailed(const std::vector<FailedEntry>& failed) {
    std::string text;
    for (const auto& entry : failed) {
        text += escape(entry.path) + "\t" + escape(entry.reason) + "\n";
    }
    return text;
}

std::vector<FailedEntry> decodeFailed(std::string_view text) {
    std::vector<FailedEntry> failed;
    FailedEntry entry;
    std::string* field = &entry.path;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            const char n = text[++i];
            *field += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else if (c == '\t') {
            field = &entry.reason;
        } else if (c == '\n') {
            failed.push_back(std::move(entry));
            entry = {};
            field = &entry.path;
        } else {
            *field += c;
        }
    }
    return failed;
}

// Runs statements as one transaction; rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Database& db) : m_db(db) { m_db.exec("BEGIN IMMEDIATE"); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (!m_done) {
            try {
                m_db.exec("ROLLBACK");
            } catch (const DatabaseError&) {
                // The transaction is gone already; nothing to undo.
            }
        }
    }
    void commit() {
        m_db.exec("COMMIT");
        m_done = true;
    }

private:
    Database& m_db;
    bool m_done = false;
};

}  // namespace

bool BackupRecordStore::CreateIfMissing(const std::filesystem::path& dbFile) {
    std::error_code ec;
    const auto status = std::filesystem::status(dbFile, ec);
    // An existing empty file is what an interrupted creation leaves; it gets the table too.
    if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(dbFile, ec) != 0) {
        return false;
    }
    try {
        Database db(dbFile, Database::Mode::CreateIfMissing);
        if (hasTable(db)) {
            return false;
        }
        try {
            db.exec(kCreateTable);
        } catch (const DatabaseError&) {
            // Another instance may have created it in the meantime.
            if (!hasTable(db)) {
                throw;
            }
            return false;
        }
        return true;
    } catch (const DatabaseError& e) {
        failDatabase(dbFile, e);
    }
}

BackupRecordStore::BackupRecordStore(const std::filesystem::path& dbFile) try
    : m_file(dbFile), m_db(dbFile, Database::Mode::OpenExisting) {
    if (!hasTable(m_db)) {
        throw BackupError("记录数据库“" + pathToUtf8(m_file) + "”中没有表 wenjianming");
    }
    m_hasStateTables = hasTable(m_db, "vantrel_copy_state") && hasTable(m_db, "vantrel_journal");
} catch (const DatabaseError& e) {
    failDatabase(dbFile, e);
}

void BackupRecordStore::ensureTables() {
    if (m_hasStateTables) {
        return;
    }
    try {
        m_db.exec(kCreateStateTable);
        m_db.exec(kCreateJournalTable);
        m_hasStateTables = true;
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

void BackupRecordStore::checkWritable() {
    try {
        Transaction probe(m_db);
    } catch (const DatabaseError& e) {
        throw BackupError("记录数据库“" + pathToUtf8(m_file) + "”无法写入：" + e.what());
    }
    ensureTables();
}

std::int64_t BackupRecordStore::insertRow(std::string_view targetPath, std::string_view date,
                                          const std::vector<FailedEntry>& failed) {
    auto stmt =
        m_db.prepare("insert into wenjianming(wenjianming,shijian)values(:wenjianming,:shijian)");
    stmt.bind("wenjianming", targetPath);
    stmt.bind("shijian", date);
    stmt.step();
    const std::int64_t id = m_db.lastInsertRowId();
    if (!failed.empty()) {
        auto state = m_db.prepare(
            "INSERT OR REPLACE INTO vantrel_copy_state(record_id, complete, failed_count, "
            "failed_entries) VALUES(:id, 0, :n, :entries)");
        state.bind("id", id);
        state.bind("n", static_cast<std::int64_t>(failed.size()));
        state.bind("entries", encodeFailed(failed));
        state.step();
    }
    return id;
}

std::int64_t BackupRecordStore::Add(std::string_view targetPath, std::chrono::year_month_day date,
                                    const std::vector<FailedEntry>& failed) {
    if (!failed.empty()) {
        ensureTables();
    }
    try {
        Transaction tx(m_db);
        const auto id = insertRow(targetPath, dateText(date), failed);
        tx.commit();
        return id;
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

bool BackupRecordStore::namesPlace(const std::filesystem::path& path) {
    const auto base = m_file.parent_path();
    for (const auto& row : List()) {
        if (samePlace(resolve(base, row.path), path)) {
            return true;
        }
    }
    return false;
}

std::int64_t BackupRecordStore::addJournal(const JournalEntry& entry) {
    ensureTables();
    try {
        auto stmt = m_db.prepare(
            "INSERT INTO vantrel_journal(target_text, target, staging, aside, new_device, "
            "new_inode, log_line, log_offset, run_date, failed_entries) VALUES(:text, :target, "
            ":staging, :aside, :dev, :ino, :line, :offset, :date, :failed)");
        stmt.bind("text", entry.targetText);
        stmt.bind("target", entry.target);
        stmt.bind("staging", entry.staging);
        stmt.bind("aside", entry.aside);
        stmt.bind("dev", static_cast<std::int64_t>(entry.newCopy.device));
        stmt.bind("ino", static_cast<std::int64_t>(entry.newCopy.inode));
        stmt.bind("line", entry.logLine);
        stmt.bind("offset", static_cast<std::int64_t>(entry.logOffset));
        stmt.bind("date", entry.date);
        stmt.bind("failed", encodeFailed(entry.failed));
        stmt.step();
        return m_db.lastInsertRowId();
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

std::vector<JournalEntry> BackupRecordStore::journal() {
    std::vector<JournalEntry> entries;
    if (!m_hasStateTables) {
        return entries;
    }
    try {
        auto stmt = m_db.prepare(
            "SELECT id, target_text, target, staging, aside, new_device, new_inode, log_line, "
            "log_offset, run_date, failed_entries FROM vantrel_journal ORDER BY id");
        while (stmt.step()) {
            JournalEntry e;
            e.id = stmt.columnInt(0);
            e.targetText = stmt.columnText(1);
            e.target = stmt.columnText(2);
            e.staging = stmt.columnText(3);
            e.aside = stmt.columnText(4);
            e.newCopy = {static_cast<std::uint64_t>(stmt.columnInt(5)),
                         static_cast<std::uint64_t>(stmt.columnInt(6))};
            e.logLine = stmt.columnText(7);
            e.logOffset = static_cast<std::uint64_t>(stmt.columnInt(8));
            e.date = stmt.columnText(9);
            e.failed = decodeFailed(stmt.columnText(10));
            entries.push_back(std::move(e));
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
    return entries;
}

void BackupRecordStore::dropJournal(std::int64_t id) {
    try {
        auto stmt = m_db.prepare("DELETE FROM vantrel_journal WHERE id = :id");
        stmt.bind("id", id);
        stmt.step();
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

std::int64_t BackupRecordStore::commitJournal(const JournalEntry& entry) {
    try {
        Transaction tx(m_db);
        const auto id = insertRow(entry.targetText, entry.date, entry.failed);
        auto stmt = m_db.prepare("DELETE FROM vantrel_journal WHERE id = :id");
        stmt.bind("id", entry.id);
        stmt.step();
        tx.commit();
        return id;
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

void BackupRecordStore::deleteRow(std::int64_t id) {
    try {
        Transaction tx(m_db);
        auto del = m_db.prepare("delete from wenjianming where id =:c ");
        del.bind("c", id);
        del.step();
        if (m_hasStateTables) {
            auto state = m_db.prepare("DELETE FROM vantrel_copy_state WHERE record_id = :c");
            state.bind("c", id);
            state.step();
        }
        tx.commit();
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

std::vector<PruneFailure> BackupRecordStore::PruneBackups(std::optional<double> keepValue,
                                                          FileOps& files, const PruneScope& scope,
                                                          std::optional<std::int64_t> holdBefore) {
    std::vector<PruneFailure> failures;
    if (!keepValue || !(*keepValue >= 1)) {
        return failures;
    }
    // Rounding up never deletes more copies than were asked to be kept.
    const double wanted = std::ceil(*keepValue);
    const size_t keep =
        wanted >= 1.0e18 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(wanted);
    const auto base = m_file.parent_path();

    // Newest first; a row whose place a newer row names is superseded, not a copy of its own.
    struct Copy {
        BackupRecord row;
        std::filesystem::path place;
        bool superseded = false;
        bool kept = false;
    };
    std::vector<Copy> copies;
    for (auto& row : List()) {
        Copy c{std::move(row), {}, false, false};
        c.place = resolve(base, c.row.path);
        c.superseded = std::any_of(copies.begin(), copies.end(), [&](const Copy& newer) {
            return samePlace(newer.place, c.place);
        });
        copies.push_back(std::move(c));
    }

    size_t completeSeen = 0;
    size_t incompleteSeen = 0;
    std::int64_t oldestKeptComplete = 0;
    for (auto& c : copies) {
        if (!c.superseded && c.row.complete() && completeSeen < keep) {
            ++completeSeen;
            c.kept = true;
            oldestKeptComplete = c.row.id;
        }
    }
    for (auto& c : copies) {
        if (c.superseded || c.kept) {
            continue;
        }
        if (completeSeen >= keep) {
            c.kept = c.row.id > oldestKeptComplete;  // newer than the oldest kept complete copy
        } else if (!c.row.complete() && incompleteSeen < keep) {
            ++incompleteSeen;  // too few complete copies: keep the newest incomplete ones too
            c.kept = true;
        }
    }

    for (auto& c : copies) {
        c.kept = c.kept || (holdBefore && c.row.id < *holdBefore && !c.superseded);
    }

    std::vector<std::filesystem::path> kept;
    for (const auto& c : copies) {
        if (c.kept) {
            kept.push_back(c.place);
        }
    }
    // Oldest first, as rows were always pruned.
    for (auto it = copies.rbegin(); it != copies.rend(); ++it) {
        const Copy& c = *it;
        if (c.kept) {
            continue;
        }
        const bool namedByKeptRow = std::any_of(
            kept.begin(), kept.end(), [&](const auto& k) { return samePlace(k, c.place); });
        const bool inScope = samePlace(c.place.parent_path(), scope.targetFolder) &&
                             isCopyOf(pathToUtf8(c.place.filename()), scope.copyStem);
        if (!c.superseded && inScope && !namedByKeptRow) {
            const auto result = files.removeTree(c.place);
            if (!result.ok()) {
                // The row stays, so the copy is still known and a later prune retries it.
                std::string reason = describeError(result.error);
                if (!result.failedPath.empty() && result.failedPath != c.place) {
                    reason += "（“" + pathToUtf8(result.failedPath) + "”）";
                }
                failures.push_back({pathToUtf8(c.place), reason});
                continue;
            }
        }
        deleteRow(c.row.id);
    }
    return failures;
}

std::vector<BackupRecord> BackupRecordStore::List() {
    std::vector<BackupRecord> rows;
    try {
        auto stmt = m_db.prepare(
            m_hasStateTables
                ? "SELECT w.id, w.wenjianming, w.shijian, s.failed_entries FROM wenjianming w "
                  "LEFT JOIN vantrel_copy_state s ON s.record_id = w.id ORDER BY w.id DESC"
                : "SELECT id, wenjianming, shijian, NULL FROM wenjianming ORDER BY id DESC");
        while (stmt.step()) {
            rows.push_back({stmt.columnInt(0), stmt.columnText(1), stmt.columnText(2),
                            decodeFailed(stmt.columnText(3))});
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
    return rows;
}

}  // namespace vantrel
