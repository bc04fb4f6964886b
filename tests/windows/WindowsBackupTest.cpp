// Backup runs with Windows paths and files: drive roots, both separators, case-insensitive
// names, Chinese names, paths past 260 characters, a same-day second run, GBK files.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "engine/Settings.h"
#include "engine/manifest/Manifest.h"
#include "engine/manifest/ManifestCheck.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/restore/FileVersions.h"
#include "engine/restore/Restore.h"
#include "engine/run/BackupRun.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"
#include "platform/win/WinError.h"
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

// A drive root the test may fill: the first scratch drive of VANTREL_TEST_DRIVES ("V: W:", as
// under Wine, where DefineDosDeviceW does not reach files), else a free letter mapped to `folder`.
class TestDrive {
public:
    explicit TestDrive(const fs::path& folder) {
        if (const char* drives = std::getenv("VANTREL_TEST_DRIVES"); drives && *drives) {
            m_letter = {static_cast<wchar_t>(drives[0]), L':'};
            return;
        }
        fs::create_directories(folder);
        for (wchar_t c = L'Q'; c <= L'Y' && m_letter.empty(); ++c) {
            if ((GetLogicalDrives() & (1u << (c - L'A'))) == 0) {
                m_letter = {c, L':'};
            }
        }
        m_defined = !m_letter.empty() && DefineDosDeviceW(0, m_letter.c_str(), folder.c_str());
    }
    ~TestDrive() {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(ok() ? root() : fs::path(), ec)) {
            fs::remove_all(e.path(), ec);
        }
        if (m_defined) {
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, m_letter.c_str(), nullptr);
        }
    }
    bool ok() const { return !m_letter.empty() && fs::is_directory(root()); }
    fs::path root() const { return m_letter + L"\\"; }
    std::string rootText() const { return pathToUtf8(root()); }

private:
    std::wstring m_letter;
    bool m_defined = false;
};

// A file's modification time, set first unless `set` is 0, at the system's full 100 ns
// resolution (MinGW's keeps whole seconds).
std::uint64_t writeTime(const fs::path& file, std::uint64_t set = 0) {
    HANDLE h = CreateFileW(longForm(file).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME ft{static_cast<DWORD>(set), static_cast<DWORD>(set >> 32)};
    EXPECT_TRUE(set ? SetFileTime(h, nullptr, nullptr, &ft)
                    : GetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
    return (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
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

    test::TempDir tmp;
    RealFileOps files;
    test::FakeClock clock;
    test::FakeUi ui;
    Workspace ws;
    TBackupSettings settings;
};

TEST(WindowsTargetPath, EitherSeparatorStartsTheNameTailAndRootsKeepTheirs) {
    const char* tails[][2] = {
        {R"(D:\work/data)", "/data"}, {R"(D:/work\data)", R"(\data)"}, {R"(D:\)", R"(\)"}};
    for (const auto& [path, tail] : tails) {
        EXPECT_EQ(NameTail(path), tail) << path;
    }
    EXPECT_EQ(makeTargetPath(R"(D:\)", R"(E:\)", at(2014, 5, 15)), R"(E:\_20140515)");
}

TEST_F(WindowsBackup, CopiesFromAndToDriveRootsAndChineseNamesWithGbkLogLines) {
    TestDrive drive(tmp / "drive");
    makeFile(tmp / "源/数据/sub/a.txt", "contents");
    const std::string source = native(tmp / "源/数据"), bak = native(tmp / "备份");
    std::vector<std::array<std::string, 3>> cases{{source, bak, bak + "\\数据_20140515"},
                                                  {source, bak + "\\", bak + "\\数据_20140515"}};
    if (drive.ok()) {
        makeFile(drive.root() / "sub/a.txt", "contents");  // ASCII: Wine's drives garble others
        cases.push_back({drive.rootText(), bak, bak + "\\_20140515"});
        cases.push_back({source, drive.rootText(), drive.rootText() + "数据_20140515"});
    }
    for (const auto& [from, to, copy] : cases) {
        settings.SourcePath = from;
        settings.TargetFolder = to;
        fs::remove(ws.logFile());
        ASSERT_TRUE(RunBackup(ws, settings).ran) << from << " to " << to;
        EXPECT_EQ(test::readBytes(pathFromUtf8(copy + "\\sub\\a.txt")), "contents") << copy;
        EXPECT_EQ(test::readBytes(ws.logFile()),
                  utf8ToGbk("140515 9:59:50   " + from + "   成功备份至   " + copy + "\r\n"));
        EXPECT_EQ(BackupRecordStore(ws.databaseFile()).list().front().path, copy);
        // The copy of a root is an ordinary folder, not hidden like the root itself.
        const DWORD attributes = GetFileAttributesW(pathFromUtf8(copy).c_str());
        EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u) << copy;
    }
    if (!drive.ok()) {
        GTEST_SKIP() << "drive roots untried: VANTREL_TEST_DRIVES names no scratch drive and no "
                        "free letter maps to a folder here (DefineDosDeviceW does not reach files)";
    }
}

TEST_F(WindowsBackup, TargetInsideSourceIsRefusedWhateverTheCaseOrSeparator) {
    makeFile(tmp / "Data/a.txt", "a");
    makeFile(tmp / "Données/a.txt", "a");
    std::string slashed = pathToUtf8(tmp / "data");  // the source itself, other case and "/"
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    const std::string cases[][2] = {{native(tmp / "Data"), slashed},
                                    {native(tmp / "Données"), native(tmp / "DONNÉES/Bak")}};
    for (const auto& [from, to] : cases) {
        settings.SourcePath = from;
        settings.TargetFolder = to;
        EXPECT_FALSE(RunBackup(ws, settings).ran) << to;
        EXPECT_EQ(ui.messages.back(), "备份文件的目的地址不能位于源地址之内！");
    }
    EXPECT_FALSE(fs::exists(tmp / "Données/Bak"));
    EXPECT_FALSE(fs::exists(ws.logFile()));
}

TEST_F(WindowsBackup, LongTreeIsReplacedSameDayKeepingTimesAndPrunedNextDay) {
    const fs::path inCopy = fs::path(std::string(200, 'd')) / std::string(100, 'e') / "notes.txt";
    makeFile(tmp / "src/data" / inCopy, "first version, the longer one");
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak");
    settings.KeepCount = 1;
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet).ran);

    makeFile(tmp / "src/data" / inCopy, "second");
    const std::uint64_t stamp = writeTime(tmp / "src/data" / inCopy, 130'000'000'001'234'567ull);
    clock.advanceSeconds(3600);
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet).ran);
    const fs::path copy = tmp / "bak/data_20140515";
    EXPECT_EQ(test::readBytes(longForm(copy / inCopy)), "second");
    EXPECT_EQ(writeTime(copy / inCopy), stamp);

    clock.set(at(2014, 5, 16, 9, 59, 50));
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet).ran);
    EXPECT_FALSE(fs::exists(longForm(copy)));
    EXPECT_EQ(BackupRecordStore(ws.databaseFile()).list().size(), 1u);
    // The temp folder's own clean-up does not use long paths.
    EXPECT_TRUE(files.removeTree(tmp.path()).ok());
}

TEST_F(WindowsBackup, CopiesPastTheShortPathLimitAreSharedAndVerifiedWhole) {
    const std::string deep = std::string(200, 'd') + "/" + std::string(100, 'e') + "/notes.txt";
    makeFile(tmp / "src/data" / deep, "notes");
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak");
    settings.ShareUnchanged = true;
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    clock.set(at(2014, 5, 16, 9, 59, 50));
    const RunReport second = RunBackup(ws, settings);
    ASSERT_TRUE(second.ran);
    EXPECT_EQ(second.shared + second.shareFallbacks, 1u);

    ManifestStore manifests(ws.databaseFile());
    for (const char* copy : {"bak/data_20140515", "bak/data_20140516"}) {
        const Manifest recorded =
            manifests.load(manifests.rowOf(native(tmp / copy)).value()).value();
        const auto file = std::find_if(recorded.begin(), recorded.end(),
                                       [&](const ManifestEntry& e) { return e.path == deep; });
        ASSERT_NE(file, recorded.end()) << copy;
        EXPECT_FALSE(file->hash.empty()) << copy;
        const ManifestDiff diff = compareManifests(recorded, manifestOfTree(files, tmp / copy));
        EXPECT_TRUE(diff.intact())
            << copy << ": " << diff.missing.size() << " missing, " << diff.changed.size()
            << " changed, " << diff.extra.size() << " extra";
    }
}

TEST_F(WindowsBackup, ACopyRecordedWithADoubledSeparatorIsStillThisJobsToPrune) {
    makeFile(tmp / "src/data/a.txt", "a");
    fs::create_directories(tmp / "bak/data_20140514");
    // As versions that joined "E:\bak\" and "\data" recorded it.
    BackupRecordStore::CreateIfMissing(ws.databaseFile());
    BackupRecordStore(ws.databaseFile())
        .Add(native(tmp / "bak") + "\\\\data_20140514",
             std::chrono::year_month_day{std::chrono::year{2014} / 5 / 14});
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak") + "\\";
    settings.KeepCount = 1;
    ASSERT_TRUE(RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet).ran);
    EXPECT_FALSE(fs::exists(tmp / "bak/data_20140514"));
    EXPECT_EQ(test::readBytes(tmp / "bak/data_20140515/a.txt"), "a");
}

TEST_F(WindowsBackup, RestoresALongTreeWithTimesAndReadOnlyKeepingWhatDiffers) {
    const fs::path deep = fs::path(std::string(200, 'd')) / std::string(100, 'e');
    makeFile(tmp / "src/Data" / deep / "notes.txt", "notes");
    makeFile(tmp / "src/Data/报告.docx", "first");
    const std::uint64_t stamp =
        writeTime(tmp / "src/Data" / deep / "notes.txt", 130'000'000'001'234'567ull);
    SetFileAttributesW(longForm(tmp / "src/Data/报告.docx").c_str(), FILE_ATTRIBUTE_READONLY);
    settings.SourcePath = native(tmp / "src/Data");
    settings.TargetFolder = native(tmp / "bak");
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    ASSERT_TRUE(files.removeTree(tmp / "src/Data" / std::string(200, 'd')).ok());
    SetFileAttributesW(longForm(tmp / "src/Data/报告.docx").c_str(), FILE_ATTRIBUTE_NORMAL);
    test::writeBytes(tmp / "src/Data/报告.docx", "changed");

    RestoreRequest request;
    // Another case and either separator name the same place here.
    request.paths = {".", native(tmp / "SRC/data") + "\\报告.docx"};
    RealFilePlacer placer;
    const RestoreOutcome out = restoreFiles(ws, settings, request, placer);
    EXPECT_EQ(out.exitStatus(), 0) << (out.failed.empty() ? "" : out.failed[0].reason);
    EXPECT_EQ(test::readBytes(longForm(tmp / "src/Data" / deep / "notes.txt")), "notes");
    EXPECT_EQ(writeTime(tmp / "src/Data" / deep / "notes.txt"), stamp);
    EXPECT_EQ(test::readBytes(tmp / "src/Data/报告.docx"), "changed");
    const fs::path beside = tmp / "src/Data/报告 (恢复 20140515).docx";
    EXPECT_EQ(test::readBytes(beside), "first");
    EXPECT_TRUE(GetFileAttributesW(beside.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(versionsOf(ws, settings, "报告.docx").size(), 1u);
    EXPECT_TRUE(files.removeTree(tmp.path()).ok());
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

TEST(WindowsErrors, ReasonsInChineseWithTheWindowsCodeOrTheSystemsTextInUtf8) {
    const std::pair<DWORD, std::string_view> cases[] = {
        {ERROR_SHARING_VIOLATION, "文件正被其他程序使用"},
        {ERROR_LOCK_VIOLATION, "文件正被其他程序使用"},
        {ERROR_ACCESS_DENIED, "没有访问权限"},
        {ERROR_DISK_FULL, "磁盘空间不足"},
        {ERROR_PATH_NOT_FOUND, "路径不存在"},
        {ERROR_FILE_NOT_FOUND, "文件或文件夹不存在"},
        {ERROR_FILENAME_EXCED_RANGE, "文件名或路径太长"},
        {ERROR_WRITE_PROTECT, "文件系统是只读的"},
        {ERROR_TOO_MANY_LINKS, "链接过多"},
        {ERROR_CRC, "读写设备出错"},
    };
    for (const auto& [code, reason] : cases) {
        EXPECT_EQ(describeError(windowsError(code)),
                  std::string(reason) + "（系统代码 " + std::to_string(code) + "）");
    }
    // The engine still tells the causes apart as on other systems.
    EXPECT_EQ(windowsError(ERROR_ACCESS_DENIED), std::errc::permission_denied);
    const std::string reason = windowsError(ERROR_NO_MORE_FILES).message();
    EXPECT_TRUE(!reason.empty() && isValidUtf8(reason)) << reason;
}

}  // namespace
}  // namespace vantrel
