#include "engine/manifest/ManifestStore.h"

#include <string>

#include "engine/BackupError.h"
#include "engine/manifest/ManifestCodec.h"
#include "engine/records/RecordDatabase.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// Earlier versions hashed every file they recorded: one without a hash could not be read.
void markUnreadInEarlierRow(ManifestEntry& e) {
    if (e.type == 'f' && e.hash.empty()) {
        e.hash = kUnreadHash;
    }
}

}  // namespace

ManifestStore::ManifestStore(const fs::path& dbFile) : m_records(dbFile) {
    m_records.ensure(RecordDatabase::Part::Manifests);
}

ManifestStore::ManifestStore(RecordDatabase& records) : m_records(records) {
    m_records.ensure(RecordDatabase::Part::Manifests);
}

void ManifestStore::takeFromJournal(std::int64_t recordId, std::int64_t journalId) {
    Database& db = m_records.db();
    // Its room made first and filled a block at a time, never held whole.
    auto manifest = db.prepare(
        "INSERT OR REPLACE INTO vantrel_manifest (copy_id, entries) SELECT :row, "
        "zeroblob(length(manifest)) FROM vantrel_journal_run WHERE journal_id = :id AND "
        "manifest IS NOT NULL");
    manifest.bind("row", recordId);
    manifest.bind("id", journalId);
    manifest.step();
    auto waiting = db.prepare(
        "SELECT 1 FROM vantrel_journal_run WHERE journal_id = :id AND manifest IS NOT NULL");
    waiting.bind("id", journalId);
    if (waiting.step()) {
        db.copyBlob("vantrel_journal_run", "manifest", journalId, "vantrel_manifest", "entries",
                    recordId);
    }
}

std::optional<std::int64_t> ManifestStore::rowOf(std::string_view targetPath) {
    try {
        auto stmt =
            m_records.db().prepare("SELECT max(id) FROM wenjianming WHERE wenjianming = :path");
        stmt.bind("path", targetPath);
        if (stmt.step() && stmt.columnInt(0) > 0) {
            return stmt.columnInt(0);
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    return std::nullopt;
}

void ManifestStore::save(std::int64_t id, const Manifest& manifest) {
    std::string blob;
    if (isSortedByPath(manifest)) {
        blob = encodeManifest(manifest);
    } else {
        Manifest sorted = manifest;
        sortByPath(sorted);
        blob = encodeManifest(sorted);
    }
    Database& db = m_records.db();
    try {
        Transaction tx(db);
        // Rows an earlier version wrote for this copy go: the BLOB replaces them.
        auto clear = db.prepare("DELETE FROM manifest WHERE copy_id = :id");
        clear.bind("id", id);
        clear.step();
        auto insert = db.prepare(
            "INSERT OR REPLACE INTO vantrel_manifest (copy_id, entries) VALUES (:id, :entries)");
        insert.bind("id", id);
        insert.bindBlob("entries", blob);
        insert.step();
        tx.commit();
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

ManifestStore::Lookup ManifestStore::find(std::int64_t id, std::string_view path) {
    Lookup found;
    bool blob = false;
    try {
        // Asked whether there is one without reading it; then read into the buffer kept for
        // lookups, since a file's versions look into many large manifests in turn.
        if (readBlob(id, m_lookupBlob)) {
            blob = true;
        } else {
            // A copy made by an earlier version: its rows are keyed by path.
            auto any = m_records.db().prepare("SELECT 1 FROM manifest WHERE copy_id = :id LIMIT 1");
            any.bind("id", id);
            found.hasManifest = any.step();
            if (found.hasManifest) {
                auto stmt = m_records.db().prepare(
                    "SELECT type, size, mtime_ns, hash FROM manifest WHERE copy_id = :id AND "
                    "path = :path");
                stmt.bind("id", id);
                stmt.bind("path", path);
                if (stmt.step()) {
                    const std::string type = stmt.columnText(0);
                    found.entry = ManifestEntry{std::string(path),
                                                type.empty() ? 's' : type[0],
                                                static_cast<std::uint64_t>(stmt.columnInt(1)),
                                                stmt.columnInt(2),
                                                stmt.columnText(3),
                                                {},
                                                {}};
                    markUnreadInEarlierRow(*found.entry);
                }
            }
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    if (blob) {
        found.hasManifest = true;
        try {
            found.entry = findInManifest(m_lookupBlob, path);
        } catch (const DamagedManifest&) {
            damaged(id);
        }
    }
    return found;
}

void ManifestStore::damaged(std::int64_t id) const {
    throw BackupError("记录数据库“" + pathToUtf8(m_records.file()) +
                      "”中的备份清单已损坏（备份记录 " + std::to_string(id) + "）");
}

bool ManifestStore::readBlob(std::int64_t id, std::string& into) {
    try {
        auto stored = m_records.db().prepare("SELECT 1 FROM vantrel_manifest WHERE copy_id = :id");
        stored.bind("id", id);
        if (!stored.step()) {
            return false;
        }
        // Read in place: a statement would hold the BLOB twice more while it is copied out.
        m_records.db().readBlob("vantrel_manifest", "entries", id, into);
        return true;
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

bool ManifestStore::loadBlob(std::int64_t id, std::string& into) {
    if (!readBlob(id, into)) {
        return false;
    }
    try {
        for (ManifestReader in(into); in.next();) {
        }
    } catch (const DamagedManifest&) {
        damaged(id);
    }
    return true;
}

std::optional<ManifestIndex> ManifestStore::loadIndex(std::int64_t id) {
    std::string blob;
    if (!readBlob(id, blob)) {
        return std::nullopt;
    }
    try {
        return ManifestIndex(std::move(blob));
    } catch (const DamagedManifest&) {
        damaged(id);
    }
}

std::optional<Manifest> ManifestStore::load(std::int64_t id) {
    std::optional<std::string> blob;
    Manifest entries;
    try {
        if (std::string bytes; readBlob(id, bytes)) {
            blob = std::move(bytes);
        } else {
            // A copy made by an earlier version: one row per entry.
            auto stmt = m_records.db().prepare(
                "SELECT path, type, size, mtime_ns, hash FROM manifest WHERE copy_id = :id "
                "ORDER BY path");
            stmt.bind("id", id);
            while (stmt.step()) {
                ManifestEntry e;
                e.path = stmt.columnText(0);
                const std::string type = stmt.columnText(1);
                e.type = type.empty() ? 's' : type[0];
                e.size = static_cast<std::uint64_t>(stmt.columnInt(2));
                e.mtimeNs = stmt.columnInt(3);
                e.hash = stmt.columnText(4);
                markUnreadInEarlierRow(e);
                entries.push_back(std::move(e));
            }
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    if (blob) {
        try {
            return decodeManifest(*blob);
        } catch (const DamagedManifest&) {
            // Never trusted in part: a check against it would call a damaged copy intact.
            damaged(id);
        }
    }
    if (entries.empty()) {
        return std::nullopt;
    }
    // SQLite orders text by bytes, as std::string does; sorted again in case a collation
    // was set by hand.
    sortByPath(entries);
    return entries;
}

}  // namespace vantrel

namespace vantrel {

void ManifestStore::markDamaged(const FileId& id, std::string_view copyPath, std::string_view path,
                                std::string_view when) {
    try {
        auto stmt = m_records.db().prepare(
            "INSERT OR REPLACE INTO vantrel_damaged (device, inode, copy_path, path, found) "
            "VALUES (:device, :inode, :copy, :path, :found)");
        stmt.bind("device", static_cast<std::int64_t>(id.device));
        stmt.bind("inode", static_cast<std::int64_t>(id.inode));
        stmt.bind("copy", copyPath);
        stmt.bind("path", path);
        stmt.bind("found", when);
        stmt.step();
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
}

std::set<std::pair<std::uint64_t, std::uint64_t>> ManifestStore::damaged() {
    std::set<std::pair<std::uint64_t, std::uint64_t>> ids;
    try {
        auto stmt = m_records.db().prepare("SELECT device, inode FROM vantrel_damaged");
        while (stmt.step()) {
            ids.emplace(static_cast<std::uint64_t>(stmt.columnInt(0)),
                        static_cast<std::uint64_t>(stmt.columnInt(1)));
        }
    } catch (const DatabaseError& e) {
        m_records.fail(e);
    }
    return ids;
}

}  // namespace vantrel
