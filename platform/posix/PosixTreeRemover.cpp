#include "platform/posix/PosixTreeRemover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFd.h"

namespace vantrel::posix {

namespace fs = std::filesystem;

namespace {

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

FileOpResult removeTree(const fs::path& p) {
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

}  // namespace vantrel::posix
