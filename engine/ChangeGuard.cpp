#include "engine/ChangeGuard.h"

#include <system_error>

#include "engine/BackupError.h"
#include "engine/CopyNaming.h"
#include "engine/Texts.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCreateTable =
    "CREATE TABLE IF NOT EXISTS vantrel_change_hold (id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "record_id INTEGER NOT NULL, started TEXT NOT NULL, changed INTEGER NOT NULL, "
    "files_before INTEGER NOT NULL, confirmed TEXT)";

[[noreturn]] void failDatabase(const fs::path& file, const std::exception& e) {
    throw BackupError("记录数据库“" + pathToUtf8(file) + "”出错：" + e.what());
}

std::uint64_t changedFiles(const ChangeCounts& c) {
    return c.filesModified + c.filesDeleted;
}

}  // namespace

bool isMassChange(const ChangeCounts& c) {
    const std::uint64_t changed = changedFiles(c);
    return changed >= kMassChangeFloor && changed * 2 >= c.filesBefore;
}

std::string massChangeWarning(const ChangeCounts& c) {
    const std::uint64_t changed = changedFiles(c);
    const std::uint64_t percent = c.filesBefore == 0 ? 100 : changed * 100 / c.filesBefore;
    return "本次备份发现 " + std::to_string(changed) + " 个文件被修改或删除（占上一个备份的 " +
           std::to_string(percent) +
           "%），为防止误删或勒索软件造成损失，旧备份暂不清理，请确认这些变化。";
}

CopyChanges measureNewCopy(const Workspace& ws, const fs::path& newCopy,
                           const Manifest* newManifest, std::int64_t knownId,
                           const Manifest* known) {
    CopyChanges result;
    std::vector<CopyEntries> copies = jobCopies(ws);
    CopyEntries* previous = nullptr;
    CopyEntries* complete = nullptr;
    for (CopyEntries& copy : copies) {
        if (!copy.onDisk() || pathKey(copy.place()) == pathKey(newCopy)) {
            continue;
        }
        previous = previous != nullptr ? previous : &copy;
        if (copy.record().complete()) {
            complete = &copy;
            break;
        }
    }
    const auto entriesOf = [&](CopyEntries* copy) {
        if (copy == nullptr) {
            return streamOf(Manifest{});  // nothing before: every entry is new
        }
        return known != nullptr && copy->record().id == knownId ? streamOf(*known) : copy->stream();
    };
    const auto newEntries = [&] {
        return newManifest != nullptr ? streamOf(*newManifest) : streamOfTree(newCopy);
    };
    {
        auto older = entriesOf(previous);
        auto newer = newEntries();
        result.sincePrevious = compareEntries(*older, *newer);
    }
    if (complete == previous && complete != nullptr) {
        result.sinceComplete = result.sincePrevious;
    } else if (complete != nullptr) {
        auto older = entriesOf(complete);
        auto newer = newEntries();
        result.sinceComplete = compareEntries(*older, *newer);
    }
    return result;
}

struct ChangeGuard::Impl {
    fs::path file;
    Database db;
    bool hasTable = false;

    explicit Impl(const fs::path& dbFile) : file(dbFile), db(dbFile, Database::Mode::OpenExisting) {
        auto stmt = db.prepare(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
            "'vantrel_change_hold'");
        hasTable = stmt.step() && stmt.columnInt(0) > 0;
    }
};

ChangeGuard::ChangeGuard(const fs::path& dbFile) {
    try {
        m_impl = std::make_unique<Impl>(dbFile);
    } catch (const DatabaseError& e) {
        failDatabase(dbFile, e);
    }
}

ChangeGuard::~ChangeGuard() = default;

void ChangeGuard::hold(const ChangeHold& h) {
    try {
        m_impl->db.exec(kCreateTable);
        m_impl->hasTable = true;
        auto stmt = m_impl->db.prepare(
            "INSERT INTO vantrel_change_hold (record_id, started, changed, files_before) VALUES "
            "(:record, :started, :changed, :before)");
        stmt.bind("record", h.recordId);
        stmt.bind("started", formatLocalTime(h.started));
        stmt.bind("changed", static_cast<std::int64_t>(h.changed));
        stmt.bind("before", static_cast<std::int64_t>(h.filesBefore));
        stmt.step();
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
}

std::optional<ChangeHold> ChangeGuard::active() {
    if (!m_impl->hasTable) {
        return std::nullopt;
    }
    try {
        auto stmt = m_impl->db.prepare(
            "SELECT record_id, started, changed, files_before FROM vantrel_change_hold WHERE "
            "confirmed IS NULL ORDER BY record_id ASC LIMIT 1");
        if (!stmt.step()) {
            return std::nullopt;
        }
        ChangeHold h;
        h.recordId = stmt.columnInt(0);
        h.started = parseLocalTime(stmt.columnText(1)).value_or(LocalTime{});
        h.changed = static_cast<std::uint64_t>(stmt.columnInt(2));
        h.filesBefore = static_cast<std::uint64_t>(stmt.columnInt(3));
        return h;
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
}

std::size_t ChangeGuard::confirm(LocalTime when) {
    if (!m_impl->hasTable) {
        return 0;
    }
    try {
        auto stmt = m_impl->db.prepare(
            "UPDATE vantrel_change_hold SET confirmed = :when WHERE confirmed IS NULL");
        stmt.bind("when", formatLocalTime(when));
        stmt.step();
        auto count = m_impl->db.prepare("SELECT changes()");
        return count.step() ? static_cast<std::size_t>(count.columnInt(0)) : 0;
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
}

std::optional<ChangeHold> activeHold(const Workspace& ws) {
    std::error_code ec;
    if (!fs::exists(ws.databaseFile(), ec)) {
        return std::nullopt;
    }
    return ChangeGuard(ws.databaseFile()).active();
}

}  // namespace vantrel
