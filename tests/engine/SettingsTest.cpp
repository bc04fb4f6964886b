#include "engine/Settings.h"

#include <gtest/gtest.h>

#include <tuple>

#include "engine/BackupError.h"
#include "engine/rules/KeepCount.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::at;
using test::readBytes;

const TimeOfDay kNow{14, 7, 3};

class SettingsTest : public ::testing::Test {
protected:
    // Writes config.ini as the program does (GBK) and loads it.
    void load(std::string_view utf8, TBackupSettings& s) {
        test::writeBytes(ws.configFile(), utf8ToGbk(utf8));
        LoadSettings(ws, s);
    }

    test::TempDir dir;
    RealFileOps files;
    test::FakeClock clock{at(2014, 5, 15, 14, 7, 3)};
    test::FakeUi ui;
    Workspace ws{dir.path(), files, clock, ui};
    // Wednesday and Saturday ticked.
    TBackupSettings valid{"/data/源", "/bak", {9, 30, 0}, {0, 0, 1, 0, 0, 1, 0}, 3};
};

TEST(RunTime, WrittenAsHmmssAndReadInTheAcceptedForms) {
    EXPECT_EQ(formatRunTime({0, 0, 5}), "0:00:05");
    const std::pair<const char*, TimeOfDay> good[] = {
        {"09:30", {9, 30, 0}},    {" 23:05:07 ", {23, 5, 7}},   {"9:30 PM", {21, 30, 0}},
        {"am 12:15", {0, 15, 0}}, {"12:15:30PM", {12, 15, 30}}, {"下午3:00:00", {15, 0, 0}},
        {"7:45 上午", {7, 45, 0}}};
    for (const auto& [text, time] : good) {
        EXPECT_EQ(parseRunTime(text), time) << text;
    }
    for (const char* bad : {"", "930", "24:00", "9:60", "9:30:60", "13:00 PM", "0:30 AM", "9.30",
                            "9:30:00:00", "9:30 XM", "2014-05-15 9:30"}) {
        try {
            parseRunTime(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const BackupError& e) {
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        }
    }
}

TEST(Validation, StopsAtTheFirstFailureInOrder) {
    TBackupSettings s;
    EXPECT_EQ(validateSettings(s), "请输入要备份的文件地址！");
    s.SourcePath = "/data";
    EXPECT_EQ(validateSettings(s), "请输入备份文件的目的地址！");
    s.TargetFolder = "/bak";
    EXPECT_EQ(validateSettings(s), "请选定备份日期！");
    s.Days[Tuesday] = true;
    EXPECT_EQ(validateSettings(s), "请输入备份个数！");
    s.KeepCount = 0;
    EXPECT_EQ(validateSettings(s), "备份个数输入不合法！");
    s.KeepCount = 1;
    EXPECT_EQ(validateSettings(s), std::nullopt);
}

TEST_F(SettingsTest, SaveWritesGbkKeysInPlaceKeepingOtherSections) {
    const std::string keys =
        "备份文件源地址=/data/源\r\n备份文件目的地址=/bak\r\n"
        "定时时刻=9:30:00\r\n备份频率=星期三;星期六 ;\r\n";
    // A tick box that was never on is not written: files keep their five keys.
    const std::string flags = "补做错过的备份=1\r\n";
    valid.CatchUpMissed = true;
    EXPECT_TRUE(SaveSettings(ws, valid));
    EXPECT_EQ(ui.statuses, std::vector<std::string>{"配置文件保存完毕!"});
    EXPECT_EQ(readBytes(ws.configFile()),
              utf8ToGbk("[备份设置]\r\n" + keys + "备份个数=3\r\n" + flags));

    const std::string other = "[窗口]\r\n位置=10,20\r\n\r\n[备份设置]\r\n";
    test::writeBytes(ws.configFile(), utf8ToGbk(other + "备份个数=9\r\n备份文件源地址=/old\r\n"));
    ASSERT_TRUE(SaveSettings(ws, valid));
    EXPECT_EQ(readBytes(ws.configFile()), utf8ToGbk(other + "备份个数=3\r\n" + keys + flags));
}

TEST_F(SettingsTest, FailedWriteReportsInTheStatusAndKeepsTheOldFile) {
    const std::string old = utf8ToGbk("[备份设置]\r\n备份个数=2\r\n");
    test::writeBytes(ws.configFile(), old);
    std::filesystem::permissions(ws.configFile(), std::filesystem::perms::owner_read);
    EXPECT_TRUE(SaveSettings(ws, valid));
    EXPECT_EQ(ui.statuses, std::vector<std::string>{"配置文件保存失败!"});
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(readBytes(ws.configFile()), old);
}

TEST_F(SettingsTest, SavedSettingsLoadBack) {
    TBackupSettings s = valid;  // no file yet: paths emptied, time set to now
    LoadSettings(ws, s);
    EXPECT_EQ(std::tie(s.SourcePath, s.TargetFolder, s.RunTime), std::tie("", "", kNow));
    valid.KeepCount = 2.5;
    valid.StartScheduleAtLaunch = true;
    valid.ExcludeRules = " *.tmp|node_modules/";  // a blank at the end is kept by quoting
    valid.KeepMonthly = 6;
    valid.KeepYearly = 2;
    valid.GuardMassChanges = false;
    ASSERT_TRUE(SaveSettings(ws, valid));
    EXPECT_NE(gbkToUtf8(readBytes(ws.configFile())).find("异常变化保护=0\r\n"), std::string::npos);
    LoadSettings(ws, s = {});
    const auto fields = [](const TBackupSettings& t) {
        return std::tie(t.SourcePath, t.TargetFolder, t.RunTime, t.Days, t.KeepCount,
                        t.StartScheduleAtLaunch, t.CatchUpMissed, t.ExcludeRules, t.KeepMonthly,
                        t.KeepYearly, t.GuardMassChanges);
    };
    EXPECT_EQ(fields(s), fields(valid));
    // Only "1" turns an option on; the guard, on by default, only "0" turns off.
    for (const char* value : {"0", "", "yes", "2"}) {
        load(std::string("[备份设置]\r\n补做错过的备份=") + value + "\r\n异常变化保护=" + value +
                 "\r\n",
             s = {});
        EXPECT_FALSE(s.CatchUpMissed) << value;
        EXPECT_EQ(s.GuardMassChanges, std::string(value) != "0") << value;
    }
}

TEST_F(SettingsTest, TargetInsideSourceIsRefusedAfterTheOtherChecks) {
    valid.SourcePath = "/data";
    valid.TargetFolder = "/data/bak";
    valid.KeepCount.reset();
    EXPECT_FALSE(SaveSettings(ws, valid));
    valid.KeepCount = 3;
    EXPECT_FALSE(SaveSettings(ws, valid));
    EXPECT_EQ(ui.messages, (std::vector<std::string>{"请输入备份个数！",
                                                     "备份文件的目的地址不能位于源地址之内！"}));
    EXPECT_FALSE(std::filesystem::exists(ws.configFile()));
}

TEST_F(SettingsTest, PathsWithBlanksOrQuotesAtTheEndsReadBackUnchanged) {
    for (const char* path : {" /data/源", "/data/源 ", "\t/d\t", "\"/d\"", "/d\"x\""}) {
        valid.SourcePath = path;
        ASSERT_TRUE(SaveSettings(ws, valid));
        TBackupSettings back;
        LoadSettings(ws, back);
        EXPECT_EQ(back.SourcePath, path);
    }
}

TEST_F(SettingsTest, ValuesTheFileWouldCutAreRefusedOnSaveAndOnLoad) {
    // 2,047 bytes of GBK fit; one byte more does not.
    const std::string full = "/" + std::string(2044, 'a') + "源";  // 2,047 bytes in GBK
    valid.TargetFolder = full;
    ASSERT_TRUE(SaveSettings(ws, valid));
    TBackupSettings back;
    LoadSettings(ws, back);
    EXPECT_EQ(back.TargetFolder, full);

    const std::string before = readBytes(ws.configFile());
    valid.TargetFolder = full + "a";
    EXPECT_FALSE(SaveSettings(ws, valid));
    EXPECT_EQ(ui.messages.back(), "“备份文件目的地址”的内容超过 2047 字节，无法保存到配置文件！");
    EXPECT_EQ(readBytes(ws.configFile()), before);

    try {
        load("[备份设置]\r\n备份文件源地址=/d\r\n备份文件目的地址=" + full + "a\r\n", back);
        ADD_FAILURE() << "a value read cut short must not be used";
    } catch (const BackupError& e) {
        EXPECT_STREQ(e.what(),
                     "配置文件中“备份文件目的地址”的内容超过 2047 字节，未采用这些设置！");
    }
    EXPECT_TRUE(back.SourcePath.empty() && back.TargetFolder.empty());
}

// Every row reads back what it writes, so a setting added to the table saves and loads whole.
TEST(SettingRows, ReadBackWhatTheyWrite) {
    TBackupSettings set = {"/s", "/t", {9, 30, 5}, {1, 0, 1, 0, 0, 0, 1}, 2.5};
    set.StartScheduleAtLaunch = set.TimetableStarted = set.CatchUpMissed = true;
    set.SystemTask = set.ShareUnchanged = true;
    set.GuardMassChanges = false;
    set.ExcludeRules = "*.tmp";
    set.KeepMonthly = 3;
    set.KeepYearly = 4;
    set.NotifyUrl = "https://example.com/hook";
    set.NotifyAll = true;
    set.NotifySecret = "SEC1";
    for (const SettingRow& row : settingRows()) {
        TBackupSettings read;
        const std::string text = row.format(set);
        EXPECT_NE(text, row.defaultText) << row.key;  // none of the values above is a default
        EXPECT_TRUE(row.parse(text, read)) << row.key;
        EXPECT_EQ(row.format(read), text) << row.key;
    }
}

// Flags and counts have one reading each: blanks and control characters around the value are
// no fault (a quoted " 1" once left 启动时执行备份计划 off but turned 共享未改动的文件 on).
TEST_F(SettingsTest, FlagsAndCountsAreReadByOneTrimmingRule) {
    TBackupSettings s;
    load(
        "[备份设置]\r\n启动时执行备份计划=\" 1\"\r\n补做错过的备份=\"1\v\"\r\n"
        "共享未改动的文件=\" 1\"\r\n异常变化保护=\"0 \"\r\n按月保留=\"\v6 \"\r\n",
        s);
    EXPECT_EQ(std::tuple(s.StartScheduleAtLaunch, s.CatchUpMissed, s.ShareUnchanged),
              std::tuple(true, true, true));
    EXPECT_FALSE(s.GuardMassChanges);
    EXPECT_EQ(s.KeepMonthly, 6);
    EXPECT_EQ(parseCount("\t12\r"), 12);
    EXPECT_EQ(parseCount(""), 0);
    for (const char* bad : {"1 2", "-1", "+3", "1234567890", "６"}) {
        EXPECT_EQ(parseCount(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(parseFlag("yes", true));
    EXPECT_FALSE(parseFlag("yes", false));
}

TEST_F(SettingsTest, LoadedZeroIsKeptButRefusedOnSave) {
    TBackupSettings s;
    load("[备份设置]\r\n备份频率=星期一;星期日;\r\n定时时刻=\r\n备份个数=0\r\n", s);
    EXPECT_EQ(s.Days, (std::array<bool, 7>{1, 0, 0, 0, 0, 0, 1}));  // Monday and Sunday
    EXPECT_EQ(s.RunTime, kNow);
    EXPECT_EQ(s.KeepCount, 0.0);
    s.SourcePath = "/a";
    s.TargetFolder = "/b";
    const auto before = readBytes(ws.configFile());
    EXPECT_FALSE(SaveSettings(ws, s));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"备份个数输入不合法！"});
    EXPECT_TRUE(ui.statuses.empty());
    EXPECT_EQ(readBytes(ws.configFile()), before);
}

// A bad value is named with its setting and left out; every other setting is loaded.
TEST_F(SettingsTest, BadValuesAreNamedLeftOutAndTheRestLoaded) {
    TBackupSettings s;
    try {
        load(
            "[备份设置]\r\n备份文件源地址=/src\r\n备份个数=abc\r\n备份文件目的地址=/dst\r\n"
            "定时时刻=25:00\r\n备份频率=星期一;\r\n按月保留=6\r\n按年保留=-1\r\n"
            "共享未改动的文件=1\r\n排除规则=a**b|*.tmp\r\n",
            s);
        ADD_FAILURE() << "bad values accepted";
    } catch (const BackupError& e) {
        EXPECT_STREQ(e.what(),
                     "config.ini 中“备份个数”的值“abc”无效：不是有效的数值。\n"
                     "config.ini 中“定时时刻”的值“25:00”无效：不是有效的时间。\n"
                     "config.ini 中“按年保留”的值“-1”无效：不是不小于 0 的整数。\n"
                     "config.ini 中的排除规则“a**b”有误：“**”只能单独作为一层文件夹，如“项目/**/"
                     "build”！\n这些值未采用，其余设置已载入。");
    }
    EXPECT_EQ(std::tie(s.SourcePath, s.TargetFolder), std::tie("/src", "/dst"));
    EXPECT_FALSE(s.KeepCount);
    EXPECT_EQ(s.RunTime, kNow);
    EXPECT_EQ(s.Days, (std::array<bool, 7>{1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::tuple(s.KeepMonthly, s.KeepYearly, s.ShareUnchanged), std::tuple(6, 0, true));
    EXPECT_EQ(s.ExcludeRules, "a**b|*.tmp");  // kept in the field to be mended
}

// Rules and counts are refused by name at save.
TEST_F(SettingsTest, BadRulesAndCountsAreRefusedByName) {
    TBackupSettings s;
    EXPECT_THROW(load("[备份设置]\r\n排除规则=*.tmp||x\r\n", s), BackupError);
    EXPECT_EQ(s.ExcludeRules, "*.tmp||x");

    const auto before = readBytes(ws.configFile());
    s = valid;
    s.ExcludeRules = "*.tmp||x";
    EXPECT_FALSE(SaveSettings(ws, s));
    s.ExcludeRules.clear();
    s.KeepYearly = -1;
    EXPECT_FALSE(SaveSettings(ws, s));
    EXPECT_EQ(ui.messages, (std::vector<std::string>{"排除规则第 2 条是空的：“|”的两边都应有规则！",
                                                     "按年保留的个数输入不合法！"}));
    EXPECT_EQ(readBytes(ws.configFile()), before);
}

}  // namespace
}  // namespace vantrel
