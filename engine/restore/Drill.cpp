#include "engine/restore/Drill.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "engine/manifest/CopyChecks.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/FileHash.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/places/SafePath.h"
#include "engine/records/CopyJournal.h"
#include "engine/records/RecordDatabase.h"
#include "engine/restore/Restore.h"
#include "platform/FilePlacer.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

struct Pick {
    std::string path;
    std::uint64_t size = 0;
    std::string hash;
};

bool isInside(const fs::path& inner, const fs::path& outer) {
    if (outer.empty()) {
        return false;
    }
    const fs::path rel = inner.lexically_normal().lexically_relative(outer.lexically_normal());
    return !rel.empty() && *rel.begin() != "..";
}

// Chooses from the stream, holding no more than the picks: the largest by size, and the rest
// by reservoir sampling over the files not among them.
std::vector<Pick> choose(EntryStream& entries, std::size_t count, std::mt19937_64& random) {
    std::vector<Pick> largest, sample;
    std::uint64_t seen = 0;
    const auto bySize = [](const Pick& a, const Pick& b) { return a.size > b.size; };
    const auto offer = [&](Pick pick) {
        ++seen;
        if (sample.size() < count) {
            sample.push_back(std::move(pick));
        } else if (count > 0) {
            const std::uint64_t slot =
                std::uniform_int_distribution<std::uint64_t>(0, seen - 1)(random);
            if (slot < count) {
                sample[slot] = std::move(pick);
            }
        }
    };
    while (const ManifestEntry* e = entries.next()) {
        if (e->type != 'f' || e->hash.empty() || e->hash == kUnreadHash) {
            continue;  // only files whose contents were recorded can be compared
        }
        Pick pick{e->path, e->size, e->hash};
        if (largest.size() < kDrillLargest || pick.size > largest.back().size) {
            largest.push_back(std::move(pick));
            std::sort(largest.begin(), largest.end(), bySize);
            if (largest.size() <= kDrillLargest) {
                continue;
            }
            pick = std::move(largest.back());
            largest.pop_back();
        }
        offer(std::move(pick));
    }
    largest.insert(largest.end(), std::make_move_iterator(sample.begin()),
                   std::make_move_iterator(sample.end()));
    return largest;
}

// A new folder of the system's temporary folder, removed with everything in it on leaving.
class ScratchFolder {
public:
    explicit ScratchFolder(std::mt19937_64& random) {
        std::error_code ec;
        const fs::path base = fs::temp_directory_path(ec);
        if (ec) {
            throw BackupError("无法找到临时文件夹：" + ec.message());
        }
        for (int attempt = 0; attempt < 16; ++attempt) {
            char name[40];
            std::snprintf(name, sizeof name, "vantrel-drill-%016llx",
                          static_cast<unsigned long long>(random()));
            const fs::path candidate = base / pathFromUtf8(name);
            if (fs::create_directory(candidate, ec)) {
                m_path = candidate;
                return;
            }
        }
        throw BackupError("无法在临时文件夹“" + pathToUtf8(base) + "”中建立演练文件夹");
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

}  // namespace

std::string DrillResult::summary() const {
    if (!refusal.empty()) {
        return refusal;
    }
    if (passed()) {
        return "恢复演练通过：" + std::to_string(files) + " 个文件，" + sizeText(bytes);
    }
    return "恢复演练失败：" + std::to_string(failed.size()) + " 个文件（共 " +
           std::to_string(files) + " 个）未能恢复或与清单不符";
}

DrillResult runDrill(const Workspace& ws, const TBackupSettings& settings, std::size_t count) {
    DrillResult result;
    const auto database = openRecords(ws);
    const auto records =
        database ? BackupRecordStore(*database).list() : std::vector<BackupRecord>{};
    const std::vector<JournalEntry> pending =
        database ? CopyJournal(*database).entries() : std::vector<JournalEntry>{};
    // The newest complete copy that is there, whose row is its own and not being replaced.
    for (const BackupRecord& record : records) {
        if (!record.complete() || !isSafeCopyPlace(record.path) ||
            !ws.files.stat(record.place(ws.dir), false) ||
            std::any_of(pending.begin(), pending.end(),
                        [&](const JournalEntry& j) { return j.targetText == record.path; })) {
            continue;
        }
        result.copy = record;
        break;
    }
    if (!result.copy) {
        result.refusal = "没有可以演练恢复的完整备份";
        return result;
    }
    ManifestStore manifests(*database);
    std::string blob;
    std::optional<Manifest> rows;
    if (!manifests.loadBlob(result.copy->id, blob)) {
        rows = manifests.load(result.copy->id);
    }
    if (blob.empty() && !rows) {
        result.refusal = "备份“" + escapedName(result.copy->path) + "”没有清单，无法演练恢复";
        return result;
    }
    std::random_device seed;
    std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    const auto stream = rows ? streamOf(*rows) : streamOfBlob(blob);
    const std::vector<Pick> picks = choose(*stream, count, random);
    if (picks.empty()) {
        result.refusal =
            "备份“" + escapedName(result.copy->path) + "”中没有记录了校验值的文件，无法演练恢复";
        return result;
    }

    ScratchFolder scratch(random);
    const fs::path source = pathFromUtf8(settings.SourcePath);
    const fs::path target = pathFromUtf8(settings.TargetFolder);
    if (isInside(scratch.path(), ws.dir / source) || isInside(scratch.path(), ws.dir / target)) {
        result.refusal = "临时文件夹在源文件夹或目标文件夹之内，不能在那里演练恢复";
        return result;
    }
    RestoreRequest request;
    request.fromCopy = result.copy->id;
    request.to = pathToUtf8(scratch.path());
    for (const Pick& pick : picks) {
        request.paths.push_back(pick.path.empty() ? std::string(".") : pick.path);
    }
    RealFilePlacer placer;
    const RestoreOutcome restored = restoreFiles(ws, settings, request, placer);
    // Why a file could not be restored is the restore's to say; the comparison below then
    // only counts it.
    for (const FailedEntry& failed : restored.failed) {
        result.failed.push_back(notRestoredText(failed));
    }
    const bool reasonsGiven = !result.failed.empty();
    for (const Pick& pick : picks) {
        // A job that copies a single file has it under its own name.
        const fs::path file = pick.path.empty() ? scratch.path() / source.filename()
                                                : scratch.path() / pathFromUtf8(pick.path);
        const std::string shown =
            escapedName(pick.path.empty() ? pathToUtf8(source.filename()) : pick.path);
        ++result.files;
        std::string hash;
        try {
            hash = hashFile(file);
        } catch (const std::system_error&) {
        }
        if (hash.empty()) {
            if (!reasonsGiven) {
                result.failed.push_back(shown + "：没有恢复出来");
            }
        } else if (hash != pick.hash) {
            result.failed.push_back(shown + "：恢复的内容与清单记录的校验值不符");
        } else {
            result.bytes += pick.size;
        }
    }
    std::string found;
    if (!result.failed.empty()) {
        found = "恢复演练失败 " + std::to_string(result.failed.size()) + " 个文件";
    }
    logCheck(*database, {ws.clock.now(), result.copy->id, result.copy->path,
                         CheckEntry::Kind::Drill, result.passed(), found});
    return result;
}

}  // namespace vantrel
