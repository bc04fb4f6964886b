#include "app/OutcomeNotice.h"

#include "platform/TextCodec.h"

namespace vantrel {

void OutcomeNotice::tell(JobView& view, const RunResult& result,
                         const std::vector<std::string>& messages, const JobHealth& health,
                         bool inTray) {
    NoticeContext context;
    context.jobDir = pathToUtf8(m_jobDir);
    context.messages = messages;
    if (health.state == JobHealth::State::Overdue) {
        context.overdue = health.reason;
    }
    context.lastUnattendedFailure = &m_lastUnattendedFailure;
    const RunNotice notice = makeNotice(result, context);
    if (notice.repeatsLast) {
        return;
    }
    // One notification per outcome: a balloon while in the tray, the boxes while shown.
    if (inTray) {
        if (notice.text.empty()) {
            return;  // success stays quiet
        }
        const Severity severity =
            notice.level == NoticeLevel::Critical ? Severity::Critical : Severity::Warning;
        if (view.notify(notice.title, notice.text, severity)) {
            return;
        }
    }
    for (const std::string& message : notice.messages) {
        view.showMessage(message);
    }
    if (!notice.entries.empty()) {
        std::vector<std::string> notCopied;
        for (const NoticeEntry& entry : notice.entries) {
            notCopied.push_back(entry.path + "：" + entry.reason);
        }
        view.showList(notice.entriesHeading(), notCopied);
    }
    if (notice.failure) {
        view.showMessage(*notice.failure);
    }
}

}  // namespace vantrel
