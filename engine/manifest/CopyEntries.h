#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/manifest/Manifest.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/rules/Exclusions.h"
#include "engine/run/Workspace.h"

namespace vantrel {

class ManifestStore;

// Entries one at a time, in the order of their paths as manifests keep them (UTF-8 bytes,
// "/" between names), so two copies are compared without either being held whole.
class EntryStream {
public:
    virtual ~EntryStream() = default;
    // The next entry; null after the last. Valid until the next call.
    virtual const ManifestEntry* next() = 0;
};

// The entries of a manifest sorted by path, held elsewhere: `below` and everything under it
// ("" for all).
std::unique_ptr<EntryStream> streamOf(const Manifest& sorted, std::string_view below = {});
// The entries of a manifest's BLOB, held elsewhere, decoded one at a time: `below` and
// everything under it ("" for all). Throws BackupError from next() if the BLOB is damaged.
std::unique_ptr<EntryStream> streamOfBlob(std::string_view blob, std::string_view below = {});
// The tree at `root` as it is on disk: `below` and everything under it. Files carry no hash
// (unknown); links carry their target; every entry its permission bits and owner; folders
// that cannot be read show nothing under them.
std::unique_ptr<EntryStream> streamOfTree(FileOps& files, const std::filesystem::path& root,
                                          std::string_view below = {});

// Merges two streams by path: `each` is told of every path in order, with the entry each
// side holds there (null on the side that lacks it), valid for that call only. What counts as
// a difference is the caller's: `changes` and `verify` ask different things of a pair.
using PairFn = std::function<void(const ManifestEntry* a, const ManifestEntry* b)>;
void mergeByPath(EntryStream& a, EntryStream& b, const PairFn& each);

// Whether two versions of an entry are the same: same type; files of the same size and time
// and, where both hashes are known, the same hash; links with the same target. Folders and
// special files compare by type, since a folder's time moves as entries come and go.
bool sameEntry(const ManifestEntry& a, const ManifestEntry& b);

// What a copy changed against an older one, entry by entry.
enum class ChangeKind { Added, Modified, Deleted };
// "新增", "修改", "删除".
std::string_view changeWord(ChangeKind kind);

struct ChangeCounts {
    // Every entry but the copy's top, as `changes` lists them.
    std::uint64_t added = 0;
    std::uint64_t modified = 0;
    std::uint64_t deleted = 0;
    // Of the older copy's files, links and special files: how many there were, and how many
    // of them the newer copy changed or no longer holds; and how many the newer copy added.
    std::uint64_t filesBefore = 0;
    std::uint64_t filesModified = 0;
    std::uint64_t filesDeleted = 0;
    std::uint64_t filesAdded = 0;

    // "新增 A 个，修改 B 个，删除 C 个", counting files as a run's file count does (links and
    // special files too, folders not).
    std::string summary() const;
};

using ChangeFn = std::function<void(ChangeKind, const ManifestEntry&)>;
// Merges the two streams by path; `each` is told of every entry added, modified or deleted
// (for a deletion, the older entry), in path order. The top entries ("") are not compared.
// Entries of the older copy that `newerRules`, the rules the newer copy was made with, leave
// out were not deleted: they are neither told nor counted.
ChangeCounts compareEntries(EntryStream& older, EntryStream& newer, const ChangeFn& each = {},
                            const Exclusions* newerRules = nullptr);

// One recorded copy and its entries: from the manifest kept with it when it has one (and it
// can be read), else read from the copy on disk.
class CopyEntries {
public:
    CopyEntries(FileOps& files, BackupRecord record, std::filesystem::path place, bool onDisk,
                std::shared_ptr<ManifestStore> manifests, bool trusted = true);

    const BackupRecord& record() const { return m_record; }
    // Where the copy lies.
    const std::filesystem::path& place() const { return m_place; }
    // Whether it is there to be read: on disk, and where its record may lead.
    bool onDisk() const { return m_onDisk; }
    // False when its record names a place no copy can be (a ".." on the way, a name not
    // shaped as a copy's): never read, whatever lies there.
    bool trusted() const { return m_trusted; }

    // The entry at `path` ("" for the copy's top); none when the copy lacks it.
    std::optional<ManifestEntry> find(std::string_view path);
    // `path` and everything under it, in path order.
    std::unique_ptr<EntryStream> stream(std::string_view path = {});

private:
    const Manifest* manifest();
    const std::string* manifestBlob();

    FileOps* m_files;
    BackupRecord m_record;
    std::filesystem::path m_place;
    bool m_onDisk = false;
    std::shared_ptr<ManifestStore> m_manifests;
    bool m_trusted = true;
    bool m_loaded = false;
    std::optional<Manifest> m_manifest;
    bool m_blobLoaded = false;
    std::optional<std::string> m_blob;
};

// The job's copies, newest first, as `vantrel-cli list` shows them (a place a newer row
// also names is left out), each with its entries; one whose record is not trusted is never
// on disk. Reads only: a working directory without
// a record database has none.
std::vector<CopyEntries> jobCopies(const Workspace& ws);
// The same, only the copies made from the source `settings` name (engine/places/JobPlaces.h); every
// copy when they name none.
std::vector<CopyEntries> jobCopies(const Workspace& ws, const TBackupSettings& settings);

}  // namespace vantrel
