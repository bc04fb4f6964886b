#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
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

// Names in a folder, without "." and "..". Returns an errno value, 0 on success.
int listNames(int dirFd, std::vector<std::string>& names) {
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
        names.emplace_back(n);
    }
    ::closedir(dir);
    return err;
}

// Errors that belong to the destination side of a copy rather than the source.
bool isWriteSideError(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS;
}

// Large chunks let the kernel copy a whole small file in one call while big files still
// report progress now and then.
constexpr size_t kChunk = size_t{64} << 20;
constexpr size_t kBufferSize = size_t{1} << 20;

class Copier {
public:
    explicit Copier(const ProgressFn& progress) : m_progress(progress) {}

    FileOpResult result;

    // Copies the entry `srcName` (relative to srcDir) to `dstName` (relative to dstDir).
    bool copyEntry(int srcDir, const char* srcName, int dstDir, const char* dstName,
                   const struct stat& st, const fs::path& src, const fs::path& dst) {
        switch (st.st_mode & S_IFMT) {
            case S_IFREG:
                return copyFile(srcDir, srcName, dstDir, dstName, st, src, dst);
            case S_IFDIR:
                return copyFolder(srcDir, srcName, dstDir, dstName, st, src, dst);
            case S_IFLNK:
                return copyLink(srcDir, srcName, dstDir, dstName, st, src, dst);
            default:
                return copySpecial(dstDir, dstName, st, dst);
        }
    }

private:
    bool fail(const fs::path& path, int err) {
        result = failure(path, err);
        return false;
    }

    void fileDone() {
        ++m_done.files;
        if (m_progress) {
            m_progress(m_done);
        }
    }

    // Copies the contents of `in` to `out`: in the kernel where it can, else through a buffer.
    // Returns an errno value, 0 on success.
    int copyData(int in, int out, off_t size) {
        enum { Range, SendFile, Buffer } how = size > 0 ? Range : Buffer;
        std::uint64_t copied = 0;
        for (;;) {
            ssize_t n;
            if (how == Range) {
                n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
                if (n < 0 &&
                    (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                    how = SendFile;
                    continue;
                }
            } else if (how == SendFile) {
                n = ::sendfile(out, in, nullptr, kChunk);
                if (n < 0 && (errno == ENOSYS || errno == EINVAL)) {
                    how = Buffer;
                    continue;
                }
            } else {
                n = bufferCopy(in, out);
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            if (n == 0) {
                return 0;
            }
            copied += static_cast<std::uint64_t>(n);
            m_done.bytes += static_cast<std::uint64_t>(n);
            // Stopping at the size seen by stat saves one call per file.
            if (how != Buffer && copied >= static_cast<std::uint64_t>(size)) {
                return 0;
            }
            if (m_progress && static_cast<std::uint64_t>(size) > kChunk) {
                m_progress(m_done);
            }
        }
    }

    // One read and its full write; returns bytes moved, 0 at end of file, -1 with errno.
    ssize_t bufferCopy(int in, int out) {
        if (m_buffer.empty()) {
            m_buffer.resize(kBufferSize);
        }
        const ssize_t n = ::read(in, m_buffer.data(), m_buffer.size());
        if (n <= 0) {
            return n;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w =
                ::write(out, m_buffer.data() + written, static_cast<size_t>(n - written));
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

    bool copyFile(int srcDir, const char* srcName, int dstDir, const char* dstName,
                  const struct stat& st, const fs::path& src, const fs::path& dst) {
        Fd in(::openat(srcDir, srcName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!in) {
            return fail(src, errno);
        }
        Fd out(::openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR));
        if (!out) {
            return fail(dst, errno);
        }
        if (const int err = copyData(in.get(), out.get(), st.st_size)) {
            return fail(isWriteSideError(err) ? dst : src, err);
        }
        // Mode after the data, since writing clears set-user-ID bits; times last.
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::futimens(out.get(), times) != 0) {
            return fail(dst, errno);
        }
        // Some file systems report a failed write only at close.
        if (::close(out.release()) != 0) {
            return fail(dst, errno);
        }
        fileDone();
        return true;
    }

    bool copyFolder(int srcDir, const char* srcName, int dstDir, const char* dstName,
                    const struct stat& st, const fs::path& src, const fs::path& dst) {
        Fd from(::openat(srcDir, srcName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!from) {
            return fail(src, errno);
        }
        // Owner-only until the contents are in, then the source's mode.
        if (::mkdirat(dstDir, dstName, S_IRWXU) != 0) {
            return fail(dst, errno);
        }
        Fd to(::openat(dstDir, dstName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!to) {
            return fail(dst, errno);
        }
        if (!m_haveTop) {
            // A destination inside the source must not be copied into itself.
            struct stat top;
            if (::fstat(to.get(), &top) != 0) {
                return fail(dst, errno);
            }
            m_topDev = top.st_dev;
            m_topIno = top.st_ino;
            m_haveTop = true;
        }
        std::vector<std::string> names;
        if (const int err = listNames(from.get(), names)) {
            return fail(src, err);
        }
        for (const std::string& name : names) {
            // Names from the folder are native bytes, so they join the path unconverted.
            const fs::path childSrc = src / name;
            struct stat cst;
            if (::fstatat(from.get(), name.c_str(), &cst, AT_SYMLINK_NOFOLLOW) != 0) {
                return fail(childSrc, errno);
            }
            if (S_ISDIR(cst.st_mode) && cst.st_dev == m_topDev && cst.st_ino == m_topIno) {
                continue;
            }
            if (!copyEntry(from.get(), name.c_str(), to.get(), name.c_str(), cst, childSrc,
                           dst / name)) {
                return false;
            }
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(to.get(), st.st_mode & 07777) != 0 || ::futimens(to.get(), times) != 0) {
            return fail(dst, errno);
        }
        return true;
    }

    bool copyLink(int srcDir, const char* srcName, int dstDir, const char* dstName,
                  const struct stat& st, const fs::path& src, const fs::path& dst) {
        std::string target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(srcDir, srcName, target.data(), target.size());
            if (n < 0) {
                return fail(src, errno);
            }
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (::symlinkat(target.c_str(), dstDir, dstName) != 0) {
            return fail(dst, errno);
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) != 0 && errno != EOPNOTSUPP) {
            return fail(dst, errno);
        }
        fileDone();
        return true;
    }

    // Pipes, sockets and device nodes are made anew, like the folder they sit in.
    bool copySpecial(int dstDir, const char* dstName, const struct stat& st, const fs::path& dst) {
        if (::mknodat(dstDir, dstName, (st.st_mode & S_IFMT) | S_IRUSR | S_IWUSR, st.st_rdev) !=
                0 ||
            ::fchmodat(dstDir, dstName, st.st_mode & 07777, 0) != 0) {
            return fail(dst, errno);
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail(dst, errno);
        }
        fileDone();
        return true;
    }

    const ProgressFn& m_progress;
    CopyProgress m_done;
    std::vector<char> m_buffer;
    bool m_haveTop = false;
    dev_t m_topDev = 0;
    ino_t m_topIno = 0;
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

}  // namespace

CopyResult RealFileOps::copyTree(const fs::path& from, const fs::path& to,
                                 const CopyOptions& options, const ProgressFn& progress) {
    (void)options;
    const fs::path src = withoutTrailingSeparator(from);
    const fs::path dst = withoutTrailingSeparator(to);
    struct stat st;
    if (::lstat(src.c_str(), &st) != 0) {
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
    Copier copier(progress);
    copier.copyEntry(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), st, src, dst);
    return copier.result;
}

FileOpResult RealFileOps::exchange(const fs::path& a, const fs::path& b) {
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
        const int err = errno;
        return failure(a, err == EINVAL || err == ENOSYS ? ENOTSUP : err);
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
    std::error_code ec;
    const auto top = fs::status(path, ec);
    if (ec) {
        return {path, ec};
    }
    if (!fs::is_directory(top)) {
        ++size.files;
        size.bytes += fs::is_regular_file(top) ? fs::file_size(path, ec) : 0;
        size.allocatedBytes = size.bytes;
        return {};
    }
    ++size.folders;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (cancel && cancel->load()) {
            return {path, std::make_error_code(std::errc::operation_canceled)};
        }
        const auto st = it->symlink_status(ec);
        if (fs::is_directory(st)) {
            ++size.folders;
        } else {
            ++size.files;
            if (fs::is_regular_file(st)) {
                size.bytes += it->file_size(ec);
            }
        }
    }
    size.allocatedBytes = size.bytes;
    if (ec) {
        return {path, ec};
    }
    return {};
}

std::optional<FileId> fileIdOf(const fs::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
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
