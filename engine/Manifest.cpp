#include "engine/Manifest.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "engine/BackupError.h"
#include "platform/Database.h"
#include "platform/FileStat.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCreateManifest =
    "CREATE TABLE IF NOT EXISTS manifest ("
    "copy_id INTEGER NOT NULL, path TEXT NOT NULL, type TEXT NOT NULL, "
    "size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, hash TEXT NOT NULL, "
    "PRIMARY KEY (copy_id, path)) WITHOUT ROWID;"
    "CREATE TRIGGER IF NOT EXISTS manifest_goes_with_row AFTER DELETE ON wenjianming "
    "BEGIN DELETE FROM manifest WHERE copy_id = OLD.id; END;";

std::string relativeText(const fs::path& relative) {
    std::string text = pathToUtf8(relative);
#ifdef _WIN32
    std::replace(text.begin(), text.end(), '\\', '/');
#endif
    return text;
}

char typeLetter(CopiedEntry::Type type) {
    switch (type) {
        case CopiedEntry::Type::File:
            return 'f';
        case CopiedEntry::Type::Folder:
            return 'd';
        case CopiedEntry::Type::Link:
            return 'l';
        case CopiedEntry::Type::Special:
            break;
    }
    return 's';
}

char typeLetter(EntryStat::Type type) {
    switch (type) {
        case EntryStat::Type::File:
            return 'f';
        case EntryStat::Type::Folder:
            return 'd';
        case EntryStat::Type::Link:
            return 'l';
        case EntryStat::Type::Special:
            break;
    }
    return 's';
}

std::string linkTarget(const fs::path& link) {
    std::error_code ec;
    const auto target = fs::read_symlink(link, ec);
    return ec ? std::string() : pathToUtf8(target);
}

// Entries come in walk order, or already sorted from the database.
void sortByPath(Manifest& entries) {
    const auto byPath = [](const ManifestEntry& a, const ManifestEntry& b) {
        return a.path < b.path;
    };
    if (!std::is_sorted(entries.begin(), entries.end(), byPath)) {
        std::sort(entries.begin(), entries.end(), byPath);
    }
}

[[noreturn]] void failDatabase(const fs::path& file, const std::exception& e) {
    throw BackupError("记录数据库“" + pathToUtf8(file) + "”出错：" + e.what());
}

}  // namespace

std::string hashFile(const fs::path& file) {
    // One buffer per thread, made once: small files are the many, and clearing a fresh
    // megabyte for each cost more than hashing it.
    constexpr std::size_t kBufferSize = 1 << 20;
    thread_local const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);  // read straight into the buffer
    in.open(file, std::ios::binary);
    if (!in) {
        throw std::system_error(errno ? errno : EIO, std::generic_category(), pathToUtf8(file));
    }
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    while (in) {
        in.read(buffer.get(), static_cast<std::streamsize>(kBufferSize));
        XXH3_128bits_update(&state, buffer.get(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw std::system_error(EIO, std::generic_category(), pathToUtf8(file));
    }
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state));
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(32);
    for (unsigned char byte : canonical.digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

ManifestRecorder::ManifestRecorder(const Manifest* previous) {
    if (previous != nullptr) {
        // A new copy holds about what the previous one did.
        m_previous.reserve(previous->size());
        m_entries.reserve(previous->size());
        for (const ManifestEntry& e : *previous) {
            m_previous.emplace(e.path, &e);
        }
    }
}

void ManifestRecorder::add(const CopiedEntry& entry) {
    ManifestEntry e;
    e.path = relativeText(entry.relative);
    e.type = typeLetter(entry.type);
    e.size = entry.size;
    e.mtimeNs = entry.mtimeNs;
    static const fs::path nowhere;
    const fs::path& written = entry.written != nullptr ? *entry.written : nowhere;
    // What the target kept, which a later check reads back: a file system with coarser
    // times rounds the source's.
    if (entry.type != CopiedEntry::Type::Folder && !entry.asWritten) {
        if (const auto st = statEntry(written)) {
            e.size = entry.type == CopiedEntry::Type::File ? st->size : 0;
            e.mtimeNs = st->mtimeNs;
        }
    }
    if (entry.type == CopiedEntry::Type::File) {
        const auto before = entry.shared ? m_previous.find(e.path) : m_previous.end();
        if (before != m_previous.end() && before->second->type == 'f' &&
            before->second->size == e.size && before->second->mtimeNs == e.mtimeNs &&
            !before->second->hash.empty()) {
            e.hash = before->second->hash;
        } else {
            try {
                e.hash = hashFile(written);
                ++m_hashed;
            } catch (const std::system_error&) {
                // Left empty: the check then reports the file as changed, never as intact.
            }
        }
    } else if (entry.type == CopiedEntry::Type::Link) {
        e.hash = linkTarget(written);
    }
    m_entries.push_back(std::move(e));
}

Manifest ManifestRecorder::take() {
    sortByPath(m_entries);
    return std::move(m_entries);
}

Manifest manifestOfTree(const fs::path& root) {
    Manifest entries;
    const auto add = [&entries](const fs::path& path, const fs::path& relative, bool follow) {
        const auto st = follow ? statFollowed(path) : statEntry(path);
        if (!st) {
            return;
        }
        ManifestEntry e;
        e.path = relativeText(relative);
        e.type = typeLetter(st->type);
        e.size = e.type == 'f' ? st->size : 0;
        e.mtimeNs = st->mtimeNs;
        if (e.type == 'f') {
            try {
                e.hash = hashFile(path);
            } catch (const std::system_error&) {
            }
        } else if (e.type == 'l') {
            e.hash = linkTarget(path);
        }
        entries.push_back(std::move(e));
    };
    add(root, {}, true);
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        return entries;
    }
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        add(it->path(), it->path().lexically_relative(root), false);
    }
    sortByPath(entries);
    return entries;
}

ManifestDiff compareManifests(const Manifest& recorded, const Manifest& found) {
    ManifestDiff diff;
    auto r = recorded.begin();
    auto f = found.begin();
    while (r != recorded.end() || f != found.end()) {
        if (f == found.end() || (r != recorded.end() && r->path < f->path)) {
            diff.missing.push_back(r++->path);
        } else if (r == recorded.end() || f->path < r->path) {
            diff.extra.push_back(f++->path);
        } else {
            const bool same =
                r->type == f->type &&
                (r->type == 'd' || r->type == 's' ||
                 (r->size == f->size && r->mtimeNs == f->mtimeNs && r->hash == f->hash));
            if (!same) {
                diff.changed.push_back(r->path);
            }
            ++r;
            ++f;
        }
    }
    return diff;
}

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
    Database& db = m_impl->db;
    try {
        db.exec("BEGIN IMMEDIATE");
        try {
            auto clear = db.prepare("DELETE FROM manifest WHERE copy_id = :id");
            clear.bind("id", id);
            clear.step();
            auto insert = db.prepare(
                "INSERT OR REPLACE INTO manifest (copy_id, path, type, size, mtime_ns, hash) "
                "VALUES (:id, :path, :type, :size, :mtime, :hash)");
            insert.bind("id", id);
            for (const ManifestEntry& e : manifest) {
                insert.bind("path", e.path);
                insert.bind("type", std::string_view(&e.type, 1));
                insert.bind("size", static_cast<std::int64_t>(e.size));
                insert.bind("mtime", e.mtimeNs);
                insert.bind("hash", e.hash);
                insert.step();
                insert.reset();
            }
            db.exec("COMMIT");
        } catch (...) {
            db.exec("ROLLBACK");
            throw;
        }
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
    }
}

std::optional<Manifest> ManifestStore::load(std::int64_t id) {
    Manifest entries;
    try {
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
    } catch (const DatabaseError& e) {
        failDatabase(m_impl->file, e);
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
