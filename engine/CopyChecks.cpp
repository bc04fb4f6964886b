#include "engine/CopyChecks.h"

#include <system_error>

#include "engine/RecordDatabase.h"
#include "engine/Texts.h"
#include "platform/Database.h"

namespace vantrel {

namespace fs = std::filesystem;

void recordCheck(const fs::path& dbFile, std::int64_t recordId, LocalTime when, bool intact) {
    RecordDatabase records(dbFile);
    records.ensure(RecordDatabase::Part::CopyChecks);
    try {
        auto stmt = records.db().prepare(
            "INSERT OR REPLACE INTO vantrel_copy_check (record_id, checked, intact) VALUES (:id, "
            ":when, :intact)");
        stmt.bind("id", recordId);
        stmt.bind("when", formatLocalTime(when));
        stmt.bind("intact", intact ? 1 : 0);
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
            checks[stmt.columnInt(0)] = {parseLocalTime(stmt.columnText(1)).value_or(LocalTime{}),
                                         stmt.columnInt(2) != 0};
        }
    } catch (const std::exception&) {
        // What was checked is a hint for the window; without it every copy reads 未核对.
    }
    return checks;
}

}  // namespace vantrel
