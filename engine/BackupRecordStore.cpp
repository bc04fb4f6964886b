#include "engine/BackupRecordStore.h"

#include "engine/BackupError.h"
#include "engine/CopyNaming.h"
#include "engine/FailedEntryCodec.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

std::filesystem::path BackupRecord::place(const std::filesystem::path& workDir) const {
    return resolveInWorkDir(workDir, path).lexically_normal();
}

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
    Database& db = m_records.db();
    const std::string refused = "记录数据库“" + pathToUtf8(file()) + "”无法写入：";
    if (db.readOnly()) {
        throw BackupError(refused + "只能以只读方式打开");  // an immutable or read-only file
    }
    try {
        // A row written and rolled back: the journal beside the file must be made too.
        Transaction probe(db);
        db.exec("INSERT INTO wenjianming (wenjianming, shijian) VALUES ('', '')");
    } catch (const DatabaseError& e) {
        throw BackupError(refused + e.what());
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

bool BackupRecordStore::namesPlace(FileOps& files, const std::filesystem::path& path) {
    const auto base = file().parent_path();
    const Place wanted = placeOf(files, path);
    for (const auto& row : list()) {
        if (samePlace(placeOf(files, row.place(base)), wanted)) {
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

PruneSelection BackupRecordStore::selectPrune(FileOps& files, std::size_t keep,
                                              const PruneScope& scope,
                                              const std::optional<std::filesystem::path>& coming,
                                              std::optional<std::int64_t> holdBefore) {
    PruneSelection selection;
    if (coming) {
        selection.rows.push_back({0, pathToUtf8(*coming), {}, {}});
        selection.places.push_back(coming->lexically_normal());
    }
    const auto base = file().parent_path();
    for (auto& row : list()) {
        selection.places.push_back(row.place(base));
        selection.rows.push_back(std::move(row));
    }
    const Place folder = placeOf(files, scope.targetFolder);
    std::vector<RetentionRow> rows;
    for (std::size_t i = 0; i < selection.rows.size(); ++i) {
        const auto& place = selection.places[i];
        const std::int64_t id = selection.rows[i].id;  // 0: the copy about to be made
        rows.push_back({selection.rows[i].complete(), placeOf(files, place),
                        samePlace(placeOf(files, place.parent_path()), folder) &&
                            isCopyOf(pathToUtf8(place.filename()), scope.copyStem),
                        holdBefore && id != 0 && id < *holdBefore});
    }
    selection.fates = selectPrunable(rows, keep);
    return selection;
}

std::vector<PruneFailure> BackupRecordStore::PruneBackups(std::optional<double> keepValue,
                                                          FileOps& files, const PruneScope& scope,
                                                          std::optional<std::int64_t> holdBefore) {
    const auto keep = copiesToKeep(keepValue);
    return keep ? prune(*keep, files, scope, holdBefore) : std::vector<PruneFailure>{};
}

std::vector<PruneFailure> BackupRecordStore::prune(std::size_t keep, FileOps& files,
                                                   const PruneScope& scope,
                                                   std::optional<std::int64_t> holdBefore) {
    std::vector<PruneFailure> failures;
    const PruneSelection selection = selectPrune(files, keep, scope, std::nullopt, holdBefore);
    // Oldest first, as rows were always pruned.
    for (std::size_t i = selection.rows.size(); i-- > 0;) {
        const std::filesystem::path& place = selection.places[i];
        switch (selection.fates[i]) {
            case Fate::Kept:
                continue;
            case Fate::Deleted:
                if (const auto result = files.removeTree(place); !result.ok()) {
                    // The row stays, so the copy is still known and a later prune retries it.
                    std::string reason = describeError(result.error);
                    if (!result.failedPath.empty() && result.failedPath != place) {
                        reason += "（“" + pathToUtf8(result.failedPath) + "”）";
                    }
                    failures.push_back({pathToUtf8(place), reason});
                    continue;
                }
                break;
            case Fate::Superseded:
            case Fate::Forgotten:
                break;
        }
        deleteRow(selection.rows[i].id);
    }
    return failures;
}

std::vector<BackupRecord> BackupRecordStore::list() {
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
