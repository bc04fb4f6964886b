#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/FileOps.h"
#include "platform/FileOpsCommon.h"

namespace vantrel {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;

namespace {

FileOpResult failure(const fs::path& path, int err) {
    return {path, std::error_code(err, std::system_category())};
}

// Owns a file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

struct DirEntry {
    std::string name;
    unsigned char type;  // DT_* from the folder, DT_UNKNOWN where the file system gives none
};

// Entries of a folder, without "." and "..". Returns an errno value, 0 on success.
int listEntries(int dirFd, std::vector<DirEntry>& entries) {
    const int copy = ::dup(dirFd);
    if (copy < 0) {
        return errno;
    }
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        const int err = errno;
        ::close(copy);
        return err;
    }
    ::rewinddir(dir);
    int err = 0;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) {
            err = errno;
            break;
        }
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
            continue;
        }
        entries.push_back({n, e->d_type});
    }
    ::closedir(dir);
    return err;
}

int listNames(int dirFd, std::vector<std::string>& names) {
    std::vector<DirEntry> entries;
    const int err = listEntries(dirFd, entries);
    for (DirEntry& e : entries) {
        names.push_back(std::move(e.name));
    }
    return err;
}

FileId idOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::int64_t nanoseconds(const timespec& t) {
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

FileOpResult makeFolders(const fs::path& folder);

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Folders this deep and deeper give up their descriptors while a subfolder is copied and
// get them back through its "..", so a deep tree holds a bounded number of descriptors.
constexpr int kKeptLevels = 64;

// Reopens the parent of the folder open as `childFd`, checking that it is still the folder
// with identity `expected` (the tree may have been moved meanwhile).
Fd reopenParent(int childFd, const FileId& expected) {
    Fd parent(::openat(childFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (parent && (::fstat(parent.get(), &st) != 0 || !(idOf(st) == expected))) {
        parent.reset();
        errno = ENOENT;
    }
    return parent;
}

// Extended attributes are copied where both sides allow it; a failure loses only them.
void copyXattrs(int in, int out) {
    ssize_t len = ::flistxattr(in, nullptr, 0);
    if (len <= 0) {
        return;
    }
    std::vector<char> names(static_cast<size_t>(len));
    len = ::flistxattr(in, names.data(), names.size());
    std::vector<char> value;
    for (ssize_t at = 0; at < len;) {
        const char* name = names.data() + at;
        at += static_cast<ssize_t>(std::char_traits<char>::length(name)) + 1;
        const ssize_t size = ::fgetxattr(in, name, nullptr, 0);
        if (size < 0) {
            continue;
        }
        value.resize(static_cast<size_t>(size));
        const ssize_t got = ::fgetxattr(in, name, value.data(), value.size());
        if (got >= 0) {
            ::fsetxattr(out, name, value.data(), static_cast<size_t>(got), 0);
        }
    }
}

// Owner and group are kept where the process may set them; elsewhere the copy is ours.
int keepOwner(int err) {
    return err == EPERM || err == EINVAL || err == EOPNOTSUPP ? 0 : err;
}

// Errors that belong to the destination side of a copy rather than the source.
bool isWriteSideError(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS;
}

// The source entry cannot be read on its own: it is left out, and the rest is copied.
bool isEntrySourceError(int err) {
    return err == EACCES || err == EPERM || err == EAGAIN || err == ENOENT;
}

// The target refuses this one name.
bool isEntryNameError(int err) {
    return err == EINVAL || err == EILSEQ || err == ENAMETOOLONG;
}

// A link from the previous copy that fails for these reasons is replaced by a copy.
bool isShareFallbackError(int err) {
    return err == EMLINK || err == EPERM || err == EXDEV || err == ENOTSUP || err == EOPNOTSUPP ||
           err == EACCES;
}

// Chunks small enough that progress and cancelling are seen a few times a second, large
// enough that the kernel moves a small file in one call.
constexpr size_t kChunk = size_t{16} << 20;
constexpr size_t kBufferSize = size_t{1} << 20;

// One folder being copied: the source, its copy, and its counterpart in the copy shared
// from (when there is one).
struct Folder {
    Fd src, dst, share;
    FileId srcId, dstId, shareId;
    fs::path srcPath, dstPath, rel;
    int depth = 0;
};

// Folders this shallow may be handed to the copy's second thread; deeper ones stay with the
// thread that meets them, so descriptors are released and taken back by one thread only.
constexpr int kHandOverDepth = 8;

struct IdLess {
    bool operator()(const FileId& a, const FileId& b) const {
        return std::tie(a.device, a.inode) < std::tie(b.device, b.inode);
    }
};

// A folder handed over, made and opened, waiting for a thread to copy its entries.
struct FolderTask {
    Folder folder;
    std::vector<std::string> names;
    struct stat st;
    int* pending;  // the handing folder's count of subfolders not yet done
};

// What the threads of one copy share. Two threads copy different folders at once: linking
// and small files cost the kernel per entry, entries of one folder do not go faster in
// parallel but separate folders do, and while one thread waits for the disk the other goes
// on. `mutex` guards the result, the progress, the queue and every call of the progress
// callback, which therefore never runs twice at once; `onEntry` is called outside it.
struct CopyShared {
    std::mutex mutex;
    std::condition_variable changed;  // a task queued or finished, or the helper told to end
    FileOpResult failure;             // the copy's first failure
    bool failed = false;
    std::exception_ptr thrown;  // from a callback; rethrown once every thread has stopped
    std::vector<SkippedEntry> skipped;
    CopyProgress done;
    std::uint64_t shared = 0;
    std::uint64_t shareFallbacks = 0;
    std::deque<FolderTask> queue;
    bool helping = false;  // a second thread takes tasks
    bool closing = false;
    std::atomic<bool> stop{false};  // a failure: every thread winds down
    // Held while a file with several names is looked up and copied, so that its names in
    // folders copied at once still end up as one file.
    std::mutex linkMutex;
    std::map<FileId, fs::path, IdLess> links;  // first copy of each multiply-linked file
};

class Copier {
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

    // Takes the first queued folder and copies it, unlocking `lock` (on the shared mutex, with
    // a folder queued) meanwhile.
    void runQueued(std::unique_lock<std::mutex>& lock) {
        FolderTask task = std::move(m_shared.queue.front());
        m_shared.queue.pop_front();
        lock.unlock();
        runTask(task);
        lock.lock();
    }

    // Copies a handed-over folder; tells the folder that handed it over when done.
    void runTask(FolderTask& task) {
        try {
            copyFolder(task.folder, task.names, task.st);
        } catch (...) {
            raised(std::current_exception());
        }
        std::lock_guard lock(m_shared.mutex);
        --*task.pending;
        m_shared.changed.notify_all();
    }

private:
    // Records the copy's first failure and stops every thread; returns false.
    bool fail(FileOpResult what) {
        std::lock_guard lock(m_shared.mutex);
        if (!m_shared.failed) {
            m_shared.failed = true;
            m_shared.failure = std::move(what);
        }
        m_shared.stop = true;
        return false;
    }

    bool fail(const fs::path& path, int err) { return fail(failure(path, err)); }

    void raised(std::exception_ptr e) {
        std::lock_guard lock(m_shared.mutex);
        if (!m_shared.thrown) {
            m_shared.thrown = std::move(e);
        }
        m_shared.failed = true;
        m_shared.stop = true;
    }

    // Cancelled by the caller, or stopped by a failure in another thread.
    bool cancelled() const {
        return (m_options.cancel && m_options.cancel->load()) ||
               m_shared.stop.load(std::memory_order_relaxed);
    }

    bool failCancelled(const fs::path& path) {
        return fail({path, std::make_error_code(std::errc::operation_canceled)});
    }

    // An entry that failed on its own: left out when the caller allows it, else the end of
    // the copy. Returns whether the copy goes on.
    bool entryFailed(const fs::path& src, int err, bool entryOnly) {
        if (!m_options.skipFailedEntries || !entryOnly || m_topEntry) {
            return fail(src, err);
        }
        if (err != ENOENT) {  // gone since it was listed: nothing was left out
            std::lock_guard lock(m_shared.mutex);
            m_shared.skipped.push_back({src, std::error_code(err, std::system_category())});
        }
        return true;
    }

    // `shared`: linked from the copy shared from. `held` is what the copy holds, read back from
    // it; null when it could not be read.
    // `bytes` are the entry's bytes not yet counted as done.
    void placed(const fs::path& rel, CopiedEntry::Type type, const struct stat& st, bool shared,
                const fs::path& written, const struct stat* held = nullptr,
                std::uint64_t bytes = 0) {
        {
            std::lock_guard lock(m_shared.mutex);
            if (shared) {
                ++m_shared.shared;
            }
            if (type != CopiedEntry::Type::Folder) {
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
            CopiedEntry e;
            e.relative = rel;
            e.type = type;
            const struct stat& kept = held != nullptr ? *held : st;
            e.size = type == CopiedEntry::Type::File ? static_cast<std::uint64_t>(kept.st_size) : 0;
            e.mtimeNs = nanoseconds(kept.st_mtim);
            e.asWritten = held != nullptr;
            e.shared = shared;
            e.written = &written;
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
        const Helper helper(m_shared, m_options, m_progress, m_method, m_topId);
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

    // The copy's second thread: takes handed-over folders until told to end.
    class Helper {
    public:
        Helper(CopyShared& shared, const CopyOptions& options, const ProgressFn& progress,
               CopyMethod method, FileId topId)
            : m_shared(shared) {
            try {
                m_thread = std::thread([&shared, &options, &progress, method, topId] {
                    Copier copier(shared, options, progress, method, topId);
                    std::unique_lock lock(shared.mutex);
                    for (;;) {
                        shared.changed.wait(
                            lock, [&] { return shared.closing || !shared.queue.empty(); });
                        if (shared.queue.empty()) {
                            return;  // closing, and nothing is left to do
                        }
                        copier.runQueued(lock);
                    }
                });
                std::lock_guard lock(shared.mutex);
                shared.helping = true;
            } catch (const std::system_error&) {
                // Without a second thread one copies everything, only more slowly.
            }
        }
        ~Helper() {
            if (!m_thread.joinable()) {
                return;
            }
            {
                std::lock_guard lock(m_shared.mutex);
                m_shared.closing = true;
                m_shared.helping = false;
            }
            m_shared.changed.notify_all();
            m_thread.join();
        }
        Helper(const Helper&) = delete;
        Helper& operator=(const Helper&) = delete;

    private:
        CopyShared& m_shared;
        std::thread m_thread;
    };

    // Waits until the subfolders this folder handed over are done, copying queued ones
    // meanwhile rather than sitting idle.
    void waitForHandedOver(int& pending) {
        std::unique_lock lock(m_shared.mutex);
        while (pending > 0) {
            if (!m_shared.queue.empty()) {
                runQueued(lock);
                continue;
            }
            m_shared.changed.wait(lock);
        }
    }

    // Copies the entries of `f`, then gives the copy the folder's owner, mode and times.
    bool copyFolder(Folder& f, const std::vector<std::string>& names, const struct stat& st) {
        int pending = 0;  // subfolders handed to the other thread, not yet done
        bool ok = false;
        try {
            ok = copyEntries(f, names, pending);
        } catch (...) {
            raised(std::current_exception());
        }
        // The handed-over subfolders use this folder's copy: they finish before it does,
        // whatever happened here.
        waitForHandedOver(pending);
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
        placed(f.rel, CopiedEntry::Type::Folder, st, false, f.dstPath);
        return true;
    }

    bool copyEntries(Folder& f, const std::vector<std::string>& names, int& pending) {
        for (const std::string& name : names) {
            if (cancelled()) {
                return failCancelled(f.srcPath / name);
            }
            // Names from the folder are native bytes, so they join the path unconverted.
            const fs::path src = f.srcPath / name;
            struct stat cst;
            if (::fstatat(f.src.get(), name.c_str(), &cst, AT_SYMLINK_NOFOLLOW) != 0) {
                if (!entryFailed(src, errno, isEntrySourceError(errno))) {
                    return false;
                }
                continue;
            }
            const fs::path dst = f.dstPath / name;
            const fs::path rel = f.rel / name;
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
            return entryFailed(src, errno, isEntrySourceError(errno));
        }
        std::vector<std::string> names;
        if (const int err = listNames(child.src.get(), names)) {
            return entryFailed(src, err, isEntrySourceError(err));
        }
        // Owner-only until the contents are in, then the source's mode.
        if (::mkdirat(parent.dst.get(), name.c_str(), S_IRWXU) != 0) {
            return entryFailed(src, errno, isEntryNameError(errno));
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
        if (child.depth < kHandOverDepth) {
            std::lock_guard lock(m_shared.mutex);
            // One waiting at most: the other thread stays busy, and the rest is copied here.
            if (m_shared.helping && m_shared.queue.empty()) {
                ++pending;
                m_shared.queue.push_back({std::move(child), std::move(names), st, &pending});
                m_shared.changed.notify_all();
                return true;
            }
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
    bool sameAsShared(const struct stat& st, const struct stat& shared) const {
        if (!S_ISREG(shared.st_mode) || shared.st_size != st.st_size ||
            (shared.st_mode & 07777) != (st.st_mode & 07777)) {
            return false;
        }
        const std::int64_t diff = nanoseconds(shared.st_mtim) - nanoseconds(st.st_mtim);
        const std::int64_t tolerance = std::max<std::int64_t>(m_options.shareTimeToleranceNs, 0);
        if (diff > tolerance || diff < -tolerance) {
            return false;
        }
        return m_euid != 0 || (shared.st_uid == st.st_uid && shared.st_gid == st.st_gid);
    }

    // Links `dstName` to an existing file instead of copying. Returns 0 when linked, an errno
    // value when the link failed (the caller copies or stops).
    int linkInstead(int fromDir, const char* fromName, int dstDir, const char* dstName) {
        return ::linkat(fromDir, fromName, dstDir, dstName, 0) == 0 ? 0 : errno;
    }

    // With linkMutex held when `st` has several names.
    void fileLinked(const struct stat& st, const fs::path& rel, const fs::path& dst, bool shared,
                    const struct stat* held) {
        if (st.st_nlink > 1) {
            m_shared.links.emplace(idOf(st), dst);
        }
        placed(rel, CopiedEntry::Type::File, st, shared, dst, held,
               static_cast<std::uint64_t>(st.st_size));
    }

    bool copyFile(int srcDir, const char* srcName, int dstDir, const char* dstName, int shareDir,
                  const char* shareName, const struct stat& st, const fs::path& src,
                  const fs::path& dst, const fs::path& rel, bool follow) {
        std::unique_lock<std::mutex> linkLock;
        if (st.st_nlink > 1) {
            linkLock = std::unique_lock(m_shared.linkMutex);
        }
        if (shareName && (shareDir >= 0 || shareDir == AT_FDCWD)) {
            struct stat shared;
            if (::fstatat(shareDir, shareName, &shared, AT_SYMLINK_NOFOLLOW) == 0 &&
                sameAsShared(st, shared)) {
                const int err = linkInstead(shareDir, shareName, dstDir, dstName);
                if (err == 0) {
                    fileLinked(st, rel, dst, true, &shared);
                    return true;
                }
                if (isShareFallbackError(err)) {
                    std::lock_guard lock(m_shared.mutex);
                    ++m_shared.shareFallbacks;
                } else if (err != ENOENT) {
                    return fail(dst, err);
                }
            }
        }
        // Files hard-linked to each other in the source are linked to each other in the copy.
        if (st.st_nlink > 1) {
            if (const auto it = m_shared.links.find(idOf(st)); it != m_shared.links.end()) {
                if (linkInstead(AT_FDCWD, it->second.c_str(), dstDir, dstName) == 0) {
                    struct stat held;
                    const bool read = m_options.onEntry &&
                                      ::fstatat(dstDir, dstName, &held, AT_SYMLINK_NOFOLLOW) == 0;
                    fileLinked(st, rel, dst, false, read ? &held : nullptr);
                    return true;
                }
            }
        }
        Fd in(::openat(srcDir, srcName, O_RDONLY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
        if (!in) {
            return entryFailed(src, errno, isEntrySourceError(errno));
        }
        Fd out(::openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR));
        if (!out) {
            return entryFailed(src, errno, isEntryNameError(errno));
        }
        if (const int err = copyData(in.get(), out.get(), st)) {
            if (err == ECANCELED) {
                return failCancelled(src);
            }
            return fail(isWriteSideError(err) ? dst : src, err);
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
            m_shared.links.emplace(idOf(st), dst);
        }
        placed(rel, CopiedEntry::Type::File, st, false, dst, read ? &held : nullptr);
        return true;
    }

    // Copies the contents of `in` to `out`, keeping holes. Returns an errno value, 0 on
    // success, ECANCELED when cancelled.
    int copyData(int in, int out, const struct stat& st) {
        const off_t size = st.st_size;
        if (size <= 0) {
            return 0;
        }
        // Fewer blocks than the size needs: the file has holes, so only its data is copied.
        if (st.st_blocks * 512 >= size) {
            return copyRange(in, out, 0, size, size);
        }
        off_t pos = 0;
        while (pos < size) {
            const off_t data = ::lseek(in, pos, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO) {
                    break;  // only a hole is left
                }
                // No hole finding here: copy the rest whole.
                if (const int err = copyRange(in, out, pos, size - pos, size)) {
                    return err;
                }
                break;
            }
            off_t hole = ::lseek(in, data, SEEK_HOLE);
            if (hole < 0) {
                hole = size;
            }
            if (const int err = copyRange(in, out, data, std::min(hole, size) - data, size)) {
                return err;
            }
            pos = hole;
        }
        return ::ftruncate(out, size) == 0 ? 0 : errno;
    }

    // Copies `length` bytes at `offset` of `in` to the same offset of `out`.
    int copyRange(int in, int out, off_t offset, off_t length, off_t fileSize) {
        if (m_how == CopyMethod::SendFile && ::lseek(out, offset, SEEK_SET) < 0) {
            return errno;
        }
        off_t inPos = offset, outPos = offset;
        while (length > 0) {
            if (cancelled()) {
                return ECANCELED;
            }
            const size_t want = static_cast<size_t>(std::min<off_t>(length, kChunk));
            ssize_t n = 0;
            switch (m_how) {
                case CopyMethod::Auto:
                case CopyMethod::CopyFileRange:
                    n = ::copy_file_range(in, &inPos, out, &outPos, want, 0);
                    break;
                case CopyMethod::SendFile:
                    n = ::sendfile(out, in, &inPos, want);
                    break;
                case CopyMethod::ReadWrite:
                    n = bufferCopy(in, out, inPos, want);
                    if (n > 0) {
                        inPos += n;
                    }
                    break;
            }
            if (n < 0) {
                const int err = errno;
                if (err == EINTR) {
                    continue;
                }
                // Not between these file systems: the next way, for the rest of the copy.
                if (m_method == CopyMethod::Auto && fallBack(err)) {
                    if (m_how == CopyMethod::SendFile && ::lseek(out, outPos, SEEK_SET) < 0) {
                        return errno;
                    }
                    continue;
                }
                return err;
            }
            if (n == 0) {
                break;  // the file shrank while being copied
            }
            outPos = inPos;  // copy_file_range moves both itself; the others only the input
            length -= n;
            const bool big = static_cast<size_t>(fileSize) > kChunk;
            if (big) {
                // Big files start going to disk while the rest is copied, so the sync that
                // makes the copy durable finds less left to write.
                ::sync_file_range(out, outPos - n, n, SYNC_FILE_RANGE_WRITE);
            }
            std::lock_guard lock(m_shared.mutex);
            m_shared.done.bytes += static_cast<std::uint64_t>(n);
            if (big && m_progress) {
                m_progress(m_shared.done);
            }
        }
        return 0;
    }

    // Moves to the next way of copying after `err`; false when there is none for it.
    bool fallBack(int err) {
        if (m_how == CopyMethod::Auto &&
            (err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP)) {
            m_how = CopyMethod::SendFile;
            return true;
        }
        if (m_how == CopyMethod::SendFile && (err == ENOSYS || err == EINVAL)) {
            m_how = CopyMethod::ReadWrite;
            return true;
        }
        return false;
    }

    // One read at `offset` and its full write there; returns bytes moved, 0 at end of file,
    // -1 with errno.
    ssize_t bufferCopy(int in, int out, off_t offset, size_t want) {
        if (m_buffer.empty()) {
            m_buffer.resize(kBufferSize);
        }
        const ssize_t n = ::pread(in, m_buffer.data(), std::min(want, m_buffer.size()), offset);
        if (n <= 0) {
            return n;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w = ::pwrite(out, m_buffer.data() + written,
                                       static_cast<size_t>(n - written), offset + written);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return -1;
            }
            written += w;
        }
        return n;
    }

    bool copyLink(int srcDir, const char* srcName, int dstDir, const char* dstName,
                  const struct stat& st, const fs::path& src, const fs::path& dst,
                  const fs::path& rel) {
        std::string target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(srcDir, srcName, target.data(), target.size());
            if (n < 0) {
                return entryFailed(src, errno, isEntrySourceError(errno));
            }
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (::symlinkat(target.c_str(), dstDir, dstName) != 0) {
            return entryFailed(src, errno, isEntryNameError(errno));
        }
        if (::fchownat(dstDir, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            keepOwner(errno) != 0) {
            return fail(dst, errno);
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) != 0 && errno != EOPNOTSUPP) {
            return fail(dst, errno);
        }
        struct stat held;
        const bool read =
            m_options.onEntry && ::fstatat(dstDir, dstName, &held, AT_SYMLINK_NOFOLLOW) == 0;
        placed(rel, CopiedEntry::Type::Link, st, false, dst, read ? &held : nullptr);
        return true;
    }

    // Pipes, sockets and device nodes are made anew, like the folder they sit in.
    bool copySpecial(int dstDir, const char* dstName, const struct stat& st, const fs::path& src,
                     const fs::path& dst, const fs::path& rel) {
        if (::mknodat(dstDir, dstName, (st.st_mode & S_IFMT) | S_IRUSR | S_IWUSR, st.st_rdev) !=
            0) {
            // EPERM: a device node only root may make.
            const int err = errno;
            return entryFailed(src, err, err == EPERM || isEntryNameError(err));
        }
        if (::fchownat(dstDir, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            keepOwner(errno) != 0) {
            return fail(dst, errno);
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmodat(dstDir, dstName, st.st_mode & 07777, 0) != 0 ||
            ::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail(dst, errno);
        }
        struct stat held;
        const bool read =
            m_options.onEntry && ::fstatat(dstDir, dstName, &held, AT_SYMLINK_NOFOLLOW) == 0;
        placed(rel, CopiedEntry::Type::Special, st, false, dst, read ? &held : nullptr);
        return true;
    }

    CopyShared& m_shared;
    const CopyOptions& m_options;
    const ProgressFn& m_progress;
    const CopyMethod m_method;
    CopyMethod m_how = m_method;  // the way in use; Auto degrades as file systems refuse
    const uid_t m_euid = ::geteuid();
    std::vector<char> m_buffer;
    bool m_topEntry = false;
    FileId m_topId;
};
// mkdir -p for the folder a copy goes into; symbolic links to folders count as folders.
FileOpResult makeFolders(const fs::path& folder) {
    struct stat st;
    if (folder.empty() || ::stat(folder.c_str(), &st) == 0) {
        if (!folder.empty() && !S_ISDIR(st.st_mode)) {
            return failure(folder, ENOTDIR);
        }
        return {};
    }
    if (errno != ENOENT && errno != ENOTDIR) {
        return failure(folder, errno);
    }
    const fs::path parent = withoutTrailingSeparator(folder).parent_path();
    if (parent != folder) {
        if (FileOpResult r = makeFolders(parent); !r.ok()) {
            return r;
        }
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        return failure(folder, errno);
    }
    return {};
}

// Adds owner read, write and search permission to a folder so its entries can be removed.
bool makeOwnerAccessible(int dirFd) {
    struct stat st;
    return ::fstat(dirFd, &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU &&
           ::fchmod(dirFd, (st.st_mode & 07777) | S_IRWXU) == 0;
}

// Opens a subfolder for removal without following links; a folder the owner may not read is
// opened up first.
int openForRemoval(int parentFd, const char* name) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parentFd, name, flags);
    if (fd < 0 && errno == EACCES) {
        if (::fchmodat(parentFd, name, S_IRWXU, 0) != 0) {
            errno = EACCES;  // report why it could not be opened, not why chmod failed
            return -1;
        }
        fd = ::openat(parentFd, name, flags);
    }
    return fd;
}

// Unlinks an entry; retries once after making a write-protected folder writable.
int unlinkEntry(int dirFd, const char* name, int flags) {
    if (::unlinkat(dirFd, name, flags) == 0) {
        return 0;
    }
    if ((errno == EACCES || errno == EPERM) && makeOwnerAccessible(dirFd) &&
        ::unlinkat(dirFd, name, flags) == 0) {
        return 0;
    }
    return errno == ENOENT ? 0 : errno;
}

// Empties the folder open as `rootFd`. It walks down and up through descriptors holding only
// one open folder at a time, so neither path length nor depth limits it.
FileOpResult removeContents(Fd root, const fs::path& rootPath) {
    Fd cur = std::move(root);
    std::vector<std::string> trail;  // folder names from the root down to `cur`
    const auto pathOf = [&](const std::string& name) {
        fs::path p = rootPath;
        for (const std::string& t : trail) {
            p /= t;
        }
        return name.empty() ? p : p / name;
    };
    for (;;) {
        std::vector<std::string> names;
        if (const int err = listNames(cur.get(), names)) {
            return failure(pathOf({}), err);
        }
        std::string subfolder;
        for (const std::string& name : names) {
            struct stat st;
            if (::fstatat(cur.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) {
                    continue;
                }
                return failure(pathOf(name), errno);
            }
            if (S_ISDIR(st.st_mode)) {
                subfolder = name;
                break;
            }
            if (const int err = unlinkEntry(cur.get(), name.c_str(), 0)) {
                return failure(pathOf(name), err);
            }
        }
        if (!subfolder.empty()) {
            const int child = openForRemoval(cur.get(), subfolder.c_str());
            if (child < 0) {
                if (errno == ENOENT) {
                    continue;
                }
                return failure(pathOf(subfolder), errno);
            }
            cur.reset(child);
            trail.push_back(std::move(subfolder));
            continue;
        }
        if (trail.empty()) {
            return {};
        }
        // Climb back to the parent and remove the folder just emptied, after checking that
        // ".." still leads to the folder it was entered from.
        struct stat self;
        if (::fstat(cur.get(), &self) != 0) {
            return failure(pathOf({}), errno);
        }
        Fd parent(::openat(cur.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent) {
            return failure(pathOf({}), errno);
        }
        const std::string name = std::move(trail.back());
        trail.pop_back();
        struct stat seen;
        if (::fstatat(parent.get(), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
            seen.st_dev != self.st_dev || seen.st_ino != self.st_ino) {
            return failure(pathOf(name), ECANCELED);
        }
        cur = std::move(parent);
        if (const int err = unlinkEntry(cur.get(), name.c_str(), AT_REMOVEDIR)) {
            return failure(pathOf(name), err);
        }
    }
}

// Counts a tree through descriptors, never following a link inside it.
class Measurer {
public:
    Measurer(TreeSize& size, const std::atomic<bool>* cancel) : m_size(size), m_cancel(cancel) {}

    FileOpResult result;

    void file(const struct stat& st) {
        ++m_size.files;
        if (!S_ISREG(st.st_mode)) {
            return;
        }
        m_size.bytes += static_cast<std::uint64_t>(st.st_size);
        // Files linked to each other take their space once.
        if (st.st_nlink > 1 && !m_linked.insert({st.st_dev, st.st_ino}).second) {
            return;
        }
        m_size.allocatedBytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
    }

    bool folder(Fd& dir, const FileId& id, const fs::path& shown, int depth) {
        std::vector<DirEntry> entries;
        if (const int err = listEntries(dir.get(), entries)) {
            return skippable(err) || fail(shown, err);
        }
        for (const DirEntry& e : entries) {
            if (m_cancel && m_cancel->load()) {
                result = {shown, std::make_error_code(std::errc::operation_canceled)};
                return false;
            }
            const char* name = e.name.c_str();
            if (e.type != DT_DIR && e.type != DT_REG && e.type != DT_UNKNOWN) {
                ++m_size.files;  // links and special files need no stat
                continue;
            }
            struct stat st;
            if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (skippable(errno)) {
                    continue;
                }
                return fail(shown / e.name, errno);
            }
            if (!S_ISDIR(st.st_mode)) {
                file(st);
                continue;
            }
            Fd child(::openat(dir.get(), name, kDirFlags));
            if (!child) {
                if (skippable(errno)) {
                    continue;
                }
                return fail(shown / e.name, errno);
            }
            ++m_size.folders;
            // Deep down, only the deepest folder stays open; its ".." leads back.
            const bool release = depth + 1 >= kKeptLevels;
            if (release) {
                dir.reset();
            }
            if (!folder(child, idOf(st), shown / e.name, depth + 1)) {
                return false;
            }
            if (release) {
                dir = reopenParent(child.get(), id);
                if (!dir) {
                    return fail(shown, errno);
                }
            }
        }
        return true;
    }

private:
    static bool skippable(int err) { return err == EACCES || err == EPERM || err == ENOENT; }

    bool fail(const fs::path& path, int err) {
        result = failure(path, err);
        return false;
    }

    TreeSize& m_size;
    const std::atomic<bool>* m_cancel;
    std::set<std::pair<dev_t, ino_t>> m_linked;
};

}  // namespace

CopyResult RealFileOps::copyTree(const fs::path& from, const fs::path& to,
                                 const CopyOptions& options, const ProgressFn& progress) {
    CopyShared shared;
    Copier copier(shared, options, progress, m_method);
    return copier.run(withoutTrailingSeparator(from), withoutTrailingSeparator(to));
}

FileOpResult RealFileOps::exchange(const fs::path& a, const fs::path& b) {
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
        const int err = errno;
        if (err == EINVAL || err == ENOSYS) {
            return {a, std::make_error_code(std::errc::not_supported)};
        }
        return failure(a, err);
    }
    return {};
}

FileOpResult RealFileOps::syncFileSystem(const fs::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::syncfs(fd.get()) != 0) {
        return failure(path, errno);
    }
    return {};
}

FileOpResult RealFileOps::syncFolder(const fs::path& folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) {
        return failure(folder, errno);
    }
    return {};
}

FileOpResult RealFileOps::measureTree(const fs::path& path, TreeSize& size,
                                      const std::atomic<bool>* cancel) {
    const fs::path top = withoutTrailingSeparator(path);
    struct stat st;
    if (::stat(top.c_str(), &st) != 0) {
        return failure(top, errno);
    }
    Measurer measurer(size, cancel);
    if (!S_ISDIR(st.st_mode)) {
        measurer.file(st);
        return {};
    }
    Fd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return failure(top, errno);
    }
    ++size.folders;
    measurer.folder(dir, idOf(st), top, 0);
    return measurer.result;
}

std::optional<FileId> fileIdOf(const fs::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return idOf(st);
}

FileOpResult RealFileOps::removeTree(const fs::path& path) {
    const fs::path p = withoutTrailingSeparator(path);
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) {
        return errno == ENOENT ? FileOpResult{} : failure(p, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(p.c_str()) != 0 && errno != ENOENT) {
            return failure(p, errno);
        }
        return {};
    }
    Fd root(openForRemoval(AT_FDCWD, p.c_str()));
    if (!root) {
        return failure(p, errno);
    }
    if (FileOpResult r = removeContents(std::move(root), p); !r.ok()) {
        return r;
    }
    if (::rmdir(p.c_str()) != 0 && errno != ENOENT) {
        return failure(p, errno);
    }
    return {};
}

FileOpResult RealFileOps::rename(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) {
        return {from, ec};
    }
    return {};
}

}  // namespace vantrel
