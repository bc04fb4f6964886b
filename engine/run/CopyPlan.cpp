#include "engine/run/CopyPlan.h"

#include <algorithm>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "engine/manifest/FileHash.h"
#include "engine/manifest/ManifestCodec.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/restore/Restore.h"
#include "engine/run/CopyNaming.h"
#include "engine/run/CopySlot.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kFolderBytes = 4 * kKiB;

// What a file's data takes on a target with 4 KiB blocks, holes left out.
std::uint64_t blocksOf(const EntryStat& st) {
    return (st.allocatedBytes + 4095) / 4096 * 4096;
}

}  // namespace

bool sameForSharing(const EntryStat& source, const EntryStat& previous, std::int64_t toleranceNs,
                    bool compareOwners) {
    if (source.type != EntryType::File || previous.type != EntryType::File) {
        return false;
    }
    const std::int64_t apart = source.mtimeNs > previous.mtimeNs
                                   ? source.mtimeNs - previous.mtimeNs
                                   : previous.mtimeNs - source.mtimeNs;
    return source.size == previous.size && apart <= toleranceNs &&
           source.permissions == previous.permissions &&
           (!compareOwners || (source.owner == previous.owner && source.group == previous.group));
}

bool mayLinkFromPrevious(const ManifestEntry* recorded, const EntryStat& source,
                         const EntryStat& previous) {
    // Without a hash nothing vouches for the previous copy's contents, which the new copy's
    // manifest would otherwise take on from the file as it is now, damaged or not.
    return recorded != nullptr && recorded->type == 'f' && recorded->source &&
           !recorded->hash.empty() && recorded->hash != kUnreadHash &&
           *recorded->source == sourceFactsOf(source) && previous.type == EntryType::File &&
           previous.size == recorded->size && previous.mtimeNs == recorded->mtimeNs;
}

SpaceEstimate estimateSpace(FileOps& files, const fs::path& source, const fs::path& previous,
                            std::int64_t toleranceNs, bool compareOwners,
                            const ExcludeFn& exclude) {
    SpaceEstimate est;
    std::uint64_t bytes = 0;
    const auto count = [&](const fs::path& path, const EntryStat& st) {
        if (st.type == EntryType::Folder) {
            ++est.folders;
            bytes += kFolderBytes;
            return;
        }
        if (st.type != EntryType::File) {
            return;  // links and special files hold no data blocks worth counting
        }
        if (!previous.empty()) {
            const auto relative = path.lexically_relative(source);
            const auto before = files.stat(path == source ? previous : previous / relative, false);
            if (before && sameForSharing(st, *before, toleranceNs, compareOwners)) {
                ++est.sharedFiles;
                if (before->linkCount == 1) {
                    est.sharedSoleBytes += blocksOf(*before);
                }
                return;
            }
        }
        ++est.files;
        bytes += blocksOf(st);
    };
    if (const auto top = files.stat(source, true)) {
        count(source, *top);
        if (top->type == EntryType::Folder) {
            files.walk(source, count, exclude);
        }
    }
    bytes += kMiB;
    est.neededBytes = bytes + bytes / 100;
    return est;
}

SpaceEstimate estimateFromCount(const TreeSize& counted) {
    SpaceEstimate est;
    est.files = counted.files;
    est.folders = counted.folders;
    const std::uint64_t bytes = counted.allocatedBytes + counted.folders * kFolderBytes + kMiB;
    est.neededBytes = bytes + bytes / 100;
    return est;
}

std::uint64_t spaceFreedByRemoving(FileOps& files, const fs::path& copy) {
    std::uint64_t freed = 0;
    const auto count = [&freed](const fs::path&, const EntryStat& st) {
        if (st.type == EntryType::Folder) {
            freed += kFolderBytes;
        } else if (st.type == EntryType::File && st.linkCount == 1) {
            freed += blocksOf(st);
        }
    };
    if (const auto top = files.stat(copy, false)) {
        count(copy, *top);
        if (top->type == EntryType::Folder) {
            files.walk(copy, count);
        }
    }
    return freed;
}

std::optional<std::string> spaceRefusal(std::uint64_t needed, std::uint64_t available,
                                        std::size_t prunable, std::uint64_t freedByPruning) {
    if (needed <= available) {
        return std::nullopt;
    }
    std::string text = "目标磁盘空间不足：需要约 " + sizeText(needed, SizeUnit::MB) + "，可用 " +
                       sizeText(available, SizeUnit::MB);
    if (prunable > 0 && available + freedByPruning >= needed) {
        text += "；删除将被清理的 " + std::to_string(prunable) + " 个旧备份可释放约 " +
                sizeText(freedByPruning, SizeUnit::MB);
    }
    return text;
}

CopyPlan::CopyPlan(Workspace& ws, RecordDatabase& records, const TBackupSettings& settings,
                   RunTarget run, bool pruneAfter, std::optional<std::int64_t> holdBefore)
    : m_ws(ws),
      m_records(records),
      m_settings(settings),
      m_run(std::move(run)),
      m_pruneAfter(pruneAfter),
      m_holdBefore(holdBefore) {}

std::vector<CopyPlan::OldCopy> CopyPlan::ownCopies() {
    std::vector<OldCopy> copies;
    const Destination destination = m_run.destination();
    BackupRecordStore store(m_records);
    for (const BackupRecord& row : store.list()) {
        const fs::path path = row.place(m_ws.dir);
        // Only a complete copy is worth sharing with.
        if (row.complete() && destination.owns(m_ws.files, row, path) &&
            m_ws.files.stat(path, false)) {
            copies.push_back({row.id, path});
        }
    }
    return copies;
}

void CopyPlan::prepare() {
    // What a killed restore left in the source is no file of it.
    m_options.exclude = leavingOutRestoreTemps(m_run.exclusions.predicate());
    const std::vector<OldCopy> copies = ownCopies();
    ManifestStore manifests(m_records);
    const OldCopy* previous = copies.empty() ? nullptr : &copies.front();

    if (m_settings.ShareUnchanged && previous != nullptr) {
        // A hidden name of this job's own, so that jobs sharing a target never meet.
        const auto probeName = pathFromUtf8(".vantrel-" + m_run.places.key + ".probe");
        LinkSupport support;
        try {
            support = m_ws.files.probeLinks(m_run.targetFolder(), probeName);
        } catch (const std::system_error&) {
            // An unwritable target fails the copy itself, with its own message.
        }
        if (support.hardLinks) {
            m_options.shareFrom = previous->path;
            try {
                m_previous = manifests.loadIndex(previous->id);
                m_damaged = manifests.damaged();
            } catch (const BackupError& e) {
                // Without a trusted record of the source, nothing is linked: every file is
                // copied, and the copy goes on.
                m_previous.reset();
                m_ws.ui.showMessage(std::string("上一个备份的清单未能读取，本次将复制每个文件：") +
                                    e.what());
            }
            m_options.shareTimeToleranceNs = support.timeToleranceNs;
            // Never the target's times, which a coarse file system rounds: only what the
            // previous copy's manifest recorded of the source says a file is unchanged.
            m_options.mayShare = [this](const fs::path& relative, const EntryStat& source,
                                        const EntryStat& before, const FileId& id) {
                if (!m_previous || m_damaged.count({id.device, id.inode})) {
                    return false;
                }
                const auto recorded = m_previous->find(manifestPath(relative));
                return mayLinkFromPrevious(recorded ? &*recorded : nullptr, source, before);
            };
        } else {
            m_sharingUnsupported = true;
            m_ws.ui.showMessage(kSharingUnsupported);
        }
    }

    // Every file counted first, from the count made before the run or a cheap walk of the
    // source alone; only when that does not fit are the files to be shared told apart, which
    // reads the previous copy too.
    m_estimate = m_counted ? estimateFromCount(*m_counted)
                           : estimateSpace(m_ws.files, m_run.source, {}, 0, keepsOwners(),
                                           m_options.exclude);
    const auto available = m_ws.files.availableSpace(m_run.targetFolder());
    if (available && m_estimate.neededBytes > *available && !m_options.shareFrom.empty()) {
        m_estimate =
            estimateSpace(m_ws.files, m_run.source, m_options.shareFrom,
                          m_options.shareTimeToleranceNs, keepsOwners(), m_options.exclude);
    }
    if (available && m_estimate.neededBytes > *available) {
        const std::vector<fs::path> prunable = pruningWouldDelete();
        std::uint64_t freed = 0;
        for (const fs::path& copy : prunable) {
            freed += spaceFreedByRemoving(m_ws.files, copy);
            if (copy == m_options.shareFrom) {
                freed -= std::min(freed, m_estimate.sharedSoleBytes);
            }
        }
        if (const auto refusal =
                spaceRefusal(m_estimate.neededBytes, *available, prunable.size(), freed)) {
            throw BackupError(*refusal);
        }
    }

    // Every copy gets a manifest with the hash of every file, from what the copy read and
    // wrote anyway: each file is hashed as it is written, while its pages are cached. Only a
    // file the copy could not hash (and one carried over) is read again.
    m_recorder.emplace(m_ws.files, m_previous ? &*m_previous : nullptr, true);
    m_options.digest = newContentDigest;
    m_options.onEntry = [this](const CopiedEntry& entry) { m_recorder->add(entry); };
}

std::vector<fs::path> CopyPlan::pruningWouldDelete() {
    std::vector<fs::path> copies;
    if (!m_pruneAfter || !m_run.retention) {
        return copies;
    }
    BackupRecordStore store(m_records);
    const PruneSelection selection = store.selectPrune(
        m_ws.files, *m_run.retention, m_run.pruneScope(), m_run.target, m_run.day, m_holdBefore);
    for (std::size_t i = 0; i < selection.verdicts.size(); ++i) {
        if (selection.verdicts[i].fate == Fate::Deleted &&
            m_ws.files.stat(selection.places[i], false)) {
            copies.push_back(selection.places[i]);
        }
    }
    return copies;
}

void CopyPlan::releaseManifests() {
    std::string().swap(m_newManifest);
    m_previous.reset();
    m_recorder.reset();
}

const std::string& CopyPlan::takeManifest() {
    // The previous copy's manifest is looked into no more: gone before the new one is made.
    m_previous.reset();
    if (m_recorder) {
        m_newManifest = m_recorder->take();
        m_recorder.reset();
    }
    return m_newManifest;
}

}  // namespace vantrel
