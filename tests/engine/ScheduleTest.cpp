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

class ScheduleTest : public ::testing::Test {
protected:
    test::TempDir dir;
    RealFileOps files;
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 49, 500)};  // a Thursday
    test::FakeUi ui;
    Workspace ws{dir.path(), files, clock, ui};
    Schedule schedule{ws};
    // Thursdays at 10:00.
    TBackupSettings settings{pathToUtf8(dir / "data"),
                             pathToUtf8(dir / "bak"),
                             {10, 0, 0},
                             {0, 0, 0, 1, 0, 0, 0},
                             "",
                             "3",
                             3};
};

TEST_F(ScheduleTest, DueOnceForEachFireInstantWithinSixtySecondsOfIt) {
    constexpr long long kWeeks52 = 52LL * 7 * 24 * 3600 * 1000;
    const struct {
        Weekday day;
        int hour;
        unsigned date;                 // May 2014: the 15th is a Thursday, the 18th a Sunday
        std::vector<long long> ticks;  // ms from that date's fire instant; the first starts it
        std::vector<bool> due;
    } cases[] = {
        {Sunday, 10, 18, {-1000, 0}, {true}},
        {Tuesday, 10, 20, {-1000, 0}, {true}},  // its caption ends in a blank
        {Monday, 10, 18, {-1000, 0}, {false}},
        {Thursday, 10, 15, {-1000, -100, 900}, {false, true}},
        {Thursday, 10, 15, {-1000, 100, 600}, {true, false}},     // two ticks in one second
        {Thursday, 10, 15, {-10000, -200, 1100}, {false, true}},  // a tick skips the second
        {Thursday, 10, 15, {-10000, 60000}, {true}},
        {Thursday, 10, 15, {-10000, 61000}, {false}},
        {Thursday, 10, 15, {-5000, 0, -10000, 0}, {true, false, false}},  // clock set back
        // A clock 52 weeks ahead runs that Thursday's, then, set right, today's as usual.
        {Thursday, 10, 15, {-1000, kWeeks52, -1000, 0, 1000}, {true, false, true, false}},
        {Thursday, 0, 14, {-1000, 0}, {false}},     // Wednesday's midnight
        {Thursday, 0, 15, {-5000, 30000}, {true}},  // Thursday's, at 23:59:50 that day
    };
    for (const auto& c : cases) {
        settings.Days = {};
        settings.Days[c.day] = true;
        settings.RunTime = {c.hour, 0, 0};
        const LocalTime fire = at(2014, 5, c.date, c.hour ? c.hour - 1 : 23, 59, 50);
        Schedule timetable{ws};
        clock.set(fire + std::chrono::milliseconds(c.ticks[0]));
        timetable.StartTimer();
        std::vector<bool> due;
        for (std::size_t i = 1; i < c.ticks.size(); ++i) {
            clock.set(fire + std::chrono::milliseconds(c.ticks[i]));
            due.push_back(timetable.IsDue(settings));
        }
        EXPECT_EQ(due, c.due) << "case " << (&c - cases);
    }
    settings.RunTime = {10, 0, 0};
    settings.TargetFolder.clear();  // an empty path never runs
    schedule.StartTimer();
    clock.advanceSeconds(1);
    EXPECT_FALSE(schedule.IsDue(settings));
}

TEST_F(ScheduleTest, RefusedStartStaysStoppedButAFailedWriteStillStarts) {
    settings.SourcePath.clear();
    EXPECT_FALSE(schedule.StartSchedule(settings));
    EXPECT_FALSE(schedule.started());
    EXPECT_EQ(ui.messages, std::vector<std::string>{"请输入要备份的文件地址！"});
    EXPECT_TRUE(ui.statuses.empty());

    settings.SourcePath = "/data";
    std::filesystem::create_directory(ws.configFile());
    EXPECT_TRUE(schedule.StartSchedule(settings));
    EXPECT_TRUE(schedule.started());
    EXPECT_EQ(ui.statuses, (std::vector<std::string>{"配置文件保存失败!", "启动备份计划"}));
}

TEST_F(ScheduleTest, CheckScheduleRunsWithTheCommandsOffAndOnAgainAfterAFailure) {
    ASSERT_TRUE(schedule.StartSchedule(settings));
    clock.advanceSeconds(1);
    EXPECT_THROW(schedule.CheckSchedule(settings), BackupError);  // no source folder yet
    EXPECT_EQ(ui.commandsEnabled, (std::vector<bool>{false, true}));
    EXPECT_TRUE(schedule.started());

    std::filesystem::create_directories(dir / "data");
    test::writeBytes(dir / "data" / "a.txt", "hello");
    clock.set(at(2014, 5, 22, 9, 59, 49, 500));
    schedule.CheckSchedule(settings);  // a week later, half a second early
    clock.advanceSeconds(1);
    schedule.CheckSchedule(settings);
    EXPECT_EQ(test::readBytes(dir / "bak" / "data_20140522" / "a.txt"), "hello");
    clock.advanceSeconds(1);
    schedule.CheckSchedule(settings);
    EXPECT_EQ(ui.commandsEnabled, (std::vector<bool>{false, true, false, true}));
}

}  // namespace
}  // namespace vantrel
