#include "engine/Schedule.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "engine/BackupRun.h"
#include "engine/Settings.h"

namespace vantrel {

namespace {

using std::chrono::days;
using std::chrono::seconds;

// How long the run starts before the set minute.
constexpr seconds kLeadTime{10};
// A tick later than this after a fire instant no longer makes that run.
constexpr seconds kMaxLateness{60};
// How many fire instants are remembered, so that none runs twice after the clock moves back.
constexpr size_t kFiredKept = 64;

// Switches the commands on again when the run ends, however it ends.
class CommandsOffGuard {
public:
    explicit CommandsOffGuard(BackupUi& ui) : m_ui(ui) { m_ui.setCommandsEnabled(false); }
    ~CommandsOffGuard() { m_ui.setCommandsEnabled(true); }
    CommandsOffGuard(const CommandsOffGuard&) = delete;
    CommandsOffGuard& operator=(const CommandsOffGuard&) = delete;

private:
    BackupUi& m_ui;
};

}  // namespace

std::string_view TodayName(LocalTime when) {
    // kDayNames starts on Monday; the ISO encoding numbers Monday 1 to Sunday 7.
    const std::chrono::weekday day{std::chrono::floor<days>(when)};
    return kDayNames[day.iso_encoding() - 1];
}

bool Schedule::StartSchedule(TBackupSettings& settings) {
    if (!SaveSettings(m_ws, settings)) {
        return false;
    }
    StartTimer();
    m_ws.ui.setStatus("启动备份计划");
    return true;
}

void Schedule::StartTimer() {
    // A start while started keeps the timer's period; the span of the next tick stays as it was.
    if (!m_started) {
        m_started = true;
        m_lastTick = m_ws.clock.now();
    }
}

void Schedule::StopSchedule() {
    m_started = false;
    m_lastTick.reset();
    m_ws.ui.setStatus("终止备份计划");
}

bool Schedule::IsDue(TBackupSettings& settings) {
    if (!m_started) {
        return false;
    }
    const LocalTime now = m_ws.clock.now();
    const LocalTime previous = m_lastTick.value_or(now);
    m_lastTick = now;
    if (settings.SourcePath.empty() || settings.TargetFolder.empty()) {
        return false;
    }
    settings.DayList = BuildDayList(settings.Days);

    // The fire instant of a ticked day D is RunTime's hh:mm:00 less the lead time, within D:
    // 9:59:50 for 10:00, and 23:59:50 of D itself for 00:00. A span may cross midnight, so
    // the day before the tick's date is looked at too.
    const seconds setTime =
        std::chrono::hours{settings.RunTime.hour} + std::chrono::minutes{settings.RunTime.minute};
    const seconds offset = (setTime - kLeadTime + days{1}) % days{1};
    const auto today = std::chrono::floor<days>(now);
    bool due = false;
    for (const auto date : {today - days{1}, today}) {
        const LocalTime fire = date + offset;
        if (!DayListHas(settings.DayList, TodayName(date))) {
            continue;
        }
        if (fire <= previous || fire > now || now - fire > kMaxLateness) {
            continue;
        }
        if (std::find(m_fired.begin(), m_fired.end(), fire) != m_fired.end()) {
            continue;  // already made, e.g. when the clock was set back
        }
        if (m_fired.size() >= kFiredKept) {
            m_fired.erase(m_fired.begin());
        }
        m_fired.push_back(fire);
        due = true;
    }
    return due;
}

void Schedule::CheckSchedule(TBackupSettings& settings) {
    if (!IsDue(settings)) {
        return;
    }
    CommandsOffGuard commandsOff(m_ws.ui);
    RunBackup(m_ws, settings, PruneAfterRun::IfKeepCountSet);
}

}  // namespace vantrel
