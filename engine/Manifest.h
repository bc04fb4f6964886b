#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileOps.h"

namespace vantrel {

// One entry of a copy as it was made: what a later check compares the copy with.
struct ManifestEntry {
    std::string path;  // below the copy's top, UTF-8 with "/" between names; "" for the top
    char type = 'f';   // 'f' file, 'd' folder, 'l' link, 's' special file
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::string hash;  // files: XXH3-128 of the contents in hex; links: the link's target

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
// Entries come in walk order, or already sorted from the database.
void sortByPath(Manifest& entries);

}  // namespace vantrel
