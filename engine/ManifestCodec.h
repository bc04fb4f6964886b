#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/Manifest.h"

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

// Thrown by the decoder when the BLOB is not a manifest it wrote.
struct DamagedManifest {};

// The entries of a BLOB from encodeManifest. Throws DamagedManifest for anything else: another
// format, a count or length that does not fit, entries out of order, a checksum that differs.
Manifest decodeManifest(std::string_view blob);

// The one entry at `path` in a BLOB from encodeManifest, found without making the others;
// none when the manifest lacks it. Throws DamagedManifest as decodeManifest does for a BLOB
// whose checksum differs or whose entries up to `path` do not read.
std::optional<ManifestEntry> findInManifest(std::string_view blob, std::string_view path);

}  // namespace vantrel
