#include <windows.h>

#include <system_error>

#include "platform/LongPath.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"
#include "platform/win/WinError.h"

namespace vantrel {

std::optional<RunLock> RunLock::tryAcquire(const std::filesystem::path& lockFile) {
    const std::string shown = "无法打开锁文件 " + pathToUtf8(lockFile);
    const std::filesystem::path file = longPath(lockFile);
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    // A lock file another user made may be read-only for this one; a lock needs only reading.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        h = CreateFileW(file.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
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
}

void RunLock::release() noexcept {
    if (m_handle == -1) {
        return;
    }
    HANDLE h = reinterpret_cast<HANDLE>(m_handle);
    OVERLAPPED whole{};
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(h);
    m_handle = -1;
}

}  // namespace vantrel
