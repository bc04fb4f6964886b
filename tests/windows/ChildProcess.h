#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vantrel::test {

// The folder of the running executable; helper programs are built beside the tests.
std::filesystem::path executableDir();

// A program started with CreateProcessW, terminated at destruction if still running.
class ChildProcess {
public:
    // Starts `exe` with `args` in `workDir`; standard output and error go to `outputFile`
    // (created or truncated), standard input reads nothing.
    ChildProcess(const std::filesystem::path& exe, const std::vector<std::string>& args,
                 const std::filesystem::path& workDir, const std::filesystem::path& outputFile);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Waits for the end and returns the exit code.
    int wait();
    // Ends the process at once, as a crash or a kill would.
    void kill();

private:
    void* m_process = nullptr;
};

// Polls until the file exists; false after `seconds` without it. Only a guard against a
// helper that never starts, not a timed check.
bool waitForFile(const std::filesystem::path& file, int seconds);

}  // namespace vantrel::test
