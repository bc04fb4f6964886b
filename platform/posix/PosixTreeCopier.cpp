#include "platform/posix/PosixTreeCopier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileOpsCommon.h"
#include "platform/posix/CopyWorkQueue.h"
#include "platform/posix/PosixCopySteps.h"
#include "platform/posix/PosixDataCopy.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFd.h"
#include "platform/posix/PosixStat.h"

namespace vantrel::posix {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;

namespace {

// Copies a tree, or the folders handed to it; each thread of one copy has its own.
class Copier final : public FolderWorker, public DataCopyObserver {
public:
    Copier(CopyShared& shared, const CopyOptions& options, const ProgressFn& progress,
           CopyMethod method, FileId topId = {~std::uint64_t{0}, ~std::uint64_t{0}})
        : m_shared(shared),
          m_options(options),
          m_progress(progress),
          m_method(method),
          m_topId(topId) {}

    CopyResult run(const fs::path& src, const fs::path& dst) {
        struct stat st;
        // The top is followed: a source that is a link means what it names.
        if (::stat(src.c_str(), &st) != 0) {
            return failure(src, errno);
        }
        struct stat existing;
        if (::lstat(dst.c_str(), &existing) == 0) {
            return failure(dst, EEXIST);
        }
        // ENOTDIR: a parent is not a folder; makeFolders names which one.
        if (errno != ENOENT && errno != ENOTDIR) {
            return failure(dst, errno);
        }
        if (FileOpResult r = makeFolders(dst.parent_path()); !r.ok()) {
            return r;
        }
        const char* share = m_options.shareFrom.empty() ? nullptr : m_options.shareFrom.c_str();
        if (S_ISDIR(st.st_mode)) {
            copyTop(src, dst, st);
        } else if (S_ISREG(st.st_mode)) {
            m_topEntry = true;  // the source itself is never left out
            copyFile(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), AT_FDCWD, share, st, src, dst,
                     {}, true);
        } else {
            m_topEntry = true;
            copySpecial(AT_FDCWD, dst.c_str(), st, src, dst, {});
        }
        // Every thread has stopped by now.
        if (m_shared.thrown) {
            std::rethrow_exception(m_shared.thrown);
        }
        CopyResult result(std::move(m_shared.failure));
        result.skipped = std::move(m_shared.skipped);
        std::sort(result.skipped.begin(), result.skipped.end(),
                  [](const SkippedEntry& a, const SkippedEntry& b) { return a.path < b.path; });
        result.done = m_shared.done;
        result.shared = m_shared.shared;
        result.shareFallbacks = m_shared.shareFallbacks;
        return result;
    }

    void copyHandedOver(FolderTask& task) override {
        try {
            copyFolder(task.folder, task.names, task.st);
        } catch (...) {
            m_shared.raised(std::current_exception());
        }
    }

private:
    // Records the copy's first failure and stops every thread; returns false.
    bool fail(FileOpResult what) {
        m_shared.fail(std::move(what));
        return false;
    }

    bool fail(const fs::path& path, int err) { return fail(failure(path, err)); }

    // Cancelled by the caller, or stopped by a failure in another thread.
    bool cancelled() const override {
        return (m_options.cancel && m_options.cancel->load()) ||
               m_shared.stop.load(std::memory_order_relaxed);
    }

    // Counts file contents moved; big files report progress as they go.
    void moved(std::uint64_t bytes, bool bigFile) override {
        std::lock_guard lock(m_shared.mutex);
        m_shared.done.bytes += bytes;
        if (bigFile && m_progress) {
            m_progress(m_shared.done);
        }
    }

    // Whether the caller leaves the entry out on purpose.
    bool excluded(const fs::path& rel, bool folder) const {
        return m_options.exclude && m_options.exclude(rel, folder);
    }

    bool failCancelled(const fs::path& path) {
        return fail({path, std::make_error_code(std::errc::operation_canceled)});
    }

    // An entry that failed on its own: left out when the caller allows it, else the end of
    // the copy. Returns whether the copy goes on.
    // A held file is not tried again here: POSIX has no sharing modes, and an advisory lock
    // does not keep a reader out.
    bool entryFailed(const fs::path& src, int err, EntryFault fault) {
        switch (faultStep(fault, m_options.skipFailedEntries, m_topEntry, true)) {
            case FaultStep::StopCopy:
            case FaultStep::RetryLater:
                return fail(src, err);
            case FaultStep::Drop:  // gone since it was listed: nothing was left out
                return true;
            case FaultStep::LeaveOut:
                break;
        }
        std::lock_guard lock(m_shared.mutex);
        m_shared.skipped.push_back({src, std::error_code(err, std::system_category())});
        return true;
    }

    // `shared`: linked from the copy shared from. `held` is what the copy holds, read back from
    // it; null when it could not be read.
    // `bytes` are the entry's bytes not yet counted as done.
    // `hash`: of the contents as written, where they were hashed while copied.
    void placed(const fs::path& rel, EntryType type, const struct stat& st, bool shared,
                const fs::path& written, const struct stat* held = nullptr, std::uint64_t bytes = 0,
                const std::string* hash = nullptr) {
        {
            std::lock_guard lock(m_shared.mutex);
            if (shared) {
                ++m_shared.shared;
            }
            if (type != EntryType::Folder) {
                ++m_shared.done.files;
                m_shared.done.bytes += bytes;
                if (m_progress) {
                    m_progress(m_shared.done);
                }
            }
        }
        // Outside the lock: the manifest hashes copied files here, and the other thread
        // goes on meanwhile.
        if (m_options.onEntry) {
            const EntryStat source = entryStatOf(st);
            const EntryStat copy = held != nullptr ? entryStatOf(*held) : EntryStat{};
            CopiedEntry e;
            e.source = &source;
            e.held = held != nullptr ? &copy : nullptr;
            e.relative = rel;
            e.type = type;
            const struct stat& kept = held != nullptr ? *held : st;
            e.size = type == EntryType::File ? static_cast<std::uint64_t>(kept.st_size) : 0;
            e.mtimeNs = nanoseconds(kept.st_mtim);
            e.asWritten = held != nullptr;
            e.shared = shared;
            e.written = &written;
            e.hash = hash;
            m_options.onEntry(e);
        }
    }

    bool copyTop(const fs::path& src, const fs::path& dst, const struct stat& st) {
        Folder top;
        top.src.reset(::open(src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!top.src) {
            return fail(src, errno);
        }
        std::vector<std::string> names;
        if (const int err = listNames(top.src.get(), names)) {
            return fail(src, err);
        }
        if (::mkdir(dst.c_str(), S_IRWXU) != 0) {
            return fail(dst, errno);
        }
        top.dst.reset(::open(dst.c_str(), kDirFlags));
        struct stat dstSt;
        if (!top.dst || ::fstat(top.dst.get(), &dstSt) != 0) {
            return fail(dst, errno);
        }
        // A destination inside the source must not be copied into itself.
        m_topId = idOf(dstSt);
        top.srcId = idOf(st);
        top.dstId = m_topId;
        if (!m_options.shareFrom.empty()) {
            openShare(top, AT_FDCWD, m_options.shareFrom.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        top.srcPath = src;
        top.dstPath = dst;
        CopyShared& shared = m_shared;
        const CopyOptions& options = m_options;
        const ProgressFn& progress = m_progress;
        const CopyMethod method = m_method;
        const FileId topId = m_topId;
        const HelperThread helper(shared, [&shared, &options, &progress, method, topId] {
            Copier copier(shared, options, progress, method, topId);
            serveQueue(shared, copier);
        });
        return copyFolder(top, names, st);
    }

    // Opens the counterpart of `f` in the copy shared from; left closed where there is none.
    static void openShare(Folder& f, int dirFd, const char* name, int flags) {
        f.share.reset(::openat(dirFd, name, flags));
        struct stat st;
        if (f.share && ::fstat(f.share.get(), &st) == 0) {
            f.shareId = idOf(st);
        } else {
            f.share.reset();
        }
    }

    // Copies the entries of `f`, then gives the copy the folder's owner, mode and times.
    bool copyFolder(Folder& f, const std::vector<std::string>& names, const struct stat& st) {
        int pending = 0;  // subfolders handed to the other thread, not yet done
        bool ok = false;
        try {
            ok = copyEntries(f, names, pending);
        } catch (...) {
            m_shared.raised(std::current_exception());
        }
        // The handed-over subfolders use this folder's copy: they finish before it does,
        // whatever happened here.
        waitForHandedOver(m_shared, *this, pending);
        if (!ok || m_shared.stop) {
            return false;
        }
        const int out = f.dst.get();
        if (const int err = ::fchown(out, st.st_uid, st.st_gid) != 0 ? keepOwner(errno) : 0) {
            return fail(f.dstPath, err);
        }
        copyXattrs(f.src.get(), out);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(out, st.st_mode & 07777) != 0 || ::futimens(out, times) != 0) {
            return fail(f.dstPath, errno);
        }
        // Read back for the manifest: the owner is the source's only where the process may
        // set it.
        struct stat held;
        const bool read = m_options.onEntry && ::fstat(out, &held) == 0;
        placed(f.rel, EntryType::Folder, st, false, f.dstPath, read ? &held : nullptr);
        return true;
    }

    bool copyEntries(Folder& f, const std::vector<std::string>& names, int& pending) {
        for (const std::string& name : names) {
            if (cancelled()) {
                return failCancelled(f.srcPath / name);
            }
            // Names from the folder are native bytes, so they join the path unconverted.
            const fs::path src = f.srcPath / name;
            const fs::path rel = f.rel / name;
            struct stat cst;
            if (::fstatat(f.src.get(), name.c_str(), &cst, AT_SYMLINK_NOFOLLOW) != 0) {
                const int err = errno;
                // Left out whatever it is: not a failure.
                if (excluded(rel, false) && excluded(rel, true)) {
                    continue;
                }
                if (!entryFailed(src, err, sourceFault(osError(err)))) {
                    return false;
                }
                continue;
            }
            if (excluded(rel, S_ISDIR(cst.st_mode))) {
                continue;  // never opened, so an unreadable folder left out costs nothing
            }
            const fs::path dst = f.dstPath / name;
            const char* n = name.c_str();
            bool ok;
            switch (cst.st_mode & S_IFMT) {
                case S_IFREG:
                    ok = copyFile(f.src.get(), n, f.dst.get(), n, f.share ? f.share.get() : -1, n,
                                  cst, src, dst, rel, false);
                    break;
                case S_IFDIR:
                    ok = enterFolder(f, name, cst, src, dst, rel, pending);
                    break;
                case S_IFLNK:
                    ok = copyLink(f.src.get(), n, f.dst.get(), n, cst, src, dst, rel);
                    break;
                default:
                    ok = copySpecial(f.dst.get(), n, cst, src, dst, rel);
                    break;
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    bool enterFolder(Folder& parent, const std::string& name, const struct stat& st,
                     const fs::path& src, const fs::path& dst, const fs::path& rel, int& pending) {
        const FileId id = idOf(st);
        if (id == m_topId || std::find(m_options.skipFolders.begin(), m_options.skipFolders.end(),
                                       id) != m_options.skipFolders.end()) {
            return true;
        }
        Folder child;
        child.src.reset(::openat(parent.src.get(), name.c_str(), kDirFlags));
        if (!child.src) {
            return entryFailed(src, errno, sourceFault(osError(errno)));
        }
        std::vector<std::string> names;
        if (const int err = listNames(child.src.get(), names)) {
            return entryFailed(src, err, sourceFault(osError(err)));
        }
        // Owner-only until the contents are in, then the source's mode.
        if (::mkdirat(parent.dst.get(), name.c_str(), S_IRWXU) != 0) {
            return entryFailed(src, errno, targetFault(osError(errno)));
        }
        child.dst.reset(::openat(parent.dst.get(), name.c_str(), kDirFlags));
        struct stat dstSt;
        if (!child.dst || ::fstat(child.dst.get(), &dstSt) != 0) {
            return fail(dst, errno);
        }
        child.srcId = id;
        child.dstId = idOf(dstSt);
        if (parent.share) {
            openShare(child, parent.share.get(), name.c_str(), kDirFlags);
        }
        child.srcPath = src;
        child.dstPath = dst;
        child.rel = rel;
        child.depth = parent.depth + 1;
        if (handOver(m_shared, child, names, st, pending)) {
            return true;
        }
        // Deep down, the parent's descriptors are closed while the child is copied.
        const bool release = child.depth >= kKeptLevels;
        const bool releaseShare = release && child.share;
        if (release) {
            parent.src.reset();
            parent.dst.reset();
            if (releaseShare) {
                parent.share.reset();
            }
        }
        if (!copyFolder(child, names, st)) {
            return false;
        }
        if (release) {
            parent.src = reopenParent(child.src.get(), parent.srcId);
            if (!parent.src) {
                return fail(parent.srcPath, errno);
            }
            parent.dst = reopenParent(child.dst.get(), parent.dstId);
            if (!parent.dst) {
                return fail(parent.dstPath, errno);
            }
            if (releaseShare) {
                parent.share = reopenParent(child.share.get(), parent.shareId);  // may fail
            }
        }
        return true;
    }

    // Whether `share` (the counterpart in the copy shared from) holds the same file as `st`.
    bool sameAsShared(const struct stat& st, const struct stat& shared, const fs::path& rel) const {
        return sameForSharing(m_options, m_euid, st, shared, rel);
    }

    // Links `dstName` to an existing file instead of copying. Returns 0 when linked, an errno
    // value when the link failed (the caller copies or stops).
    int linkInstead(int fromDir, const char* fromName, int dstDir, const char* dstName) {
        return ::linkat(fromDir, fromName, dstDir, dstName, 0) == 0 ? 0 : errno;
    }

    // With linkMutex held when `st` has several names.
    void fileLinked(const struct stat& st, const fs::path& rel, const fs::path& dst, bool shared,
                    const struct stat* held, std::uint64_t bytes) {
        if (st.st_nlink > 1) {
            m_shared.links.insert_or_assign(idOf(st), LinkedName{dst, shared});
        }
        placed(rel, EntryType::File, st, shared, dst, held, bytes);
    }

    bool copyFile(int srcDir, const char* srcName, int dstDir, const char* dstName, int shareDir,
                  const char* shareName, const struct stat& st, const fs::path& src,
                  const fs::path& dst, const fs::path& rel, bool follow) {
        std::unique_lock<std::mutex> linkLock;
        if (st.st_nlink > 1) {
            linkLock = std::unique_lock(m_shared.linkMutex);
        }
        // Files hard-linked to each other in the source are linked to each other in the copy,
        // to whichever file the first name became: shared, or copied after a failed share.
        if (st.st_nlink > 1) {
            if (const auto it = m_shared.links.find(idOf(st)); it != m_shared.links.end()) {
                const int err = linkInstead(AT_FDCWD, it->second.path.c_str(), dstDir, dstName);
                if (err == 0) {
                    struct stat held;
                    const bool read = m_options.onEntry &&
                                      ::fstatat(dstDir, dstName, &held, AT_SYMLINK_NOFOLLOW) == 0;
                    placed(rel, EntryType::File, st, it->second.shared, dst, read ? &held : nullptr,
                           heldBytes(srcDir, srcName, st));
                    return true;
                }
                // That file is full of links: this name gets a copy of its own, which the
                // names after it link to; the shared file would refuse them as well.
                shareName = nullptr;
            }
        }
        if (shareName && (shareDir >= 0 || shareDir == AT_FDCWD)) {
            struct stat shared;
            if (::fstatat(shareDir, shareName, &shared, AT_SYMLINK_NOFOLLOW) == 0 &&
                sameAsShared(st, shared, rel)) {
                const int err = linkInstead(shareDir, shareName, dstDir, dstName);
                if (err == 0) {
                    fileLinked(st, rel, dst, true, &shared, heldBytes(srcDir, srcName, st));
                    return true;
                }
                if (linkFallsBackToCopy(osError(err))) {
                    std::lock_guard lock(m_shared.mutex);
                    ++m_shared.shareFallbacks;
                } else if (err != ENOENT) {
                    return fail(dst, err);
                }
            }
        }
        Fd in(::openat(srcDir, srcName, O_RDONLY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
        if (!in) {
            return entryFailed(src, errno, sourceFault(osError(errno)));
        }
        // Read as well as written when hashed: each chunk is read back while still cached.
        ContentDigest* digest = this->digest();
        Fd out(::openat(
            dstDir, dstName,
            (digest != nullptr ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
            S_IRUSR | S_IWUSR));
        if (!out) {
            return entryFailed(src, errno, targetFault(osError(errno)));
        }
        if (digest != nullptr) {
            digest->start();
        }
        if (const int err = m_data.copy(in.get(), out.get(), st, *this, digest)) {
            if (err == ECANCELED) {
                return failCancelled(src);
            }
            return fail(osError(err) == OsError::TargetFull ? dst : src, err);
        }
        // Owner first, since it clears set-user-ID bits; mode after the data for the same
        // reason; times last.
        if (const int err = ::fchown(out.get(), st.st_uid, st.st_gid) != 0 ? keepOwner(errno) : 0) {
            return fail(dst, err);
        }
        copyXattrs(in.get(), out.get());
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::futimens(out.get(), times) != 0) {
            return fail(dst, errno);
        }
        // The time as the target keeps it, for whoever is told of the entry: a file system
        // with coarser times rounds it.
        struct stat held;
        const bool read = m_options.onEntry && ::fstat(out.get(), &held) == 0;
        // Some file systems report a failed write only at close.
        if (::close(out.release()) != 0) {
            return fail(dst, errno);
        }
        if (st.st_nlink > 1) {
            m_shared.links.insert_or_assign(idOf(st), LinkedName{dst, false});
        }
        if (digest != nullptr && m_data.hashed()) {
            m_hash = digest->finish();
            placed(rel, EntryType::File, st, false, dst, read ? &held : nullptr, 0, &m_hash);
        } else {
            placed(rel, EntryType::File, st, false, dst, read ? &held : nullptr);
        }
        return true;
    }

    // This thread's digest when the copy hashes what it writes; made on first use.
    ContentDigest* digest() {
        if (!m_digest && m_options.digest) {
            m_digest = m_options.digest();
        }
        return m_digest.get();
    }

    // Gives the entry made at `dstName` the source's owner and group, where the process may.
    bool ownedAt(int dstDir, const char* dstName, const struct stat& st, const fs::path& dst) {
        if (::fchownat(dstDir, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            keepOwner(errno) != 0) {
            return fail(dst, errno);
        }
        return true;
    }

    // Reports the link or special file made at `dstName`, as the copy holds it.
    void placedAt(int dstDir, const char* dstName, const fs::path& rel, EntryType type,
                  const struct stat& st, const fs::path& dst) {
        struct stat held;
        const bool read =
            m_options.onEntry && ::fstatat(dstDir, dstName, &held, AT_SYMLINK_NOFOLLOW) == 0;
        placed(rel, type, st, false, dst, read ? &held : nullptr);
    }

    bool copyLink(int srcDir, const char* srcName, int dstDir, const char* dstName,
                  const struct stat& st, const fs::path& src, const fs::path& dst,
                  const fs::path& rel) {
        std::string target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(srcDir, srcName, target.data(), target.size());
            if (n < 0) {
                return entryFailed(src, errno, sourceFault(osError(errno)));
            }
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (::symlinkat(target.c_str(), dstDir, dstName) != 0) {
            return entryFailed(src, errno, targetFault(osError(errno)));
        }
        if (!ownedAt(dstDir, dstName, st, dst)) {
            return false;
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) != 0 && errno != EOPNOTSUPP) {
            return fail(dst, errno);
        }
        placedAt(dstDir, dstName, rel, EntryType::Link, st, dst);
        return true;
    }

    // Pipes, sockets and device nodes are made anew, like the folder they sit in.
    bool copySpecial(int dstDir, const char* dstName, const struct stat& st, const fs::path& src,
                     const fs::path& dst, const fs::path& rel) {
        if (::mknodat(dstDir, dstName, (st.st_mode & S_IFMT) | S_IRUSR | S_IWUSR, st.st_rdev) !=
            0) {
            // EPERM: a device node only root may make.
            const int err = errno;
            return entryFailed(src, err,
                               err == EPERM ? EntryFault::Unreadable : targetFault(osError(err)));
        }
        if (!ownedAt(dstDir, dstName, st, dst)) {
            return false;
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmodat(dstDir, dstName, st.st_mode & 07777, 0) != 0 ||
            ::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail(dst, errno);
        }
        placedAt(dstDir, dstName, rel, EntryType::Special, st, dst);
        return true;
    }

    CopyShared& m_shared;
    const CopyOptions& m_options;
    const ProgressFn& m_progress;
    const CopyMethod m_method;
    DataCopy m_data{m_method};
    std::unique_ptr<ContentDigest> m_digest;
    std::string m_hash;  // of the file last copied
    const uid_t m_euid = ::geteuid();
    bool m_topEntry = false;
    FileId m_topId;
};

}  // namespace

CopyResult copyTree(const fs::path& from, const fs::path& to, const CopyOptions& options,
                    const ProgressFn& progress, CopyMethod method) {
    CopyShared shared;
    Copier copier(shared, options, progress, method);
    return copier.run(from, to);
}

}  // namespace vantrel::posix
