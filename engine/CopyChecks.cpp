#include "engine/CopyChecks.h"

#include <system_error>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

void recordCheck(const fs::path& dbFile, std::int64_t recordId, LocalTime when, bool intact) {
    try {
        Database db(dbFile, Database::Mode::OpenExisting);
        db.exec(
            "CREATE TABLE IF NOT EXISTS vantrel_copy_check (record_id INTEGER PRIMARY KEY, "
            "checked TEXT NOT NULL, intact INTEGER NOT NULL)");
        auto stmt = db.prepare(
            "INSERT OR REPLACE INTO vantrel_copy_check (record_id, checked, intact) VALUES (:id, "
            ":when, :intact)");
        stmt.bind("id", recordId);
        stmt.bind("when", formatLocalTime(when));
        stmt.bind("intact", intact ? 1 : 0);
        stmt.step();
    } catch (const DatabaseError& e) {
        throw BackupError("记录数据库“" + pathToUtf8(dbFile) + "”出错：" + e.what());
    }
}

std::map<std::int64_t, CopyCheck> copyChecks(const fs::path& dbFile) {
    std::map<std::int64_t, CopyCheck> checks;
    std::error_code ec;
    if (!fs::exists(dbFile, ec)) {
        return checks;
    }
    try {
        Database db(dbFile, Database::Mode::OpenExisting);
        auto has = db.prepare(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
            "'vantrel_copy_check'");
        if (!has.step() || has.columnInt(0) == 0) {
            return checks;
        }
        auto stmt = db.prepare("SELECT record_id, checked, intact FROM vantrel_copy_check");
        while (stmt.step()) {
            checks[stmt.columnInt(0)] = {parseLocalTime(stmt.columnText(1)).value_or(LocalTime{}),
                                         stmt.columnInt(2) != 0};
        }
    } catch (const DatabaseError&) {
        // What was checked is a hint for the window; without it every copy reads 未核对.
    }
    return checks;
}

}  // namespace vantrel
