#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/FileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::writeBytes;

void setMeta(const fs::path& p, mode_t mode, time_t sec, long nsec) {
    const timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << p;
    if (mode != 0) {
        ASSERT_EQ(::chmod(p.c_str(), mode), 0) << p;
    }
}

class FileOpsTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
    RealFileOps m_ops;
};

TEST_F(FileOpsTest, CopyKeepsContentsModesTimesAndLinksOfTreesAndSingleFiles) {
    const fs::path src = m_dir / "源";
    fs::create_directories(src / "a" / "b");
    fs::create_directories(src / "ro");  // also empty
    writeBytes(src / "a" / "report.txt", "contents\r\n");
    writeBytes(src / "a" / "b" / "deep.bin", std::string(300000, 'Z'));
    fs::create_symlink("../..", src / "a" / "b" / "loop");
    fs::create_symlink("missing/target", src / "dangling");
    setMeta(src / "a" / "report.txt", 0640, 1400119190, 123456789);
    setMeta(src / "a" / "b" / "deep.bin", 0755, 1000000000, 1);
    setMeta(src / "dangling", 0, 1300000000, 999999999);
    setMeta(src / "a" / "b", 0700, 1200000000, 500);
    setMeta(src / "ro", 0555, 1150000000, 7);  // times must be set before the mode forbids it

    CopyProgress last;
    const fs::path dst = m_dir / "备份" / "新" / "源_20140515";  // parents are missing
    FileOpResult r = m_ops.copyTree(src, dst, {}, [&](const CopyProgress& p) { last = p; });
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    EXPECT_EQ(last.files, 4u);  // 2 files and 2 links; bytes count file contents only
    EXPECT_EQ(last.bytes, 10u + 300000u);
    const fs::path file = m_dir / "out" / "report.txt_20140515";  // a single file is copied alike
    ASSERT_TRUE(m_ops.copyTree(src / "a" / "report.txt", file, {}, {}).ok());

    std::vector<std::pair<fs::path, fs::path>> pairs{{src, dst}, {src / "a" / "report.txt", file}};
    for (const auto& e : fs::recursive_directory_iterator(src)) {
        pairs.emplace_back(e.path(), dst / e.path().lexically_relative(src));
    }
    for (const auto& [from, to] : pairs) {
        struct stat a = {}, b = {};
        ASSERT_EQ(::lstat(from.c_str(), &a) | ::lstat(to.c_str(), &b), 0) << to;
        EXPECT_EQ(std::tie(a.st_mode, a.st_mtim.tv_sec, a.st_mtim.tv_nsec),
                  std::tie(b.st_mode, b.st_mtim.tv_sec, b.st_mtim.tv_nsec))
            << to;
        if (S_ISLNK(a.st_mode)) {
            EXPECT_EQ(fs::read_symlink(to), fs::read_symlink(from));
        } else if (S_ISREG(a.st_mode)) {
            EXPECT_EQ(readBytes(to), readBytes(from)) << to;
        }
    }
}

TEST_F(FileOpsTest, FailureNamesTheFirstFailingPathAndTheReason) {
    fs::create_directory(m_dir / "src");
    writeBytes(m_dir / "src" / "f", "f");
    writeBytes(m_dir / "blocker", "not a folder");
    fs::create_directory(m_dir / "taken");
    ASSERT_EQ(::chmod((m_dir / "src" / "f").c_str(), 0), 0);
    const struct {
        const char *from, *to, *failed;
        std::errc error;
    } cases[] = {{"gone", "dst", "gone", std::errc::no_such_file_or_directory},
                 {"src", "blocker/sub/dst", "blocker", std::errc::not_a_directory},
                 {"src", "taken", "taken", std::errc::file_exists},
                 {"src", "dst2", "src/f", std::errc::permission_denied}};
    for (const auto& c : cases) {
        if (c.error == std::errc::permission_denied && ::geteuid() == 0) {
            continue;  // root reads every file
        }
        const FileOpResult r = m_ops.copyTree(m_dir / c.from, m_dir / c.to, {}, {});
        EXPECT_EQ(r.failedPath, m_dir / c.failed) << c.to;
        EXPECT_EQ(r.error, c.error) << c.to;
    }
    EXPECT_FALSE(fs::exists(m_dir / "dst"));
    EXPECT_EQ(readBytes(m_dir / "blocker"), "not a folder");
    EXPECT_TRUE(fs::is_empty(m_dir / "taken"));
    EXPECT_EQ(m_ops.rename(m_dir / "gone", m_dir / "b").failedPath, m_dir / "gone");
}

}  // namespace
}  // namespace vantrel
