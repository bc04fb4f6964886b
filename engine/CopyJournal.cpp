#include "engine/CopyJournal.h"

#include <utility>

#include "platform/Database.h"

namespace vantrel {

std::int64_t CopyJournal::add(const JournalEntry& entry) {
    m_store.ensureTables();
    if (!entry.rules.empty()) {
        m_store.ensureRuleTables();
    }
    Database& db = m_store.m_records.db();
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
        tx.commit();
        return id;
    } catch (const DatabaseError& e) {
        m_store.m_records.fail(e);
    }
}

std::vector<JournalEntry> CopyJournal::entries() {
    std::vector<JournalEntry> entries;
    if (!m_store.m_hasStateTables) {
        return entries;
    }
    Database& db = m_store.m_records.db();
    try {
        auto stmt = db.prepare(
            std::string("SELECT j.id, j.target_text, j.target, j.staging, j.aside, j.new_device, "
                        "j.new_inode, j.log_line, j.log_offset, j.run_date, j.failed_entries, ") +
            (m_store.m_hasRuleTables
                 ? "r.rules FROM vantrel_journal j LEFT JOIN vantrel_journal_rules r "
                   "ON r.journal_id = j.id"
                 : "NULL FROM vantrel_journal j") +
            " ORDER BY j.id");
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
            entries.push_back(std::move(e));
        }
    } catch (const DatabaseError& e) {
        m_store.m_records.fail(e);
    }
    return entries;
}

void CopyJournal::drop(std::int64_t id) {
    Database& db = m_store.m_records.db();
    try {
        auto stmt = db.prepare("DELETE FROM vantrel_journal WHERE id = :id");
        stmt.bind("id", id);
        stmt.step();
    } catch (const DatabaseError& e) {
        m_store.m_records.fail(e);
    }
}

std::int64_t CopyJournal::commit(const JournalEntry& entry) {
    Database& db = m_store.m_records.db();
    try {
        Transaction tx(db);
        const auto id = m_store.insertRow(entry.targetText, entry.date, entry.failed, entry.rules);
        auto stmt = db.prepare("DELETE FROM vantrel_journal WHERE id = :id");
        stmt.bind("id", entry.id);
        stmt.step();
        tx.commit();
        return id;
    } catch (const DatabaseError& e) {
        m_store.m_records.fail(e);
    }
}

}  // namespace vantrel
