#include "engine/Restore.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/CopyEntries.h"
#include "engine/CopyNaming.h"
#include "engine/FileHash.h"
#include "engine/SafePath.h"
#include "engine/SourcePath.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "platform/ErrorText.h"
#include "platform/FileStat.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// Renamed into place after a flush of this much: a restore killed half-way leaves at most
// this many temporary files, and a later restore of the same files replaces them.
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 30;
constexpr std::size_t kBatchFiles = 32768;
constexpr int kMaxBesideNames = 100;
// A new folder's mode before the umask, as the shell's mkdir makes it.
constexpr std::uint32_t kNewFolderMode = 0755;
// The longest name a file system takes, in bytes (on Windows in UTF-16 units, never more).
constexpr std::size_t kMaxNameBytes = 255;
constexpr const char* kUntrustedRecord = "这条备份记录指向的不是本任务的备份，未使用";
constexpr const char* kBadManifestPath = "备份清单中的这一项指向备份之外，未恢复";

// A temporary name beside `place`, the same for the same name each time, so what a killed
// restore left is taken up by the next; short whatever the name's length.
fs::path tempFor(const fs::path& place) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : pathToUtf8(place.filename())) {
        h = (h ^ c) * 1099511628211ull;
    }
    char name[40];
    std::snprintf(name, sizeof name, ".vantrel-%016llx.tmp", static_cast<unsigned long long>(h));
    return place.parent_path() / name;
}

// Whether `p` lies in `area` as written or as its links lead.
bool inside(FileOps& files, const fs::path& p, const fs::path& area) {
    if (isWithin(p, area)) {
        return true;
    }
    const auto realP = files.resolveLinks(p);
    const auto realArea = files.resolveLinks(area);
    return realP && realArea && isWithin(*realP, *realArea);
}

std::string parentOf(const std::string& rel) {
    const auto cut = rel.rfind('/');
    return cut == std::string::npos ? std::string() : rel.substr(0, cut);
}

std::string nameOf(const std::string& rel) {
    const auto cut = rel.rfind('/');
    return cut == std::string::npos ? rel : rel.substr(cut + 1);
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

// Puts the entries of one copy under one destination, and keeps count.
class Restorer {
public:
    Restorer(const Workspace& ws, FilePlacer& placer, const RestoreRequest& request,
             const RestoreControl& control, RestoreOutcome& out)
        : m_ws(ws), m_placer(placer), m_request(request), m_control(control), m_out(out) {}

    // Restores `rel` of `copy`; `base` is where the copy's top goes (for a copy of a single
    // file, the file itself).
    void restore(CopyEntries& copy, const std::string& rel, const fs::path& base) {
        m_copy = &copy;
        m_digits = digitsOf(copy.record().date);
        m_base = base;
        const auto top = copy.find("");
        m_syncRoot = !top || top->type == 'd' ? base : base.parent_path();
        m_folders.clear();
        m_unmade.clear();
        m_topOf.clear();
        auto entries = copy.stream(rel);
        while (const ManifestEntry* e = entries->next()) {
            if (cancelled()) {
                break;
            }
            if (!e->path.empty() && !isSafeRelativePath(e->path)) {
                fail(escapedName(e->path), kBadManifestPath);
                continue;
            }
            if (e->path.empty()) {
                if (e->type == 'd') {
                    ensureBase();
                    if (!m_folders.contains("")) {
                        m_unmade.insert("");
                    }
                } else if (lstat(base.parent_path()) || makeAbove(base)) {
                    place(*e, base, std::nullopt);
                }
                continue;
            }
            const std::string parentRel = parentOf(e->path);
            const auto parent = folderFor(parentRel);
            if (!parent) {
                continue;  // its folder could not be made; that failure is listed
            }
            const fs::path dest = *parent / pathFromUtf8(nameOf(e->path));
            if (e->type == 'd') {
                ensureFolder(e->path, dest);
                if (!m_folders.contains(e->path)) {
                    m_unmade.insert(e->path);
                }
            } else {
                place(*e, dest, newTopOf(parentRel));
            }
        }
        flush();
        placeNewFolders();
    }

    // Flushes the folders made and the times and modes they were given.
    void finish() {
        linkTogether();
        for (const fs::path& root : m_roots) {
            m_ws.files.syncFileSystem(root);
        }
    }

    void countOnly(const RestoreProgress& total) { m_progress = total; }

private:
    struct Pending {
        fs::path temp;
        fs::path to;
        // Written at its own name in a folder made now under a temporary name (`temp` is `to`),
        // which puts the file in place with the rest: the index of that folder in m_newTops.
        std::optional<std::size_t> inNewTop;
        fs::path shown;  // its place as the user knows it, for a failure
        // The copy's file, when it has other names: files hard-linked in the source are
        // hard-linked in the copy, and come back so.
        std::optional<FileId> linkedAs;
        bool replace = false;
        bool beside = false;
        fs::path existing;  // the file kept, when written beside it
        std::uint64_t bytes = 0;
        fs::path source;  // in the copy
        bool link = false;
        bool pipe = false;
        FileOpResult written;
        FileOpResult placed;
    };

    std::optional<EntryStat> lstat(const fs::path& p) { return m_ws.files.stat(p, false); }

    bool cancelled() const {
        if (m_control.cancel && m_control.cancel->load()) {
            m_out.cancelled = true;
        }
        return m_out.cancelled;
    }

    void fail(const fs::path& where, const std::error_code& error) {
        m_out.failed.push_back({pathToUtf8(where), describeError(error)});
    }

    void fail(const fs::path& where, std::string reason) {
        m_out.failed.push_back({pathToUtf8(where), std::move(reason)});
    }

    void fail(std::string where, std::string reason) {
        m_out.failed.push_back({std::move(where), std::move(reason)});
    }

    fs::path inCopy(const std::string& rel) const {
        return rel.empty() ? m_copy->place() : m_copy->place() / pathFromUtf8(rel);
    }

    // The copy's top goes to the destination folder, made when missing.
    void ensureBase() {
        if (m_folders.contains("")) {
            return;
        }
        // A link to a folder is taken as the user's way to the place.
        if (const auto followed = m_ws.files.stat(m_base, true);
            followed && followed->type == EntryType::Folder) {
            m_folders.emplace("", m_base);
        } else if (lstat(m_base)) {
            fail(m_base, "不是文件夹");
        } else if (makeAbove(m_base)) {
            const auto like = lstat(inCopy(""));
            makeNewTop("", m_base, like);
        }
    }

    // Makes the missing folders above `place` as any new folder is made (0755 less the
    // umask), never like the folder they are made in: under /tmp that would let every user
    // write into them.
    bool makeAbove(const fs::path& place) {
        std::vector<fs::path> missing;
        for (fs::path p = place.parent_path(); !p.empty() && !lstat(p); p = p.parent_path()) {
            missing.push_back(p);
            if (p == p.parent_path()) {
                break;
            }
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (auto r = m_placer.makeFolder(*it, kNewFolderMode); !r.ok()) {
                fail(*it, r.error);
                return false;
            }
        }
        return true;
    }

    // Where the copy's folder `rel` is restored to, made when missing; none when it could
    // not be.
    std::optional<fs::path> folderFor(const std::string& rel) {
        if (const auto it = m_folders.find(rel); it != m_folders.end()) {
            return it->second;
        }
        if (m_unmade.contains(rel)) {
            return std::nullopt;  // said once; what it holds is not tried again
        }
        if (rel.empty()) {
            ensureBase();
        } else if (const auto parent = folderFor(parentOf(rel))) {
            ensureFolder(rel, *parent / pathFromUtf8(nameOf(rel)));
        }
        const auto it = m_folders.find(rel);
        if (it == m_folders.end()) {
            m_unmade.insert(rel);
            return std::nullopt;
        }
        return it->second;
    }

    // Makes the folder `rel` at `dest`. Where something else has the name, even a link, it
    // stays and the folder is made beside it: nothing is written through a link.
    void ensureFolder(const std::string& rel, const fs::path& dest) {
        if (m_folders.contains(rel)) {
            return;
        }
        const auto like = lstat(inCopy(rel));
        if (!like) {
            fail(dest, std::make_error_code(std::errc::no_such_file_or_directory));
            return;
        }
        // Only a folder leads further into the copy: never a link, whatever its row says.
        if (like->type != EntryType::Folder) {
            fail(dest, "备份中的“" + escapedName(rel) + "”不是文件夹");
            return;
        }
        // In a folder this restore made, nothing else can have the name.
        const bool fresh = newTopOf(parentOf(rel)).has_value();
        fs::path place = dest;
        for (int n = 1; n <= kMaxBesideNames; ++n) {
            const auto st = fresh ? std::nullopt : lstat(place);
            if (st && st->type == EntryType::Folder) {
                keptBeside(dest, place);
                m_folders.emplace(rel, place);
                return;
            }
            if (!st && fresh) {
                if (auto r = m_placer.makeFolder(place, like->permissions); !r.ok()) {
                    fail(place, r.error);
                    return;
                }
                m_newMade.emplace_back(place, *like);
                m_folders.emplace(rel, place);
                m_topOf.emplace(rel, m_topOf.at(parentOf(rel)));
                return;
            }
            if (!st) {
                makeNewTop(rel, place, like, dest);
                return;
            }
            place = dest.parent_path() /
                    pathFromUtf8(besideName(pathToUtf8(dest.filename()), m_digits, n));
        }
        fail(dest, "同名的项太多");
    }

    // A folder put beside what holds its name is said, or its files would seem to be in place.
    void keptBeside(const fs::path& dest, const fs::path& place) {
        if (place != dest) {
            m_out.foldersBeside.push_back({pathToUtf8(dest), pathToUtf8(place)});
        }
    }

    // Whether the entry at `destPath` is the copy's entry `e`, whose file is `sourcePath`:
    // a file of the same contents, by the hash the copy keeps or else by reading both (a
    // damaged file can keep its size and time); a link to the same target.
    bool identical(const EntryStat& dest, const ManifestEntry& e, const fs::path& destPath,
                   const fs::path& sourcePath) {
        if (e.type == 'l') {
            return dest.type == EntryType::Link && linkTarget(m_ws.files, destPath) == e.hash;
        }
        if (dest.type != EntryType::File || dest.size != e.size) {
            return false;
        }
        try {
            const bool known = !e.hash.empty() && e.hash != kUnreadHash;
            const std::string want = known ? e.hash : hashFile(sourcePath);
            return hashFile(destPath) == want;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // `newTop`: `dest` lies in a folder this restore made, where nothing else can be, and goes
    // in place with that folder.
    void place(const ManifestEntry& e, const fs::path& dest, std::optional<std::size_t> newTop) {
        const bool fresh = newTop.has_value();
        const fs::path source = inCopy(e.path);
        // A pipe is made again; one still there is left alone, as is a device or a socket.
        const bool pipe = e.type == 's';
        if (const auto st = fresh ? std::nullopt : lstat(dest);
            pipe && st && st->type == EntryType::Special) {
            ++m_out.identical;
            return;
        }
        const bool link = e.type == 'l';
        const auto same = [&](const fs::path& p, const EntryStat& st) {
            return identical(st, e, p, source);
        };
        Pending pending;
        pending.to = dest;
        pending.pipe = pipe;
        if (e.type == 'f') {
            if (const auto st = lstat(source); st && st->linkCount > 1) {
                pending.linkedAs = m_ws.files.fileId(source);
            }
        }
        pending.bytes = link || pipe ? 0 : e.size;
        if (fresh) {
            const NewTop& top = m_newTops[*newTop];
            pending.inNewTop = newTop;
            pending.temp = dest;
            pending.shown = top.place / dest.lexically_relative(top.temp);
            enqueue(std::move(pending), source, link);
            return;
        }
        if (const auto st = fresh ? std::nullopt : lstat(dest)) {
            if (same(dest, *st)) {
                ++m_out.identical;
                advance(pending.bytes);
                return;
            }
            if (m_request.overwrite && st->type != EntryType::Folder) {
                pending.replace = true;
            } else {
                // Kept; the restored one goes beside it, unless an earlier restore put the
                // same there already.
                pending.beside = true;
                pending.existing = dest;
                bool found = false;
                for (int n = 1; n <= kMaxBesideNames && !found; ++n) {
                    pending.to = dest.parent_path() /
                                 pathFromUtf8(besideName(pathToUtf8(dest.filename()), m_digits, n));
                    const auto there = lstat(pending.to);
                    if (there && same(pending.to, *there)) {
                        ++m_out.identical;
                        advance(pending.bytes);
                        return;
                    }
                    found = !there;
                }
                if (!found) {
                    fail(dest, "同名的项太多");
                    return;
                }
            }
        }
        // Two entries of one batch bound for one name would share a temporary name.
        if (!m_batchPlaces.insert(pathKey(pending.to)).second) {
            flush();
            m_batchPlaces.insert(pathKey(pending.to));
        }
        pending.temp = tempFor(pending.to);
        pending.shown = pending.to;
        enqueue(std::move(pending), source, link);
    }

    void advance(std::uint64_t bytes) {
        ++m_progress.files;
        m_progress.bytes += bytes;
        if (m_control.progress) {
            m_control.progress(m_progress);
        }
    }

    // Writes the batch's files under their temporary names, on two threads: small files cost
    // the kernel per file, and two go nearly twice as fast as one. Only this thread reports.
    void writeBatch(std::vector<Pending>& batch) {
        std::atomic<std::uint64_t> files{0}, bytes{0};
        const std::thread::id reporter = std::this_thread::get_id();
        onTwoThreads(batch.size(), [&](std::size_t i) {
            Pending& p = batch[i];
            if (m_control.cancel && m_control.cancel->load()) {
                p.written = {p.temp, std::make_error_code(std::errc::operation_canceled)};
                return;
            }
            p.written = p.pipe   ? m_placer.writePipe(p.source, p.temp)
                        : p.link ? m_placer.writeLink(p.source, p.temp)
                                 : m_placer.writeFile(p.source, p.temp);
            ++files;
            bytes += p.bytes;
            if (m_control.progress && std::this_thread::get_id() == reporter) {
                RestoreProgress now = m_progress;
                now.files += files;
                now.bytes += bytes;
                m_control.progress(now);
            }
        });
        m_progress.files += files;
        m_progress.bytes += bytes;
    }

    // Calls `each(i)` for every i below `count`, on this thread and a second one.
    static void onTwoThreads(std::size_t count, const std::function<void(std::size_t)>& each) {
        std::atomic<std::size_t> next{0};
        const auto work = [&] {
            for (std::size_t i = next++; i < count; i = next++) {
                each(i);
            }
        };
        std::thread helper;
        if (count > 1) {
            helper = std::thread(work);
        }
        work();
        if (helper.joinable()) {
            helper.join();
        }
    }

    // Makes the folder `rel`, missing at `place`, under a temporary name beside it: what is
    // restored into it is written at its own names there, and the whole folder is renamed into
    // place once it is on disk, instead of each file on its own.
    // `wanted` is the name the copy gives it, when `place` is a name beside that one.
    void makeNewTop(const std::string& rel, const fs::path& place,
                    const std::optional<EntryStat>& like, const fs::path& wanted = {}) {
        const fs::path temp = tempFor(place);
        // Left by a restore that was stopped before it could put the folder in place.
        if (const auto st = lstat(temp); st && st->type == EntryType::Folder) {
            m_ws.files.removeTree(temp);
        }
        if (auto r = m_placer.makeFolder(temp, like ? like->permissions : 0755); !r.ok()) {
            fail(place, r.error);
            return;
        }
        if (like) {
            m_newMade.emplace_back(temp, *like);
        }
        m_topOf.emplace(rel, m_newTops.size());
        m_newTops.push_back({temp, place, wanted.empty() ? place : wanted, 0, {}});
        m_folders.emplace(rel, temp);
    }

    // The folder made now under a temporary name that holds the copy's folder `rel`; none
    // when `rel` was there before.
    std::optional<std::size_t> newTopOf(const std::string& rel) const {
        const auto it = m_topOf.find(rel);
        return it == m_topOf.end() ? std::nullopt : std::optional<std::size_t>(it->second);
    }

    // Gives the folders made under temporary names their mode and time, puts them on disk
    // and renames each into place (beside a name that was taken since).
    void placeNewFolders() {
        if (m_newTops.empty()) {
            return;
        }
        for (auto it = m_newMade.rbegin(); it != m_newMade.rend(); ++it) {
            m_placer.finishFolder(it->first, it->second);
        }
        const bool stop = cancelled();
        const FileOpResult synced = syncDestination();
        for (const NewTop& top : m_newTops) {
            FileOpResult placed = synced.ok() ? m_placer.place(top.temp, top.place, false) : synced;
            fs::path to = top.place;
            for (int n = 1; placed.error == std::errc::file_exists && n <= kMaxBesideNames; ++n) {
                to = top.place.parent_path() /
                     pathFromUtf8(besideName(pathToUtf8(top.place.filename()), m_digits, n));
                placed = m_placer.place(top.temp, to, false);
            }
            if (!placed.ok()) {
                m_ws.files.removeTree(top.temp);
                if (!stop || top.files > 0) {
                    fail(top.place, placed.error);
                }
                continue;
            }
            keptBeside(top.wanted, to);
            m_out.restored += top.files;
            for (const auto& [id, relative] : top.linked) {
                m_linked.emplace_back(id, to / relative);
            }
        }
        m_newTops.clear();
        m_newMade.clear();
    }

    // Makes the files written now that are one file in the copy one file again: each after
    // the first is replaced by a hard link to it. Where the system makes no link they stay
    // files of their own, with the same contents.
    void linkTogether() {
        std::stable_sort(m_linked.begin(), m_linked.end(), [](const auto& a, const auto& b) {
            return std::tie(a.first.device, a.first.inode) <
                   std::tie(b.first.device, b.first.inode);
        });
        for (std::size_t i = 1; i < m_linked.size(); ++i) {
            const auto& [id, place] = m_linked[i];
            std::size_t first = i;
            while (first > 0 && m_linked[first - 1].first == id) {
                --first;
            }
            if (first == i) {
                continue;
            }
            const fs::path temp = tempFor(place);
            if (m_placer.writeHardLink(m_linked[first].second, temp).ok() &&
                !m_placer.place(temp, place, true).ok()) {
                m_placer.removeFile(temp);
            }
        }
    }

    // Flushes the destination's file system: its nearest folder that exists.
    FileOpResult syncDestination() {
        fs::path root = m_syncRoot;
        while (!m_ws.files.stat(root, true) && root.has_relative_path()) {
            root = root.parent_path();
        }
        if (std::find(m_roots.begin(), m_roots.end(), root) == m_roots.end()) {
            m_roots.push_back(root);
        }
        return m_ws.files.syncFileSystem(root);
    }

    // Puts the written files on disk, then gives them their names.
    // Adds a file to the batch, which is written out once it holds enough.
    void enqueue(Pending pending, const fs::path& source, bool link) {
        pending.source = source;
        pending.link = link;
        m_batchBytes += pending.bytes;
        m_pending.push_back(std::move(pending));
        if (m_batchBytes >= kBatchBytes || m_pending.size() >= kBatchFiles) {
            flush();
        }
    }

    void flush() {
        if (m_pending.empty()) {
            return;
        }
        std::vector<Pending> batch = std::move(m_pending);
        m_pending.clear();
        m_batchPlaces.clear();
        m_batchBytes = 0;
        writeBatch(batch);
        const FileOpResult synced = syncDestination();
        if (synced.ok() && !cancelled()) {
            onTwoThreads(batch.size(), [&](std::size_t i) {
                Pending& p = batch[i];
                if (p.written.ok() && !p.inNewTop) {
                    p.placed = m_placer.place(p.temp, p.to, p.replace);
                }
            });
        }
        for (Pending& p : batch) {
            if (!p.written.ok()) {
                if (p.pipe && p.written.error == std::errc::not_supported) {
                    fail(p.shown, "特殊文件（设备、套接字等）不能恢复");
                } else if (p.written.error != std::errc::operation_canceled) {
                    fail(p.written.failedPath == p.source ? p.source
                         : p.beside                       ? p.existing
                                                          : p.shown,
                         p.written.error);
                }
                continue;
            }
            if (!synced.ok() || cancelled()) {
                m_placer.removeFile(p.temp);
                if (!synced.ok()) {
                    fail(p.beside ? p.existing : p.shown, synced.error);
                }
                continue;
            }
            if (p.inNewTop) {
                NewTop& top = m_newTops[*p.inNewTop];
                ++top.files;  // counted once its folder is in place
                if (p.linkedAs) {
                    top.linked.emplace_back(*p.linkedAs, p.temp.lexically_relative(top.temp));
                }
                continue;
            }
            FileOpResult& placed = p.placed;
            // Something took the name since it was looked at: it stays, as any file would.
            for (int n = 1; placed.error == std::errc::file_exists && n <= kMaxBesideNames; ++n) {
                const fs::path kept = p.beside ? p.existing : p.to;
                p.beside = true;
                p.existing = kept;
                p.to = kept.parent_path() /
                       pathFromUtf8(besideName(pathToUtf8(kept.filename()), m_digits, n));
                placed = m_placer.place(p.temp, p.to, false);
            }
            if (!placed.ok()) {
                m_placer.removeFile(p.temp);
                fail(p.beside ? p.existing : p.to, placed.error);
                continue;
            }
            if (p.beside) {
                m_out.besides.push_back({pathToUtf8(p.existing), pathToUtf8(p.to)});
            } else {
                ++m_out.restored;
            }
            if (p.linkedAs) {
                m_linked.emplace_back(*p.linkedAs, p.to);
            }
        }
    }

    const Workspace& m_ws;
    FilePlacer& m_placer;
    const RestoreRequest& m_request;
    const RestoreControl& m_control;
    RestoreOutcome& m_out;
    CopyEntries* m_copy = nullptr;
    std::string m_digits;
    fs::path m_base;
    fs::path m_syncRoot;  // an existing folder on the destination's file system
    std::unordered_map<std::string, fs::path> m_folders;  // the copy's folder → its place
    std::unordered_set<std::string> m_unmade;             // the copy's folders that failed
    // A folder made now under a temporary name, and where it goes; the files placed in it.
    struct NewTop {
        fs::path temp;
        fs::path place;
        fs::path wanted;  // the name the copy gives it, where `place` lies beside that
        std::uint64_t files = 0;
        std::vector<std::pair<FileId, fs::path>> linked;  // files with other names, below it
    };
    std::vector<NewTop> m_newTops;
    std::vector<std::pair<fs::path, EntryStat>> m_newMade;  // made in those, in the order made
    std::unordered_map<std::string, std::size_t> m_topOf;   // a folder made now → its NewTop
    std::vector<fs::path> m_roots;                          // destinations flushed
    // Files written now whose copy has other names: the copy's file, and where it went.
    std::vector<std::pair<FileId, fs::path>> m_linked;
    std::vector<Pending> m_pending;
    std::unordered_set<std::string> m_batchPlaces;  // where the batch's files go
    std::uint64_t m_batchBytes = 0;
    RestoreProgress m_progress;
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
