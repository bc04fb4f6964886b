#include "engine/manifest/ManifestCheck.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>
#include <utility>

#include "engine/Texts.h"
#include "engine/manifest/FileHash.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/places/SafePath.h"
#include "engine/records/CopyJournal.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

Manifest manifestOfTree(FileOps& files, const fs::path& root, const Manifest* recorded) {
    Manifest entries;
    const auto add = [&](const fs::path& path, const fs::path& relative, const EntryStat& st) {
        ManifestEntry e;
        e.path = manifestPath(relative);
        e.type = typeLetter(st.type);
        e.size = e.type == 'f' ? st.size : 0;
        e.mtimeNs = st.mtimeNs;
        e.attributes = attributesOf(st);
        if (e.type == 'f') {
            const ManifestEntry* before =
                recorded != nullptr ? findEntry(*recorded, e.path) : nullptr;
            // A file recorded without a hash, or with one that could not be read, tells
            // nothing from its contents: it is not read now either.
            const bool wanted =
                recorded == nullptr || (before != nullptr && before->type == 'f' &&
                                        !before->hash.empty() && before->hash != kUnreadHash);
            try {
                e.hash = wanted ? hashFile(path) : std::string();
            } catch (const std::system_error&) {
            }
        } else if (e.type == 'l') {
            e.hash = linkTarget(files, path);
        }
        entries.push_back(std::move(e));
    };
    const auto top = files.stat(root, true);
    if (!top) {
        return entries;
    }
    add(root, {}, *top);
    if (top->type == EntryType::Folder) {
        files.walk(root, [&](const fs::path& path, const EntryStat& st) {
            add(path, path.lexically_relative(root), st);
        });
    }
    sortByPath(entries);
    return entries;
}

namespace {

std::string octal(std::uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(bits));
    return text;
}

std::string ownerText(const EntryAttributes& a) {
    return std::to_string(a.owner) + ":" + std::to_string(a.group);
}

// What differs between the recorded entry `r` and the one found `f` of one path, joined by
// "，"; empty when nothing does. Counts a file whose contents were not compared.
std::string differences(const ManifestEntry& r, const ManifestEntry& f, std::size_t& unchecked) {
    std::vector<std::string> found;
    if (r.type != f.type) {
        found.push_back("类型不同");
    } else if (r.type == 'f') {
        if (r.size != f.size) {
            found.push_back("大小不同");
        }
        if (r.mtimeNs != f.mtimeNs) {
            found.push_back("修改时间不同");
        }
        if (r.hash.empty()) {
            ++unchecked;
        } else if (r.hash == kUnreadHash) {
            found.push_back("备份时内容未能读回");
        } else if (f.hash.empty()) {
            found.push_back("内容无法读取");
        } else if (r.hash != f.hash) {
            found.push_back("内容不同");
        }
    } else if (r.type == 'l' && r.hash != f.hash) {
        found.push_back("链接目标不同");
    }
    if (r.type == f.type && r.attributes && f.attributes) {
        const EntryAttributes& was = *r.attributes;
        const EntryAttributes& now = *f.attributes;
        // A link's own permission bits mean nothing on most systems.
        if (r.type != 'l' && was.permissions != now.permissions) {
            found.push_back("权限不同（清单记录 " + octal(was.permissions) + "，现为 " +
                            octal(now.permissions) + "）");
        }
        if (was.owner != now.owner || was.group != now.group) {
            found.push_back("所有者不同（清单记录 " + ownerText(was) + "，现为 " + ownerText(now) +
                            "）");
        }
    }
    std::string text;
    for (const std::string& part : found) {
        text += (text.empty() ? "" : "，") + part;
    }
    return text;
}

}  // namespace

ManifestDiff compareManifests(const Manifest& recorded, const Manifest& found) {
    const auto r = streamOf(recorded);
    const auto f = streamOf(found);
    return compareStreams(*r, *f);
}

ManifestDiff compareStreams(EntryStream& recorded, EntryStream& found, const HashOfFn& hashOf,
                            std::size_t* recordedEntries) {
    ManifestDiff diff;
    std::size_t entries = 0;
    ManifestEntry hashed;
    mergeByPath(recorded, found, [&](const ManifestEntry* r, const ManifestEntry* f) {
        if (r == nullptr) {
            diff.extra.push_back(f->path);
            return;
        }
        ++entries;
        if (f == nullptr) {
            diff.missing.push_back(r->path);
            return;
        }
        // Only a file whose recorded hash tells something is read: one recorded without a
        // hash, or with one that could not be read, is not read now either.
        if (hashOf && f->type == 'f' && r->type == 'f' && !r->hash.empty() &&
            r->hash != kUnreadHash) {
            hashed = *f;
            hashed.hash = hashOf(f->path);
            f = &hashed;
        }
        std::string why = differences(*r, *f, diff.contentsUnchecked);
        if (!why.empty()) {
            diff.changed.push_back(r->path);
            diff.changedWhy.push_back(std::move(why));
        }
    });
    if (recordedEntries != nullptr) {
        *recordedEntries = entries;
    }
    return diff;
}

std::string VerifyResult::summary() const {
    if (!copy) {
        return refusal;
    }
    const std::string path = escapedName(copy->path);
    if (diff.intact()) {
        std::string text = "备份完好：" + path + "（" + std::to_string(recordedEntries) + " 项）";
        if (!copy->complete()) {
            // Intact as it was made, which was without some entries.
            text += "；但这是不完整的备份，" + notCopiedText(copy->failed.size());
        }
        return text + uncheckedNote();
    }
    std::string text = "备份“" + path + "”与清单不符：缺少 " + std::to_string(diff.missing.size()) +
                       " 项，改动 " + std::to_string(diff.changed.size()) + " 项，多出 " +
                       std::to_string(diff.extra.size()) + " 项";
    if (!sharedWith.empty()) {
        text += "；改动的文件与这些备份共用，它们同样受损：";
        for (std::size_t i = 0; i < sharedWith.size(); ++i) {
            text += (i == 0 ? "" : "、") + escapedName(sharedWith[i]);
        }
    }
    return text + uncheckedNote();
}

std::string VerifyResult::uncheckedNote() const {
    if (diff.contentsUnchecked == 0) {
        return {};
    }
    return "；此备份没有记录文件内容的校验值，" + std::to_string(diff.contentsUnchecked) +
           " 个文件只核对了大小、修改时间、权限和所有者，未核对内容";
}

namespace {

// Marks the changed files of a checked copy as damaged, and finds the other copies that hold
// them as the same file.
void rememberDamage(const Workspace& ws, RecordDatabase& database, VerifyResult& result,
                    const std::vector<BackupRecord>& records, const fs::path& root) {
    if (result.diff.changed.empty()) {
        return;
    }
    ManifestStore manifests(database);
    const std::string when = formatLocalTime(ws.clock.now());
    for (const std::string& changed : result.diff.changed) {
        const fs::path relative = pathFromUtf8(changed);
        const fs::path file = relative.empty() ? root : root / relative;
        const auto st = ws.files.stat(file, false);
        const auto id = ws.files.fileId(file);
        if (!st || st->type != EntryType::File || !id) {
            continue;
        }
        manifests.markDamaged(*id, result.copy->path, changed, when);
        for (const BackupRecord& other : records) {
            const fs::path place = other.place(ws.dir);
            if (other.id == result.copy->id || place == root) {
                continue;
            }
            const auto otherId = ws.files.fileId(relative.empty() ? place : place / relative);
            if (otherId && *otherId == *id &&
                std::find(result.sharedWith.begin(), result.sharedWith.end(), other.path) ==
                    result.sharedWith.end()) {
                result.sharedWith.push_back(other.path);
            }
        }
    }
}

}  // namespace

namespace {

// Checks the newest copy of the date `yyyymmdd` (of all when empty), or the copy of row
// `recordId` when given.
VerifyResult verifyChosen(const Workspace& ws, std::string_view yyyymmdd,
                          std::optional<std::int64_t> recordId) {
    const std::string wanted = yyyymmdd.empty() ? std::string() : dateTextOfDigits(yyyymmdd);
    VerifyResult result;
    // A job that never ran has no record database, and checking makes none.
    const auto database = openRecords(ws);
    const auto records =
        database ? BackupRecordStore(*database).list() : std::vector<BackupRecord>{};
    for (const BackupRecord& record : records) {
        if (recordId ? record.id == *recordId : wanted.empty() || record.date == wanted) {
            result.copy = record;
            break;
        }
    }
    if (!result.copy) {
        result.refusal =
            wanted.empty() ? "没有备份记录" : "没有日期为 " + std::string(yyyymmdd) + " 的备份记录";
        return result;
    }
    // A row edited or damaged to lead elsewhere is never read.
    if (!isSafeCopyPlace(result.copy->path)) {
        result.refusal = untrustedRecordText(result.copy->path);
        return result;
    }
    // A newer copy may hold the dated name while its row waits in the journal (a run replacing
    // it now, or one killed before recording it): the row's manifest is not that copy's.
    {
        for (const JournalEntry& pending : CopyJournal(*database).entries()) {
            if (pending.targetText == result.copy->path) {
                result.refusal =
                    "备份“" + escapedName(result.copy->path) +
                    "”正在被替换（或替换它的运行被中断，下一次备份时完成），现在无法核对";
                return result;
            }
        }
    }
    // Read as its BLOB, entry by entry, beside a walk of the copy: neither is held decoded.
    ManifestStore manifests(*database);
    std::string blob;
    std::optional<Manifest> recorded;
    const bool asBlob = manifests.loadBlob(result.copy->id, blob);
    if (!asBlob) {
        recorded = manifests.load(result.copy->id);  // rows of an earlier version
    }
    if (!asBlob && !recorded) {
        // Copies made by earlier versions have none (with sharing off, they made none).
        result.refusal = "备份“" + escapedName(result.copy->path) + "”没有清单，无法核对";
        return result;
    }
    const auto root = result.copy->place(ws.dir);
    if (!ws.files.stat(root, false)) {
        result.refusal = "备份“" + escapedName(result.copy->path) + "”不存在";
        return result;
    }
    const auto fromRecord = recorded ? streamOf(*recorded) : streamOfBlob(blob);
    const auto onDisk = streamOfTree(ws.files, root);
    result.diff = compareStreams(
        *fromRecord, *onDisk,
        [&](const std::string& path) {
            try {
                return hashFile(path.empty() ? root : root / pathFromUtf8(path));
            } catch (const std::system_error&) {
                return std::string();
            }
        },
        &result.recordedEntries);
    rememberDamage(ws, *database, result, records, root);
    return result;
}

}  // namespace

VerifyResult verifyCopy(const Workspace& ws, std::string_view yyyymmdd) {
    return verifyChosen(ws, yyyymmdd, std::nullopt);
}

VerifyResult verifyCopy(const Workspace& ws, std::int64_t recordId) {
    return verifyChosen(ws, {}, recordId);
}

}  // namespace vantrel
