#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "engine/manifest/Manifest.h"
#include "engine/manifest/ManifestIndex.h"
#include "engine/records/RecordDatabase.h"
#include "platform/FileOps.h"

namespace vantrel {

// The manifests of copies, kept in the record database next to the rows of table
// `wenjianming`, one manifest per row; deleting a row deletes its manifest.
class ManifestStore {
public:
    // Opens the database and adds the manifest table when it is missing. Throws BackupError
    // naming the file when it cannot.
    explicit ManifestStore(const std::filesystem::path& dbFile);
    // A view of the manifests in `records`, whose manifest tables it adds when missing.
    explicit ManifestStore(RecordDatabase& records);

    // The id of the newest row naming `targetPath`; none when no row does.
    std::optional<std::int64_t> rowOf(std::string_view targetPath);
    // Replaces the manifest of row `id`.
    void save(std::int64_t id, const Manifest& manifest);
    // The manifest of row `id`; none when it has none (a copy made without one). Throws
    // BackupError when the stored manifest is damaged: it is never trusted in part.
    std::optional<Manifest> load(std::int64_t id);
    // The same manifest kept as its BLOB, for lookups by path; none when the copy has none or
    // only the rows of an earlier version, which recorded nothing of the source. Throws
    // BackupError when it is damaged.
    std::optional<ManifestIndex> loadIndex(std::int64_t id);
    // The BLOB of row `id`'s manifest into `into`, checked whole, for reading it entry by
    // entry; false when it has none (rows of an earlier version are not a BLOB). Throws
    // BackupError when it is damaged.
    bool loadBlob(std::int64_t id, std::string& into);

    // Gives row `recordId` the manifest that waits with journal entry `journalId`, if any,
    // inside the caller's transaction. Throws DatabaseError.
    void takeFromJournal(std::int64_t recordId, std::int64_t journalId);

    // Remembers that the file `id`, at `path` in the copy `copyPath`, was found damaged.
    void markDamaged(const FileId& id, std::string_view copyPath, std::string_view path,
                     std::string_view when);
    // The identities (device, inode) of every file found damaged.
    std::set<std::pair<std::uint64_t, std::uint64_t>> damaged();
    // One entry of row `id`'s manifest, read without the rest.
    struct Lookup {
        bool hasManifest = false;
        std::optional<ManifestEntry> entry;  // none when the manifest lacks the path
    };
    // Throws BackupError when the stored manifest is damaged, as load() does.
    Lookup find(std::int64_t id, std::string_view path);

private:
    bool readBlob(std::int64_t id, std::string& into);
    [[noreturn]] void damaged(std::int64_t id) const;

    RecordsRef m_records;
    std::string m_lookupBlob;  // find's buffer, reused from one manifest to the next
};

}  // namespace vantrel
