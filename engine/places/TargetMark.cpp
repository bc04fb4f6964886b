#include "engine/places/TargetMark.h"

#include <fstream>
#include <vector>

#include "engine/TextRules.h"
#include "engine/places/JobPlaces.h"
#include "engine/records/RecordDatabase.h"
#include "engine/rules/Retention.h"
#include "engine/run/CopyNaming.h"
#include "engine/run/CopySlot.h"
#include "platform/Database.h"
#include "platform/ErrorText.h"
#include "platform/FileOpsCommon.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

bool isFolder(FileOps& files, const fs::path& p) {
    const auto st = files.stat(p, true);
    return st && st->type == EntryType::Folder;
}

// What the records say of a folder: whether the job has copies there, and whether one of
// them is there now.
struct Known {
    bool any = false;
    bool onDisk = false;
};

Known knownIn(const Workspace& ws, const std::vector<BackupRecord>& rows, const fs::path& folder) {
    Known known;
    const Place here = placeOf(ws.files, folder);
    for (const BackupRecord& row : rows) {
        const fs::path place = row.place(ws.dir);
        if (samePlace(placeOf(ws.files, place.parent_path()), here)) {
            known.any = true;
            if (ws.files.stat(place, false)) {
                known.onDisk = true;
                break;
            }
        }
    }
    return known;
}

bool marked(FileOps& files, const fs::path& folder, std::string_view key) {
    const auto st = files.stat(markFile(folder, key), false);
    return st && st->type == EntryType::File;
}

// What status says; a refused run adds what it did and what to do.
std::string notConnectedText(const fs::path& folder, std::string_view key, bool present) {
    const std::string named = "备份磁盘未连接：备份目的地址“" + pathToUtf8(folder) + "”";
    return present ? named + "中没有本备份任务的标记“" + pathToUtf8(markFile({}, key)) +
                         "”（也许是另一个磁盘，或未挂载磁盘的空文件夹）"
                   : named + "不存在";
}

constexpr std::string_view kNotRun = "，本次未备份！请连接备份磁盘后重试。";

// Where the volume `folder` was marked on is mounted now, when that place holds the mark.
std::optional<fs::path> movedTo(const Workspace& ws, RecordDatabase& records,
                                const fs::path& folder, std::string_view key, Volumes& volumes) {
    try {
        if (!records.has(RecordDatabase::Part::Sources)) {
            return std::nullopt;
        }
        auto stmt = records.db().prepare(
            "SELECT volume, below FROM vantrel_target_volume WHERE folder = :folder");
        stmt.bind("folder", pathKey(folder));
        if (!stmt.step()) {
            return std::nullopt;
        }
        const std::string guid = stmt.columnText(0);
        const fs::path below = pathFromUtf8(stmt.columnText(1));
        const auto root = volumes.rootOf(guid);
        if (!root) {
            return std::nullopt;
        }
        const fs::path there = detail::withoutTrailingSeparator(
            (below.empty() ? *root : *root / below).lexically_normal());
        if (pathKey(there) != pathKey(folder) && isFolder(ws.files, there) &&
            marked(ws.files, there, key)) {
            return there;
        }
    } catch (const std::exception&) {
        // Records that cannot say where the volume went leave the folder not connected.
    }
    return std::nullopt;
}

void writeMark(const Workspace& ws, RecordDatabase& records, const JobPlaces& places,
               const fs::path& folder, Volumes& volumes) {
    const fs::path mark = markFile(folder, places.key);
    std::string text = "Vantrel 备份目的地标记，请勿删除\njob=" + pathToUtf8(ws.dir) + "\n";
    const auto volume = volumes.volumeOf(folder);
    if (volume) {
        text += "volume=" + volume->guid + "\nserial=" + volume->serial + "\n";
    }
    {
        std::ofstream out(mark, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            throw BackupError("无法写入备份目的地标记“" + pathToUtf8(mark) + "”");
        }
    }
    if (!volume) {
        return;
    }
    records.ensure(RecordDatabase::Part::Sources);
    try {
        auto stmt = records.db().prepare(
            "INSERT OR REPLACE INTO vantrel_target_volume (folder, volume, serial, below) VALUES "
            "(:folder, :volume, :serial, :below)");
        stmt.bind("folder", pathKey(folder));
        stmt.bind("volume", volume->guid);
        stmt.bind("serial", volume->serial);
        stmt.bind("below", pathToUtf8(volume->below));
        stmt.step();
    } catch (const DatabaseError& e) {
        records.fail(e);
    }
}

}  // namespace

void throwIfNotConnected(const fs::path& folder, const std::error_code& error) {
    if (meansNotConnected(error)) {
        throw TargetNotConnected("备份磁盘未连接：备份目的地址“" + pathToUtf8(folder) +
                                 "”无法访问（" + describeError(error) + "）" +
                                 std::string(kNotRun));
    }
}

fs::path markFile(const fs::path& folder, std::string_view jobKey) {
    return folder / pathFromUtf8(".vantrel-" + std::string(jobKey) + ".mark");
}

fs::path claimTarget(const Workspace& ws, BackupRecordStore& store, const JobPlaces& places,
                     const fs::path& folder, Volumes& volumes) {
    const bool present = isFolder(ws.files, folder);
    if (present && marked(ws.files, folder, places.key)) {
        return folder;
    }
    const Known known = knownIn(ws, store.list(), folder);
    if (!known.any) {
        // A folder new to the job: its first copy there makes it the job's own.
        if (!present) {
            if (const auto made = ws.files.createFolders(folder); !made.ok()) {
                throwIfNotConnected(folder, made.error);
                const auto& where = made.failedPath.empty() ? folder : made.failedPath;
                throw BackupError("文件备份失败！“" + pathToUtf8(where) + "”：" +
                                  describeError(made.error));
            }
        }
        writeMark(ws, store.records(), places, folder, volumes);
        return folder;
    }
    if (present && known.onDisk) {
        // The job's own copies are here: a folder marked before marks existed.
        writeMark(ws, store.records(), places, folder, volumes);
        return folder;
    }
    if (auto moved = movedTo(ws, store.records(), folder, places.key, volumes)) {
        return *moved;
    }
    throw TargetNotConnected(notConnectedText(folder, places.key, present) + std::string(kNotRun));
}

bool targetMarked(const Workspace& ws, const TBackupSettings& settings) {
    if (settings.TargetFolder.empty()) {
        return false;
    }
    const fs::path folder = detail::withoutTrailingSeparator(
        resolveInWorkDir(ws.dir, settings.TargetFolder).lexically_normal());
    return marked(ws.files, folder, jobKey(ws.files, ws.dir));
}

std::optional<std::string> networkDriveWarning(std::string_view targetFolder, Volumes& volumes) {
    const auto unc = volumes.networkPathOf(pathFromUtf8(targetFolder));
    if (!unc) {
        return std::nullopt;
    }
    return "备份目的地址“" + std::string(targetFolder) +
           "”在映射的网络驱动器上，计划备份时该驱动器可能尚未连接；建议改用网络路径“" +
           pathToUtf8(*unc) + "”";
}

std::optional<std::string> targetNotConnected(const Workspace& ws,
                                              const TBackupSettings& settings) {
    if (settings.SourcePath.empty() || settings.TargetFolder.empty()) {
        return std::nullopt;
    }
    try {
        const auto records = openRecords(ws);
        if (!records) {
            return std::nullopt;
        }
        const JobPlaces places = placesOf(ws, settings);
        const fs::path folder = detail::withoutTrailingSeparator(
            resolveInWorkDir(ws.dir, settings.TargetFolder).lexically_normal());
        const bool present = isFolder(ws.files, folder);
        if (present && marked(ws.files, folder, places.key)) {
            return std::nullopt;
        }
        const Known known = knownIn(ws, BackupRecordStore(*records).list(), folder);
        if (!known.any || (present && known.onDisk) ||
            movedTo(ws, *records, folder, places.key, systemVolumes())) {
            return std::nullopt;
        }
        return notConnectedText(folder, places.key, present);
    } catch (const BackupError&) {
        return std::nullopt;  // records that cannot be read say nothing of the disk
    }
}

}  // namespace vantrel
