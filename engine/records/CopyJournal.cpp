#include "engine/records/CopyJournal.h"

#include <utility>

#include "engine/Texts.h"
#include "engine/manifest/ManifestStore.h"
#include "platform/Database.h"

namespace vantrel {

std::int64_t CopyJournal::add(const JournalEntry& entry) {
    BackupRecordStore(m_records).ensureTablesFor(true, !entry.rules.empty(), !entry.source.empty());
    RecordDatabase& records = m_records;
    const bool withRun = !entry.manifest.empty() || entry.run;
    if (withRun) {
        // Made now, so that the commit, and a later run finishing it, find them.
        records.ensure(RecordDatabase::Part::JournalRuns);
        records.ensure(RecordDatabase::Part::Manifests);
        records.ensure(RecordDatabase::Part::History);
    }
    Database& db = m_records.db();
    try {
        Transaction tx(db);
        auto stmt = db.prepare(
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
        const std::int64_t id = db.lastInsertRowId();
        if (!entry.rules.empty()) {
            auto rules = db.prepare(
                "INSERT OR REPLACE INTO vantrel_journal_rules(journal_id, rules) VALUES(:id, :r)");
            rules.bind("id", id);
            rules.bind("r", entry.rules);
            rules.step();
        }
        if (!entry.source.empty()) {
            auto from = db.prepare(
                "INSERT OR REPLACE INTO vantrel_journal_source(journal_id, source) VALUES(:id, "
                ":s)");
            from.bind("id", id);
            from.bind("s", entry.source);
            from.step();
        }
        if (withRun) {
            auto run = db.prepare(
                "INSERT OR REPLACE INTO vantrel_journal_run(journal_id, manifest, started, "
                "trigger, fire_instant, files, bytes) VALUES(:id, :manifest, :started, "
                ":trigger, :fire, :files, :bytes)");
            run.bind("id", id);
            if (!entry.manifest.empty()) {
                run.bindBlob("manifest", entry.manifest, Statement::Lifetime::OutlivesStatement);
            }
            if (const auto& r = entry.run) {
                run.bind("started", formatLocalTime(r->started));
                run.bind("trigger", storedName(r->trigger));
                if (r->fireInstant) {
                    run.bind("fire", formatLocalTime(*r->fireInstant));
                }
                run.bind("files", static_cast<std::int64_t>(r->files));
                run.bind("bytes", static_cast<std::int64_t>(r->bytes));
            }
            run.step();
        }
        tx.commit();
        return id;
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

std::vector<JournalEntry> CopyJournal::entries() {
    std::vector<JournalEntry> entries;
    if (!m_records.has(RecordDatabase::Part::CopyState)) {
        return entries;
    }
    Database& db = m_records.db();
    const bool withRuns = m_records.has(RecordDatabase::Part::JournalRuns);
    const bool withRules = m_records.has(RecordDatabase::Part::Rules);
    const bool withSources = m_records.has(RecordDatabase::Part::Sources);
    try {
        std::string sql =
            "SELECT j.id, j.target_text, j.target, j.staging, j.aside, j.new_device, "
            "j.new_inode, j.log_line, j.log_offset, j.run_date, j.failed_entries, ";
        sql += withRules ? "r.rules, " : "NULL, ";
        sql += withRuns ? "w.started, w.trigger, w.fire_instant, w.files, w.bytes, "
                        : "NULL, NULL, NULL, 0, 0, ";
        sql += withSources ? "o.source " : "NULL ";
        sql += "FROM vantrel_journal j";
        if (withRules) {
            sql += " LEFT JOIN vantrel_journal_rules r ON r.journal_id = j.id";
        }
        if (withRuns) {
            sql += " LEFT JOIN vantrel_journal_run w ON w.journal_id = j.id";
        }
        if (withSources) {
            sql += " LEFT JOIN vantrel_journal_source o ON o.journal_id = j.id";
        }
        auto stmt = db.prepare(sql + " ORDER BY j.id");
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
            e.rules = stmt.columnText(11);
            e.source = stmt.columnText(17);
            if (const auto started = parseLocalTime(stmt.columnText(12))) {
                RunRecord run;
                run.started = *started;
                run.ended = *started;
                run.trigger = triggerFrom(stmt.columnText(13));
                run.fireInstant = parseLocalTime(stmt.columnText(14));
                run.files = static_cast<std::uint64_t>(stmt.columnInt(15));
                run.bytes = static_cast<std::uint64_t>(stmt.columnInt(16));
                run.targetPath = e.targetText;
                run.outcome = e.failed.empty() ? RunOutcome::Success : RunOutcome::Incomplete;
                if (!e.failed.empty()) {
                    run.message = notCopiedText(e.failed.size());
                }
                e.run = std::move(run);
            }
            entries.push_back(std::move(e));
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    return entries;
}

void CopyJournal::drop(std::int64_t id) {
    Database& db = m_records.db();
    try {
        auto stmt = db.prepare("DELETE FROM vantrel_journal WHERE id = :id");
        stmt.bind("id", id);
        stmt.step();
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

Committed CopyJournal::commit(const JournalEntry& entry) {
    Database& db = m_records.db();
    const bool withRuns = m_records.has(RecordDatabase::Part::JournalRuns);
    // The views are made before the transaction: a table one of them lacks is made in its own.
    BackupRecordStore rows(m_records);
    rows.ensureTablesFor(!entry.failed.empty(), !entry.rules.empty(), !entry.source.empty());
    std::optional<ManifestStore> manifests;
    if (withRuns) {
        manifests.emplace(m_records);
    }
    std::optional<RunHistory> history;
    if (entry.run) {
        history.emplace(m_records);
    }
    try {
        Transaction tx(db);
        Committed done;
        done.recordId =
            rows.insertRow(entry.targetText, entry.date, entry.failed, entry.rules, entry.source);
        if (manifests) {
            // Taken from the journal's table, where it waited since the entry was written.
            manifests->takeFromJournal(done.recordId, entry.id);
        }
        if (history) {
            done.historyId = history->write(*entry.run);
        }
        auto stmt = db.prepare("DELETE FROM vantrel_journal WHERE id = :id");
        stmt.bind("id", entry.id);
        stmt.step();
        tx.commit();
        return done;
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

}  // namespace vantrel
