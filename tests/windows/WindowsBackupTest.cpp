// Backup runs with Windows paths: both separators, drive roots, case-insensitive names,
// Chinese names, paths past 260 characters and a same-day second run.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/BackupRun.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::at;

constexpr std::string_view kTargetInsideSource = "备份文件的目的地址不能位于源地址之内！";

// The path with the \\?\ prefix, so the test itself can make and check long trees.
fs::path longForm(const fs::path& p) {
    return fs::path(LR"(\\?\)" + p.lexically_normal().make_preferred().native());
}

// A drive whose root the test may fill: a free letter mapped to `folder` with
// DefineDosDeviceW, or, where the system does not route such a letter to files (Wine), the
// letter number `index` of VANTREL_TEST_DRIVES ("V: W:"), whose root is a scratch folder
// set up for the tests and emptied here.
class TestDrive {
public:
    TestDrive(const fs::path& folder, size_t index) {
        fs::create_directories(folder);
        test::writeBytes(folder / "marker", "");
        const DWORD used = GetLogicalDrives();
        for (wchar_t letter = L'Q'; letter <= L'Y' && m_device.empty(); ++letter) {
            if ((used & (1u << (letter - L'A'))) == 0) {
                m_device = std::wstring(1, letter) + L":";
            }
        }
        if (!m_device.empty() && DefineDosDeviceW(0, m_device.c_str(), folder.c_str())) {
            m_defined = true;
            if (fs::exists(root() / "marker")) {
                fs::remove(folder / "marker");
                return;
            }
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, m_device.c_str(), nullptr);
            m_defined = false;
        }
        fs::remove(folder / "marker");
        m_device.clear();
        if (const char* drives = std::getenv("VANTREL_TEST_DRIVES")) {
            const std::string list(drives);
            if (list.size() >= index * 3 + 2) {
                m_device = pathFromUtf8(list.substr(index * 3, 2)).wstring();
                m_scratch = fs::is_directory(root());
            }
            if (!m_scratch) {
                m_device.clear();
            }
        }
    }
    ~TestDrive() {
        if (m_defined) {
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, m_device.c_str(), nullptr);
        }
        if (m_scratch) {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(root(), ec)) {
                fs::remove_all(e.path(), ec);
            }
        }
    }
    bool ok() const { return !m_device.empty(); }
    fs::path root() const { return fs::path(m_device + L"\\"); }
    std::string rootText() const { return pathToUtf8(root()); }

private:
    std::wstring m_device;
    bool m_defined = false;
    bool m_scratch = false;
};

// Modification times through the system calls, at their full 100 ns resolution (the MinGW
// library's last_write_time keeps whole seconds).
std::uint64_t writeTime(const fs::path& file) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) << file;
    return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

void setWriteTime(const fs::path& file, std::uint64_t time) {
    HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << file;
    const FILETIME ft{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
}

class WindowsBackup : public ::testing::Test {
protected:
    WindowsBackup() : clock(at(2014, 5, 15, 9, 59, 50)), ws{tmp.path(), files, clock, ui} {}

    // Native spelling with "\" separators, as the folder picker gives it.
    std::string native(const fs::path& p) const { return pathToUtf8(fs::path(p).make_preferred()); }

    // Long paths are made through their \\?\ form; short ones as they are, which also
    // works for a drive's root.
    void makeFile(const fs::path& p, std::string_view bytes) {
        const auto io = [](const fs::path& q) { return q.native().size() > 200 ? longForm(q) : q; };
        fs::create_directories(io(p.parent_path()));
        test::writeBytes(io(p), bytes);
    }

    std::vector<BackupRecord> rows() { return BackupRecordStore(ws.databaseFile()).List(); }

    test::TempDir tmp;
    RealFileOps files;
    test::FakeClock clock;
    test::FakeUi ui;
    Workspace ws;
    TBackupSettings settings;
};

TEST(WindowsTargetPath, EitherSeparatorStartsTheNameTail) {
    EXPECT_EQ(NameTail(R"(D:\work\data)"), R"(\data)");
    EXPECT_EQ(NameTail("D:/work/data"), "/data");
    EXPECT_EQ(NameTail(R"(D:\work/data)"), "/data");
    EXPECT_EQ(NameTail(R"(D:/work\data)"), R"(\data)");
    EXPECT_EQ(NameTail(R"(\\server\share\数据)"), R"(\数据)");
}

TEST(WindowsTargetPath, DriveRootsKeepEverySeparator) {
    const auto day = at(2014, 5, 15);
    EXPECT_EQ(NameTail(R"(D:\)"), R"(\)");
    EXPECT_EQ(MakeTargetPath(R"(D:\)", R"(E:\bak)", day), R"(E:\bak\_20140515)");
    EXPECT_EQ(MakeTargetPath(R"(D:\work\data)", R"(E:\)", day), R"(E:\\data_20140515)");
    EXPECT_EQ(MakeTargetPath(R"(D:\)", R"(E:\)", day), R"(E:\\_20140515)");
}

TEST_F(WindowsBackup, TargetInsideSourceIsRefusedWhateverTheCase) {
    makeFile(tmp / "Data/a.txt", "a");
    settings.SourcePath = native(tmp / "Data");
    settings.TargetFolder = native(tmp / "DATA/Bak");
    EXPECT_FALSE(RunBackup(ws, settings));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], kTargetInsideSource);

    // Forward slashes and another case for the same folder.
    ui.messages.clear();
    settings.TargetFolder = pathToUtf8(tmp / "data");
    for (char& c : settings.TargetFolder) {
        c = c == '\\' ? '/' : c;
    }
    EXPECT_FALSE(RunBackup(ws, settings));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], kTargetInsideSource);

    // Case is folded beyond ASCII, as the file system folds it.
    ui.messages.clear();
    makeFile(tmp / "Données/a.txt", "a");
    settings.SourcePath = native(tmp / "Données");
    settings.TargetFolder = native(tmp / "DONNÉES/Bak");
    EXPECT_FALSE(RunBackup(ws, settings));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], kTargetInsideSource);

    EXPECT_FALSE(fs::exists(tmp / "Data/Bak"));
    EXPECT_FALSE(fs::exists(ws.logFile()));
    EXPECT_TRUE(ui.statuses.empty());
}

TEST_F(WindowsBackup, TargetFolderEndingInSeparatorGivesDoubledSeparator) {
    makeFile(tmp / "src/data/a.txt", "contents");
    fs::create_directories(tmp / "bak");
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak") + "\\";
    ASSERT_TRUE(RunBackup(ws, settings));

    const std::string expected = native(tmp / "bak") + "\\\\data_20140515";
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].path, expected);
    EXPECT_EQ(test::readBytes(tmp / "bak/data_20140515/a.txt"), "contents");
    EXPECT_NE(gbkToUtf8(test::readBytes(ws.logFile())).find("   成功备份至   " + expected + "\r\n"),
              std::string::npos);
}

TEST_F(WindowsBackup, DriveRootsAsSourceAndTarget) {
    TestDrive source(tmp / "drive", 0);
    TestDrive target(tmp / "bak", 1);
    if (!source.ok() || !target.ok()) {
        GTEST_SKIP() << "no drive letter can be mapped to a folder here (DefineDosDeviceW does "
                        "not reach files, and VANTREL_TEST_DRIVES names no scratch drives)";
    }
    makeFile(source.root() / "top.txt", "root file");
    makeFile(source.root() / "sub/inner.txt", "inner");
    settings.SourcePath = source.rootText();
    settings.TargetFolder = target.rootText();
    ASSERT_TRUE(RunBackup(ws, settings));

    const std::string expected = target.rootText() + "\\_20140515";  // like E:\\_20140515
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].path, expected);
    EXPECT_EQ(test::readBytes(target.root() / "_20140515/top.txt"), "root file");
    EXPECT_EQ(test::readBytes(target.root() / "_20140515/sub/inner.txt"), "inner");
    // The copy of a root is an ordinary folder, not hidden like a drive's root.
    const DWORD attributes = GetFileAttributesW((target.root() / "_20140515").c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
}

TEST_F(WindowsBackup, ChineseNamesInSourceAndTarget) {
    makeFile(tmp / "源文件夹/数据/报告.txt", "报告内容");
    settings.SourcePath = native(tmp / "源文件夹/数据");
    settings.TargetFolder = native(tmp / "备份目标");
    ASSERT_TRUE(RunBackup(ws, settings));

    const fs::path copy = tmp / "备份目标/数据_20140515";
    EXPECT_EQ(test::readBytes(copy / pathFromUtf8("报告.txt")), "报告内容");
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].path, native(copy));
    const std::string log = gbkToUtf8(test::readBytes(ws.logFile()));
    EXPECT_NE(log.find(settings.SourcePath + "   成功备份至   " + native(copy)), std::string::npos);
}

TEST_F(WindowsBackup, SameDaySecondRunReplacesTheCopy) {
    const fs::path file = tmp / "src/data/notes.txt";
    makeFile(file, "first version, the longer one");
    makeFile(tmp / "src/data/old.txt", "dropped before the second run");
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak");
    ASSERT_TRUE(RunBackup(ws, settings));

    makeFile(file, "second");
    fs::remove(tmp / "src/data/old.txt");
    // A time with a fraction of a second (in 100 ns units): the copy must keep it exactly.
    const std::uint64_t stamp = writeTime(file) - 30 * 36'000'000'000ull + 1'234'567;
    setWriteTime(file, stamp);
    clock.advanceSeconds(3600);
    ASSERT_TRUE(RunBackup(ws, settings));

    const fs::path copy = tmp / "bak/data_20140515";
    EXPECT_EQ(test::readBytes(copy / "notes.txt"), "second");
    EXPECT_FALSE(fs::exists(copy / "old.txt"));
    EXPECT_EQ(writeTime(copy / "notes.txt"), stamp);
    const auto all = rows();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].path, all[1].path);
}

TEST_F(WindowsBackup, TreesPastTheOldPathLimitAreCopiedAndPruned) {
    const std::string segment(60, 'd');
    fs::path deep = tmp / "src/data";
    for (int i = 0; i < 5; ++i) {
        deep /= segment + std::to_string(i);
    }
    ASSERT_GT(native(deep).size(), 300u);
    makeFile(deep / "deep.txt", "far down");
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak");
    settings.KeepCountText = "1";
    settings.KeepCount = 1;

    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet))
        << (ui.messages.empty() ? "" : ui.messages[0]);
    const fs::path firstCopy = tmp / "bak/data_20140515";
    const fs::path copiedFile = firstCopy / fs::relative(deep, tmp / "src/data") / "deep.txt";
    EXPECT_EQ(test::readBytes(longForm(copiedFile)), "far down");

    clock.set(at(2014, 5, 16, 9, 59, 50));
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet));
    EXPECT_FALSE(fs::exists(longForm(firstCopy)));
    EXPECT_TRUE(fs::exists(
        longForm(tmp / "bak/data_20140516" / fs::relative(deep, tmp / "src/data") / "deep.txt")));
    const auto all = rows();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].path, native(tmp / "bak/data_20140516"));

    // The temp folder's own clean-up does not use long paths.
    EXPECT_TRUE(files.removeTree(tmp / "src").ok());
    EXPECT_TRUE(files.removeTree(tmp / "bak").ok());
}

}  // namespace
}  // namespace vantrel
