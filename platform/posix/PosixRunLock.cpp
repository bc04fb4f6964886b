#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/RunLock.h"
#include "platform/TextCodec.h"

namespace vantrel {

std::optional<RunLock> RunLock::tryAcquire(const std::filesystem::path& lockFile) {
    const std::string shown = "无法打开锁文件 " + pathToUtf8(lockFile);
    int fd;
    do {
        fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    // A lock file another user made may be read-only for this one; flock needs no write access.
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        const int first = errno;
        do {
            fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            errno = first;
        }
    }
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), shown);
    }
    // flock belongs to the open file, not the process, so a second lock taken in this same
    // process is refused as well.
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            return std::nullopt;
        }
        throw std::system_error(err, std::system_category(), shown);
    }
    return RunLock(fd);
}

void RunLock::release() noexcept {
    if (m_handle == -1) {
        return;
    }
    // Closing the only descriptor of the open file releases the lock.
    ::close(static_cast<int>(m_handle));
    m_handle = -1;
}

}  // namespace vantrel
