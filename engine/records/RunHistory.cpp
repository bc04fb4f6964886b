#include "engine/records/RunHistory.h"

#include <array>

#include "engine/manifest/CopyEntries.h"
#include "engine/records/RecordDatabase.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// A run's counts of changes, when it made a copy and counted them, come from a table of
// their own; a run without has none there (-1 below).
constexpr std::string_view kColumns =
    "SELECT id, started, ended, trigger, outcome, message, files, bytes, target_path, "
    "fire_instant, prune_failures, coalesce(c.added, -1), coalesce(c.modified, -1), "
    "coalesce(c.deleted, -1) FROM run_history LEFT JOIN vantrel_run_changes c ON c.run_id = id";

// How a value is stored in the history and how a window shows it.
template <typename Value>
struct StoredName {
    Value value;
    std::string_view stored;
    std::string_view shown;
};
constexpr std::array<StoredName<RunTrigger>, 4> kTriggers = {{
    {RunTrigger::Timetable, "timetable", "备份计划"},
    {RunTrigger::CatchUp, "catch_up", "补做"},
    {RunTrigger::Manual, "manual", "手动"},
    {RunTrigger::CommandLine, "command_line", "命令行"},
}};
constexpr std::array<StoredName<RunOutcome>, 8> kOutcomes = {{
    {RunOutcome::Success, "success", "成功"},
    {RunOutcome::Incomplete, "incomplete", "不完整"},
    {RunOutcome::Failed, "failed", "失败"},
    {RunOutcome::Refused, "refused", "被拒绝"},
    {RunOutcome::Cancelled, "cancelled", "已取消"},
    {RunOutcome::Missed, "missed", "错过"},
    {RunOutcome::CaughtUp, "caught_up", "错过，已补做"},
    {RunOutcome::Running, "running", "进行中"},
}};

// The value stored as `stored`; `unknown` for a name this version does not know.
template <typename Value, std::size_t N>
Value fromStored(const std::array<StoredName<Value>, N>& names, std::string_view stored,
                 Value unknown) {
    for (const auto& name : names) {
        if (name.stored == stored) {
            return name.value;
        }
    }
    return unknown;
}

RunOutcome outcomeFrom(std::string_view stored) {
    // An unknown outcome is never taken for a good copy.
    return fromStored(kOutcomes, stored, RunOutcome::Failed);
}

// The database file, made first when missing: the history may be the first thing a job writes.
const std::filesystem::path& madeIfMissing(const std::filesystem::path& file) {
    RecordDatabase::CreateIfMissing(file);
    return file;
}

}  // namespace

RunTrigger triggerFrom(std::string_view stored) {
    return fromStored(kTriggers, stored, RunTrigger::Manual);
}

std::string_view storedName(RunTrigger trigger) {
    return kTriggers[static_cast<std::size_t>(trigger)].stored;
}
std::string_view storedName(RunOutcome outcome) {
    return kOutcomes[static_cast<std::size_t>(outcome)].stored;
}
std::string_view displayName(RunTrigger trigger) {
    return kTriggers[static_cast<std::size_t>(trigger)].shown;
}
std::string_view displayName(RunOutcome outcome) {
    return kOutcomes[static_cast<std::size_t>(outcome)].shown;
}

std::vector<std::string> shownFields(const RunRecord& r) {
    std::string changes;
    if (r.changes) {
        ChangeCounts c;
        c.filesAdded = (*r.changes)[0];
        c.filesModified = (*r.changes)[1];
        c.filesDeleted = (*r.changes)[2];
        changes = c.summary();
    }
    return {formatLocalTime(r.started),
            formatLocalTime(r.ended),
            std::string(displayName(r.trigger)),
            std::string(displayName(r.outcome)),
            std::to_string(r.files),
            std::to_string(r.bytes),
            r.targetPath,
            changes,
            r.message};
}

RunHistory::RunHistory(const std::filesystem::path& dbFile) : m_records(madeIfMissing(dbFile)) {
    m_records.ensure(RecordDatabase::Part::History);
}

RunHistory::RunHistory(RecordDatabase& records) : m_records(records) {
    m_records.ensure(RecordDatabase::Part::History);
}

namespace {

void bindRun(Statement& stmt, const RunRecord& r) {
    stmt.bind("started", formatLocalTime(r.started));
    stmt.bind("ended", formatLocalTime(r.ended));
    stmt.bind("trigger", storedName(r.trigger));
    stmt.bind("outcome", storedName(r.outcome));
    stmt.bind("message", r.message);
    stmt.bind("files", static_cast<std::int64_t>(r.files));
    stmt.bind("bytes", static_cast<std::int64_t>(r.bytes));
    stmt.bind("target", r.targetPath);
    // An instant is kept as its text; rows without one leave the column NULL.
    if (r.fireInstant) {
        stmt.bind("fire", formatLocalTime(*r.fireInstant));
    }
    stmt.bind("prune", static_cast<std::int64_t>(r.pruneFailures));
}

void writeChanges(Database& db, std::int64_t id, const RunRecord& r) {
    if (r.changes) {
        auto changes = db.prepare(
            "INSERT OR REPLACE INTO vantrel_run_changes (run_id, added, modified, deleted) "
            "VALUES (:id, :added, :modified, :deleted)");
        changes.bind("id", id);
        changes.bind("added", static_cast<std::int64_t>((*r.changes)[0]));
        changes.bind("modified", static_cast<std::int64_t>((*r.changes)[1]));
        changes.bind("deleted", static_cast<std::int64_t>((*r.changes)[2]));
        changes.step();
    }
}

std::int64_t insertRow(Database& db, const RunRecord& r) {
    auto stmt = db.prepare(
        "INSERT INTO run_history (started, ended, trigger, outcome, message, files, bytes, "
        "target_path, fire_instant, prune_failures) VALUES (:started, :ended, :trigger, "
        ":outcome, :message, :files, :bytes, :target, :fire, :prune)");
    bindRun(stmt, r);
    stmt.step();
    return db.lastInsertRowId();
}

std::int64_t writeRunRow(Database& db, const RunRecord& r) {
    std::int64_t id = 0;
    if (r.id != 0) {
        auto mine = db.prepare("SELECT id FROM run_history WHERE id = :id");
        mine.bind("id", r.id);
        if (mine.step()) {
            id = r.id;
        }
    } else {
        // A run finished by a later one (from the journal) knows its start, not its row.
        auto begun = db.prepare(
            "SELECT id FROM run_history WHERE started = :started AND trigger = :trigger AND "
            "(outcome = 'running' OR (outcome = 'failed' AND message = :interrupted)) "
            "ORDER BY id DESC LIMIT 1");
        begun.bind("started", formatLocalTime(r.started));
        begun.bind("trigger", storedName(r.trigger));
        begun.bind("interrupted", kRunInterrupted);
        if (begun.step()) {
            id = begun.columnInt(0);
        }
    }
    if (id == 0) {
        id = insertRow(db, r);
    } else {
        auto stmt = db.prepare(
            "UPDATE run_history SET started = :started, ended = :ended, trigger = :trigger, "
            "outcome = :outcome, message = :message, files = :files, bytes = :bytes, "
            "target_path = :target, fire_instant = :fire, prune_failures = :prune "
            "WHERE id = :id");
        bindRun(stmt, r);
        stmt.bind("id", id);
        stmt.step();
    }
    writeChanges(db, id, r);
    return id;
}

}  // namespace

std::int64_t RunHistory::write(const RunRecord& r) {
    return writeRunRow(m_records.db(), r);
}

std::int64_t RunHistory::add(const RunRecord& r) {
    try {
        const std::int64_t id = insertRow(m_records.db(), r);
        writeChanges(m_records.db(), id, r);
        return id;
    } catch (const std::exception& e) {
        m_records.fail(e);
    }
}

void RunHistory::update(const RunRecord& r) {
    try {
        Database& db = m_records.db();
        Transaction tx(db);
        writeRunRow(db, r);
        tx.commit();
    } catch (const std::exception& e) {
        m_records.fail(e);
    }
}

void RunHistory::markInterrupted(std::int64_t current) {
    try {
        auto stmt = m_records.db().prepare(
            "UPDATE run_history SET outcome = 'failed', message = :message "
            "WHERE outcome = 'running' AND id <> :id");
        stmt.bind("message", kRunInterrupted);
        stmt.bind("id", current);
        stmt.step();
    } catch (const std::exception& e) {
        m_records.fail(e);
    }
}

std::vector<RunRecord> RunHistory::query(std::string_view where, std::string_view order,
                                         std::size_t limit, std::optional<LocalTime> bound,
                                         std::optional<LocalTime> now) {
    std::string sql(kColumns);
    if (!where.empty()) {
        sql += " WHERE ";
        sql += where;
    }
    sql += " ORDER BY ";
    sql += order;
    if (limit > 0) {
        sql += " LIMIT " + std::to_string(limit);
    }
    std::vector<RunRecord> rows;
    try {
        auto stmt = m_records.db().prepare(sql);
        if (bound) {
            stmt.bind("bound", formatLocalTime(*bound));
        }
        if (now) {
            stmt.bind("now", formatLocalTime(*now));
        }
        while (stmt.step()) {
            RunRecord r;
            r.id = stmt.columnInt(0);
            r.started = parseLocalTime(stmt.columnText(1)).value_or(LocalTime{});
            r.ended = parseLocalTime(stmt.columnText(2)).value_or(r.started);
            r.trigger = triggerFrom(stmt.columnText(3));
            r.outcome = outcomeFrom(stmt.columnText(4));
            r.message = stmt.columnText(5);
            r.files = static_cast<std::uint64_t>(stmt.columnInt(6));
            r.bytes = static_cast<std::uint64_t>(stmt.columnInt(7));
            r.targetPath = stmt.columnText(8);
            r.fireInstant = parseLocalTime(stmt.columnText(9));
            r.pruneFailures = static_cast<std::uint64_t>(stmt.columnInt(10));
            if (stmt.columnInt(11) >= 0) {
                r.changes = {static_cast<std::uint64_t>(stmt.columnInt(11)),
                             static_cast<std::uint64_t>(stmt.columnInt(12)),
                             static_cast<std::uint64_t>(stmt.columnInt(13))};
            }
            rows.push_back(std::move(r));
        }
    } catch (const std::exception& e) {
        m_records.fail(e);
    }
    return rows;
}

std::vector<RunRecord> RunHistory::list(std::size_t limit) {
    return query("", "id DESC", limit, std::nullopt);
}

std::optional<RunRecord> RunHistory::lastRun(LocalTime now) {
    auto rows =
        query("outcome NOT IN ('missed', 'caught_up', 'cancelled', 'running') AND started <= :now",
              "id DESC", 1, std::nullopt, now);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::optional<RunRecord> RunHistory::lastComplete(LocalTime now) {
    auto rows = query("outcome = 'success' AND started <= :now", "started DESC, id DESC", 1,
                      std::nullopt, now);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::vector<RunRecord> RunHistory::completeRuns(LocalTime now) {
    return query("outcome = 'success' AND started <= :now", "started DESC, id DESC", 0,
                 std::nullopt, now);
}

std::optional<LocalTime> RunHistory::firstStarted() {
    auto rows = query("", "started ASC", 1, std::nullopt);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front().started;
}

bool RunHistory::answers(LocalTime fireInstant) {
    return !query("fire_instant = :bound", "id DESC", 1, fireInstant).empty();
}

std::vector<LocalTime> RunHistory::missedAfter(LocalTime after, LocalTime now) {
    std::vector<LocalTime> instants;
    for (const auto& r :
         query("outcome = 'missed' AND fire_instant > :bound AND fire_instant <= :now",
               "fire_instant ASC", 0, after, now)) {
        if (r.fireInstant) {
            instants.push_back(*r.fireInstant);
        }
    }
    return instants;
}

std::vector<RunRecord> RunHistory::catchUpsAfter(LocalTime after, LocalTime now) {
    return query("trigger = 'catch_up' AND started > :bound AND started <= :now", "id DESC", 0,
                 after, now);
}

void RunHistory::markCaughtUp(LocalTime upTo) {
    try {
        auto stmt = m_records.db().prepare(
            "UPDATE run_history SET outcome = 'caught_up' WHERE outcome = 'missed' AND "
            "fire_instant <= :bound");
        stmt.bind("bound", formatLocalTime(upTo));
        stmt.step();
    } catch (const std::exception& e) {
        m_records.fail(e);
    }
}

}  // namespace vantrel
