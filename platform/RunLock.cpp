#include "platform/RunLock.h"

#include <system_error>
#include <utility>

#include "platform/TextCodec.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/WinError.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace vantrel {

std::optional<RunLock> RunLock::tryAcquire(const std::filesystem::path& lockFile) {
    const std::string shown = "无法打开锁文件 " + pathToUtf8(lockFile);
#ifdef _WIN32
    HANDLE h = CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw std::system_error(windowsError(GetLastError()), shown);
    }
    OVERLAPPED whole{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                    &whole)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) {
            return std::nullopt;
        }
        throw std::system_error(windowsError(err), shown);
    }
    return RunLock(reinterpret_cast<std::intptr_t>(h));
#else
    int fd;
    do {
        fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
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
#endif
}

RunLock::RunLock(RunLock&& other) noexcept : m_handle(std::exchange(other.m_handle, -1)) {}

RunLock& RunLock::operator=(RunLock&& other) noexcept {
    if (this != &other) {
        release();
        m_handle = std::exchange(other.m_handle, -1);
    }
    return *this;
}

RunLock::~RunLock() {
    release();
}

void RunLock::release() noexcept {
    if (m_handle == -1) {
        return;
    }
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(m_handle);
    OVERLAPPED whole{};
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(h);
#else
    // Closing the only descriptor of the open file releases the lock.
    ::close(static_cast<int>(m_handle));
#endif
    m_handle = -1;
}

}  // namespace vantrel
