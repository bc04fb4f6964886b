#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/Workspace.h"
#include "platform/Clock.h"

namespace vantrel {

// The weekday name of a local date ("星期日" for Sunday ... "星期六").
std::string_view TodayName(LocalTime when);

// The weekly timetable driven by a one-second tick. The owner keeps the timer; this keeps
// whether it is started and when the last tick was, so a late tick still makes the day's run.
class Schedule {
public:
    explicit Schedule(Workspace& ws) : m_ws(ws) {}

    // Saves the settings; when they are refused, neither starts nor says so and returns
    // false. Otherwise starts (even when the file could not be written), shows "启动备份计划"
    // and returns true.
    bool StartSchedule(TBackupSettings& settings);
    // Starts from the live settings without saving them, as the command-line front end does;
    // the start time counts as the previous tick. Does nothing while started.
    void StartTimer();
    // Stops and shows "终止备份计划".
    void StopSchedule();
    bool started() const { return m_started; }

    // One tick's decision: whether a fire instant of a ticked day lies in (previous tick,
    // now] and at most 60 s before now. Rebuilds DayList. Never true twice for one instant.
    bool IsDue(TBackupSettings& settings);

    // The tick handler: when due, switches the commands off, runs the backup and prunes
    // when a keep count is set, and switches the commands on again.
    void CheckSchedule(TBackupSettings& settings);

private:
    Workspace& m_ws;
    bool m_started = false;
    std::optional<LocalTime> m_lastTick;
    // Fire instants already run, newest last and a few dozen at most. Membership, not order,
    // decides: a clock set back past a run dated in the future must not stop the timetable.
    std::vector<LocalTime> m_fired;
};

}  // namespace vantrel
