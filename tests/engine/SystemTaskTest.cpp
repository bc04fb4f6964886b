#include "engine/rules/SystemTask.h"

#include <gtest/gtest.h>

#include "platform/TextCodec.h"

namespace vantrel {
namespace {

// Mondays and Thursdays at 00:00: the run fires at 23:59:50 of each ticked day itself.
TBackupSettings midnightMondayThursday(bool catchUp) {
    TBackupSettings s;
    s.RunTime = {0, 0, 0};
    s.Days[Monday] = s.Days[Thursday] = true;
    s.CatchUpMissed = catchUp;
    return s;
}

TEST(SystemTask, TheTaskXmlFiresWeeklyAtTheInstantRunsOnBatteryAndEscapesPaths) {
    const std::string xml = taskXml(midnightMondayThursday(true), pathFromUtf8("D:\\任务 & <旧>"),
                                    pathFromUtf8("C:\\Program Files\\Vantrel\\vantrel.exe"));
    EXPECT_EQ(xml,
              "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
              "<Task version=\"1.2\" "
              "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
              "  <RegistrationInfo>\n"
              "    <Description>Vantrel 备份计划：D:\\任务 &amp; &lt;旧&gt;</Description>\n"
              "  </RegistrationInfo>\n"
              "  <Triggers>\n"
              "    <CalendarTrigger>\n"
              "      <StartBoundary>2000-01-01T23:59:50</StartBoundary>\n"
              "      <Enabled>true</Enabled>\n"
              "      <ScheduleByWeek>\n"
              "        <DaysOfWeek>\n"
              "          <Monday />\n"
              "          <Thursday />\n"
              "        </DaysOfWeek>\n"
              "        <WeeksInterval>1</WeeksInterval>\n"
              "      </ScheduleByWeek>\n"
              "    </CalendarTrigger>\n"
              "  </Triggers>\n"
              "  <Principals>\n"
              "    <Principal id=\"Author\">\n"
              "      <LogonType>InteractiveToken</LogonType>\n"
              "      <RunLevel>LeastPrivilege</RunLevel>\n"
              "    </Principal>\n"
              "  </Principals>\n"
              "  <Settings>\n"
              "    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n"
              "    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"
              "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
              "    <StartWhenAvailable>true</StartWhenAvailable>\n"
              "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
              "    <Enabled>true</Enabled>\n"
              "  </Settings>\n"
              "  <Actions Context=\"Author\">\n"
              "    <Exec>\n"
              "      <Command>C:\\Program Files\\Vantrel\\vantrel.exe</Command>\n"
              "      <Arguments>--backup</Arguments>\n"
              "      <WorkingDirectory>D:\\任务 &amp; &lt;旧&gt;</WorkingDirectory>\n"
              "    </Exec>\n"
              "  </Actions>\n"
              "</Task>\n");
    TBackupSettings tenOClock = midnightMondayThursday(false);
    tenOClock.RunTime = {10, 0, 0};
    const std::string later = taskXml(tenOClock, "/job", "/vantrel.exe");
    EXPECT_NE(later.find("<StartBoundary>2000-01-01T09:59:50</StartBoundary>"), std::string::npos);
    EXPECT_NE(later.find("<StartWhenAvailable>false</StartWhenAvailable>"), std::string::npos);
}

TEST(SystemTask, TheTimerReplacesTheDailyCalendarAndTheInstanceIsEscapedAsSystemdDoes) {
    EXPECT_EQ(timerDropIn(midnightMondayThursday(true)),
              "# Written by vantrel-cli task install; removed by vantrel-cli task remove.\n"
              "[Timer]\n"
              "OnCalendar=\n"
              "OnCalendar=Mon,Thu *-*-* 23:59:50\n"
              "Persistent=true\n");
#ifndef _WIN32
    // As `systemd-escape --path` gives them; systemd's units name POSIX paths only.
    EXPECT_EQ(unitInstance(pathFromUtf8("/home/u/备份 jobs/.a.b/")),
              "home-u-\\xe5\\xa4\\x87\\xe4\\xbb\\xbd\\x20jobs-.a.b");
    EXPECT_EQ(unitInstance(pathFromUtf8("/.job/x-y")), "\\x2ejob-x\\x2dy");
#endif
}

}  // namespace
}  // namespace vantrel
