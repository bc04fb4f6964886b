#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/manifest/Manifest.h"

namespace vantrel {

// A manifest as one BLOB, entries sorted by path:
//   format byte (3; 1 and 2 are read too), varint entry count, then per entry
//     varint bytes shared with the previous path, varint length and bytes of the rest,
//     type letter, varint size, zig-zag varint mtime_ns,
//     varint (n << 1 | packed) and n bytes of hash: packed, the bytes of a hash of lowercase
//     hex digits, else its text;
//     (format 2 on) varint 0, or 1 and the source's facts: varint size, zig-zag varint
//     mtime_ns and ctime_ns, varint permission bits, owner, group;
//     (format 3) varint 0, or 1 and the entry's attributes in the copy: varint permission
//     bits, owner, group;
//   then the XXH3-64 of all the bytes before it, 8 bytes little-endian.
// Varints are LEB128: seven bits a byte, low bits first, the top bit set on all but the last.
// Databases keep these bytes: a change must still read what earlier versions wrote. Formats 1
// and 2 hashed every file, so a file without a hash there is one that could not be read back
// (kUnreadHash); from format 3 on it is a file the copy did not hash.

// The BLOB of a manifest sorted by path.
std::string encodeManifest(const Manifest& sorted);

// Appends the bytes an entry keeps after its path (its type letter on) to `out`.
void encodeFields(const ManifestEntry& entry, std::string& out);

// An entry as the writer takes it: its path and its bytes from encodeFields.
using EntryBytesFn = std::function<void(std::string_view path, std::string_view fields)>;

// The BLOB of `count` entries that `each` gives in path order, calling its argument once for
// every entry; `each` is called twice, so that the BLOB is sized exactly before it is written
// and never held twice while it grows. A run's manifest is written so without ever being held
// decoded.
std::string writeManifest(std::uint64_t count,
                          const std::function<void(const EntryBytesFn&)>& each);

// Thrown by the decoder when the BLOB is not a manifest it wrote.
struct DamagedManifest {};

// Reads a BLOB from encodeManifest entry by entry, in path order, never holding more than one:
// the checksum and header are checked first, each entry as it is reached, and the end when it
// is. Throws DamagedManifest for anything it did not write.
class ManifestReader {
public:
    explicit ManifestReader(std::string_view blob);

    std::uint64_t count() const { return m_count; }
    // Steps to the next entry, passing over its fields; false after the last.
    bool next();
    // The path of the entry stepped to.
    const std::string& path() const { return m_path; }
    // The entry stepped to, whole, into `e`, whose strings' memory is reused.
    void read(ManifestEntry& e) const;
    // Where the fields of the entry stepped to begin: readFieldsAt() reads them from there.
    std::size_t fieldsOffset() const { return m_fields; }
    unsigned char format() const { return m_format; }

private:
    std::string_view m_body;  // the BLOB without its checksum
    unsigned char m_format = 0;
    std::uint64_t m_count = 0;
    std::uint64_t m_read = 0;
    std::size_t m_pos = 0;
    std::size_t m_fields = 0;
    std::string m_path;
};

// The fields of the entry at `offset` of a BLOB a ManifestReader of `format` went through,
// into `e` (all but its path).
void readFieldsAt(std::string_view blob, unsigned char format, std::size_t offset,
                  ManifestEntry& e);

// The entries of a BLOB from encodeManifest. Throws DamagedManifest for anything else: another
// format, a count or length that does not fit, entries out of order, a checksum that differs.
Manifest decodeManifest(std::string_view blob);

// The one entry at `path` in a BLOB from encodeManifest, found without making the others;
// none when the manifest lacks it. Throws DamagedManifest as decodeManifest does for a BLOB
// whose checksum differs or whose entries up to `path` do not read.
std::optional<ManifestEntry> findInManifest(std::string_view blob, std::string_view path);

}  // namespace vantrel
