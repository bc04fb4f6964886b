#include "engine/ManifestCodec.h"

#include <algorithm>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vantrel {

namespace {

// Format 1 has no source facts; format 2 follows each entry's hash with them; format 3 adds
// the entry's attributes in the copy.
constexpr unsigned char kFirstFormat = 1;
constexpr unsigned char kSourceFormat = 2;
constexpr unsigned char kManifestFormat = 3;
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

std::uint32_t narrow32(std::uint64_t value) {
    if (value > 0xFFFFFFFFu) {
        throw DamagedManifest{};
    }
    return static_cast<std::uint32_t>(value);
}

bool isPackable(std::string_view hash) {
    return !hash.empty() && hash.size() % 2 == 0 &&
           std::all_of(hash.begin(), hash.end(), [](char c) { return hexValue(c) >= 0; });
}

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

}  // namespace

std::string encodeManifest(const Manifest& sorted) {
    // Grown as it is written, each entry given room for its worst case first so the writing
    // needs no checks; a worst-case size for the whole manifest would be five times the
    // result, held while the manifests it came from still are.
    std::string blob;
    std::size_t used = 0;
    const auto room = [&blob, &used](std::size_t need) {
        if (blob.size() - used < need) {
            blob.resize(std::max(used + need, blob.size() + blob.size() / 2));
        }
        return blob.data() + used;
    };
    blob.resize(64 + sorted.size() * 48);  // about what an entry of a file with a hash takes
    char* out = room(1 + kMaxVarintBytes);
    *out++ = static_cast<char>(kManifestFormat);
    out = putVarint(out, sorted.size());
    used = static_cast<std::size_t>(out - blob.data());
    std::string_view previous;
    for (const ManifestEntry& e : sorted) {
        out = room(16 * kMaxVarintBytes + 1 + e.path.size() + e.hash.size());
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
        if (const auto& src = e.source) {
            out = putVarint(out, 1);
            out = putVarint(out, src->size);
            out = putVarint(out, zigzag(src->mtimeNs));
            out = putVarint(out, zigzag(src->ctimeNs));
            out = putVarint(out, src->permissions);
            out = putVarint(out, src->owner);
            out = putVarint(out, src->group);
        } else {
            out = putVarint(out, 0);
        }
        if (const auto& attrs = e.attributes) {
            out = putVarint(out, 1);
            out = putVarint(out, attrs->permissions);
            out = putVarint(out, attrs->owner);
            out = putVarint(out, attrs->group);
        } else {
            out = putVarint(out, 0);
        }
        previous = e.path;
        used = static_cast<std::size_t>(out - blob.data());
    }
    const std::uint64_t sum = XXH3_64bits(blob.data(), used);
    out = room(kChecksumBytes);
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        *out++ = static_cast<char>((sum >> (8 * i)) & 0xFF);
    }
    blob.resize(used + kChecksumBytes);
    blob.shrink_to_fit();
    return blob;
}

namespace {

// The hash as the entry keeps it: packed bytes back to hex digits, or the text as it is.
std::string hashText(std::uint64_t header, std::string_view bytes) {
    if ((header & 1) == 0) {
        return std::string(bytes);
    }
    std::string hex(bytes.size() * 2, '\0');
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const auto byte = static_cast<unsigned char>(bytes[k]);
        hex[2 * k] = kHexDigits[byte >> 4];
        hex[2 * k + 1] = kHexDigits[byte & 15];
    }
    return hex;
}

bool isKnownFormat(unsigned char format) {
    return format >= kFirstFormat && format <= kManifestFormat;
}

// Whether an optional part follows: varint 0 or 1.
bool present(BlobReader& in) {
    const std::uint64_t flag = in.varint();
    if (flag > 1) {
        throw DamagedManifest{};
    }
    return flag == 1;
}

// What an entry of format 2 on recorded of its source, read after its hash.
std::optional<SourceFacts> sourceFacts(BlobReader& in, unsigned char format) {
    if (format < kSourceFormat || !present(in)) {
        return std::nullopt;
    }
    SourceFacts src;
    src.size = in.varint();
    src.mtimeNs = unzigzag(in.varint());
    src.ctimeNs = unzigzag(in.varint());
    src.permissions = narrow32(in.varint());
    src.owner = narrow32(in.varint());
    src.group = narrow32(in.varint());
    return src;
}

// What an entry of format 3 recorded of itself in the copy, read after the source's facts.
std::optional<EntryAttributes> attributes(BlobReader& in, unsigned char format) {
    if (format < kManifestFormat || !present(in)) {
        return std::nullopt;
    }
    EntryAttributes attrs;
    attrs.permissions = narrow32(in.varint());
    attrs.owner = narrow32(in.varint());
    attrs.group = narrow32(in.varint());
    return attrs;
}

// The hash as read: earlier formats hashed every file, so their empty file hash is one that
// could not be read back.
std::string storedHash(char type, std::uint64_t header, std::string_view bytes,
                       unsigned char format) {
    std::string hash = hashText(header, bytes);
    if (format < kManifestFormat && type == 'f' && hash.empty()) {
        hash = kUnreadHash;
    }
    return hash;
}

}  // namespace

std::optional<ManifestEntry> findInManifest(std::string_view blob, std::string_view path) {
    if (blob.size() < 1 + kChecksumBytes) {
        throw DamagedManifest{};
    }
    const std::size_t body = blob.size() - kChecksumBytes;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        sum |= static_cast<std::uint64_t>(static_cast<unsigned char>(blob[body + i])) << (8 * i);
    }
    if (sum != XXH3_64bits(blob.data(), body)) {
        throw DamagedManifest{};
    }
    BlobReader in(blob.substr(0, body));
    const unsigned char format = in.byte();
    if (!isKnownFormat(format)) {
        throw DamagedManifest{};
    }
    const std::uint64_t count = in.varint();
    std::string current;  // the path read last, grown in place
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t shared = in.varint();
        if (shared > current.size()) {
            throw DamagedManifest{};
        }
        current.resize(static_cast<std::size_t>(shared));
        current.append(in.bytes(in.varint()));
        const char type = static_cast<char>(in.byte());
        const std::uint64_t size = in.varint();
        const std::uint64_t mtime = in.varint();
        const std::uint64_t hashHeader = in.varint();
        const std::string_view hash = in.bytes(hashHeader >> 1);
        std::optional<SourceFacts> source = sourceFacts(in, format);
        std::optional<EntryAttributes> attrs = attributes(in, format);
        if (current == path) {
            return ManifestEntry{current,
                                 type,
                                 size,
                                 unzigzag(mtime),
                                 storedHash(type, hashHeader, hash, format),
                                 std::move(source),
                                 std::move(attrs)};
        }
        if (std::string_view(current) > path) {
            break;  // sorted: it is not there
        }
    }
    return std::nullopt;
}

Manifest decodeManifest(std::string_view blob) {
    BlobReader in(blob);
    const unsigned char format = in.byte();
    if (!isKnownFormat(format)) {
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
        e.hash = storedHash(e.type, hashHeader, in.bytes(hashHeader >> 1), format);
        e.source = sourceFacts(in, format);
        e.attributes = attributes(in, format);
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

}  // namespace vantrel
