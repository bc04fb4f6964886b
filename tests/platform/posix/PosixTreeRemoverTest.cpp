#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/FileOps.h"
#include "tests/platform/posix/CopyTestSupport.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace test;

using PosixTreeRemoverTest = CopyTest;

TEST_F(PosixTreeRemoverTest, RemoveTreeTakesFilesReadOnlyAndOverlongTreesButNeverFollowsLinks) {
    writeBytes(m_dir / "outside", "precious");
    writeBytes(m_dir / "file_20140515", "f");
    const fs::path tree = m_dir / "tree_20140515";
    fs::create_directories(tree / "locked" / "inner");
    fs::create_symlink(m_dir.path(), tree / "locked" / "up");
    fs::create_symlink(m_dir / "outside", m_dir / "link");
    // Deeper than PATH_MAX, so it is built through descriptors.
    const std::string name(200, 'd');
    int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < PATH_MAX / 200 + 5; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        ::close(::openat(fd, "f", O_WRONLY | O_CREAT, 0444));
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(fd);
    ASSERT_EQ(::chmod((tree / "locked" / "inner").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((tree / "locked").c_str(), 0), 0);

    for (const char* gone : {"tree_20140515", "file_20140515", "link", "never-existed"}) {
        const FileOpResult r = m_ops.removeTree(m_dir / gone);
        EXPECT_TRUE(r.ok()) << gone << " " << r.failedPath << ": " << r.error.message();
        EXPECT_FALSE(fs::exists(fs::symlink_status(m_dir / gone))) << gone;
    }
    EXPECT_EQ(readBytes(m_dir / "outside"), "precious");
}

}  // namespace
}  // namespace vantrel
