#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/Manifest.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// What `root` holds now, in manifest form; files that cannot be read are hashed as "". With
// `recorded` (sorted by path), only files it holds a hash of are read.
Manifest manifestOfTree(FileOps& files, const std::filesystem::path& root,
                        const Manifest* recorded = nullptr);

// How a copy differs from its manifest, by path.
struct ManifestDiff {
    std::vector<std::string> missing;  // in the manifest, not in the copy
    // In both, with another type, size, time, contents, permission bits or owner.
    std::vector<std::string> changed;
    std::vector<std::string> changedWhy;  // what differs, for each of `changed` in its order
    std::vector<std::string> extra;       // in the copy, not in the manifest
    // Files whose contents were not compared: the manifest holds no hash of them.
    std::size_t contentsUnchecked = 0;

    bool intact() const { return missing.empty() && changed.empty() && extra.empty(); }
};

// Folders compare by type, permission bits and owner: their times move as entries come and
// go. Permission bits and owners are compared where the manifest recorded them.
ManifestDiff compareManifests(const Manifest& recorded, const Manifest& found);

// The same comparison of two streams in path order (engine/manifest/CopyEntries.h), neither held
// whole. With `hashOf`, a found file whose recorded hash is known is hashed through it (by
// its path; "" when it cannot be read), as a stream of a tree on disk carries none.
using HashOfFn = std::function<std::string(const std::string& path)>;
ManifestDiff compareStreams(EntryStream& recorded, EntryStream& found, const HashOfFn& hashOf = {},
                            std::size_t* recordedEntries = nullptr);

// A recorded copy checked against its manifest.
struct VerifyResult {
    std::optional<BackupRecord> copy;  // the copy checked, when one was found
    std::string refusal;               // why nothing was compared; empty when it was
    std::size_t recordedEntries = 0;   // entries in the manifest
    ManifestDiff diff;
    // Other copies that hold one of the changed files as the same file (linked to it): the
    // damage is theirs too.
    std::vector<std::string> sharedWith;

    bool checked() const { return refusal.empty(); }
    bool intact() const { return checked() && diff.intact(); }
    // "备份完好：<path>（N 项）", or what differs, counted; either says when the contents of
    // some files were not compared.
    std::string summary() const;

private:
    std::string uncheckedNote() const;
};

// Checks the newest copy of the date `yyyymmdd` (the newest of all when empty) against the
// manifest kept with it. Every changed file is remembered as damaged, so that no later run
// links it into a new copy. Throws BackupError when the records or the manifest cannot be read.
VerifyResult verifyCopy(const Workspace& ws, std::string_view yyyymmdd);
// The same for the copy of row `recordId`.
VerifyResult verifyCopy(const Workspace& ws, std::int64_t recordId);

}  // namespace vantrel
