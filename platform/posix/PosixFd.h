#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileOps.h"

namespace vantrel::posix {

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
int listEntries(int dirFd, std::vector<DirEntry>& entries);
// Their names only.
int listNames(int dirFd, std::vector<std::string>& names);

inline FileId idOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

inline std::int64_t nanoseconds(const timespec& t) {
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

inline constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Folders this deep and deeper give up their descriptors while a subfolder is copied and
// get them back through its "..", so a deep tree holds a bounded number of descriptors.
inline constexpr int kKeptLevels = 64;

// Reopens the parent of the folder open as `childFd`, checking that it is still the folder
// with identity `expected` (the tree may have been moved meanwhile).
Fd reopenParent(int childFd, const FileId& expected);

}  // namespace vantrel::posix
