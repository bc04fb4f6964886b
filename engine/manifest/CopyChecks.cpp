#include "engine/manifest/CopyChecks.h"

#include <system_error>

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

}  // namespace vantrel
