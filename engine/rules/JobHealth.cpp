#include "engine/rules/JobHealth.h"

#include "engine/rules/ChangeGuard.h"
#include "engine/rules/Schedule.h"

namespace vantrel {

int JobHealth::exitStatus() const {
    switch (state) {
        case State::Ok:
            return 0;
        case State::Warning:
            return 3;
        case State::Failed:
        case State::Overdue:
        case State::Never:
            break;
    }
    return 4;
}

std::string JobHealth::stateText() const {
    switch (state) {
        case State::Ok:
            return "正常";
        case State::Warning:
            return "警告";
        case State::Failed:
            return "失败";
        case State::Overdue:
            return "已逾期";
        case State::Never:
            break;
    }
    return "从未备份";
}

std::string JobHealth::summaryLine() const {
    std::string line = "备份状态：" + stateText();
    if (!reason.empty()) {
        line += "（" + reason + "）";
    }
    return line;
}

std::string JobHealth::lastCompleteLine(LocalTime now) const {
    if (!lastComplete) {
        return "上次完整备份：无";
    }
    const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - *lastComplete);
    return "上次完整备份：" + formatLocalTime(*lastComplete).substr(0, 16) + "（" + ageText(age) +
           "）";
}

std::string JobHealth::nextRunLine() const {
    if (!nextRun) {
        return "下次备份：备份计划未启动";
    }
    // The instant the timetable starts the run, with its weekday: for 00:00 that is 23:59:50
    // of the ticked day itself.
    return "下次备份：" + formatLocalTime(*nextRun) + "（" + std::string(TodayName(*nextRun)) +
           "）";
}

std::string ageText(std::chrono::milliseconds age) {
    using namespace std::chrono;
    if (age < minutes{1}) {
        return "刚刚";
    }
    if (age < hours{1}) {
        return std::to_string(duration_cast<minutes>(age).count()) + " 分钟前";
    }
    if (age < days{1}) {
        return std::to_string(duration_cast<hours>(age).count()) + " 小时前";
    }
    return std::to_string(duration_cast<days>(age).count()) + " 天前";
}

JobHealth judgeHealth(const std::optional<RunRecord>& lastRun,
                      const std::optional<RunRecord>& lastComplete, const TBackupSettings& settings,
                      bool timetableOn, LocalTime now, bool changesHeld,
                      const std::string& lostCopy) {
    using State = JobHealth::State;
    JobHealth health;
    health.changesHeld = changesHeld;
    if (lastComplete) {
        health.lastComplete = lastComplete->started;
    }
    if (timetableOn) {
        if (const auto next = nextFireInstant(settings, now)) {
            health.nextRun = *next;
        }
    }

    if (lastRun &&
        (lastRun->outcome == RunOutcome::Failed || lastRun->outcome == RunOutcome::Refused)) {
        health.state = State::Failed;
        health.reason = lastRun->message.empty() ? "上次备份失败" : lastRun->message;
        return health;
    }
    if (!lastComplete && !lostCopy.empty()) {
        health.state = State::Failed;
        health.reason = "完整备份已不存在：" + lostCopy;
        return health;
    }
    if (!lastComplete) {
        // A copy with entries left out is still a copy: a warning, not "never backed up".
        if (lastRun && lastRun->outcome == RunOutcome::Incomplete) {
            health.state = State::Warning;
            health.reason = "上次备份不完整，还没有完整的备份";
            return health;
        }
        health.state = State::Never;
        return health;
    }
    if (timetableOn) {
        const auto instants = lastFireInstants(settings, now, 2);
        const bool copiedSince = lastRun && lastRun->outcome == RunOutcome::Incomplete &&
                                 lastRun->started >= instants.back();
        if (instants.size() == 2 && lastComplete->started < instants[1] && !copiedSince) {
            health.state = State::Overdue;
            health.reason = "已错过两次计划备份";
            return health;
        }
    } else if (now - lastComplete->started > kOverdueWithoutTimetable) {
        health.state = State::Overdue;
        health.reason = "超过 8 天没有完整备份";
        return health;
    }
    if (!lostCopy.empty()) {
        health.state = State::Warning;
        health.reason = "最近的完整备份已不存在：" + lostCopy;
        return health;
    }
    if (changesHeld) {
        health.state = State::Warning;
        health.reason = kHoldReason;
        return health;
    }
    if (lastRun && lastRun->outcome == RunOutcome::Incomplete) {
        health.state = State::Warning;
        health.reason = "上次备份不完整";
        return health;
    }
    if (lastRun && lastRun->pruneFailures > 0) {
        health.state = State::Warning;
        health.reason = "有旧备份未能删除";
        return health;
    }
    health.state = State::Ok;
    return health;
}

}  // namespace vantrel
