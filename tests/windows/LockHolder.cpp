// Helper for the run-lock tests: takes the run lock of a working directory in a process of
// its own, says so by creating a file, and keeps it until another file appears (or until it
// is killed). Usage: vantrel_lock_holder <lock file> <ready file> <release file>
// Exit codes: 0 released normally, 2 bad usage, 3 the lock was held elsewhere.
#include <windows.h>

#include <shellapi.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/RunLock.h"

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 4) {
        return 2;
    }
    const std::filesystem::path lockFile(argv[1]);
    const std::filesystem::path readyFile(argv[2]);
    const std::filesystem::path releaseFile(argv[3]);
    LocalFree(argv);

    auto lock = vantrel::RunLock::tryAcquire(lockFile);
    if (!lock) {
        return 3;
    }
    std::ofstream(readyFile).put('1');

    // Two minutes at most, so a test that dies early cannot leave this running for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    std::error_code ec;
    while (!std::filesystem::exists(releaseFile, ec) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}
