#include "engine/Settings.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::at;
using test::readBytes;
using test::writeBytes;

class SettingsTest : public ::testing::Test {
protected:
    TBackupSettings valid() {
        TBackupSettings s;
        s.SourcePath = "/data/源";
        s.TargetFolder = "/bak";
        s.RunTime = {9, 30, 0};
        s.Days[Wednesday] = true;
        s.Days[Saturday] = true;
        s.KeepCountText = "3";
        s.KeepCount = 3;
        return s;
    }
    // The file as the program writes it: GBK bytes, CR LF.
    void writeConfig(std::string_view utf8) { writeBytes(ws.configFile(), utf8ToGbk(utf8)); }

    test::TempDir dir;
    RealFileOps files;
    test::FakeClock clock{at(2014, 5, 15, 14, 7, 3)};
    test::FakeUi ui;
    Workspace ws{dir.path(), files, clock, ui};
};

TEST_F(SettingsTest, DayListUsesTheCaptionsWithTheirBlanks) {
    std::array<bool, 7> days{};
    days[Monday] = days[Tuesday] = days[Sunday] = true;
    EXPECT_EQ(BuildDayList(days), "星期一;星期二 ;星期日;");
    days = {};
    days[Wednesday] = days[Saturday] = true;
    EXPECT_EQ(BuildDayList(days), "星期三;星期六 ;");
    EXPECT_EQ(BuildDayList({}), "");
    EXPECT_TRUE(DayListHas("星期一;星期二 ;星期日;", "星期二"));
    EXPECT_FALSE(DayListHas("星期一;星期日;", "星期二"));
}

TEST_F(SettingsTest, RunTimeTextForms) {
    EXPECT_EQ(FormatRunTime({9, 30, 0}), "9:30:00");
    EXPECT_EQ(FormatRunTime({0, 0, 5}), "0:00:05");
    EXPECT_EQ(FormatRunTime({23, 59, 59}), "23:59:59");

    EXPECT_EQ(ParseRunTime("9:30:00"), (TimeOfDay{9, 30, 0}));
    EXPECT_EQ(ParseRunTime("09:30"), (TimeOfDay{9, 30, 0}));
    EXPECT_EQ(ParseRunTime(" 23:05:07 "), (TimeOfDay{23, 5, 7}));
    EXPECT_EQ(ParseRunTime("0:00"), (TimeOfDay{0, 0, 0}));
    EXPECT_EQ(ParseRunTime("9:30 PM"), (TimeOfDay{21, 30, 0}));
    EXPECT_EQ(ParseRunTime("am 12:15"), (TimeOfDay{0, 15, 0}));
    EXPECT_EQ(ParseRunTime("12:15:30PM"), (TimeOfDay{12, 15, 30}));
    EXPECT_EQ(ParseRunTime("下午3:00:00"), (TimeOfDay{15, 0, 0}));
    EXPECT_EQ(ParseRunTime("7:45 上午"), (TimeOfDay{7, 45, 0}));

    for (const char* bad : {"", "930", "24:00", "9:60", "9:30:60", "13:00 PM", "0:30 AM", "9.30",
                            "9:30:00:00", "abc", "9:30 XM", "2014-05-15 9:30"}) {
        try {
            ParseRunTime(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const BackupError& e) {
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        }
    }
}

TEST_F(SettingsTest, ValidationStopsAtTheFirstFailureInOrder) {
    TBackupSettings s;
    EXPECT_EQ(ValidateSettings(s), "请输入要备份的文件地址！");
    s.SourcePath = "/data";
    EXPECT_EQ(ValidateSettings(s), "请输入备份文件的目的地址！");
    s.TargetFolder = "/bak";
    EXPECT_EQ(ValidateSettings(s), "请选定备份日期！");
    s.Days[Tuesday] = true;
    s.KeepCountText = " \t";
    EXPECT_EQ(ValidateSettings(s), "请输入备份个数！");
    s.KeepCountText = "0";
    s.KeepCount = 0;
    EXPECT_EQ(ValidateSettings(s), "备份个数输入不合法！");
    s.KeepCountText = "-";
    s.KeepCount = 0;
    EXPECT_EQ(ValidateSettings(s), "备份个数输入不合法！");
    s.KeepCountText = "1";
    s.KeepCount = 1;
    EXPECT_EQ(ValidateSettings(s), std::nullopt);
    EXPECT_EQ(s.DayList, "星期二 ;");
}

TEST_F(SettingsTest, SaveWritesTheFiveKeysInGbkInTableOrder) {
    TBackupSettings s = valid();
    EXPECT_TRUE(SaveSettings(ws, s));
    EXPECT_EQ(ui.statuses, std::vector<std::string>{"配置文件保存完毕!"});
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(readBytes(ws.configFile()), utf8ToGbk("[备份设置]\r\n"
                                                    "备份文件源地址=/data/源\r\n"
                                                    "备份文件目的地址=/bak\r\n"
                                                    "定时时刻=9:30:00\r\n"
                                                    "备份频率=星期三;星期六 ;\r\n"
                                                    "备份个数=3\r\n"));
}

TEST_F(SettingsTest, SaveKeepsOtherSectionsAndReplacesValuesInPlace) {
    writeConfig("[窗口]\r\n位置=10,20\r\n\r\n[备份设置]\r\n备份个数=9\r\n备份文件源地址=/old\r\n");
    TBackupSettings s = valid();
    ASSERT_TRUE(SaveSettings(ws, s));
    EXPECT_EQ(readBytes(ws.configFile()), utf8ToGbk("[窗口]\r\n位置=10,20\r\n\r\n[备份设置]\r\n"
                                                    "备份个数=3\r\n"
                                                    "备份文件源地址=/data/源\r\n"
                                                    "备份文件目的地址=/bak\r\n"
                                                    "定时时刻=9:30:00\r\n"
                                                    "备份频率=星期三;星期六 ;\r\n"));
}

TEST_F(SettingsTest, RefusedSaveShowsOneMessageAndWritesNothing) {
    TBackupSettings s = valid();
    s.KeepCountText = "0";
    s.KeepCount = 0;
    EXPECT_FALSE(SaveSettings(ws, s));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"备份个数输入不合法！"});
    EXPECT_TRUE(ui.statuses.empty());
    EXPECT_FALSE(std::filesystem::exists(ws.configFile()));
}

TEST_F(SettingsTest, FailedWriteReportsInTheStatusAndKeepsTheOldFile) {
    writeConfig("[备份设置]\r\n备份个数=2\r\n");
    std::filesystem::permissions(ws.configFile(), std::filesystem::perms::owner_read);
    TBackupSettings s = valid();
    EXPECT_TRUE(SaveSettings(ws, s));
    EXPECT_EQ(ui.statuses, std::vector<std::string>{"配置文件保存失败!"});
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(readBytes(ws.configFile()), utf8ToGbk("[备份设置]\r\n备份个数=2\r\n"));
}

TEST_F(SettingsTest, SavedSettingsLoadBack) {
    TBackupSettings none = valid();  // no file yet: paths emptied, time set to now
    LoadSettings(ws, none);
    EXPECT_EQ(none.SourcePath, "");
    EXPECT_EQ(none.TargetFolder, "");
    EXPECT_EQ(none.RunTime, (TimeOfDay{14, 7, 3}));

    TBackupSettings saved = valid();
    saved.KeepCountText = "2.5";
    saved.KeepCount = 2.5;
    ASSERT_TRUE(SaveSettings(ws, saved));
    TBackupSettings loaded;
    LoadSettings(ws, loaded);
    EXPECT_EQ(loaded.SourcePath, saved.SourcePath);
    EXPECT_EQ(loaded.TargetFolder, saved.TargetFolder);
    EXPECT_EQ(loaded.RunTime, saved.RunTime);
    EXPECT_EQ(loaded.Days, saved.Days);
    EXPECT_EQ(loaded.DayList, "星期三;星期六 ;");
    EXPECT_EQ(loaded.KeepCountText, "2.5");
    EXPECT_EQ(loaded.KeepCount, 2.5);
}

TEST_F(SettingsTest, LoadTicksDaysBySubstringAndKeepsAnEmptyTimeAtNow) {
    writeConfig("[备份设置]\r\n备份频率=星期一;星期日;\r\n定时时刻=\r\n备份个数=0\r\n");
    TBackupSettings s;
    LoadSettings(ws, s);
    std::array<bool, 7> expected{};
    expected[Monday] = expected[Sunday] = true;
    EXPECT_EQ(s.Days, expected);
    EXPECT_EQ(s.RunTime, (TimeOfDay{14, 7, 3}));
    // A loaded 0 is not raised; saving it is refused.
    EXPECT_EQ(s.KeepCountText, "0");
    EXPECT_EQ(s.KeepCount, 0.0);
    s.SourcePath = "/a";
    s.TargetFolder = "/b";
    EXPECT_FALSE(SaveSettings(ws, s));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"备份个数输入不合法！"});
}

TEST_F(SettingsTest, BadKeepCountStopsLoadingAfterTheSource) {
    writeConfig(
        "[备份设置]\r\n备份文件源地址=/src\r\n备份文件目的地址=/dst\r\n定时时刻=8:00:00\r\n"
        "备份频率=星期一;\r\n备份个数=三\r\n");
    TBackupSettings s;
    EXPECT_THROW(LoadSettings(ws, s), BackupError);
    EXPECT_EQ(s.SourcePath, "/src");
    EXPECT_EQ(s.TargetFolder, "");
    EXPECT_EQ(s.KeepCountText, "");
    EXPECT_EQ(s.DayList, "");
    EXPECT_EQ(s.RunTime, (TimeOfDay{14, 7, 3}));
    EXPECT_FALSE(s.Days[Monday]);
}

TEST_F(SettingsTest, BadTimeKeepsFieldsReadBeforeItAndTicksNoDay) {
    writeConfig(
        "[备份设置]\r\n备份文件源地址=/src\r\n备份文件目的地址=/dst\r\n定时时刻=25:00\r\n"
        "备份频率=星期一;\r\n备份个数=4\r\n");
    TBackupSettings s;
    try {
        LoadSettings(ws, s);
        FAIL() << "bad time accepted";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("25:00"), std::string::npos) << e.what();
    }
    EXPECT_EQ(s.SourcePath, "/src");
    EXPECT_EQ(s.TargetFolder, "/dst");
    EXPECT_EQ(s.KeepCountText, "4");
    EXPECT_EQ(s.DayList, "星期一;");
    EXPECT_EQ(s.Days, (std::array<bool, 7>{}));
}

}  // namespace
}  // namespace vantrel
