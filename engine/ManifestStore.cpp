#include "engine/ManifestStore.h"

#include <string>

#include "engine/BackupError.h"
#include "engine/ManifestCodec.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// Manifests are kept one BLOB per copy in vantrel_manifest; table manifest, one row per
// entry, is what earlier versions wrote, still read for the copies they made.
constexpr std::string_view kCreateManifest =
    "CREATE TABLE IF NOT EXISTS manifest ("
    "copy_id INTEGER NOT NULL, path TEXT NOT NULL, type TEXT NOT NULL, "
    "size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, hash TEXT NOT NULL, "
    "PRIMARY KEY (copy_id, path)) WITHOUT ROWID;"
    "CREATE TRIGGER IF NOT EXISTS manifest_goes_with_row AFTER DELETE ON wenjianming "
    "BEGIN DELETE FROM manifest WHERE copy_id = OLD.id; END;"
    "CREATE TABLE IF NOT EXISTS vantrel_manifest ("
    "copy_id INTEGER PRIMARY KEY, entries BLOB NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS vantrel_manifest_goes_with_row AFTER DELETE ON wenjianming "
    "BEGIN DELETE FROM vantrel_manifest WHERE copy_id = OLD.id; END;";

[[noreturn]] void failDatabase(const fs::path& file, const std::exception& e) {
    throw BackupError("记录数据库“" + pathToUtf8(file) + "”出错：" + e.what());
}

}  // namespace

struct ManifestStore::Impl {
    fs::path file;
    Database db;

    explicit Impl(const fs::path& dbFile)
        : file(dbFile), db(dbFile, Database::Mode::OpenExisting) {}
};

ManifestStore::ManifestStore(const fs::path& dbFile) {
    try {
        m_impl = std::make_unique<Impl>(dbFile);
        m_impl->db.exec(kCreateManifest);
    } catch (const DatabaseError& e) {
        failDatabase(dbFile, e);
    }
}

ManifestStore::~ManifestStore() = default;

std::optional<std::int64_t> ManifestStore::rowOf(std::string_view targetPath) {
    try {
        auto stmt = m_impl->db.prepare("SELECT max(id) FROM wenjianming WHERE wenjianming = :path");
        stmt.bind("path", targetPath);
        if (stmt.step() && stmt.columnInt(0) > 0) {
            return stmt.columnInt(0);
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
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
    Database& db = m_impl->db;
    try {
        db.exec("BEGIN IMMEDIATE");
        try {
            // Rows an earlier version wrote for this copy go: the BLOB replaces them.
            auto clear = db.prepare("DELETE FROM manifest WHERE copy_id = :id");
            clear.bind("id", id);
            clear.step();
            auto insert = db.prepare(
                "INSERT OR REPLACE INTO vantrel_manifest (copy_id, entries) VALUES (:id, "
                ":entries)");
            insert.bind("id", id);
            insert.bindBlob("entries", blob);
            insert.step();
            db.exec("COMMIT");
        } catch (...) {
            db.exec("ROLLBACK");
            throw;
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
}

ManifestStore::Lookup ManifestStore::find(std::int64_t id, std::string_view path) {
    Lookup found;
    std::optional<std::string> blob;
    try {
        auto stored =
            m_impl->db.prepare("SELECT entries FROM vantrel_manifest WHERE copy_id = :id");
        stored.bind("id", id);
        if (stored.step()) {
            blob = stored.columnBlob(0);
        } else {
            // A copy made by an earlier version: its rows are keyed by path.
            auto any = m_impl->db.prepare("SELECT 1 FROM manifest WHERE copy_id = :id LIMIT 1");
            any.bind("id", id);
            found.hasManifest = any.step();
            if (found.hasManifest) {
                auto stmt = m_impl->db.prepare(
                    "SELECT type, size, mtime_ns, hash FROM manifest WHERE copy_id = :id AND "
                    "path = :path");
                stmt.bind("id", id);
                stmt.bind("path", path);
                if (stmt.step()) {
                    const std::string type = stmt.columnText(0);
                    found.entry = ManifestEntry{std::string(path), type.empty() ? 's' : type[0],
                                                static_cast<std::uint64_t>(stmt.columnInt(1)),
                                                stmt.columnInt(2), stmt.columnText(3)};
                }
            }
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
    if (blob) {
        found.hasManifest = true;
        try {
            found.entry = findInManifest(*blob, path);
        } catch (const DamagedManifest&) {
            throw BackupError("记录数据库“" + pathToUtf8(m_impl->file) +
                              "”中的备份清单已损坏（备份记录 " + std::to_string(id) + "）");
        }
    }
    return found;
}

std::optional<Manifest> ManifestStore::load(std::int64_t id) {
    std::optional<std::string> blob;
    Manifest entries;
    try {
        auto stored =
            m_impl->db.prepare("SELECT entries FROM vantrel_manifest WHERE copy_id = :id");
        stored.bind("id", id);
        if (stored.step()) {
            blob = stored.columnBlob(0);
        } else {
            // A copy made by an earlier version: one row per entry.
            auto stmt = m_impl->db.prepare(
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
                entries.push_back(std::move(e));
            }
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
    if (blob) {
        try {
            return decodeManifest(*blob);
        } catch (const DamagedManifest&) {
            // Never trusted in part: a check against it would call a damaged copy intact.
            throw BackupError("记录数据库“" + pathToUtf8(m_impl->file) +
                              "”中的备份清单已损坏（备份记录 " + std::to_string(id) + "）");
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
