#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/records/RunHistory.h"
#include "platform/Clock.h"

namespace vantrel {

// A job's state at a glance.
struct JobHealth {
    enum class State { Ok, Warning, Failed, Overdue, Never };

    State state = State::Never;
    std::string reason;                     // why it is not OK (UTF-8); empty when OK
    std::optional<LocalTime> lastComplete;  // start of the last complete copy
    std::optional<LocalTime> nextRun;       // when the timetable starts its next run, if on

    bool changesHeld = false;  // the guard holds pruning until the changes are confirmed
    // "上次校验：yyyy-mm-dd（完好）", what the newest check found, or "上次校验：从未校验".
    std::string lastCheckLine = "上次校验：从未校验";

    // Exit status of `vantrel-cli status`: 0 OK, 3 warning, 4 failed, overdue or never.
    int exitStatus() const;
    // "正常", "警告", "失败", "已逾期", "从未备份".
    std::string stateText() const;
    // The lines shown in the window, the tray and the command line: the state with its
    // reason, the last complete copy with its age, and the next run when there is one.
    std::string summaryLine() const;
    std::string lastCompleteLine(LocalTime now) const;
    std::string nextRunLine() const;
};

// Without a started timetable, a job is overdue when its last complete copy is older than this.
inline constexpr std::chrono::days kOverdueWithoutTimetable{8};

// Judges the job from its newest tried run, its last complete copy and the timetable:
// failed when the newest run failed or was refused; a warning when no complete copy exists
// but the newest run made an incomplete one; never when no copy exists;
// overdue when none was made since the older of the last two fire instants (or, with the
// timetable off, for 8 days); a warning while the guard against mass changes holds pruning
// (`changesHeld`), or when the newest run was incomplete or could not prune an old copy. A
// run that made an incomplete copy since then is a warning, not a missed run. `lastComplete`
// is the newest complete copy still on disk; `lostCopy` names a newer complete one that is
// gone (deleted by hand, a lost disk): failed when no complete copy is left, else a warning.
JobHealth judgeHealth(const std::optional<RunRecord>& lastRun,
                      const std::optional<RunRecord>& lastComplete, const TBackupSettings& settings,
                      bool timetableOn, LocalTime now, bool changesHeld = false,
                      const std::string& lostCopy = {});

// "3 天前", "5 小时前", "12 分钟前", "刚刚".
std::string ageText(std::chrono::milliseconds age);

}  // namespace vantrel
