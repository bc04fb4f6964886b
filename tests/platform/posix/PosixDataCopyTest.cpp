#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/FileOps.h"
#include "tests/platform/posix/CopyTestSupport.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace test;

using PosixDataCopyTest = CopyTest;

// Every way of moving contents copies a dense file over several chunks, a sparse file with
// its holes, and an empty file; so a broken fallback fails here even where the kernel's
// own copy works.
TEST_F(PosixDataCopyTest, EachCopyMethodKeepsContentsAndHoles) {
    const fs::path src = m_dir / "src";
    fs::create_directory(src);
    const std::string dense = pattern((size_t{40} << 20) + 12345);
    writeBytes(src / "dense.bin", dense);
    const off_t sparseSize = off_t{200} << 20;
    const std::string data = pattern(4096);
    writeAt(src / "sparse.img", off_t{100} << 20, data, sparseSize);
    writeBytes(src / "empty", "");
    if (statOf(src / "sparse.img").st_blocks * 512 > (off_t{1} << 20)) {
        GTEST_SKIP() << "the temp folder's file system does not keep holes";
    }
    const struct {
        CopyMethod method;
        const char* name;
    } methods[] = {{CopyMethod::Auto, "auto"},
                   {CopyMethod::CopyFileRange, "copy_file_range"},
                   {CopyMethod::SendFile, "sendfile"},
                   {CopyMethod::ReadWrite, "read/write"}};
    for (const auto& m : methods) {
        SCOPED_TRACE(m.name);
        const fs::path dst = m_dir / m.name;
        RealFileOps ops(m.method);
        const CopyResult r = ops.copyTree(src, dst, {}, {});
        ASSERT_TRUE(r.ok()) << describe(r);
        EXPECT_EQ(r.done.bytes, dense.size() + data.size());
        EXPECT_TRUE(readBytes(dst / "dense.bin") == dense);
        EXPECT_EQ(readBytes(dst / "empty"), "");
        const struct stat sparse = statOf(dst / "sparse.img");
        EXPECT_EQ(sparse.st_size, sparseSize);
        EXPECT_LE(sparse.st_blocks * 512, 256 * 1024) << "holes were filled";
        EXPECT_EQ(readAt(dst / "sparse.img", off_t{100} << 20, 4096), data);
        EXPECT_EQ(readAt(dst / "sparse.img", 0, 4096), std::string(4096, '\0'));
        EXPECT_EQ(readAt(dst / "sparse.img", sparseSize - 4096, 4096), std::string(4096, '\0'));
    }
    // Counted before a copy and linked by a sharing copy, files count the bytes they hold, as
    // a copy moves them: sizes shown and progress agree.
    TreeSize size;
    ASSERT_TRUE(m_ops.measureTree(src, size).ok());
    EXPECT_EQ(size.bytes, dense.size() + data.size());
    CopyOptions share;
    share.shareFrom = m_dir / "auto";
    const CopyResult linked = m_ops.copyTree(src, m_dir / "linked", share, {});
    ASSERT_TRUE(linked.ok()) << describe(linked);
    EXPECT_EQ(linked.shared, 3u);
    EXPECT_EQ(linked.done.bytes, dense.size() + data.size());
}

}  // namespace
}  // namespace vantrel
