#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "platform/FileOps.h"
#include "tests/support/TempDir.h"

// Helpers of the POSIX copy's tests: raw metadata, child processes, files with holes.
namespace vantrel::test {

namespace fs = std::filesystem;

inline struct stat statOf(const fs::path& p) {
    struct stat st = {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

inline std::string describe(const FileOpResult& r) {
    return r.ok() ? "ok" : r.failedPath.string() + ": " + r.error.message();
}

// Runs `body` in a child process and returns the report it gives back.
inline std::string inChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "no pipe";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string report = body();
        (void)!::write(fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
        report.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? report : "child died";
}

// Gives the tree to nobody, so a child running as nobody owns it.
inline void giveToNobody(const fs::path& top) {
    ASSERT_EQ(::lchown(top.c_str(), 65534, 65534), 0);
    for (const auto& e : fs::recursive_directory_iterator(top)) {
        ASSERT_EQ(::lchown(e.path().c_str(), 65534, 65534), 0) << e.path();
    }
}

inline bool dropToNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

inline void writeAt(const fs::path& p, off_t offset, const std::string& bytes, off_t size) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << p;
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
}

inline std::string readAt(const fs::path& p, off_t offset, size_t n) {
    std::string bytes(n, '\0');
    const int fd = ::open(p.c_str(), O_RDONLY);
    const ssize_t got = fd < 0 ? -1 : ::pread(fd, bytes.data(), n, offset);
    ::close(fd);
    bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return bytes;
}

inline std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    }
    return s;
}

class CopyTest : public ::testing::Test {
protected:
    TempDir m_dir;
    RealFileOps m_ops;
};

}  // namespace vantrel::test
