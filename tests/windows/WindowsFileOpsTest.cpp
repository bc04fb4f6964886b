// Copies with Windows files: a file another program holds open, cancelling, skipped folders,
// sharing unchanged files through hard links, and the count before a copy.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>

#include "platform/ErrorText.h"
#include "platform/FileOps.h"
#include "platform/WinError.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::writeBytes;

class WindowsFileOps : public ::testing::Test {
protected:
    test::TempDir m_dir;
    RealFileOps m_ops;
};

TEST_F(WindowsFileOps, AFileHeldOpenWithoutSharingIsLeftOutAndListed) {
    fs::create_directories(m_dir / "src" / "sub");
    writeBytes(m_dir / "src" / "mail.pst", "held");
    writeBytes(m_dir / "src" / "sub" / "kept.txt", "kept");
    HANDLE held = CreateFileW((m_dir / "src" / "mail.pst").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CopyOptions skip;
    skip.skipFailedEntries = true;
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "dst", skip, {});
    const CopyResult strict = m_ops.copyTree(m_dir / "src", m_dir / "dst2", {}, {});
    CloseHandle(held);

    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    ASSERT_EQ(r.skipped.size(), 1u);
    EXPECT_EQ(r.skipped[0].path, m_dir / "src" / "mail.pst");
    EXPECT_EQ(describeError(r.skipped[0].error), "文件正被其他程序使用（系统代码 32）");
    EXPECT_FALSE(fs::exists(m_dir / "dst" / "mail.pst"));
    EXPECT_EQ(readBytes(m_dir / "dst" / "sub" / "kept.txt"), "kept");
    EXPECT_EQ(r.done.files, 1u);
    EXPECT_FALSE(strict.ok());
    EXPECT_TRUE(strict.skipped.empty());
}

TEST_F(WindowsFileOps, CancelSkippedFoldersAndTheCopysOwnTop) {
    fs::create_directories(m_dir / "src" / "old-target");
    fs::create_directories(m_dir / "src" / "backups");
    for (const char* f : {"a.txt", "b.txt", "c.txt"}) {
        writeBytes(m_dir / "src" / f, f);
    }
    std::atomic<bool> cancel{false};
    CopyOptions options;
    options.cancel = &cancel;
    const CopyResult stopped = m_ops.copyTree(m_dir / "src", m_dir / "stopped", options,
                                              [&](const CopyProgress&) { cancel = true; });
    EXPECT_EQ(stopped.error, std::errc::operation_canceled);
    EXPECT_EQ(stopped.done.files, 1u);

    CopyOptions skip;
    skip.skipFolders.push_back(*fileIdOf(m_dir / "src" / "old-target"));
    // Into a folder inside the source: the copy never copies itself.
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "src" / "backups" / "new", skip, {});
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    const fs::path copy = m_dir / "src" / "backups" / "new";
    EXPECT_FALSE(fs::exists(copy / "old-target"));
    EXPECT_TRUE(fs::is_directory(copy / "backups"));
    EXPECT_TRUE(fs::is_empty(copy / "backups"));
    EXPECT_EQ(readBytes(copy / "c.txt"), "c.txt");
}

TEST_F(WindowsFileOps, SharesUnchangedFilesAndCountsTrees) {
    fs::create_directories(m_dir / "src" / "sub");
    writeBytes(m_dir / "src" / "same.txt", "same");
    writeBytes(m_dir / "src" / "sub" / "changed.txt", "old");
    const fs::path prev = m_dir / "prev";
    const CopyResult first = m_ops.copyTree(m_dir / "src", prev, {}, {});
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.done.bytes, 7u);  // also where the system reports no chunks (Wine)
    writeBytes(m_dir / "src" / "sub" / "changed.txt", "new!");

    std::map<std::string, bool> entries;
    CopyOptions options;
    options.shareFrom = prev;
    options.onEntry = [&](const CopiedEntry& e) {
        entries[e.relative.generic_string()] = e.shared;
    };
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "next", options, {});
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    EXPECT_EQ(r.shared + r.shareFallbacks, 1u);
    EXPECT_EQ(r.done.bytes, 8u);
    if (r.shared == 1) {
        EXPECT_EQ(fileIdOf(prev / "same.txt"), fileIdOf(m_dir / "next" / "same.txt"));
    }
    EXPECT_NE(fileIdOf(prev / "sub" / "changed.txt"),
              fileIdOf(m_dir / "next" / "sub" / "changed.txt"));
    EXPECT_EQ(readBytes(m_dir / "next" / "sub" / "changed.txt"), "new!");
    const std::map<std::string, bool> expected{
        {"", false}, {"same.txt", r.shared == 1}, {"sub", false}, {"sub/changed.txt", false}};
    EXPECT_EQ(entries, expected);

    TreeSize size;
    ASSERT_TRUE(m_ops.measureTree(m_dir / "src", size).ok());
    EXPECT_EQ(size.folders, 2u);
    EXPECT_EQ(size.files, 2u);
    EXPECT_EQ(size.bytes, 8u);
    EXPECT_EQ(m_ops.exchange(prev, m_dir / "next").error, std::errc::not_supported);
}

}  // namespace
}  // namespace vantrel
