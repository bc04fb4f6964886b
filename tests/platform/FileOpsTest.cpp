#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::writeBytes;

struct stat lstatOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

// Sets access and modification time to a whole second plus nanoseconds, without following links.
void setTimes(const fs::path& p, time_t sec, long nsec) {
    const timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << p;
}

void expectSameMeta(const fs::path& from, const fs::path& to) {
    const struct stat a = lstatOf(from);
    const struct stat b = lstatOf(to);
    EXPECT_EQ(a.st_mode, b.st_mode) << to;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << to;
    EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << to;
}

class FileOpsTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
    RealFileOps m_ops;
};

TEST_F(FileOpsTest, CopyKeepsTreeContentsModesTimesAndLinks) {
    const fs::path src = m_dir / "源";
    fs::create_directories(src / "a" / "b" / "c");
    fs::create_directories(src / "empty");
    writeBytes(src / "a" / "report.txt", "contents\r\n");
    writeBytes(src / "a" / "b" / "c" / "deep.bin", std::string(300000, '\x5A'));
    writeBytes(src / "a" / "run.sh", "#!/bin/sh\n");
    writeBytes(src / "readonly.txt", "");
    fs::create_directory(src / "ro");
    writeBytes(src / "ro" / "x", "x");
    ASSERT_EQ(::chmod((src / "a" / "report.txt").c_str(), 0640), 0);
    ASSERT_EQ(::chmod((src / "a" / "run.sh").c_str(), 0755), 0);
    ASSERT_EQ(::chmod((src / "readonly.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((src / "empty").c_str(), 0700), 0);
    fs::create_symlink("../..", src / "a" / "b" / "loop");    // loops back to the source
    fs::create_symlink("missing/target", src / "dangling");   // points nowhere
    fs::create_symlink(m_dir.path(), src / "a" / "outside");  // absolute, outside the tree
    setTimes(src / "a" / "report.txt", 1400119190, 123456789);
    setTimes(src / "a" / "b" / "c" / "deep.bin", 1000000000, 1);
    setTimes(src / "dangling", 1300000000, 999999999);
    setTimes(src / "a" / "b" / "c", 1200000000, 500);
    setTimes(src / "empty", 1100000000, 42);
    ASSERT_EQ(::chmod((src / "ro").c_str(), 0555), 0);
    setTimes(src / "ro", 1150000000, 7);

    const fs::path dst = m_dir / "备份" / "新" / "源_20140515";  // parents do not exist yet
    std::vector<CopyProgress> seen;
    const FileOpResult r =
        m_ops.copyTree(src, dst, [&](const CopyProgress& p) { seen.push_back(p); });
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();

    std::vector<fs::path> expected;
    for (auto it = fs::recursive_directory_iterator(src); it != fs::recursive_directory_iterator();
         ++it) {
        expected.push_back(it->path().lexically_relative(src));
    }
    std::vector<fs::path> copied;
    for (auto it = fs::recursive_directory_iterator(dst); it != fs::recursive_directory_iterator();
         ++it) {
        copied.push_back(it->path().lexically_relative(dst));
    }
    std::sort(expected.begin(), expected.end());
    std::sort(copied.begin(), copied.end());
    EXPECT_EQ(copied, expected);

    for (const fs::path& rel : expected) {
        expectSameMeta(src / rel, dst / rel);
        if (fs::is_symlink(fs::symlink_status(src / rel))) {
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dst / rel))) << rel;
            EXPECT_EQ(fs::read_symlink(dst / rel), fs::read_symlink(src / rel));
        } else if (fs::is_regular_file(src / rel)) {
            EXPECT_EQ(readBytes(dst / rel), readBytes(src / rel)) << rel;
        }
    }
    expectSameMeta(src, dst);
    EXPECT_TRUE(fs::is_empty(dst / "empty"));

    // 5 regular files and 3 links; bytes count file contents only.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().files, 8u);
    EXPECT_EQ(seen.back().bytes, 10u + 300000u + 10u + 0u + 1u);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].bytes, seen[i - 1].bytes);
        EXPECT_GE(seen[i].files, seen[i - 1].files);
    }
}

TEST_F(FileOpsTest, CopiesSingleFileAndLink) {
    writeBytes(m_dir / "单个.txt", "one file");
    ASSERT_EQ(::chmod((m_dir / "单个.txt").c_str(), 0600), 0);
    setTimes(m_dir / "单个.txt", 1400000000, 10);
    ASSERT_TRUE(m_ops.copyTree(m_dir / "单个.txt", m_dir / "out" / "单个.txt_20140515", {}).ok());
    EXPECT_EQ(readBytes(m_dir / "out" / "单个.txt_20140515"), "one file");
    expectSameMeta(m_dir / "单个.txt", m_dir / "out" / "单个.txt_20140515");

    fs::create_symlink("单个.txt", m_dir / "link");
    ASSERT_TRUE(m_ops.copyTree(m_dir / "link", m_dir / "link2", {}).ok());
    EXPECT_EQ(fs::read_symlink(m_dir / "link2"), "单个.txt");
}

TEST_F(FileOpsTest, CopyIntoItsOwnSubfolderStops) {
    const fs::path src = m_dir / "src";
    fs::create_directories(src / "sub");
    writeBytes(src / "sub" / "f", "f");
    const FileOpResult r = m_ops.copyTree(src, src / "sub" / "copy", {});
    ASSERT_TRUE(r.ok()) << r.error.message();
    EXPECT_EQ(readBytes(src / "sub" / "copy" / "sub" / "f"), "f");
    EXPECT_FALSE(fs::exists(src / "sub" / "copy" / "sub" / "copy"));
}

TEST_F(FileOpsTest, CopyFailureNamesPathAndReason) {
    // Source missing.
    FileOpResult r = m_ops.copyTree(m_dir / "gone", m_dir / "dst", {});
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.failedPath, m_dir / "gone");
    EXPECT_EQ(r.error, std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(m_dir / "dst"));

    // A parent of the destination is a regular file.
    fs::create_directory(m_dir / "src");
    writeBytes(m_dir / "src" / "f", "f");
    writeBytes(m_dir / "blocker", "not a folder");
    r = m_ops.copyTree(m_dir / "src", m_dir / "blocker" / "sub" / "dst", {});
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.failedPath, m_dir / "blocker");
    EXPECT_EQ(r.error, std::errc::not_a_directory);
    EXPECT_EQ(readBytes(m_dir / "blocker"), "not a folder");

    // The destination exists already: it is left alone.
    fs::create_directory(m_dir / "taken");
    writeBytes(m_dir / "taken" / "keep", "keep");
    r = m_ops.copyTree(m_dir / "src", m_dir / "taken", {});
    EXPECT_EQ(r.error, std::errc::file_exists);
    EXPECT_EQ(r.failedPath, m_dir / "taken");
    EXPECT_FALSE(fs::exists(m_dir / "taken" / "f"));
}

TEST_F(FileOpsTest, CopyOfUnreadableFileFailsAtThatFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    fs::create_directories(m_dir / "src" / "a");
    writeBytes(m_dir / "src" / "a" / "secret", "s");
    ASSERT_EQ(::chmod((m_dir / "src" / "a" / "secret").c_str(), 0), 0);
    const FileOpResult r = m_ops.copyTree(m_dir / "src", m_dir / "dst", {});
    EXPECT_EQ(r.failedPath, m_dir / "src" / "a" / "secret");
    EXPECT_EQ(r.error, std::errc::permission_denied);
}

TEST_F(FileOpsTest, RemoveTreeDeeperThanPathMax) {
    // Built through descriptors, since the full path is too long for the path calls.
    const fs::path top = m_dir / "deep";
    fs::create_directory(top);
    const std::string name(200, 'd');
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const int levels = PATH_MAX / 200 + 5;
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int file = ::openat(fd, "f", O_WRONLY | O_CREAT, 0444);
        ASSERT_GE(file, 0);
        ::close(file);
        ASSERT_EQ(::symlinkat("..", fd, "up"), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(next, 0);
        ::close(fd);
        fd = next;
    }
    ::close(fd);

    const FileOpResult r = m_ops.removeTree(top);
    ASSERT_TRUE(r.ok()) << r.error.message();
    EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
}

TEST_F(FileOpsTest, RemoveTreeNeverFollowsLinks) {
    const fs::path outside = m_dir / "outside";
    fs::create_directories(outside / "keep");
    writeBytes(outside / "keep" / "precious", "p");

    const fs::path tree = m_dir / "tree";
    fs::create_directories(tree / "sub");
    fs::create_symlink(outside, tree / "sub" / "to-outside");
    fs::create_symlink(outside / "keep" / "precious", tree / "to-file");
    ASSERT_TRUE(m_ops.removeTree(tree).ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(readBytes(outside / "keep" / "precious"), "p");

    // A link given as the path itself is removed, not its target.
    fs::create_symlink(outside, m_dir / "link");
    ASSERT_TRUE(m_ops.removeTree(m_dir / "link").ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(m_dir / "link")));
    EXPECT_EQ(readBytes(outside / "keep" / "precious"), "p");
}

TEST_F(FileOpsTest, RemoveTreeHandlesFilesMissingPathsAndReadOnlyFolders) {
    writeBytes(m_dir / "file_20140515", "f");
    EXPECT_TRUE(m_ops.removeTree(m_dir / "file_20140515").ok());
    EXPECT_FALSE(fs::exists(m_dir / "file_20140515"));

    EXPECT_TRUE(m_ops.removeTree(m_dir / "never-existed").ok());

    // A copy of a read-only source folder is read-only too; it must still go.
    const fs::path tree = m_dir / "ro_20140515";
    fs::create_directories(tree / "locked" / "inner");
    writeBytes(tree / "locked" / "inner" / "f", "f");
    ASSERT_EQ(::chmod((tree / "locked" / "inner").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((tree / "locked").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.c_str(), 0555), 0);
    const FileOpResult r = m_ops.removeTree(tree);
    EXPECT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
}

TEST_F(FileOpsTest, RenameReplacesAndReportsFailure) {
    fs::create_directory(m_dir / "a.partial");
    writeBytes(m_dir / "a.partial" / "f", "new");
    ASSERT_TRUE(m_ops.rename(m_dir / "a.partial", m_dir / "a").ok());
    EXPECT_EQ(readBytes(m_dir / "a" / "f"), "new");

    const FileOpResult r = m_ops.rename(m_dir / "nothing", m_dir / "b");
    EXPECT_EQ(r.failedPath, m_dir / "nothing");
    EXPECT_EQ(r.error, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace vantrel
