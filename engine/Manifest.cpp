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
#include "platform/LongPath.h"
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
    const auto target = fs::read_symlink(longPath(link), ec);
    return ec ? std::string() : pathToUtf8(target);
}

bool byPath(const ManifestEntry& a, const ManifestEntry& b) {
    return a.path < b.path;
}

// Entries come in walk order, or already sorted from the database.
void sortByPath(Manifest& entries) {
    if (!std::is_sorted(entries.begin(), entries.end(), byPath)) {
        std::sort(entries.begin(), entries.end(), byPath);
    }
}

// A manifest as one BLOB, entries sorted by path:
//   format byte (1), varint entry count, then per entry
//     varint bytes shared with the previous path, varint length and bytes of the rest,
//     type letter, varint size, zig-zag varint mtime_ns,
//     varint (n << 1 | packed) and n bytes of hash: packed, the bytes of a hash of lowercase
//     hex digits (every file's), else its text;
//   then the XXH3-64 of all the bytes before it, 8 bytes little-endian.
// Varints are LEB128: seven bits a byte, low bits first, the top bit set on all but the last.
constexpr unsigned char kManifestFormat = 1;
constexpr std::size_t kChecksumBytes = 8;
constexpr std::size_t kMaxVarintBytes = 10;
// Five one-byte numbers and the type letter: no entry takes fewer bytes.
constexpr std::size_t kMinEntryBytes = 6;
constexpr char kHexDigits[] = "0123456789abcdef";

char* putVarint(char* out, std::uint64_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<char>(value);
    return out;
}

char* putBytes(char* out, std::string_view bytes) {
    return std::copy(bytes.begin(), bytes.end(), out);
}

// Small negative times take as few bytes as small positive ones.
std::uint64_t zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t unzigzag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool isPackable(std::string_view hash) {
    return !hash.empty() && hash.size() % 2 == 0 &&
           std::all_of(hash.begin(), hash.end(), [](char c) { return hexValue(c) >= 0; });
}

std::string encodeManifest(const Manifest& sorted) {
    // Sized for the worst case first, so the loop writes without checks, then cut to fit.
    std::size_t bound = 1 + kMaxVarintBytes + kChecksumBytes;
    for (const ManifestEntry& e : sorted) {
        bound += 5 * kMaxVarintBytes + 1 + e.path.size() + e.hash.size();
    }
    std::string blob(bound, '\0');
    char* out = blob.data();
    *out++ = static_cast<char>(kManifestFormat);
    out = putVarint(out, sorted.size());
    std::string_view previous;
    for (const ManifestEntry& e : sorted) {
        const auto shared = static_cast<std::size_t>(
            std::mismatch(previous.begin(), previous.end(), e.path.begin(), e.path.end()).first -
            previous.begin());
        out = putVarint(out, shared);
        out = putVarint(out, e.path.size() - shared);
        out = putBytes(out, std::string_view(e.path).substr(shared));
        *out++ = e.type;
        out = putVarint(out, e.size);
        out = putVarint(out, zigzag(e.mtimeNs));
        if (isPackable(e.hash)) {
            out = putVarint(out, ((e.hash.size() / 2) << 1) | 1);
            for (std::size_t i = 0; i < e.hash.size(); i += 2) {
                *out++ = static_cast<char>((hexValue(e.hash[i]) << 4) | hexValue(e.hash[i + 1]));
            }
        } else {
            out = putVarint(out, e.hash.size() << 1);
            out = putBytes(out, e.hash);
        }
        previous = e.path;
    }
    const std::uint64_t sum = XXH3_64bits(blob.data(), static_cast<std::size_t>(out - blob.data()));
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        *out++ = static_cast<char>((sum >> (8 * i)) & 0xFF);
    }
    blob.resize(static_cast<std::size_t>(out - blob.data()));
    return blob;
}

// Thrown by the decoder when the BLOB is not a manifest it wrote.
struct DamagedManifest {};

// Reads a BLOB front to back; never past its end.
class BlobReader {
public:
    explicit BlobReader(std::string_view bytes) : m_bytes(bytes) {}

    std::size_t left() const { return m_bytes.size() - m_pos; }
    std::size_t position() const { return m_pos; }

    unsigned char byte() {
        if (m_pos == m_bytes.size()) {
            throw DamagedManifest{};
        }
        return static_cast<unsigned char>(m_bytes[m_pos++]);
    }

    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const unsigned char b = byte();
            if (shift == 63 && b > 1) {
                throw DamagedManifest{};  // more than 64 bits
            }
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) {
                return value;
            }
        }
        throw DamagedManifest{};
    }

    std::string_view bytes(std::uint64_t count) {
        if (count > left()) {
            throw DamagedManifest{};
        }
        const std::string_view taken = m_bytes.substr(m_pos, static_cast<std::size_t>(count));
        m_pos += taken.size();
        return taken;
    }

private:
    std::string_view m_bytes;
    std::size_t m_pos = 0;
};

// The entries of a BLOB from encodeManifest. Throws DamagedManifest for anything else: another
// format, a count or length that does not fit, entries out of order, a checksum that differs.
Manifest decodeManifest(std::string_view blob) {
    BlobReader in(blob);
    if (in.byte() != kManifestFormat) {
        throw DamagedManifest{};
    }
    const std::uint64_t count = in.varint();
    if (count > in.left() / kMinEntryBytes) {
        throw DamagedManifest{};  // checked before the count sizes anything
    }
    Manifest entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::string_view previous =
            entries.empty() ? std::string_view() : std::string_view(entries.back().path);
        const std::uint64_t shared = in.varint();
        if (shared > previous.size()) {
            throw DamagedManifest{};
        }
        const std::string_view rest = in.bytes(in.varint());
        if (rest < previous.substr(static_cast<std::size_t>(shared))) {
            throw DamagedManifest{};  // out of order: a later check merges by path
        }
        ManifestEntry e;
        e.path.reserve(static_cast<std::size_t>(shared) + rest.size());
        e.path.append(previous.substr(0, static_cast<std::size_t>(shared))).append(rest);
        e.type = static_cast<char>(in.byte());
        if (e.type != 'f' && e.type != 'd' && e.type != 'l' && e.type != 's') {
            throw DamagedManifest{};
        }
        e.size = in.varint();
        e.mtimeNs = unzigzag(in.varint());
        const std::uint64_t hashHeader = in.varint();
        const std::string_view hash = in.bytes(hashHeader >> 1);
        if ((hashHeader & 1) != 0) {
            e.hash.resize(hash.size() * 2);
            for (std::size_t k = 0; k < hash.size(); ++k) {
                const auto byte = static_cast<unsigned char>(hash[k]);
                e.hash[2 * k] = kHexDigits[byte >> 4];
                e.hash[2 * k + 1] = kHexDigits[byte & 15];
            }
        } else {
            e.hash = hash;
        }
        entries.push_back(std::move(e));
    }
    const std::size_t body = in.position();
    if (in.left() != kChecksumBytes) {
        throw DamagedManifest{};
    }
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        sum |= static_cast<std::uint64_t>(in.byte()) << (8 * i);
    }
    if (sum != XXH3_64bits(blob.data(), body)) {
        throw DamagedManifest{};
    }
    return entries;
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
    in.open(longPath(file), std::ios::binary);
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
    std::string hex;
    hex.reserve(32);
    for (unsigned char byte : canonical.digest) {
        hex += kHexDigits[byte >> 4];
        hex += kHexDigits[byte & 15];
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
    bool hashed = false;
    if (entry.type == CopiedEntry::Type::File) {
        const auto before = entry.shared ? m_previous.find(e.path) : m_previous.end();
        if (before != m_previous.end() && before->second->type == 'f' &&
            before->second->size == e.size && before->second->mtimeNs == e.mtimeNs &&
            !before->second->hash.empty()) {
            e.hash = before->second->hash;
        } else {
            try {
                e.hash = hashFile(written);
                hashed = true;
            } catch (const std::system_error&) {
                // Left empty: the check then reports the file as changed, never as intact.
            }
        }
    } else if (entry.type == CopiedEntry::Type::Link) {
        e.hash = linkTarget(written);
    }
    std::lock_guard lock(m_mutex);
    m_entries.push_back(std::move(e));
    m_hashed += hashed ? 1 : 0;
}

Manifest ManifestRecorder::take() {
    std::lock_guard lock(m_mutex);
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
    if (fs::is_directory(root, ec)) {
        walkTree(root, [&](const fs::path& path, const fs::path& relative) {
            add(path, relative, false);
        });
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
    std::string blob;
    if (std::is_sorted(manifest.begin(), manifest.end(), byPath)) {
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
