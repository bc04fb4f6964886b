#include "engine/notice/Notice.h"

#include "engine/Texts.h"
#include "platform/TextCodec.h"

namespace vantrel {

bool unattended(RunTrigger trigger) {
    return trigger == RunTrigger::Timetable || trigger == RunTrigger::CatchUp;
}

std::string RunNotice::entriesHeading() const {
    return "以下 " + std::to_string(entries.size()) + " 项未能复制：";
}

namespace {

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知错误";
    }
}

// The balloon's line and its level.
void headline(RunNotice& notice, const RunResult& result, const NoticeContext& context) {
    switch (result.record.outcome) {
        case RunOutcome::Failed:
        case RunOutcome::Refused:
            notice.text = "备份失败：" + result.record.message;
            notice.level = NoticeLevel::Critical;
            return;
        case RunOutcome::Incomplete:
            notice.text = "备份不完整：" + result.record.message;
            notice.level = NoticeLevel::Warning;
            return;
        default:
            break;
    }
    if (result.report.massChange) {
        notice.text = *result.report.massChange;  // whatever else the run said
    } else if (context.overdue) {
        notice.text = "备份已逾期：" + *context.overdue;
    } else if (!context.messages.empty()) {
        notice.text = context.messages.front();  // an old copy not deleted, and the like
    }
    notice.level = notice.text.empty() ? NoticeLevel::Quiet : NoticeLevel::Warning;
}

}  // namespace

RunNotice makeNotice(const RunResult& result, const NoticeContext& context) {
    RunNotice notice;
    notice.title = "Vantrel：" + context.jobDir;
    notice.messages = context.messages;
    headline(notice, result, context);

    const RunRecord& record = result.record;
    // A run nobody started by hand that fails as the one before it did says nothing new: one
    // box or balloon per kind of failure, not one per try (a catch-up retried, a timetable
    // whose database stays read-only).
    if (unattended(record.trigger) && context.lastUnattendedFailure != nullptr) {
        const bool failed =
            record.outcome == RunOutcome::Failed || record.outcome == RunOutcome::Refused;
        std::string kind =
            failed ? std::string(storedName(record.outcome)) + "\n" + record.message : "";
        notice.repeatsLast = failed && kind == *context.lastUnattendedFailure;
        *context.lastUnattendedFailure = std::move(kind);
    }
    for (const SkippedEntry& entry : result.report.skipped) {
        notice.entries.push_back({pathToUtf8(entry.path), skippedReason(result.report, entry)});
    }
    if (result.error) {
        const std::string what = errorText(result.error);
        if (!unattended(record.trigger)) {
            notice.failure = what;
        } else {
            // A run nobody started by hand says what it was, and of which job.
            const char* kind = record.trigger == RunTrigger::Timetable ? "备份计划的定时备份失败"
                                                                       : "补做错过的备份失败";
            notice.failure = std::string(kind) + "（工作目录：" + context.jobDir + "）：\n" + what;
        }
    }
    return notice;
}

}  // namespace vantrel
