#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace vantrel {

// The kinds of entry a tree holds; Special is a pipe, socket or device node.
enum class EntryType { File, Folder, Link, Special };

// What one entry is, read without following a link.
struct EntryStat {
    EntryType type = EntryType::File;
    std::uint64_t size = 0;
    std::uint64_t allocatedBytes = 0;  // space its data takes on disk
    std::int64_t mtimeNs = 0;          // nanoseconds since the epoch
    // When the entry itself last changed (contents, mode, owner, links, extended attributes),
    // which no program can set back: ctime on POSIX, the NTFS change time on Windows.
    std::int64_t ctimeNs = 0;
    std::uint32_t permissions = 0;  // permission bits (07777)
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint64_t linkCount = 1;
};

// The entry at `path` itself (a link is not followed); none when it cannot be read.
std::optional<EntryStat> statEntry(const std::filesystem::path& path);
// The same, following `path` when it is a link.
std::optional<EntryStat> statFollowed(const std::filesystem::path& path);

// Calls `each(path, relative)` for every entry below the folder `root` (itself not included),
// a folder before what it holds; links are reported, never entered, and folders that cannot be
// read are left out. `relative` is the part below `root`. On Windows `path` has the long form,
// so trees deeper than 260 characters are walked whole. An entry `skip` names (by its relative
// path and whether it is a folder, a link never being one) is neither reported nor entered.
using WalkFn =
    std::function<void(const std::filesystem::path& path, const std::filesystem::path& relative)>;
using WalkSkipFn = std::function<bool(const std::filesystem::path& relative, bool folder)>;
void walkTree(const std::filesystem::path& root, const WalkFn& each, const WalkSkipFn& skip = {});

// Whether the process runs with the rights to keep owners (root).
bool keepsOwners();

// What a folder's file system can hold, found by trying it there.
struct LinkSupport {
    bool hardLinks = false;
    // Modification times differing by up to this much are one time there: 0 where the file
    // system keeps nanoseconds, 2 s where it keeps only 2-second times.
    std::int64_t timeToleranceNs = 0;
};

// Makes a file named `probeName` in `folder` and a hard link to it, reads back an odd-second
// time set on it, and removes both. Throws std::system_error when the file cannot be made.
LinkSupport probeLinks(const std::filesystem::path& folder, const std::filesystem::path& probeName);

}  // namespace vantrel
