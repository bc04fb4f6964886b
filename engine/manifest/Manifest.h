#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileOps.h"

namespace vantrel {

// What the source entry was when it was copied, to the nanosecond: a later run links a file
// from this copy instead of copying it only when the source still matches all of it. The
// change time moves on every edit, even one that sets the modification time back.
struct SourceFacts {
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::uint32_t permissions = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;

    friend bool operator==(const SourceFacts&, const SourceFacts&) = default;
};

SourceFacts sourceFactsOf(const EntryStat& source);

// Permission bits, owner and group of an entry as the copy holds it (owner and group are 0
// where the platform has none).
struct EntryAttributes {
    std::uint32_t permissions = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;

    friend bool operator==(const EntryAttributes&, const EntryAttributes&) = default;
};

EntryAttributes attributesOf(const EntryStat& st);

// The hash of a file whose contents could not be read back when the copy was made: it never
// equals a hash, so a later check reports the file as changed rather than intact. An empty
// hash means the copy was made without hashing its files.
inline constexpr std::string_view kUnreadHash = "?";

// One entry of a copy as it was made: what a later check compares the copy with.
struct ManifestEntry {
    std::string path;          // below the copy's top, UTF-8 with "/" between names; "" for the top
    char type = 'f';           // 'f' file, 'd' folder, 'l' link, 's' special file
    std::uint64_t size = 0;    // as the copy holds it
    std::int64_t mtimeNs = 0;  // as the copy holds it: a coarse file system rounds it
    // Files: XXH3-128 of the contents in hex, kUnreadHash, or "" when not hashed; links: the
    // link's target.
    std::string hash;
    // The source as it was copied; none in manifests of earlier versions, which never let a
    // file be linked.
    std::optional<SourceFacts> source;
    // As the copy holds the entry; none in manifests of earlier versions, which never recorded
    // them.
    std::optional<EntryAttributes> attributes;

    friend bool operator==(const ManifestEntry&, const ManifestEntry&) = default;
};

using Manifest = std::vector<ManifestEntry>;

// The letter a manifest keeps for an entry of this type.
char typeLetter(EntryType type);
// A path below the copy's top as a manifest keeps it: UTF-8, "/" between names.
std::string manifestPath(const std::filesystem::path& relative);
// The target of the link at `link` as a manifest keeps it; "" when it cannot be read.
std::string linkTarget(FileOps& files, const std::filesystem::path& link);

bool isSortedByPath(const Manifest& entries);
// The entry of `path` in a manifest sorted by path; null when it has none.
const ManifestEntry* findEntry(const Manifest& sorted, std::string_view path);
// Entries come in walk order, or already sorted from the database.
void sortByPath(Manifest& entries);

}  // namespace vantrel
