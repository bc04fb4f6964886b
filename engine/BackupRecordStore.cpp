#include "engine/BackupRecordStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/BackupError.h"
#include "engine/CopyNaming.h"
#include "engine/FailedEntryCodec.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

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

}  // namespace

bool BackupRecordStore::CreateIfMissing(const std::filesystem::path& dbFile) {
    return RecordDatabase::CreateIfMissing(dbFile);
}

BackupRecordStore::BackupRecordStore(const std::filesystem::path& dbFile) : m_records(dbFile) {
    if (!m_records.hasTable("wenjianming")) {
        throw BackupError("记录数据库“" + pathToUtf8(file()) + "”中没有表 wenjianming");
    }
    m_hasStateTables = m_records.has(RecordDatabase::Part::CopyState);
}

void BackupRecordStore::ensureTables() {
    if (!m_hasStateTables) {
        m_records.ensure(RecordDatabase::Part::CopyState);
        m_hasStateTables = true;
    }
}

void BackupRecordStore::checkWritable() {
    try {
        Transaction probe(m_records.db());
    } catch (const DatabaseError& e) {
        throw BackupError("记录数据库“" + pathToUtf8(file()) + "”无法写入：" + e.what());
    }
    ensureTables();
}

std::int64_t BackupRecordStore::insertRow(std::string_view targetPath, std::string_view date,
                                          const std::vector<FailedEntry>& failed) {
    Database& db = m_records.db();
    auto stmt =
        db.prepare("insert into wenjianming(wenjianming,shijian)values(:wenjianming,:shijian)");
    stmt.bind("wenjianming", targetPath);
    stmt.bind("shijian", date);
    stmt.step();
    const std::int64_t id = db.lastInsertRowId();
    if (!failed.empty()) {
        auto state = db.prepare(
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
        Transaction tx(m_records.db());
        const auto id = insertRow(targetPath, dateText(date), failed);
        tx.commit();
        return id;
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

bool BackupRecordStore::namesPlace(const std::filesystem::path& path) {
    const auto base = file().parent_path();
    for (const auto& row : List()) {
        if (samePlace(resolve(base, row.path), path)) {
            return true;
        }
    }
    return false;
}

void BackupRecordStore::deleteRow(std::int64_t id) {
    try {
        Transaction tx(m_records.db());
        auto del = m_records.db().prepare("delete from wenjianming where id =:c ");
        del.bind("c", id);
        del.step();
        if (m_hasStateTables) {
            auto state =
                m_records.db().prepare("DELETE FROM vantrel_copy_state WHERE record_id = :c");
            state.bind("c", id);
            state.step();
        }
        tx.commit();
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

std::vector<PruneFailure> BackupRecordStore::PruneBackups(std::optional<double> keepValue,
                                                          FileOps& files, const PruneScope& scope) {
    std::vector<PruneFailure> failures;
    if (!keepValue || !(*keepValue >= 1)) {
        return failures;
    }
    // Rounding up never deletes more copies than were asked to be kept.
    const double wanted = std::ceil(*keepValue);
    const size_t keep =
        wanted >= 1.0e18 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(wanted);
    const auto base = file().parent_path();

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
        auto stmt = m_records.db().prepare(
            m_hasStateTables
                ? "SELECT w.id, w.wenjianming, w.shijian, s.failed_entries FROM wenjianming w "
                  "LEFT JOIN vantrel_copy_state s ON s.record_id = w.id ORDER BY w.id DESC"
                : "SELECT id, wenjianming, shijian, NULL FROM wenjianming ORDER BY id DESC");
        while (stmt.step()) {
            rows.push_back({stmt.columnInt(0), stmt.columnText(1), stmt.columnText(2),
                            decodeFailed(stmt.columnText(3))});
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    return rows;
}

}  // namespace vantrel
