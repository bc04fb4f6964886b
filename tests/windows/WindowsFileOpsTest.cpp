// Copies with Windows files: a file another program holds open or locked, a copy held by a
// scanner, many small files, cancelling, skipped folders, sharing unchanged files through hard
// links, and the count before a copy.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/rules/Exclusions.h"
#include "platform/ErrorText.h"
#include "platform/FileOps.h"
#include "platform/FileStat.h"
#include "platform/win/WinError.h"
#include "platform/win/WinFileCopy.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::writeBytes;

DWORD realCopy(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* context,
               win::PlacedFile* placed) {
    return win::copyFile(from, to, progress, context, placed);
}

FILETIME lastWrite(const fs::path& p) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

bool operator==(const FILETIME& a, const FILETIME& b) {
    return CompareFileTime(&a, &b) == 0;
}

class WindowsFileOps : public ::testing::Test {
protected:
    test::TempDir m_dir;
    RealFileOps m_ops;
    // Files another program held are tried again at once here.
    win::ScopedFileCopyCalls m_calls{{realCopy, std::chrono::milliseconds(10)}};
};

// Wine does not enforce byte-range locks: the copy call stands in for Windows, failing a file
// with a lock (33) every time and one with a sharing violation (32) the first time only.
TEST_F(WindowsFileOps, AHeldOrLockedFileIsTriedAgainAtTheEndThenLeftOutNeverFailingTheCopy) {
    fs::create_directories(m_dir / "src" / "sub");
    writeBytes(m_dir / "src" / "Mail.PST", "locked");
    writeBytes(m_dir / "src" / "sub" / "busy.txt", "busy");
    writeBytes(m_dir / "src" / "sub" / "free.txt", "free");
    std::mutex mutex;
    std::map<std::wstring, int> tries;
    win::ScopedFileCopyCalls held{
        {[&](const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* context,
             win::PlacedFile* kept) -> DWORD {
             const std::wstring name = fs::path(from).filename();
             int n = 0;
             {
                 const std::lock_guard lock(mutex);
                 n = ++tries[name];
             }
             if (name == L"Mail.PST") {
                 return ERROR_LOCK_VIOLATION;
             }
             if (name == L"busy.txt" && n == 1) {
                 return ERROR_SHARING_VIOLATION;
             }
             return realCopy(from, to, progress, context, kept);
         },
         std::chrono::milliseconds(10)}};
    std::vector<std::string> placed;
    CopyOptions skip;
    skip.skipFailedEntries = true;
    skip.onEntry = [&](const CopiedEntry& e) {
        const std::lock_guard lock(mutex);
        placed.push_back(e.relative.generic_string());
    };
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "dst", skip, {});

    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    ASSERT_EQ(r.skipped.size(), 1u);
    EXPECT_EQ(r.skipped[0].path, m_dir / "src" / "Mail.PST");
    EXPECT_EQ(describeNotCopied(r.skipped[0].path, r.skipped[0].error),
              "文件正被其他程序使用（系统代码 33），请关闭 Outlook 后重新备份");
    EXPECT_EQ(tries[L"Mail.PST"], 2);
    EXPECT_EQ(readBytes(m_dir / "dst" / "sub" / "busy.txt"), "busy");
    EXPECT_EQ(r.done.files, 2u);
    EXPECT_EQ(std::count(placed.begin(), placed.end(), "sub/busy.txt"), 1);
    // The folder keeps its time, though the file came into it after it was finished.
    EXPECT_TRUE(lastWrite(m_dir / "dst" / "sub") == lastWrite(m_dir / "src" / "sub"));

    // Without leaving entries out, the copy fails on the file itself, never on the target.
    const CopyResult strict = m_ops.copyTree(m_dir / "src", m_dir / "dst2", {}, {});
    EXPECT_EQ(strict.failedPath, m_dir / "src" / "Mail.PST");
    EXPECT_EQ(strict.error.value(), ERROR_LOCK_VIOLATION);
}

// A scanner or an indexer that opens a new copy at once, sharing nothing, does not fail it.
TEST_F(WindowsFileOps, ACopyAnotherProgramOpensAtOnceIsNotAFailure) {
    fs::create_directories(m_dir / "src");
    writeBytes(m_dir / "src" / "scanned.txt", "scanned");
    std::vector<HANDLE> scanner;
    win::ScopedFileCopyCalls scanned{
        {[&](const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* context,
             win::PlacedFile* kept) -> DWORD {
             const DWORD err = realCopy(from, to, progress, context, kept);
             scanner.push_back(
                 CreateFileW(to, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
             return err;
         },
         std::chrono::milliseconds(10)}};
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "dst", {}, {});
    for (HANDLE h : scanner) {
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    EXPECT_EQ(readBytes(m_dir / "dst" / "scanned.txt"), "scanned");
}

// Enough small files for the workers: every file, attribute and time arrives, each entry is
// reported once, and each folder's time is its source's.
TEST_F(WindowsFileOps, ManySmallFilesKeepTheirAttributesAndTimesAndFoldersTheirs) {
    for (int d = 0; d < 4; ++d) {
        for (int f = 0; f < 40; ++f) {
            const fs::path file =
                m_dir / "src" / ("d" + std::to_string(d)) / ("f" + std::to_string(f) + ".txt");
            fs::create_directories(file.parent_path());
            writeBytes(file, std::string(static_cast<size_t>(f), 'x'));
        }
    }
    SetFileAttributesW((m_dir / "src" / "d1" / "f7.txt").c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW((m_dir / "src" / "d2").c_str(), FILE_ATTRIBUTE_HIDDEN);
    std::mutex mutex;
    std::map<std::string, int> reported;
    std::optional<EntryStat> readOnlyHeld;
    CopyOptions options;
    options.onEntry = [&](const CopiedEntry& e) {
        const std::lock_guard lock(mutex);
        ++reported[e.relative.generic_string()];
        if (e.type == EntryType::File) {
            EXPECT_NE(e.source, nullptr);
            // The copy tells what it placed, so that the manifest need not open it again.
            EXPECT_NE(e.held, nullptr);
            if (e.held != nullptr && e.relative.generic_string() == "d1/f7.txt") {
                readOnlyHeld = *e.held;
            }
        }
    };
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "dst", options, {});
    SetFileAttributesW((m_dir / "src" / "d1" / "f7.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    EXPECT_EQ(r.done.files, 160u);
    EXPECT_EQ(reported.size(), 165u);
    EXPECT_TRUE(
        std::all_of(reported.begin(), reported.end(), [](const auto& e) { return e.second == 1; }));
    EXPECT_EQ(readBytes(m_dir / "dst" / "d3" / "f39.txt"), std::string(39, 'x'));
    EXPECT_EQ(GetFileAttributesW((m_dir / "dst" / "d1" / "f7.txt").c_str()) &
                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN});
    const std::optional<EntryStat> readBack = statEntry(m_dir / "dst" / "d1" / "f7.txt");
    ASSERT_TRUE(readOnlyHeld && readBack);
    EXPECT_EQ(readOnlyHeld->permissions, 0444u);
    EXPECT_EQ(readOnlyHeld->permissions, readBack->permissions);
    EXPECT_EQ(readOnlyHeld->size, 7u);
    EXPECT_EQ(readOnlyHeld->mtimeNs, readBack->mtimeNs);
    SetFileAttributesW((m_dir / "dst" / "d1" / "f7.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesW((m_dir / "dst" / "d2").c_str()),
              GetFileAttributesW((m_dir / "src" / "d2").c_str()));
    for (const char* folder : {"d0", "d1", "d2", "d3"}) {
        EXPECT_TRUE(lastWrite(m_dir / "dst" / folder) == lastWrite(m_dir / "src" / folder))
            << folder;
        EXPECT_TRUE(lastWrite(m_dir / "dst" / folder / "f20.txt") ==
                    lastWrite(m_dir / "src" / folder / "f20.txt"))
            << folder;
    }
}

// The program's own copy of one file: as CopyFileExW with COPY_FILE_FAIL_IF_EXISTS, it never
// writes over a file, and a cancelled copy leaves nothing behind, not even a read-only one.
TEST_F(WindowsFileOps, OneFileCopyRefusesAnExistingTargetAndLeavesNothingWhenCancelled) {
    const fs::path from = m_dir / "a.txt";
    writeBytes(from, "abc");
    writeBytes(m_dir / "there.txt", "kept");
    writeBytes(m_dir / "big.bin", std::string(1536 * 1024, 'b'));
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    win::PlacedFile placed;
    EXPECT_EQ(win::copyFile(from.c_str(), (m_dir / "there.txt").c_str(), nullptr, nullptr, &placed),
              DWORD{ERROR_FILE_EXISTS});
    EXPECT_EQ(readBytes(m_dir / "there.txt"), "kept");
    const LPPROGRESS_ROUTINE cancel = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER,
                                         DWORD, DWORD, HANDLE, HANDLE,
                                         LPVOID) -> DWORD { return PROGRESS_CANCEL; };
    EXPECT_EQ(
        win::copyFile(from.c_str(), (m_dir / "cancelled.txt").c_str(), cancel, nullptr, &placed),
        DWORD{ERROR_REQUEST_ABORTED});
    EXPECT_FALSE(fs::exists(m_dir / "cancelled.txt"));
    ASSERT_EQ(win::copyFile(from.c_str(), (m_dir / "b.txt").c_str(), nullptr, nullptr, &placed),
              0u);
    ASSERT_TRUE(placed.known);
    EXPECT_EQ(placed.basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(placed.standard.EndOfFile.QuadPart, 3);
    EXPECT_TRUE(lastWrite(m_dir / "b.txt") == lastWrite(from));
    // A big file goes to the system's copy, which does not tell what it placed.
    win::PlacedFile big;
    ASSERT_EQ(win::copyFile((m_dir / "big.bin").c_str(), (m_dir / "big2.bin").c_str(), nullptr,
                            nullptr, &big),
              0u);
    EXPECT_FALSE(big.known);
    EXPECT_EQ(fs::file_size(m_dir / "big2.bin"), 1536u * 1024);
    for (const char* name : {"a.txt", "b.txt"}) {
        SetFileAttributesW((m_dir / name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

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

// Rules ignore case here, and the copy, the count and the walk all leave out what they name,
// never entering an excluded folder.
TEST_F(WindowsFileOps, ExclusionRulesIgnoreCaseInTheCopyTheCountAndTheWalk) {
    for (const char* file :
         {"keep.txt", "a.TMP", "web/Node_Modules/lib/x.js", "Docs/Old/y.txt", "docs/new.txt"}) {
        fs::create_directories((m_dir / "src" / file).parent_path());
        writeBytes(m_dir / "src" / file, "12345");
    }
    CopyOptions options;
    options.exclude = Exclusions("node_modules/|*.tmp|docs/old").predicate();
    const CopyResult r = m_ops.copyTree(m_dir / "src", m_dir / "dst", options, {});
    ASSERT_TRUE(r.ok()) << r.failedPath << ": " << r.error.message();
    EXPECT_TRUE(r.skipped.empty());
    EXPECT_EQ(r.done.files, 2u);
    EXPECT_TRUE(fs::exists(m_dir / "dst" / "docs" / "new.txt"));
    EXPECT_FALSE(fs::exists(m_dir / "dst" / "a.TMP"));
    EXPECT_FALSE(fs::exists(m_dir / "dst" / "web" / "Node_Modules"));
    TreeSize size;
    ASSERT_TRUE(m_ops.measureTree(m_dir / "src", size, nullptr, options.exclude).ok());
    EXPECT_EQ(size.files, 2u);
    int walked = 0;
    m_ops.walk(
        m_dir / "src", [&](const fs::path&, const EntryStat&) { ++walked; }, options.exclude);
    EXPECT_EQ(walked, 4);  // keep.txt, web, Docs and Docs/new.txt ("docs" is "Docs" here)
}

}  // namespace
}  // namespace vantrel
