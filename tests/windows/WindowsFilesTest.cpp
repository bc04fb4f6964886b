// The files users read and edit keep the GBK bytes of the Chinese program on Windows, where
// the codec goes through the system's code pages.

#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/OperationLog.h"
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

class WindowsGbkFiles : public ::testing::Test {
protected:
    WindowsGbkFiles() : clock(at(2014, 5, 15, 9, 59, 50)), ws{tmp.path(), files, clock, ui} {}

    test::TempDir tmp;
    RealFileOps files;
    test::FakeClock clock;
    test::FakeUi ui;
    Workspace ws;
};

TEST(WindowsCodec, GbkRoundTripsThroughTheCodePage) {
    const std::string gbk("\xB1\xB8\xB7\xDD\xC9\xE8\xD6\xC3", 8);  // 备份设置
    EXPECT_EQ(gbkToUtf8(gbk), "备份设置");
    EXPECT_EQ(utf8ToGbk("备份设置"), gbk);
    EXPECT_EQ(utf8ToGbk("D:\\数据\\a.txt"), "D:\\" + utf8ToGbk("数据") + "\\a.txt");
    EXPECT_THROW(gbkToUtf8("\x81"), std::runtime_error);      // a lead byte with no trail byte
    EXPECT_THROW(utf8ToGbk("\xE6\x95"), std::runtime_error);  // cut UTF-8
}

TEST(WindowsErrors, ReasonsAreUtf8Text) {
    // With an errno equivalent: the same words as on other systems.
    EXPECT_EQ(windowsError(ERROR_ACCESS_DENIED), std::errc::permission_denied);
    EXPECT_EQ(windowsError(ERROR_PATH_NOT_FOUND), std::errc::no_such_file_or_directory);
    // Without one: the system's own text, as UTF-8 whatever the ANSI code page.
    const std::error_code noMore = windowsError(ERROR_NO_MORE_FILES);
    EXPECT_EQ(noMore.category().name(), std::string("windows"));
    EXPECT_FALSE(noMore.message().empty());
    EXPECT_TRUE(isValidUtf8(noMore.message()));
}

TEST_F(WindowsGbkFiles, ConfigIniIsReadAndWrittenInGbk) {
    // A file as the original program wrote it, with a section of someone else's.
    const std::string other = "[其他]\r\n键=值\r\n";
    test::writeBytes(ws.configFile(),
                     utf8ToGbk(other + "[备份设置]\r\n备份文件源地址=D:\\工作\\数据\r\n"
                                       "备份文件目的地址=E:\\备份\r\n定时时刻=9:30:00\r\n"
                                       "备份频率=星期一;星期二 ;\r\n备份个数=3\r\n"));
    TBackupSettings settings;
    LoadSettings(ws, settings);
    EXPECT_EQ(settings.SourcePath, "D:\\工作\\数据");
    EXPECT_EQ(settings.TargetFolder, "E:\\备份");
    EXPECT_TRUE(settings.Days[Monday]);
    EXPECT_TRUE(settings.Days[Tuesday]);
    EXPECT_FALSE(settings.Days[Sunday]);

    settings.SourcePath = "D:\\资料";
    settings.Days[Saturday] = true;
    ASSERT_TRUE(SaveSettings(ws, settings));
    EXPECT_EQ(ui.lastStatus(), "配置文件保存完毕!");
    const std::string bytes = test::readBytes(ws.configFile());
    EXPECT_EQ(bytes.rfind(utf8ToGbk(other), 0), 0u);
    EXPECT_NE(bytes.find(utf8ToGbk("备份文件源地址=D:\\资料\r\n")), std::string::npos);
    EXPECT_NE(bytes.find(utf8ToGbk("备份频率=星期一;星期二 ;星期六 ;\r\n")), std::string::npos);
    EXPECT_EQ(bytes.find("\xE8\xB5\x84"), std::string::npos);  // no UTF-8 资
}

TEST_F(WindowsGbkFiles, LogLinesAreGbkWithCrLf) {
    fs::create_directories(tmp / "源/数据");
    test::writeBytes(tmp / "源/数据/a.txt", "a");
    TBackupSettings settings;
    settings.SourcePath = pathToUtf8((tmp / "源/数据").make_preferred());
    settings.TargetFolder = pathToUtf8((tmp / "备份").make_preferred());
    ASSERT_TRUE(RunBackup(ws, settings));

    const std::string expected = "140515 9:59:50   " + settings.SourcePath + "   成功备份至   " +
                                 settings.TargetFolder + "\\数据_20140515\r\n";
    EXPECT_EQ(test::readBytes(ws.logFile()), utf8ToGbk(expected));
    EXPECT_EQ(OperationLog(ws.logFile()).LoadLines(),
              std::vector<std::string>{expected.substr(0, expected.size() - 2)});
}

}  // namespace
}  // namespace vantrel
