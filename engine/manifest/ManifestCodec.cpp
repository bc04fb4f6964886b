#include "engine/manifest/ManifestCodec.h"

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
constexpr std::size_t kMaxVarintBytes = 10;
constexpr std::size_t kChecksumBytes = 8;
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
    explicit BlobReader(std::string_view bytes, std::size_t from = 0)
        : m_bytes(bytes), m_pos(from) {}

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

std::size_t varintBytes(std::uint64_t value) {
    std::size_t n = 1;
    for (; value >= 0x80; value >>= 7) {
        ++n;
    }
    return n;
}

std::size_t sharedPrefix(std::string_view a, std::string_view b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first -
                                    a.begin());
}

}  // namespace

void encodeFields(const ManifestEntry& e, std::string& out) {
    // Room for the worst case first, so the writing needs no checks.
    const std::size_t start = out.size();
    out.resize(start + 16 * kMaxVarintBytes + 1 + e.hash.size());
    char* p = out.data() + start;
    *p++ = e.type;
    p = putVarint(p, e.size);
    p = putVarint(p, zigzag(e.mtimeNs));
    if (isPackable(e.hash)) {
        p = putVarint(p, ((e.hash.size() / 2) << 1) | 1);
        for (std::size_t i = 0; i < e.hash.size(); i += 2) {
            *p++ = static_cast<char>((hexValue(e.hash[i]) << 4) | hexValue(e.hash[i + 1]));
        }
    } else {
        p = putVarint(p, e.hash.size() << 1);
        p = putBytes(p, e.hash);
    }
    if (const auto& src = e.source) {
        p = putVarint(p, 1);
        p = putVarint(p, src->size);
        p = putVarint(p, zigzag(src->mtimeNs));
        p = putVarint(p, zigzag(src->ctimeNs));
        p = putVarint(p, src->permissions);
        p = putVarint(p, src->owner);
        p = putVarint(p, src->group);
    } else {
        p = putVarint(p, 0);
    }
    if (const auto& attrs = e.attributes) {
        p = putVarint(p, 1);
        p = putVarint(p, attrs->permissions);
        p = putVarint(p, attrs->owner);
        p = putVarint(p, attrs->group);
    } else {
        p = putVarint(p, 0);
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string writeManifest(std::uint64_t count,
                          const std::function<void(const EntryBytesFn&)>& each) {
    std::size_t bytes = 1 + varintBytes(count) + kChecksumBytes;
    std::string previous;
    each([&](std::string_view path, std::string_view fields) {
        const std::size_t shared = sharedPrefix(previous, path);
        bytes += varintBytes(shared) + varintBytes(path.size() - shared) + path.size() - shared +
                 fields.size();
        previous.assign(path);
    });

    std::string blob;
    blob.reserve(bytes);
    char buf[2 * kMaxVarintBytes];
    blob.push_back(static_cast<char>(kManifestFormat));
    blob.append(buf, putVarint(buf, count));
    previous.clear();
    each([&](std::string_view path, std::string_view fields) {
        const std::size_t shared = sharedPrefix(previous, path);
        char* p = putVarint(buf, shared);
        p = putVarint(p, path.size() - shared);
        blob.append(buf, p);
        blob.append(path.substr(shared));
        blob.append(fields);
        previous.assign(path);
    });
    const std::uint64_t sum = XXH3_64bits(blob.data(), blob.size());
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        blob.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
    }
    return blob;
}

std::string encodeManifest(const Manifest& sorted) {
    std::string fields;
    return writeManifest(sorted.size(), [&](const EntryBytesFn& entry) {
        for (const ManifestEntry& e : sorted) {
            fields.clear();
            encodeFields(e, fields);
            entry(e.path, fields);
        }
    });
}

namespace {

// The hash as the entry keeps it: packed bytes back to hex digits, or the text as it is.
void hashText(std::uint64_t header, std::string_view bytes, std::string& hash) {
    if ((header & 1) == 0) {
        hash.assign(bytes);
        return;
    }
    hash.resize(bytes.size() * 2);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const auto byte = static_cast<unsigned char>(bytes[k]);
        hash[2 * k] = kHexDigits[byte >> 4];
        hash[2 * k + 1] = kHexDigits[byte & 15];
    }
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

// Reads an entry's fields into `e`, or only checks them when `e` is null.
void fields(BlobReader& in, unsigned char format, ManifestEntry* e) {
    const char type = static_cast<char>(in.byte());
    if (type != 'f' && type != 'd' && type != 'l' && type != 's') {
        throw DamagedManifest{};
    }
    const std::uint64_t size = in.varint();
    const std::uint64_t mtime = in.varint();
    const std::uint64_t hashHeader = in.varint();
    const std::string_view hash = in.bytes(hashHeader >> 1);
    auto source = sourceFacts(in, format);
    auto attrs = attributes(in, format);
    if (e == nullptr) {
        return;
    }
    e->type = type;
    e->size = size;
    e->mtimeNs = unzigzag(mtime);
    hashText(hashHeader, hash, e->hash);
    // Earlier formats hashed every file, so their empty file hash is one that could not be
    // read back.
    if (format < kManifestFormat && type == 'f' && e->hash.empty()) {
        e->hash = kUnreadHash;
    }
    e->source = source;
    e->attributes = attrs;
}

}  // namespace

ManifestReader::ManifestReader(std::string_view blob) {
    if (blob.size() < 1 + kChecksumBytes) {
        throw DamagedManifest{};
    }
    m_body = blob.substr(0, blob.size() - kChecksumBytes);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kChecksumBytes; ++i) {
        sum |= static_cast<std::uint64_t>(static_cast<unsigned char>(blob[m_body.size() + i]))
               << (8 * i);
    }
    if (sum != XXH3_64bits(m_body.data(), m_body.size())) {
        throw DamagedManifest{};
    }
    BlobReader in(m_body);
    m_format = in.byte();
    if (!isKnownFormat(m_format)) {
        throw DamagedManifest{};
    }
    m_count = in.varint();
    if (m_count > in.left() / kMinEntryBytes) {
        throw DamagedManifest{};  // checked before the count sizes anything
    }
    m_pos = in.position();
}

bool ManifestReader::next() {
    if (m_read == m_count) {
        if (m_pos != m_body.size()) {
            throw DamagedManifest{};
        }
        return false;
    }
    BlobReader in(m_body, m_pos);
    const std::uint64_t shared = in.varint();
    if (shared > m_path.size()) {
        throw DamagedManifest{};
    }
    const std::string_view rest = in.bytes(in.varint());
    if (m_read > 0 && rest < std::string_view(m_path).substr(static_cast<std::size_t>(shared))) {
        throw DamagedManifest{};  // out of order: lookups and comparisons rely on it
    }
    m_path.resize(static_cast<std::size_t>(shared));
    m_path.append(rest);
    m_fields = in.position();
    fields(in, m_format, nullptr);
    m_pos = in.position();
    ++m_read;
    return true;
}

void ManifestReader::read(ManifestEntry& e) const {
    e.path = m_path;
    readFieldsAt(m_body, m_format, m_fields, e);
}

void readFieldsAt(std::string_view blob, unsigned char format, std::size_t offset,
                  ManifestEntry& e) {
    BlobReader in(blob, offset);
    fields(in, format, &e);
}

std::optional<ManifestEntry> findInManifest(std::string_view blob, std::string_view path) {
    ManifestReader in(blob);
    while (in.next()) {
        if (in.path() == path) {
            ManifestEntry e;
            in.read(e);
            return e;
        }
        if (std::string_view(in.path()) > path) {
            break;  // sorted: it is not there
        }
    }
    return std::nullopt;
}

Manifest decodeManifest(std::string_view blob) {
    ManifestReader in(blob);
    Manifest entries;
    entries.reserve(static_cast<std::size_t>(in.count()));
    while (in.next()) {
        in.read(entries.emplace_back());
    }
    return entries;
}

}  // namespace vantrel
