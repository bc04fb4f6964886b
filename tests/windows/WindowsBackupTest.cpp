// Backup runs with Windows paths and files: drive roots, both separators, case-insensitive
// names, Chinese names, paths past 260 characters, a same-day second run, GBK files.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "engine/BackupRecordStore.h"
#include "engine/BackupRun.h"
#include "engine/Settings.h"
#include "platform/TextCodec.h"
#include "platform/WinError.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::at;

// The path with the \\?\ prefix, so the test itself can make and check long trees.
fs::path longForm(const fs::path& p) {
    return fs::path(LR"(\\?\)" + p.lexically_normal().make_preferred().native());
}

// A drive root the test may fill: a free letter mapped to `folder`, or, where such a letter
// does not reach files (Wine), the first scratch drive of VANTREL_TEST_DRIVES ("V: W:").
class TestDrive {
public:
    explicit TestDrive(const fs::path& folder) {
        fs::create_directories(folder);
        for (wchar_t c = L'Q'; c <= L'Y' && m_letter.empty(); ++c) {
            if ((GetLogicalDrives() & (1u << (c - L'A'))) == 0) {
                m_letter = {c, L':'};
            }
        }
        m_defined = !m_letter.empty() && DefineDosDeviceW(0, m_letter.c_str(), folder.c_str());
        if (!m_defined || !fs::is_directory(root())) {
            undefine();
            const char* drives = std::getenv("VANTREL_TEST_DRIVES");
            m_letter = drives != nullptr ? pathFromUtf8(std::string(drives).substr(0, 2)).wstring()
                                         : std::wstring();
            m_letter = m_letter.size() == 2 && fs::is_directory(root()) ? m_letter : std::wstring();
        }
    }
    ~TestDrive() {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(ok() ? root() : fs::path(), ec)) {
            fs::remove_all(e.path(), ec);
        }
        undefine();
    }
    bool ok() const { return !m_letter.empty(); }
    fs::path root() const { return m_letter + L"\\"; }
    std::string rootText() const { return pathToUtf8(root()); }

private:
    void undefine() {
        if (m_defined) {
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, m_letter.c_str(), nullptr);
            m_defined = false;
        }
    }
    std::wstring m_letter;
    bool m_defined = false;
};

// Modification times at the system's full 100 ns resolution (MinGW's keeps whole seconds).
std::uint64_t writeTime(const fs::path& file) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) << file;
    return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

void setWriteTime(const fs::path& file, std::uint64_t time) {
    HANDLE h =
        CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const FILETIME ft{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft)) << file;
    CloseHandle(h);
}

class WindowsBackup : public ::testing::Test {
protected:
    WindowsBackup() : clock(at(2014, 5, 15, 9, 59, 50)), ws{tmp.path(), files, clock, ui} {}

    // Native spelling with "\" separators, as the folder picker gives it.
    std::string native(const fs::path& p) const { return pathToUtf8(fs::path(p).make_preferred()); }
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

TEST(WindowsTargetPath, EitherSeparatorStartsTheNameTailAndRootsKeepTheirs) {
    const char* tails[][2] = {{R"(D:\work/data)", "/data"},
                              {R"(D:/work\data)", R"(\data)"},
                              {R"(\\server\share\数据)", R"(\数据)"},
                              {R"(D:\)", R"(\)"}};
    for (const auto& [path, tail] : tails) {
        EXPECT_EQ(NameTail(path), tail) << path;
    }
    EXPECT_EQ(MakeTargetPath(R"(D:\)", R"(E:\)", at(2014, 5, 15)), R"(E:\\_20140515)");
}

TEST_F(WindowsBackup, CopiesFromAndToDriveRootsAndChineseNamesWithGbkLogLines) {
    TestDrive drive(tmp / "drive");
    makeFile(tmp / "源/数据/sub/a.txt", "contents");
    const std::string source = native(tmp / "源/数据"), bak = native(tmp / "备份");
    std::vector<std::array<std::string, 3>> cases{{source, bak, bak + "\\数据_20140515"},
                                                  {source, bak + "\\", bak + "\\\\数据_20140515"}};
    if (drive.ok()) {
        makeFile(drive.root() / "sub/a.txt",
                 "contents");  // Wine's scratch drives garble other names
        cases.push_back({drive.rootText(), bak, bak + "\\_20140515"});
        cases.push_back({source, drive.rootText(), drive.rootText() + "\\数据_20140515"});
    }
    for (const auto& [from, to, copy] : cases) {
        settings.SourcePath = from;
        settings.TargetFolder = to;
        fs::remove(ws.logFile());
        ASSERT_TRUE(RunBackup(ws, settings)) << from << " to " << to;
        EXPECT_EQ(test::readBytes(pathFromUtf8(copy + "\\sub\\a.txt")), "contents") << copy;
        EXPECT_EQ(rows()[0].path, copy);
        EXPECT_EQ(test::readBytes(ws.logFile()),
                  utf8ToGbk("140515 9:59:50   " + from + "   成功备份至   " + copy + "\r\n"));
        // The copy of a root is an ordinary folder, not hidden like the root itself.
        const DWORD attributes = GetFileAttributesW(pathFromUtf8(copy).c_str());
        EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u) << copy;
    }
    if (!drive.ok()) {
        GTEST_SKIP() << "drive roots untried: no letter maps to a folder here (DefineDosDeviceW "
                        "does not reach files) and VANTREL_TEST_DRIVES names no scratch drive";
    }
}

TEST_F(WindowsBackup, TargetInsideSourceIsRefusedWhateverTheCaseOrSeparator) {
    makeFile(tmp / "Data/a.txt", "a");
    makeFile(tmp / "Données/a.txt", "a");
    std::string slashed = pathToUtf8(tmp / "data");
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    const std::string cases[][2] = {{native(tmp / "Data"), native(tmp / "DATA/Bak")},
                                    {native(tmp / "Data"), slashed},
                                    {native(tmp / "Données"), native(tmp / "DONNÉES/Bak")}};
    for (const auto& [from, to] : cases) {
        settings.SourcePath = from;
        settings.TargetFolder = to;
        EXPECT_FALSE(RunBackup(ws, settings)) << to;
        EXPECT_EQ(ui.messages.back(), "备份文件的目的地址不能位于源地址之内！");
    }
    EXPECT_FALSE(fs::exists(tmp / "Data/Bak"));
    EXPECT_FALSE(fs::exists(ws.logFile()));
    EXPECT_TRUE(ui.statuses.empty());
}

TEST_F(WindowsBackup, LongTreeIsReplacedSameDayKeepingTimesAndPrunedNextDay) {
    fs::path deep = tmp / "src/data";
    for (int i = 0; i < 5; ++i) {
        deep /= std::string(60, 'd') + std::to_string(i);
    }
    const fs::path file = deep / "notes.txt", inCopy = fs::relative(file, tmp / "src/data");
    makeFile(file, "first version, the longer one");
    makeFile(tmp / "src/data/old.txt", "dropped before the second run");
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak");
    settings.KeepCountText = "1";
    settings.KeepCount = 1;
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet));

    makeFile(file, "second");
    fs::remove(tmp / "src/data/old.txt");
    // A time with a fraction of a second (in 100 ns units): the copy must keep it exactly.
    const std::uint64_t stamp = writeTime(longForm(file)) - 30 * 36'000'000'000ull + 1'234'567;
    setWriteTime(longForm(file), stamp);
    clock.advanceSeconds(3600);
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet));
    const fs::path copy = tmp / "bak/data_20140515";
    EXPECT_EQ(test::readBytes(longForm(copy / inCopy)), "second");
    EXPECT_EQ(writeTime(longForm(copy / inCopy)), stamp);
    EXPECT_FALSE(fs::exists(copy / "old.txt"));

    clock.set(at(2014, 5, 16, 9, 59, 50));
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet));
    EXPECT_FALSE(fs::exists(longForm(copy)));
    EXPECT_TRUE(fs::exists(longForm(tmp / "bak/data_20140516" / inCopy)));
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].path, native(tmp / "bak/data_20140516"));
    // The temp folder's own clean-up does not use long paths.
    EXPECT_TRUE(files.removeTree(tmp / "src").ok());
    EXPECT_TRUE(files.removeTree(tmp / "bak").ok());
}

TEST_F(WindowsBackup, ConfigIniIsReadAndWrittenInGbk) {
    test::writeBytes(ws.configFile(), utf8ToGbk("[备份设置]\r\n备份文件源地址=D:\\工作\\数据\r\n"
                                                "备份文件目的地址=E:\\备份\r\n定时时刻=9:30:00\r\n"
                                                "备份频率=星期一;星期二 ;\r\n备份个数=3\r\n"));
    LoadSettings(ws, settings);
    EXPECT_EQ(settings.SourcePath, "D:\\工作\\数据");
    EXPECT_TRUE(settings.Days[Monday] && settings.Days[Tuesday] && !settings.Days[Sunday]);
    settings.SourcePath = "D:\\资料";
    ASSERT_TRUE(SaveSettings(ws, settings));
    EXPECT_NE(test::readBytes(ws.configFile()).find("=D:\\\xD7\xCA\xC1\xCF\r\n"),
              std::string::npos);
}

TEST(WindowsErrors, ReasonsReadAsElsewhereOrAsTheSystemsTextInUtf8) {
    EXPECT_EQ(windowsError(ERROR_ACCESS_DENIED), std::errc::permission_denied);
    const std::error_code noMore = windowsError(ERROR_NO_MORE_FILES);
    EXPECT_EQ(noMore.category().name(), std::string("windows"));
    EXPECT_TRUE(!noMore.message().empty() && isValidUtf8(noMore.message()));
}

}  // namespace
}  // namespace vantrel
