#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/manifest/Manifest.h"
#include "engine/manifest/ManifestIndex.h"
#include "engine/manifest/ManifestRecorder.h"
#include "engine/places/RunTarget.h"
#include "engine/records/RecordDatabase.h"
#include "engine/run/Workspace.h"
#include "platform/FileStat.h"

namespace vantrel {

// Shown once in a run that was to share unchanged files on a target without hard links.
inline constexpr std::string_view kSharingUnsupported =
    "目标位置不支持硬链接，本次备份未共享未改动的文件";

// Whether a source file may be linked from its counterpart in the previous copy instead of
// copied: same size, times within the tolerance, same permission bits and, when owners are
// kept, same owner and group.
bool sameForSharing(const EntryStat& source, const EntryStat& previous, std::int64_t toleranceNs,
                    bool compareOwners);

// Whether a source file may be linked from the previous copy instead of copied: that copy's
// manifest recorded this very source (`recorded`: size, modification and change time to the
// nanosecond, permission bits, owner and group) with the hash of its contents, and the
// previous copy's file is still what the manifest recorded of it. A time the target rounded
// never makes two versions one.
bool mayLinkFromPrevious(const ManifestEntry* recorded, const EntryStat& source,
                         const EntryStat& previous);

// What a new copy of `source` takes on the target.
struct SpaceEstimate {
    std::uint64_t neededBytes = 0;  // with the margin
    std::uint64_t files = 0;        // files to be copied
    std::uint64_t sharedFiles = 0;  // files to be linked from the previous copy
    std::uint64_t folders = 0;
    // Space of previous-copy files held by that copy alone that the new copy will share:
    // removing the previous copy afterwards no longer frees it.
    std::uint64_t sharedSoleBytes = 0;
};

// Walks the source, leaving out what `exclude` names (and, when `previous` is not empty, its
// counterparts there, compared as sharing does): allocated size of the files to be copied,
// 4 KiB per folder, 1 MiB, and 1 % of that on top.
SpaceEstimate estimateSpace(FileOps& files, const std::filesystem::path& source,
                            const std::filesystem::path& previous, std::int64_t toleranceNs,
                            bool compareOwners, const ExcludeFn& exclude = {});

// The same estimate for every file, from a count of the source: the allocated size it found
// (files linked to each other once), 4 KiB per folder, 1 MiB, and 1 % of that on top.
SpaceEstimate estimateFromCount(const TreeSize& counted);

// Space that removing `copy` frees: files held by no other link, and its folders.
std::uint64_t spaceFreedByRemoving(FileOps& files, const std::filesystem::path& copy);

// The refusal when `needed` exceeds `available`, sizes in MB and up; none when it fits. `prunable`
// copies and the space removing them frees are named when that would make it fit.
std::optional<std::string> spaceRefusal(std::uint64_t needed, std::uint64_t available,
                                        std::size_t prunable, std::uint64_t freedByPruning);

// What one run copies beside the files themselves: the copy it shares unchanged files with,
// the space it needs, and the manifest it records.
class CopyPlan {
public:
    // `run` is the copy to make, `records` the run's record database; `pruneAfter` whether
    // the run prunes, keeping every copy whose row is older than `holdBefore` when set (the
    // guard against mass changes).
    CopyPlan(Workspace& ws, RecordDatabase& records, const TBackupSettings& settings, RunTarget run,
             bool pruneAfter, std::optional<std::int64_t> holdBefore = std::nullopt);

    // Chooses the previous copy, probes the target for hard links (saying once when it has
    // none), and refuses with BackupError when the copy would not fit. Writes nothing but
    // the probe's two short-lived files.
    void prepare();
    // Starts the space check from this count of the source instead of a walk of its own.
    void useCount(const TreeSize& counted) { m_counted = counted; }

    // The copy's options: what it leaves out, sharing, and the manifest's recorder.
    const CopyOptions& options() const { return m_options; }
    // The manifest of the copy just made, encoded for the commit that records it with the
    // copy's row (empty when none was recorded); held as newManifest() until
    // releaseManifests().
    const std::string& takeManifest();
    // The new copy's manifest once taken, for comparing it with earlier copies; null when
    // none was made.
    const std::string* newManifest() const {
        return m_newManifest.empty() ? nullptr : &m_newManifest;
    }
    void releaseManifests();

    // The copies on disk that pruning after this run would delete, this copy counted as the
    // newest: what the free-space refusal names. Empty when the run does not prune.
    std::vector<std::filesystem::path> pruningWouldDelete();

    const std::filesystem::path& sharedFrom() const { return m_options.shareFrom; }
    bool sharingUnsupported() const { return m_sharingUnsupported; }
    const SpaceEstimate& estimate() const { return m_estimate; }

private:
    struct OldCopy {
        std::int64_t id;
        std::filesystem::path path;
    };
    // This job's complete copies on disk, newest first: the ones worth sharing with.
    std::vector<OldCopy> ownCopies();

    Workspace& m_ws;
    RecordDatabase& m_records;
    const TBackupSettings& m_settings;
    RunTarget m_run;
    bool m_pruneAfter;
    CopyOptions m_options;
    bool m_sharingUnsupported = false;
    SpaceEstimate m_estimate;
    std::optional<TreeSize> m_counted;
    std::optional<std::int64_t> m_holdBefore;
    std::optional<ManifestIndex> m_previous;  // the manifest of the copy shared from
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_damaged;  // files never to link
    std::optional<ManifestRecorder> m_recorder;
    std::string m_newManifest;
};

}  // namespace vantrel
