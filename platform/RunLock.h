#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vantrel {

// An exclusive lock on a file, held until destruction. The OS releases it when the
// process dies, so a killed run never leaves the lock behind.
class RunLock {
public:
    // Returns no lock when another process holds it. Throws std::system_error when the
    // lock file cannot be opened.
    static std::optional<RunLock> tryAcquire(const std::filesystem::path& lockFile);

    RunLock(RunLock&& other) noexcept;
    RunLock& operator=(RunLock&& other) noexcept;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();

private:
    explicit RunLock(std::intptr_t handle) : m_handle(handle) {}
    void release() noexcept;

    std::intptr_t m_handle;  // file descriptor, or HANDLE on Windows; -1 when moved from
};

}  // namespace vantrel
