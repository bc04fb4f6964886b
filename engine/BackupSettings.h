#pragma once

#include <array>
#include <optional>
#include <string>

namespace vantrel {

// A time of day as the time picker holds it; seconds are kept but never compared.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;

    friend bool operator==(const TimeOfDay&, const TimeOfDay&) = default;
};

// Weekdays in the order of the day boxes, Monday first.
enum Weekday { Monday, Tuesday, Wednesday, Thursday, Friday, Saturday, Sunday };

// The live settings: the values of the main window's fields at the moment a command or
// tick runs. All text is UTF-8.
struct TBackupSettings {
    std::string SourcePath;
    std::string TargetFolder;
    TimeOfDay RunTime;
    std::array<bool, 7> Days{};          // the day boxes, indexed by Weekday; the file's DayList
    std::optional<double> KeepCount;     // the keep count; none when the field is empty
    bool StartScheduleAtLaunch = false;  // start the timetable as soon as settings are loaded
    // The user started the timetable and has not stopped it: it starts again with the window.
    // Kept by rememberTimetable, never by SaveSettings.
    bool TimetableStarted = false;
    bool CatchUpMissed = false;     // make one run for fire instants that passed unrun
    bool SystemTask = false;        // the system's scheduler runs the timetable with no window open
    bool ShareUnchanged = false;    // unchanged files are linked from the previous copy
    bool GuardMassChanges = true;   // a mass change holds pruning back until confirmed
    std::string ExcludeRules = {};  // patterns separated by "|" (engine/rules/Exclusions.h)
    int KeepMonthly = 0;            // months whose oldest complete copy is kept too
    int KeepYearly = 0;             // years whose oldest complete copy is kept too
    // Alerts (engine/notice/Alert.h): where to, whether successes too, a 钉钉 robot's signing
    // secret.
    std::string NotifyUrl = {};
    bool NotifyAll = false;
    std::string NotifySecret = {};
};

}  // namespace vantrel
