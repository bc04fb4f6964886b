#include "engine/manifest/CopyChecks.h"

#include <string>
#include <system_error>
#include <vector>

#include "engine/Texts.h"
#include "engine/records/RecordDatabase.h"
#include "platform/Database.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// Column `intact`: 0 not intact, 1 intact, 2 intact as far as checked, the contents not
// compared. Earlier versions wrote 0 and 1, and read any other value as intact.
constexpr std::int64_t kIntactUnhashed = 2;

}  // namespace

void recordCheck(const fs::path& dbFile, std::int64_t recordId, LocalTime when, bool intact,
                 bool contentsChecked) {
    RecordDatabase records(dbFile);
    records.ensure(RecordDatabase::Part::CopyChecks);
    try {
        auto stmt = records.db().prepare(
            "INSERT OR REPLACE INTO vantrel_copy_check (record_id, checked, intact) VALUES (:id, "
            ":when, :intact)");
        stmt.bind("id", recordId);
        stmt.bind("when", formatLocalTime(when));
        stmt.bind("intact", !intact ? 0 : contentsChecked ? 1 : kIntactUnhashed);
        stmt.step();
    } catch (const DatabaseError& e) {
        records.fail(e);
    }
}

std::map<std::int64_t, CopyCheck> copyChecks(FileOps& files, const fs::path& dbFile) {
    std::map<std::int64_t, CopyCheck> checks;
    if (!files.stat(dbFile, true)) {
        return checks;
    }
    try {
        RecordDatabase records(dbFile);
        if (!records.has(RecordDatabase::Part::CopyChecks)) {
            return checks;
        }
        auto stmt =
            records.db().prepare("SELECT record_id, checked, intact FROM vantrel_copy_check");
        while (stmt.step()) {
            const std::int64_t intact = stmt.columnInt(2);
            checks[stmt.columnInt(0)] = {parseLocalTime(stmt.columnText(1)).value_or(LocalTime{}),
                                         intact != 0, intact != kIntactUnhashed};
        }
    } catch (const std::exception&) {
        // What was checked is a hint for the window; without it every copy reads 未核对.
    }
    return checks;
}

namespace {

std::string_view kindName(CheckEntry::Kind kind) {
    return kind == CheckEntry::Kind::Drill ? "drill" : "verify";
}

std::optional<CheckEntry> newestWhere(RecordDatabase& records, std::string_view where,
                                      std::optional<std::int64_t> recordId, CheckEntry::Kind kind) {
    if (!records.has(RecordDatabase::Part::CheckLog)) {
        return std::nullopt;
    }
    try {
        auto stmt = records.db().prepare(
            "SELECT checked, record_id, copy, passed, found FROM vantrel_check_log WHERE kind = "
            ":kind" +
            std::string(where) + " ORDER BY id DESC LIMIT 1");
        stmt.bind("kind", kindName(kind));
        if (recordId) {
            stmt.bind("id", *recordId);
        }
        if (!stmt.step()) {
            return std::nullopt;
        }
        return CheckEntry{parseLocalTime(stmt.columnText(0)).value_or(LocalTime{}),
                          stmt.columnInt(1),
                          stmt.columnText(2),
                          kind,
                          stmt.columnInt(3) != 0,
                          stmt.columnText(4)};
    } catch (const DatabaseError& e) {
        records.fail(e);
    }
}

void recordOutcome(const Workspace& ws, const VerifyResult& result) {
    if (!result.checked()) {
        return;
    }
    const LocalTime now = ws.clock.now();
    // Kept for the restore window, which shows whether each copy was found intact.
    recordCheck(ws.databaseFile(), result.copy->id, now, result.intact(),
                result.diff.contentsUnchecked == 0);
    RecordDatabase records(ws.databaseFile());
    logCheck(records, {now, result.copy->id, result.copy->path, CheckEntry::Kind::Verify,
                       result.intact(), foundText(result.diff)});
}

}  // namespace

void logCheck(RecordDatabase& records, const CheckEntry& entry) {
    records.ensure(RecordDatabase::Part::CheckLog);
    try {
        auto stmt = records.db().prepare(
            "INSERT INTO vantrel_check_log (checked, record_id, copy, kind, passed, found) "
            "VALUES (:when, :id, :copy, :kind, :passed, :found)");
        stmt.bind("when", formatLocalTime(entry.when));
        stmt.bind("id", entry.recordId);
        stmt.bind("copy", entry.copy);
        stmt.bind("kind", kindName(entry.kind));
        stmt.bind("passed", entry.passed ? 1 : 0);
        stmt.bind("found", entry.found);
        stmt.step();
    } catch (const DatabaseError& e) {
        records.fail(e);
    }
}

std::optional<CheckEntry> lastCheck(RecordDatabase& records, CheckEntry::Kind kind) {
    return newestWhere(records, "", std::nullopt, kind);
}

std::optional<CheckEntry> lastCheckOf(RecordDatabase& records, std::int64_t recordId,
                                      CheckEntry::Kind kind) {
    return newestWhere(records, " AND record_id = :id", recordId, kind);
}

std::vector<std::string> copiesFoundDamaged(RecordDatabase& records) {
    std::vector<std::string> copies;
    if (!records.has(RecordDatabase::Part::CheckLog)) {
        return copies;
    }
    try {
        // A copy's newest entry of each kind counts: a drill that passed since a failed check
        // does not clear it, a later check that found it intact does.
        auto stmt = records.db().prepare(
            "SELECT l.copy FROM vantrel_check_log l JOIN wenjianming w ON w.id = l.record_id "
            "WHERE l.passed = 0 AND l.id = (SELECT max(id) FROM vantrel_check_log WHERE "
            "record_id = l.record_id AND kind = l.kind) GROUP BY l.record_id "
            "ORDER BY l.record_id DESC");
        while (stmt.step()) {
            copies.push_back(stmt.columnText(0));
        }
    } catch (const DatabaseError& e) {
        records.fail(e);
    }
    return copies;
}

std::string lastCheckLine(const std::optional<CheckEntry>& last) {
    if (!last) {
        return "上次校验：从未校验";
    }
    return "上次校验：" + formatLocalTime(last->when).substr(0, 10) + "（" +
           (last->passed ? std::string("完好") : last->found) + "）";
}

std::string foundText(const ManifestDiff& diff) {
    std::string text;
    const auto add = [&text](std::string_view what, std::size_t count) {
        if (count > 0) {
            text += (text.empty() ? "" : "，") + std::string(what) + " " + std::to_string(count) +
                    " 项";
        }
    };
    add("缺少", diff.missing.size());
    add("改动", diff.changed.size());
    add("多出", diff.extra.size());
    return text;
}

VerifyResult checkAndRecord(const Workspace& ws, std::string_view yyyymmdd) {
    VerifyResult result = verifyCopy(ws, yyyymmdd);
    recordOutcome(ws, result);
    return result;
}

VerifyResult checkAndRecordCopy(const Workspace& ws, std::int64_t recordId) {
    VerifyResult result = verifyCopy(ws, recordId);
    recordOutcome(ws, result);
    return result;
}

}  // namespace vantrel
