#include "platform/posix/PosixFd.h"

#include <dirent.h>

#include <cerrno>

namespace vantrel::posix {

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

Fd reopenParent(int childFd, const FileId& expected) {
    Fd parent(::openat(childFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (parent && (::fstat(parent.get(), &st) != 0 || !(idOf(st) == expected))) {
        parent.reset();
        errno = ENOENT;
    }
    return parent;
}

}  // namespace vantrel::posix
