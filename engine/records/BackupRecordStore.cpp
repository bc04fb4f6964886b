#include "engine/records/BackupRecordStore.h"

#include <algorithm>

#include "engine/BackupError.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "engine/places/JobPlaces.h"
#include "engine/records/FailedEntryCodec.h"
#include "engine/run/CopyNaming.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"

namespace vantrel {

std::filesystem::path BackupRecord::place(const std::filesystem::path& workDir) const {
    return resolveInWorkDir(workDir, path).lexically_normal();
}

std::size_t BackupRecord::carriedOver() const {
    return static_cast<std::size_t>(std::count_if(failed.begin(), failed.end(), [](const auto& f) {
        return std::string_view(f.reason).ends_with(kCarriedOver);
    }));
}

bool BackupRecordStore::CreateIfMissing(const std::filesystem::path& dbFile) {
    return RecordDatabase::CreateIfMissing(dbFile);
}

BackupRecordStore::BackupRecordStore(const std::filesystem::path& dbFile) : m_records(dbFile) {
    checkCopiesTable();
}

BackupRecordStore::BackupRecordStore(RecordDatabase& records) : m_records(records) {
    checkCopiesTable();
}

void BackupRecordStore::checkCopiesTable() {
    if (!m_records.hasTable("wenjianming")) {
        throw BackupError("记录数据库“" + pathToUtf8(file()) + "”中没有表 wenjianming");
    }
}

void BackupRecordStore::ensureTablesFor(bool failed, bool rules, bool source) {
    using Part = RecordDatabase::Part;
    if (failed || rules || source) {
        m_records.ensure(Part::CopyState);
    }
    if (rules) {
        m_records.ensure(Part::Rules);
    }
    if (source) {
        m_records.ensure(Part::Sources);
    }
}

void BackupRecordStore::checkWritable() {
    Database& db = m_records.db();
    const std::string refused = "记录数据库“" + pathToUtf8(file()) + "”无法写入：";
    if (db.readOnly()) {
        throw BackupError(refused + "只能以只读方式打开");  // an immutable or read-only file
    }
    try {
        // Whatever a run's journal entry, record, manifest and history need, made before the
        // copy in one transaction, which is the write tried; where nothing was missing, a row
        // written and rolled back tries it (the journal beside the file must be made too).
        using Part = RecordDatabase::Part;
        if (!m_records.makeMissing({Part::CopyState, Part::Manifests, Part::JournalRuns,
                                    Part::History, Part::Sources})) {
            Transaction probe(db);
            db.exec("INSERT INTO wenjianming (wenjianming, shijian) VALUES ('', '')");
        }
    } catch (const DatabaseError& e) {
        throw BackupError(refused + e.what());
    }
}

std::int64_t BackupRecordStore::insertRow(std::string_view targetPath, std::string_view date,
                                          const std::vector<FailedEntry>& failed,
                                          std::string_view rules, std::string_view source) {
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
    if (!rules.empty()) {
        auto kept = db.prepare(
            "INSERT OR REPLACE INTO vantrel_copy_rules(record_id, rules) VALUES(:id, :r)");
        kept.bind("id", id);
        kept.bind("r", rules);
        kept.step();
    }
    if (!source.empty()) {
        auto from = db.prepare(
            "INSERT OR REPLACE INTO vantrel_copy_source(record_id, source) VALUES(:id, :s)");
        from.bind("id", id);
        from.bind("s", source);
        from.step();
    }
    return id;
}

std::int64_t BackupRecordStore::Add(std::string_view targetPath, std::chrono::year_month_day date,
                                    const std::vector<FailedEntry>& failed, std::string_view rules,
                                    std::string_view source) {
    ensureTablesFor(!failed.empty(), !rules.empty(), !source.empty());
    try {
        Transaction tx(m_records.db());
        const auto id = insertRow(targetPath, dateText(date), failed, rules, source);
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

void BackupRecordStore::deleteRow(std::int64_t id, std::optional<std::int64_t> pinTo) {
    try {
        Transaction tx(m_records.db());
        if (pinTo && hasPins()) {
            auto pin = m_records.db().prepare(
                "UPDATE OR IGNORE vantrel_pin SET record_id = :to WHERE record_id = :c");
            pin.bind("to", *pinTo);
            pin.bind("c", id);
            pin.step();
        }
        auto del = m_records.db().prepare("delete from wenjianming where id =:c ");
        del.bind("c", id);
        del.step();
        if (hasStateTables()) {
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

PruneSelection BackupRecordStore::selectPrune(FileOps& files, const RetentionPolicy& policy,
                                              const PruneScope& scope,
                                              const std::optional<std::filesystem::path>& coming,
                                              std::optional<std::chrono::year_month_day> comingDate,
                                              std::optional<std::int64_t> holdBefore) {
    PruneSelection selection;
    std::vector<std::optional<std::chrono::year_month_day>> dates;
    if (coming) {
        selection.rows.push_back({0, pathToUtf8(*coming), {}, {}, {}, false, {}});
        selection.places.push_back(coming->lexically_normal());
        dates.push_back(comingDate);
    }
    const auto base = file().parent_path();
    for (auto& row : list()) {
        selection.places.push_back(row.place(base));
        dates.push_back(dateOfText(row.date));
        selection.rows.push_back(std::move(row));
    }
    std::vector<RetentionRow> rows;
    for (std::size_t i = 0; i < selection.rows.size(); ++i) {
        const auto& place = selection.places[i];
        const BackupRecord& row = selection.rows[i];
        // A date the records cannot give is taken from the copy's name.
        if (!dates[i]) {
            const std::string copyName = pathToUtf8(place.filename());  // the parts point into it
            if (const auto name = parseCopyName(copyName)) {
                dates[i] = dateOfText(dateTextOfDigits(name->digits));
            }
        }
        rows.push_back({row.complete(), placeOf(files, place),
                        recordInScope(files, row, place, scope), dates[i], row.pinned,
                        holdBefore && row.id != 0 && row.id < *holdBefore});
    }
    // The newest copy on disk holding a file the source still has. A copy about to be made
    // holds the source's files: a run whose rules would leave every file out is refused.
    if (!scope.source.empty()) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].inScope && (selection.rows[i].id == 0 ||
                                    holdsFileOfSource(files, selection.places[i], scope.source))) {
                rows[i].holdsSourceFiles = true;
                break;
            }
        }
    }
    selection.verdicts = selectPrunable(rows, policy);
    return selection;
}

std::vector<PruneFailure> BackupRecordStore::PruneBackups(std::optional<double> keepValue,
                                                          FileOps& files, const PruneScope& scope,
                                                          std::optional<std::int64_t> holdBefore) {
    const auto keep = copiesToKeep(keepValue);
    return keep ? prune(RetentionPolicy{*keep}, files, scope, holdBefore)
                : std::vector<PruneFailure>{};
}

std::vector<PruneFailure> BackupRecordStore::prune(const RetentionPolicy& policy, FileOps& files,
                                                   const PruneScope& scope,
                                                   std::optional<std::int64_t> holdBefore) {
    std::vector<PruneFailure> failures;
    const PruneSelection selection =
        selectPrune(files, policy, scope, std::nullopt, std::nullopt, holdBefore);
    // Oldest first, as rows were always pruned.
    for (std::size_t i = selection.rows.size(); i-- > 0;) {
        const std::filesystem::path& place = selection.places[i];
        const Verdict& verdict = selection.verdicts[i];
        std::optional<std::int64_t> pinTo;
        switch (verdict.fate) {
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
                pinTo = selection.rows[verdict.supersededBy].id;  // the place stays pinned
                break;
            case Fate::Forgotten:
                break;
        }
        deleteRow(selection.rows[i].id, pinTo);
    }
    return failures;
}

void BackupRecordStore::setPinned(std::int64_t id, bool pinned) {
    if (pinned) {
        m_records.ensure(RecordDatabase::Part::Pins);
    }
    if (!hasPins()) {
        return;
    }
    try {
        Database& db = m_records.db();
        Transaction tx(db);
        auto stmt = db.prepare(pinned ? "INSERT OR IGNORE INTO vantrel_pin(record_id) VALUES(:id)"
                                      : "DELETE FROM vantrel_pin WHERE record_id = :id");
        stmt.bind("id", id);
        stmt.step();
        tx.commit();
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

std::vector<BackupRecord> BackupRecordStore::list() {
    std::vector<BackupRecord> rows;
    // Each table joined only where it exists: a database that is only read is never changed.
    std::string sql = "SELECT w.id, w.wenjianming, w.shijian, ";
    sql += hasStateTables() ? "s.failed_entries, " : "NULL, ";
    sql += hasRuleTables() ? "r.rules, " : "NULL, ";
    sql += hasPins() ? "p.record_id IS NOT NULL, " : "0, ";
    sql += hasSources() ? "o.source" : "NULL";
    sql += " FROM wenjianming w";
    if (hasStateTables()) {
        sql += " LEFT JOIN vantrel_copy_state s ON s.record_id = w.id";
    }
    if (hasRuleTables()) {
        sql += " LEFT JOIN vantrel_copy_rules r ON r.record_id = w.id";
    }
    if (hasPins()) {
        sql += " LEFT JOIN vantrel_pin p ON p.record_id = w.id";
    }
    if (hasSources()) {
        sql += " LEFT JOIN vantrel_copy_source o ON o.record_id = w.id";
    }
    sql += " ORDER BY w.id DESC";
    try {
        auto stmt = m_records.db().prepare(sql);
        while (stmt.step()) {
            rows.push_back({stmt.columnInt(0), stmt.columnText(1), stmt.columnText(2),
                            decodeFailed(stmt.columnText(3)), stmt.columnText(4),
                            stmt.columnInt(5) != 0, stmt.columnText(6)});
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    return rows;
}

}  // namespace vantrel
