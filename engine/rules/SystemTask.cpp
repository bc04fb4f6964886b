#include "engine/rules/SystemTask.h"
#include "engine/TextRules.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "engine/places/JobPlaces.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// The fire instant's time of day, as "hh:mm:ss": 10 s before the set minute, on the ticked
// day itself (00:00 fires at 23:59:50 of that day).
std::string fireTimeOfDay(const TimeOfDay& time) {
    int seconds = (time.hour * 3600 + time.minute * 60 - 10 + 86400) % 86400;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

std::string xmlEscaped(std::string_view text) {
    return escapedWith(text, {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}});
}

constexpr std::array<std::string_view, 7> kXmlDays = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                                      "Friday", "Saturday", "Sunday"};
constexpr std::array<std::string_view, 7> kCalendarDays = {"Mon", "Tue", "Wed", "Thu",
                                                           "Fri", "Sat", "Sun"};

}  // namespace

std::string systemTaskName(const Workspace& ws) {
    return "Vantrel " + jobKey(ws.files, ws.dir);
}

std::string taskXml(const TBackupSettings& settings, const std::filesystem::path& jobDir,
                    const std::filesystem::path& program) {
    std::string days;
    for (std::size_t i = 0; i < kXmlDays.size(); ++i) {
        if (settings.Days[i]) {
            days += "          <" + std::string(kXmlDays[i]) + " />\n";
        }
    }
    const auto flag = [](bool on) { return on ? "true" : "false"; };
    return "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
           "<Task version=\"1.2\" "
           "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
           "  <RegistrationInfo>\n"
           "    <Description>Vantrel 备份计划：" +
           xmlEscaped(pathToUtf8(jobDir)) +
           "</Description>\n"
           "  </RegistrationInfo>\n"
           "  <Triggers>\n"
           "    <CalendarTrigger>\n"
           "      <StartBoundary>2000-01-01T" +
           fireTimeOfDay(settings.RunTime) +
           "</StartBoundary>\n"
           "      <Enabled>true</Enabled>\n"
           "      <ScheduleByWeek>\n"
           "        <DaysOfWeek>\n" +
           days +
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
           "    <StartWhenAvailable>" +
           flag(settings.CatchUpMissed) +
           "</StartWhenAvailable>\n"
           "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
           "    <Enabled>true</Enabled>\n"
           "  </Settings>\n"
           "  <Actions Context=\"Author\">\n"
           "    <Exec>\n"
           "      <Command>" +
           xmlEscaped(pathToUtf8(program)) +
           "</Command>\n"
           "      <Arguments>--backup</Arguments>\n"
           "      <WorkingDirectory>" +
           xmlEscaped(pathToUtf8(jobDir)) +
           "</WorkingDirectory>\n"
           "    </Exec>\n"
           "  </Actions>\n"
           "</Task>\n";
}

std::string timerDropIn(const TBackupSettings& settings) {
    std::string days;
    for (std::size_t i = 0; i < kCalendarDays.size(); ++i) {
        if (settings.Days[i]) {
            days += (days.empty() ? "" : ",") + std::string(kCalendarDays[i]);
        }
    }
    return "# Written by vantrel-cli task install; removed by vantrel-cli task remove.\n"
           "[Timer]\n"
           "OnCalendar=\n"
           "OnCalendar=" +
           days + " *-*-* " + fireTimeOfDay(settings.RunTime) +
           "\n"
           "Persistent=" +
           (settings.CatchUpMissed ? "true" : "false") + "\n";
}

SystemTaskEntry systemTaskEntry(const Workspace& ws, const TBackupSettings& settings,
                                const std::filesystem::path& program) {
#ifdef _WIN32
    return {systemTaskName(ws), taskXml(settings, ws.dir, program)};
#else
    (void)program;
    return {unitInstance(ws.dir), timerDropIn(settings)};
#endif
}

std::string unitInstance(const std::filesystem::path& jobDir) {
    std::string path = pathToUtf8(jobDir.lexically_normal());
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    std::size_t start = path.find_first_not_of('/');
    if (start == std::string::npos) {
        return "-";
    }
    std::string out;
    for (std::size_t i = start; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == ':' || c == '_' ||
                           (c == '.' && i != start);
        if (c == '/') {
            out += '-';
        } else if (plain) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace vantrel
