#include "engine/restore/Restore.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/FileHash.h"
#include "engine/places/SafePath.h"
#include "engine/places/SourcePath.h"
#include "engine/restore/BatchPlacer.h"
#include "engine/restore/FolderStager.h"
#include "engine/restore/RestorePlan.h"
#include "engine/run/CopyNaming.h"
#include "platform/ErrorText.h"
#include "platform/FileStat.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// The longest name a file system takes, in bytes (on Windows in UTF-16 units, never more).
constexpr std::size_t kMaxNameBytes = 255;
constexpr const char* kUntrustedRecord = "这条备份记录指向的不是本任务的备份，未使用";
constexpr const char* kBadManifestPath = "备份清单中的这一项指向备份之外，未恢复";

// Whether `p` lies in `area` as written or as its links lead.
bool inside(FileOps& files, const fs::path& p, const fs::path& area) {
    if (isWithin(p, area)) {
        return true;
    }
    const auto realP = files.resolveLinks(p);
    const auto realArea = files.resolveLinks(area);
    return realP && realArea && isWithin(*realP, *realArea);
}

std::string digitsOf(const std::string& date) {
    std::string digits;
    for (char c : date) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    return digits;
}

EntryKind kindOf(const ManifestEntry& e) {
    switch (e.type) {
        case 'd':
            return EntryKind::Folder;
        case 'l':
            return EntryKind::Link;
        case 's':
            return EntryKind::Pipe;
        default:
            return EntryKind::File;
    }
}

// Walks the entries of one copy and puts each under one destination: the plan decides,
// the stager makes the folders, the placer writes the files.
class Restorer {
public:
    Restorer(const Workspace& ws, FilePlacer& placer, const RestoreRequest& request,
             const RestoreControl& control, RestoreOutcome& out)
        : m_scope(ws.files, placer, control, out), m_request(request) {}

    // Restores `rel` of `copy`; `base` is where the copy's top goes (for a copy of a single
    // file, the file itself).
    void restore(CopyEntries& copy, const std::string& rel, const fs::path& base) {
        m_copy = &copy;
        m_scope.digits = digitsOf(copy.record().date);
        const auto top = copy.find("");
        m_scope.syncRoot = !top || top->type == 'd' ? base : base.parent_path();
        m_stager.start(copy.place(), base);
        auto entries = copy.stream(rel);
        while (const ManifestEntry* e = entries->next()) {
            if (m_scope.cancelled()) {
                break;
            }
            if (!e->path.empty() && !isSafeRelativePath(e->path)) {
                m_scope.fail(escapedName(e->path), kBadManifestPath);
                continue;
            }
            if (e->path.empty()) {
                if (e->type == 'd') {
                    m_stager.folderEntry("", base);
                } else if (m_scope.lstat(base.parent_path()) || m_stager.makeAbove(base)) {
                    place(*e, base, nullptr);
                }
                continue;
            }
            const std::string parentRel = parentOf(e->path);
            const auto parent = m_stager.folderFor(parentRel);
            if (!parent) {
                continue;  // its folder could not be made; that failure is listed
            }
            const fs::path dest = *parent / pathFromUtf8(nameOf(e->path));
            if (e->type == 'd') {
                m_stager.folderEntry(e->path, dest);
            } else {
                place(*e, dest, m_stager.stagedOf(parentRel));
            }
        }
        m_placer.flush();
        m_stager.placeStaged();
    }

    // Joins the files that are one in the copy, and flushes what was renamed since.
    void finish() {
        m_placer.linkTogether();
        m_scope.syncAll();
    }

    void countOnly(const RestoreProgress& total) { m_scope.progress = total; }

private:
    fs::path inCopy(const std::string& rel) const {
        return rel.empty() ? m_copy->place() : m_copy->place() / pathFromUtf8(rel);
    }

    // What holds `destPath` for the copy's entry `e`, whose file is `sourcePath`. The same
    // is a file of the same contents, by the hash the copy keeps or else by reading both (a
    // damaged file can keep its size and time), or a link to the same target.
    AtPlace atPlace(const ManifestEntry& e, const fs::path& destPath, const fs::path& sourcePath) {
        const auto dest = m_scope.lstat(destPath);
        if (!dest) {
            return AtPlace::Nothing;
        }
        switch (dest->type) {
            case EntryType::Folder:
                return AtPlace::Folder;
            case EntryType::Special:
                return AtPlace::Special;
            case EntryType::Link:
                return e.type == 'l' && linkTarget(m_scope.files, destPath) == e.hash
                           ? AtPlace::Same
                           : AtPlace::Other;
            default:
                break;
        }
        if (e.type != 'f' || dest->size != e.size) {
            return AtPlace::Other;
        }
        try {
            const bool known = !e.hash.empty() && e.hash != kUnreadHash;
            const std::string want = known ? e.hash : hashFile(sourcePath);
            return hashFile(destPath) == want ? AtPlace::Same : AtPlace::Other;
        } catch (const std::system_error&) {
            return AtPlace::Other;
        }
    }

    // `staged`: `dest` lies in a folder this restore made, where nothing else can be, and
    // goes in place with that folder.
    void place(const ManifestEntry& e, const fs::path& dest, StagedFolder* staged) {
        const fs::path source = inCopy(e.path);
        PendingFile pending;
        pending.source = source;
        pending.to = dest;
        pending.link = e.type == 'l';
        pending.pipe = e.type == 's';
        pending.bytes = pending.link || pending.pipe ? 0 : e.size;
        if (e.type == 'f') {
            if (const auto st = m_scope.lstat(source); st && st->linkCount > 1) {
                pending.linkedAs = m_scope.files.fileId(source);
            }
        }
        if (staged != nullptr) {
            pending.staged = staged;
            pending.temp = dest;
            pending.shown = staged->place / dest.lexically_relative(staged->temp);
            m_placer.add(std::move(pending));
            return;
        }
        switch (planEntry(kindOf(e), atPlace(e, dest, source), m_request.overwrite)) {
            case EntryAction::LeaveAlone:
                ++m_scope.out.identical;
                m_scope.advance(pending.bytes);
                return;
            case EntryAction::Replace:
                pending.replace = true;
                break;
            case EntryAction::Beside:
                // Kept; the restored one goes beside it, unless an earlier restore put the same
                // there already.
                if (!besideFree(e, pending)) {
                    return;
                }
                break;
            case EntryAction::Write:
                break;
        }
        m_placer.add(std::move(pending));
    }

    // Finds the first name beside `pending.to` that is free for it; false when there is
    // none to write (the same lies there already, or too many names are taken).
    bool besideFree(const ManifestEntry& e, PendingFile& pending) {
        const fs::path dest = pending.to;
        pending.beside = true;
        pending.existing = dest;
        for (int n = 1; n <= kMaxBesideNames; ++n) {
            pending.to = m_scope.besideOf(dest, n);
            switch (planBesideName(kindOf(e), atPlace(e, pending.to, pending.source))) {
                case EntryAction::Write:
                    return true;
                case EntryAction::LeaveAlone:
                    ++m_scope.out.identical;
                    m_scope.advance(pending.bytes);
                    return false;
                default:
                    break;
            }
        }
        m_scope.fail(dest, "同名的项太多");
        return false;
    }

    RestoreScope m_scope;
    const RestoreRequest& m_request;
    BatchPlacer m_placer{m_scope};
    FolderStager m_stager{m_scope, m_placer};
    CopyEntries* m_copy = nullptr;
};

std::string untrustedText(const CopyEntries& copy) {
    return untrustedRecordText(copy.record().path) + "，不能从它恢复";
}

// The copy a path comes from: the one asked for, or the newest complete one that holds it
// (an incomplete one only when no complete copy does). Says why when there is none.
// Records of copies that are not trusted, newer than the copy chosen, go to `skipped`.
CopyEntries* chooseCopy(std::vector<CopyEntries>& copies, const RestoreRequest& request,
                        const std::string& rel, const std::string& shown, std::string& why,
                        std::set<const CopyEntries*>& skipped) {
    if (request.fromCopy || !request.fromDate.empty()) {
        const std::string date = request.fromDate.empty() ? "" : dateTextOfDigits(request.fromDate);
        for (CopyEntries& copy : copies) {
            if (request.fromCopy ? copy.record().id != *request.fromCopy
                                 : copy.record().date != date) {
                continue;
            }
            if (!copy.trusted()) {
                why = untrustedText(copy);
                return nullptr;
            }
            if (!copy.onDisk()) {
                why = "备份“" + copy.record().path + "”已不存在";
                return nullptr;
            }
            if (!copy.find(rel)) {
                why = "备份“" + copy.record().path + "”中没有“" + shown + "”";
                return nullptr;
            }
            return &copy;
        }
        why = request.fromCopy ? "所选的备份已没有记录"
                               : "没有日期为 " + request.fromDate + " 的备份";
        return nullptr;
    }
    CopyEntries* incomplete = nullptr;
    for (CopyEntries& copy : copies) {
        if (!copy.trusted()) {
            skipped.insert(&copy);
            continue;
        }
        if (!copy.onDisk() || !copy.find(rel)) {
            continue;
        }
        if (copy.record().complete()) {
            return &copy;
        }
        incomplete = incomplete != nullptr ? incomplete : &copy;
    }
    if (incomplete == nullptr) {
        why = "没有备份包含“" + shown + "”";
    }
    return incomplete;
}

// The job's lock, which a backup holds from its copy to the end of its prune: while a restore
// holds it no backup starts, so no copy it reads is pruned half-way, and no second restore
// of the job writes the same files under the same temporary names. None where no backup
// ever took it: the lock file is not made here, a restore makes no file in the job's folder.
std::optional<RunLock> holdCopies(const Workspace& ws) {
    if (!ws.files.stat(ws.lockFile(), false)) {
        return std::nullopt;
    }
    std::optional<RunLock> lock;
    try {
        lock = RunLock::tryAcquire(ws.lockFile());
    } catch (const std::system_error&) {
        return std::nullopt;  // a lock that cannot be opened is held by no backup either
    }
    if (!lock) {
        throw BackupError(std::string(kRestoreBusy));
    }
    return lock;
}

}  // namespace

int RestoreOutcome::exitStatus() const {
    if (failed.empty() && !cancelled) {
        return 0;
    }
    return restored + identical + besides.size() == 0 ? 1 : 3;
}

std::string RestoreOutcome::summary() const {
    return std::string(cancelled ? "恢复已取消：" : "恢复完毕：") + "已恢复 " +
           std::to_string(restored) + " 个文件，" + std::to_string(identical) + " 个文件已相同，" +
           std::to_string(besides.size()) + " 个文件另存为新名称，" +
           std::to_string(failed.size()) + " 项未能恢复";
}

bool isRestoreTempName(std::string_view name) {
    constexpr std::string_view kHead = ".vantrel-", kTail = ".tmp";
    if (name.size() != kHead.size() + 16 + kTail.size() || !name.starts_with(kHead) ||
        !name.ends_with(kTail)) {
        return false;
    }
    const std::string_view digits = name.substr(kHead.size(), 16);
    return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

ExcludeFn leavingOutRestoreTemps(ExcludeFn exclude) {
    return [exclude = std::move(exclude)](const fs::path& relative, bool folder) {
        return isRestoreTempName(pathToUtf8(relative.filename())) ||
               (exclude && exclude(relative, folder));
    };
}

std::string keptBesideText(const KeptBeside& kept) {
    return "已保留“" + kept.existing + "”，恢复的文件另存为“" + kept.restored + "”";
}

std::string notRestoredText(const FailedEntry& failed) {
    return "未能恢复“" + failed.path + "”：" + failed.reason;
}

std::string besideName(const std::string& name, std::string_view dateDigits, int counter) {
    std::string suffix = " (恢复 " + std::string(dateDigits);
    if (counter > 1) {
        suffix.append(" ").append(std::to_string(counter));
    }
    suffix += ")";
    const auto dot = name.rfind('.');
    std::size_t cut = dot != std::string::npos && dot > 0 ? dot : name.size();
    // An extension that leaves no room for the stem is taken as part of it.
    if (name.size() - cut + suffix.size() >= kMaxNameBytes) {
        cut = name.size();
    }
    // The stem gives way so that the name fits; the suffix with its date never does.
    std::size_t keep = std::min(cut, kMaxNameBytes - suffix.size() - (name.size() - cut));
    while (keep > 0 && keep < cut && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
        --keep;  // not inside a character
    }
    return name.substr(0, keep) + suffix + name.substr(cut);
}

RestoreOutcome restoreFiles(const Workspace& ws, const TBackupSettings& settings,
                            const RestoreRequest& request, FilePlacer& placer,
                            const RestoreControl& control) {
    std::vector<std::string> rels;
    for (const std::string& path : request.paths) {
        rels.push_back(sourceRelative(ws, settings, path));
    }
    const fs::path source = sourceRoot(ws, settings);
    const std::optional<RunLock> lock = holdCopies(ws);
    std::vector<CopyEntries> copies = jobCopies(ws);

    // Never into a copy, and a folder given with --to never into the target folder.
    const fs::path base =
        request.to.empty() ? source : resolveInWorkDir(ws.dir, request.to).lexically_normal();
    if (!request.to.empty() && !settings.TargetFolder.empty()) {
        const fs::path target = resolveInWorkDir(ws.dir, settings.TargetFolder).lexically_normal();
        if (inside(ws.files, base, target)) {
            throw RequestRefused("恢复的目的地“" + request.to + "”位于备份文件的目的地址“" +
                                 settings.TargetFolder + "”之内，不能恢复到这里");
        }
    }
    for (const CopyEntries& copy : copies) {
        // A record that leads elsewhere is never read, and blocks nothing.
        if (copy.trusted() && inside(ws.files, base, copy.place())) {
            throw RequestRefused("恢复的目的地“" + pathToUtf8(base) + "”位于备份“" +
                                 copy.record().path + "”之内，不能恢复到这里");
        }
    }

    RestoreOutcome out;
    Restorer restorer(ws, placer, request, control, out);
    std::vector<std::pair<CopyEntries*, std::string>> chosen;
    RestoreProgress total;
    std::set<const CopyEntries*> skipped;
    // Only a copy of this source is restored from: another folder's files never come back here.
    copies = jobCopies(ws, settings);
    for (std::size_t i = 0; i < rels.size(); ++i) {
        const std::string& shown = request.paths[i];
        std::string why;
        CopyEntries* copy = chooseCopy(copies, request, rels[i], shown, why, skipped);
        if (copy == nullptr) {
            out.failed.push_back({shown, why});
            continue;
        }
        chosen.emplace_back(copy, rels[i]);
        out.sources.push_back("从 " + copy->record().date + " 的备份“" + copy->record().path +
                              "”恢复“" + (rels[i].empty() ? "." : rels[i]) + "”");
        if (control.progress) {
            auto entries = copy->stream(rels[i]);
            while (const ManifestEntry* e = entries->next()) {
                total.totalFiles += e->type == 'd' ? 0 : 1;
                total.totalBytes += e->type == 'f' ? e->size : 0;
            }
        }
    }
    // A record that leads elsewhere is said, never followed.
    for (const CopyEntries* copy : skipped) {
        out.failed.push_back({escapedName(copy->record().path), kUntrustedRecord});
    }
    restorer.countOnly(total);
    for (auto& [copy, rel] : chosen) {
        // The copy's top is the source folder, or for a job that copies one file, that file.
        const auto top = copy->find("");
        const bool singleFile = top && top->type != 'd';
        restorer.restore(*copy, rel,
                         singleFile && !request.to.empty() ? base / source.filename() : base);
    }
    restorer.finish();
    return out;
}

}  // namespace vantrel
