#include "app/OutcomeNotice.h"

#include <exception>

#include "engine/RunHistory.h"
#include "engine/Texts.h"
#include "platform/TextCodec.h"

namespace vantrel {

void OutcomeNotice::tell(JobView& view, const RunResult& result,
                         const std::vector<std::string>& messages, const JobHealth& health,
                         bool inTray) {
    // A run nobody started by hand that fails as the one before it did says nothing new: one
    // box or balloon per kind of failure, not one per try (a catch-up retried, a timetable
    // whose database stays read-only).
    const RunRecord& record = result.record;
    if (record.trigger == RunTrigger::Timetable || record.trigger == RunTrigger::CatchUp) {
        const bool failed =
            record.outcome == RunOutcome::Failed || record.outcome == RunOutcome::Refused;
        std::string kind =
            failed ? std::string(storedName(record.outcome)) + "\n" + record.message : "";
        const bool repeated = failed && kind == m_lastUnattendedFailure;
        m_lastUnattendedFailure = std::move(kind);
        if (repeated) {
            return;
        }
    }
    // One notification per outcome: a balloon while in the tray, the boxes while shown.
    if (notifyInTray(view, result, messages, health, inTray)) {
        return;
    }
    for (const std::string& message : messages) {
        view.showMessage(message);
    }
    if (!result.report.skipped.empty()) {
        std::vector<std::string> notCopied;
        for (const SkippedEntry& entry : result.report.skipped) {
            notCopied.push_back(pathToUtf8(entry.path) + "：" +
                                skippedReason(result.report, entry));
        }
        view.showList("以下 " + std::to_string(notCopied.size()) + " 项未能复制：", notCopied);
    }
    if (!result.error) {
        return;
    }
    try {
        std::rethrow_exception(result.error);
    } catch (const std::exception& e) {
        const RunTrigger trigger = result.record.trigger;
        if (trigger != RunTrigger::Timetable && trigger != RunTrigger::CatchUp) {
            view.showMessage(e.what());
            return;
        }
        // A run nobody started by hand says what it was, and of which job.
        const char* what =
            trigger == RunTrigger::Timetable ? "备份计划的定时备份失败" : "补做错过的备份失败";
        view.showMessage(std::string(what) + "（工作目录：" + pathToUtf8(m_jobDir) + "）：\n" +
                         e.what());
    }
}

bool OutcomeNotice::notifyInTray(JobView& view, const RunResult& result,
                                 const std::vector<std::string>& messages, const JobHealth& health,
                                 bool inTray) {
    if (!inTray) {
        return false;
    }
    std::string reason;
    Severity severity = Severity::Warning;
    switch (result.record.outcome) {
        case RunOutcome::Failed:
        case RunOutcome::Refused:
            reason = "备份失败：" + result.record.message;
            severity = Severity::Critical;
            break;
        case RunOutcome::Incomplete:
            reason = "备份不完整：" + result.record.message;
            break;
        default:
            if (result.report.massChange) {
                reason = *result.report.massChange;  // whatever else the run said
            } else if (health.state == JobHealth::State::Overdue) {
                reason = "备份已逾期：" + health.reason;
            } else if (!messages.empty()) {
                reason = messages.front();  // an old copy not deleted, and the like
            }
            break;
    }
    if (reason.empty()) {
        return true;  // success stays quiet
    }
    return view.notify("Vantrel：" + pathToUtf8(m_jobDir), reason, severity);
}

}  // namespace vantrel
