#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The XXH3-128 of a file's contents as 32 hex digits. Throws std::system_error when the file
// cannot be read.
std::string hashFile(const std::filesystem::path& file);

// Collects the manifest of a copy from the entries the copy reports as it places them.
// A file linked from the previous copy takes its hash from that copy's manifest.
class ManifestRecorder {
public:
    explicit ManifestRecorder(const Manifest* previous = nullptr);

    // Safe to call from several threads at once; files are hashed outside the lock.
    void add(const CopiedEntry& entry);
    // The entries, sorted by path.
    Manifest take();
    // Files hashed, as opposed to taken from the previous manifest.
    std::uint64_t hashed() const { return m_hashed; }

private:
    std::unordered_map<std::string_view, const ManifestEntry*> m_previous;  // read-only
    std::mutex m_mutex;                                                     // guards the two below
    Manifest m_entries;
    std::uint64_t m_hashed = 0;
};

// What `root` holds now, in manifest form; entries that cannot be read are hashed as "".
Manifest manifestOfTree(const std::filesystem::path& root);

// How a copy differs from its manifest, by path.
struct ManifestDiff {
    std::vector<std::string> missing;  // in the manifest, not in the copy
    std::vector<std::string> changed;  // in both, with another type, size, time or contents
    std::vector<std::string> extra;    // in the copy, not in the manifest

    bool intact() const { return missing.empty() && changed.empty() && extra.empty(); }
};

// Folders compare by type only: their times move as entries come and go.
ManifestDiff compareManifests(const Manifest& recorded, const Manifest& found);

// The manifests of copies, kept in the record database next to the rows of table
// `wenjianming`, one manifest per row; deleting a row deletes its manifest.
class ManifestStore {
public:
    // Opens the database and adds the manifest table when it is missing. Throws BackupError
    // naming the file when it cannot.
    explicit ManifestStore(const std::filesystem::path& dbFile);
    ~ManifestStore();

    // The id of the newest row naming `targetPath`; none when no row does.
    std::optional<std::int64_t> rowOf(std::string_view targetPath);
    // Replaces the manifest of row `id`.
    void save(std::int64_t id, const Manifest& manifest);
    // The manifest of row `id`; none when it has none (a copy made without one). Throws
    // BackupError when the stored manifest is damaged: it is never trusted in part.
    std::optional<Manifest> load(std::int64_t id);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vantrel
