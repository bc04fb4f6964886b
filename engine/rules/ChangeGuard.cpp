#include "engine/rules/ChangeGuard.h"

#include <system_error>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "engine/records/RecordDatabase.h"
#include "engine/run/CopyNaming.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

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

CopyChanges measureNewCopy(const Workspace& ws, const TBackupSettings& settings,
                           const fs::path& newCopy, const std::string* newManifest) {
    CopyChanges result;
    std::vector<CopyEntries> copies = jobCopies(ws, settings);
    CopyEntries* previous = nullptr;
    CopyEntries* complete = nullptr;
    // What the new copy's own rules leave out was not deleted by anyone.
    Exclusions rules;
    for (CopyEntries& copy : copies) {
        if (pathKey(copy.place()) == pathKey(newCopy)) {
            rules = Exclusions::stored(copy.record().rules);
            continue;
        }
        if (!copy.onDisk()) {
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
        return copy->stream();
    };
    const auto newEntries = [&] {
        return newManifest != nullptr ? streamOfBlob(*newManifest)
                                      : streamOfTree(ws.files, newCopy);
    };
    {
        auto older = entriesOf(previous);
        auto newer = newEntries();
        result.sincePrevious = compareEntries(*older, *newer, {}, &rules);
    }
    if (complete == previous && complete != nullptr) {
        result.sinceComplete = result.sincePrevious;
    } else if (complete != nullptr) {
        auto older = entriesOf(complete);
        auto newer = newEntries();
        result.sinceComplete = compareEntries(*older, *newer, {}, &rules);
    }
    return result;
}

struct ChangeGuard::Impl {
    RecordsRef records;

    explicit Impl(const fs::path& file) : records(file) {}
    explicit Impl(RecordDatabase& shared) : records(shared) {}
    bool hasTable() const { return records.has(RecordDatabase::Part::ChangeGuard); }
};

ChangeGuard::ChangeGuard(const fs::path& dbFile) : m_impl(std::make_unique<Impl>(dbFile)) {}

ChangeGuard::ChangeGuard(RecordDatabase& records) : m_impl(std::make_unique<Impl>(records)) {}

ChangeGuard::~ChangeGuard() = default;

void ChangeGuard::hold(const ChangeHold& h) {
    m_impl->records.ensure(RecordDatabase::Part::ChangeGuard);
    try {
        auto stmt = m_impl->records.db().prepare(
            "INSERT INTO vantrel_change_hold (record_id, started, changed, files_before) VALUES "
            "(:record, :started, :changed, :before)");
        stmt.bind("record", h.recordId);
        stmt.bind("started", formatLocalTime(h.started));
        stmt.bind("changed", static_cast<std::int64_t>(h.changed));
        stmt.bind("before", static_cast<std::int64_t>(h.filesBefore));
        stmt.step();
    } catch (const DatabaseError& e) {
        m_impl->records.fail(e);
    }
}

std::optional<ChangeHold> ChangeGuard::active() {
    if (!m_impl->hasTable()) {
        return std::nullopt;
    }
    try {
        auto stmt = m_impl->records.db().prepare(
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
        m_impl->records.fail(e);
    }
}

std::size_t ChangeGuard::confirm(LocalTime when) {
    if (!m_impl->hasTable()) {
        return 0;
    }
    try {
        auto stmt = m_impl->records.db().prepare(
            "UPDATE vantrel_change_hold SET confirmed = :when WHERE confirmed IS NULL");
        stmt.bind("when", formatLocalTime(when));
        stmt.step();
        auto count = m_impl->records.db().prepare("SELECT changes()");
        return count.step() ? static_cast<std::size_t>(count.columnInt(0)) : 0;
    } catch (const DatabaseError& e) {
        m_impl->records.fail(e);
    }
}

std::optional<ChangeHold> activeHold(const Workspace& ws) {
    const auto records = openRecords(ws);
    return records ? ChangeGuard(*records).active() : std::nullopt;
}

}  // namespace vantrel
