#include "engine/Schedule.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::at;

// 2014-05-15 is a Thursday, 2014-05-18 a Sunday, 2014-05-20 a Tuesday.
class ScheduleTest : public ::testing::Test {
protected:
    ScheduleTest() {
        settings.SourcePath = pathToUtf8(dir / "data");
        settings.TargetFolder = pathToUtf8(dir / "bak");
        settings.RunTime = {10, 0, 0};
        settings.KeepCountText = "3";
        settings.KeepCount = 3;
    }

    // Starts at `start`, then ticks at each of `ticks`; returns which ticks were due.
    std::vector<bool> tickAt(LocalTime start, std::initializer_list<LocalTime> ticks) {
        clock.set(start);
        schedule.StartTimer();
        std::vector<bool> due;
        for (LocalTime t : ticks) {
            clock.set(t);
            due.push_back(schedule.IsDue(settings));
        }
        return due;
    }

    // Ticks once a second from `from` for `count` seconds; returns the due tick times.
    std::vector<LocalTime> tickEverySecond(LocalTime from, int count) {
        clock.set(from);
        schedule.StartTimer();
        std::vector<LocalTime> fired;
        for (int i = 0; i < count; ++i) {
            clock.advanceSeconds(1);
            if (schedule.IsDue(settings)) {
                fired.push_back(clock.now());
            }
        }
        return fired;
    }

    test::TempDir dir;
    RealFileOps files;
    test::FakeClock clock;
    test::FakeUi ui;
    Workspace ws{dir.path(), files, clock, ui};
    Schedule schedule{ws};
    TBackupSettings settings;
};

TEST_F(ScheduleTest, RunsOnceTenSecondsBeforeTheSetMinuteOnATickedDay) {
    settings.Days[Sunday] = true;
    EXPECT_EQ(tickEverySecond(at(2014, 5, 18, 9, 59, 0), 120),
              std::vector<LocalTime>{at(2014, 5, 18, 9, 59, 50)});
    EXPECT_EQ(settings.DayList, "星期日;");
    schedule.StopSchedule();

    // Tuesday's caption ends in a blank; "星期二" still occurs in the list.
    settings.Days = {};
    settings.Days[Tuesday] = true;
    EXPECT_EQ(tickEverySecond(at(2014, 5, 20, 9, 59, 30), 40).size(), 1u);
    EXPECT_EQ(settings.DayList, "星期二 ;");
}

TEST_F(ScheduleTest, UntickedDayAndEmptyPathsNeverRun) {
    settings.Days[Monday] = true;
    EXPECT_TRUE(tickEverySecond(at(2014, 5, 18, 9, 59, 30), 40).empty());

    settings.Days[Sunday] = true;
    settings.TargetFolder.clear();
    EXPECT_TRUE(tickEverySecond(at(2014, 5, 25, 9, 59, 30), 40).empty());
}

TEST_F(ScheduleTest, SubSecondTicksAroundTheFireInstant) {
    settings.Days[Thursday] = true;
    EXPECT_EQ(tickAt(at(2014, 5, 15, 9, 59, 49),
                     {at(2014, 5, 15, 9, 59, 49, 900), at(2014, 5, 15, 9, 59, 50, 900)}),
              (std::vector<bool>{false, true}));
}

TEST_F(ScheduleTest, TwoTicksInTheMatchingSecondRunOnce) {
    settings.Days[Thursday] = true;
    EXPECT_EQ(tickAt(at(2014, 5, 15, 9, 59, 49),
                     {at(2014, 5, 15, 9, 59, 50, 100), at(2014, 5, 15, 9, 59, 50, 600),
                      at(2014, 5, 15, 9, 59, 51, 100)}),
              (std::vector<bool>{true, false, false}));
}

TEST_F(ScheduleTest, LateTickThatSkipsTheMatchingSecondStillRuns) {
    settings.Days[Thursday] = true;
    EXPECT_EQ(tickAt(at(2014, 5, 15, 9, 59, 40),
                     {at(2014, 5, 15, 9, 59, 49, 800), at(2014, 5, 15, 9, 59, 51, 100),
                      at(2014, 5, 15, 9, 59, 52, 100)}),
              (std::vector<bool>{false, true, false}));
}

TEST_F(ScheduleTest, GapOfMoreThanSixtySecondsMissesTheRun) {
    settings.Days[Thursday] = true;
    EXPECT_EQ(tickAt(at(2014, 5, 15, 9, 59, 40), {at(2014, 5, 15, 10, 0, 51)}),
              std::vector<bool>{false});
    schedule.StopSchedule();
    EXPECT_EQ(tickAt(at(2014, 5, 15, 9, 59, 40), {at(2014, 5, 15, 10, 0, 50)}),
              std::vector<bool>{true});
}

TEST_F(ScheduleTest, MidnightRunsAtTheEndOfTheTickedDay) {
    settings.RunTime = {0, 0, 0};
    settings.Days[Thursday] = true;
    EXPECT_EQ(tickEverySecond(at(2014, 5, 14, 23, 59, 0), 120), std::vector<LocalTime>{})
        << "Wednesday's midnight belongs to Wednesday";
    schedule.StopSchedule();
    EXPECT_EQ(tickEverySecond(at(2014, 5, 15, 23, 59, 0), 120),
              std::vector<LocalTime>{at(2014, 5, 15, 23, 59, 50)});
    schedule.StopSchedule();
    // A late tick after midnight still makes Thursday's run.
    EXPECT_EQ(tickAt(at(2014, 5, 22, 23, 59, 45), {at(2014, 5, 23, 0, 0, 20)}),
              std::vector<bool>{true});
}

TEST_F(ScheduleTest, ClockSetBackDoesNotRepeatARun) {
    settings.Days[Thursday] = true;
    EXPECT_EQ(tickAt(at(2014, 5, 15, 9, 59, 45),
                     {at(2014, 5, 15, 9, 59, 50), at(2014, 5, 15, 9, 59, 40),
                      at(2014, 5, 15, 9, 59, 50), at(2014, 5, 15, 9, 59, 51)}),
              (std::vector<bool>{true, false, false, false}));
}

TEST_F(ScheduleTest, RefusedStartStaysStoppedAndSaysNothingOfStarting) {
    settings.Days[Thursday] = true;
    settings.SourcePath.clear();
    EXPECT_FALSE(schedule.StartSchedule(settings));
    EXPECT_FALSE(schedule.started());
    EXPECT_EQ(ui.messages, std::vector<std::string>{"请输入要备份的文件地址！"});
    EXPECT_TRUE(ui.statuses.empty());
}

TEST_F(ScheduleTest, StartWithUnwritableFileStillStarts) {
    settings.Days[Thursday] = true;
    std::filesystem::create_directory(ws.configFile());
    EXPECT_TRUE(schedule.StartSchedule(settings));
    EXPECT_TRUE(schedule.started());
    EXPECT_EQ(ui.statuses, (std::vector<std::string>{"配置文件保存失败!", "启动备份计划"}));
}

TEST_F(ScheduleTest, CheckScheduleMakesTheDatedCopyWithCommandsOffMeanwhile) {
    settings.Days[Thursday] = true;
    std::filesystem::create_directories(dir / "data");
    test::writeBytes(dir / "data" / "a.txt", "hello");
    std::filesystem::create_directories(dir / "bak");

    clock.set(at(2014, 5, 15, 9, 59, 49, 500));
    ASSERT_TRUE(schedule.StartSchedule(settings));
    clock.advanceSeconds(1);
    schedule.CheckSchedule(settings);
    EXPECT_EQ(test::readBytes(dir / "bak" / "data_20140515" / "a.txt"), "hello");
    EXPECT_EQ(ui.commandsEnabled, (std::vector<bool>{false, true}));
    clock.advanceSeconds(1);
    schedule.CheckSchedule(settings);
    EXPECT_EQ(ui.commandsEnabled.size(), 2u);
}

TEST_F(ScheduleTest, FailedRunSwitchesTheCommandsBackOn) {
    settings.Days[Thursday] = true;  // the source folder does not exist
    clock.set(at(2014, 5, 15, 9, 59, 49, 500));
    ASSERT_TRUE(schedule.StartSchedule(settings));
    clock.advanceSeconds(1);
    EXPECT_THROW(schedule.CheckSchedule(settings), BackupError);
    EXPECT_EQ(ui.commandsEnabled, (std::vector<bool>{false, true}));
    EXPECT_TRUE(schedule.started());
}

}  // namespace
}  // namespace vantrel
