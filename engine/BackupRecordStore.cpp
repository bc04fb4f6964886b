#include "engine/BackupRecordStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/BackupError.h"
#include "engine/TextRules.h"
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

// Every copy the backup run makes is named "<name>_yyyymmdd"; only such paths are deleted.
bool looksLikeCopy(std::string_view path) {
    size_t start = path.size();
    while (start > 0 && !isPathSeparator(path[start - 1])) {
        --start;
    }
    const std::string_view last = path.substr(start);
    if (last.size() < 9 || last[last.size() - 9] != '_') {
        return false;
    }
    return std::all_of(last.end() - 8, last.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A row's path as a file-system path: relative paths count from the working directory,
// which is where the database lives.
std::filesystem::path resolve(const std::filesystem::path& base, std::string_view text) {
    return resolveInWorkDir(base, text).lexically_normal();
}

// The form in which two spellings of one path compare equal: normalised, and on Windows
// with one separator and case folded, as its file system compares names.
std::string pathKey(const std::filesystem::path& p) {
    auto key = pathCaseKey(pathToUtf8(p.lexically_normal()));
#ifdef _WIN32
    for (char& c : key) {
        c = c == '\\' ? '/' : c;
    }
#endif
    while (key.size() > 1 && key.back() == '/') {
        key.pop_back();
    }
    return key;
}

bool samePlace(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (pathKey(a) == pathKey(b)) {
        return true;
    }
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

std::string dateText(std::chrono::year_month_day date) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return buf;
}

bool hasTable(Database& db) {
    auto stmt = db.prepare(
        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'wenjianming'");
    return stmt.step() && stmt.columnInt(0) > 0;
}

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
} catch (const DatabaseError& e) {
    failDatabase(dbFile, e);
}

void BackupRecordStore::Add(std::string_view targetPath, std::chrono::year_month_day date) {
    try {
        auto stmt = m_db.prepare(
            "insert into wenjianming(wenjianming,shijian)values(:wenjianming,:shijian)");
        stmt.bind("wenjianming", targetPath);
        stmt.bind("shijian", dateText(date));
        stmt.step();
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
}

void BackupRecordStore::PruneBackups(std::string_view keepText, std::optional<double> keepValue,
                                     FileOps& files) {
    (void)keepText;  // the value decides; the text never reaches SQL
    if (!keepValue || !(*keepValue >= 1)) {
        return;
    }
    // Rounding up never deletes more copies than were asked to be kept.
    const double wanted = std::ceil(*keepValue);
    const std::int64_t keep = wanted >= 9.0e18 ? std::numeric_limits<std::int64_t>::max()
                                               : static_cast<std::int64_t>(wanted);
    const auto base = m_file.parent_path();

    std::vector<std::filesystem::path> kept;
    std::vector<BackupRecord> older;
    try {
        auto keptRows =
            m_db.prepare("SELECT wenjianming FROM wenjianming ORDER BY id DESC LIMIT :n");
        keptRows.bind("n", keep);
        while (keptRows.step()) {
            kept.push_back(resolve(base, keptRows.columnText(0)));
        }
        auto olderRows = m_db.prepare(
            "SELECT id, wenjianming FROM wenjianming WHERE id NOT IN "
            "(SELECT id FROM wenjianming ORDER BY id DESC LIMIT :n) ORDER BY id");
        olderRows.bind("n", keep);
        while (olderRows.step()) {
            older.push_back({olderRows.columnInt(0), olderRows.columnText(1), {}});
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }

    for (const auto& row : older) {
        const auto path = resolve(base, row.path);
        const bool namedByKeptRow = std::any_of(kept.begin(), kept.end(),
                                                [&](const auto& k) { return samePlace(k, path); });
        if (looksLikeCopy(row.path) && !namedByKeptRow) {
            const auto result = files.removeTree(path);
            if (!result.ok()) {
                // The row stays, so the copy is still known and a later prune retries it.
                const auto failed = result.failedPath.empty() ? path : result.failedPath;
                throw BackupError("无法删除旧备份“" + pathToUtf8(failed) + "”：" +
                                  describeError(result.error));
            }
        }
        try {
            auto del = m_db.prepare("delete from wenjianming where id =:c ");
            del.bind("c", row.id);
            del.step();
        } catch (const DatabaseError& e) {
            failDatabase(m_file, e);
        }
    }
}

std::vector<BackupRecord> BackupRecordStore::List() {
    std::vector<BackupRecord> rows;
    try {
        auto stmt =
            m_db.prepare("SELECT id, wenjianming, shijian FROM wenjianming ORDER BY id DESC");
        while (stmt.step()) {
            rows.push_back({stmt.columnInt(0), stmt.columnText(1), stmt.columnText(2)});
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_file, e);
    }
    return rows;
}

}  // namespace vantrel
