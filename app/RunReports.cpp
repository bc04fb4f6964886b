#include "app/RunReports.h"

#include <utility>

#include "engine/Texts.h"

namespace vantrel {

RunReports::RunReports(JobView& view, std::function<void(std::string_view)> setStatus,
                       std::function<bool()> showsCopy)
    : m_view(view),
      m_setStatus(std::move(setStatus)),
      m_showsCopy(std::move(showsCopy)),
      m_uiThread(std::this_thread::get_id()) {}

void RunReports::setStatus(std::string_view text) {
    onUiThread([this, s = std::string(text)] { m_setStatus(s); });
}

void RunReports::showMessage(std::string_view text) {
    if (onUiThread()) {
        m_view.showMessage(text);
        return;
    }
    std::lock_guard lock(m_mutex);
    m_runMessages.emplace_back(text);
}

void RunReports::setProgressTotal(const TreeSize& total) {
    std::lock_guard lock(m_mutex);
    m_total = total;
    m_done = {};
    m_copyStart = std::chrono::steady_clock::now();
}

void RunReports::showProgress(const CopyProgress& progress) {
    {
        std::lock_guard lock(m_mutex);
        m_done = progress;
    }
    // Progress comes far faster than it can be drawn: one update waits at a time.
    if (!m_progressPosted.exchange(true)) {
        onUiThread([this] { applyProgress(); });
    }
}

std::vector<std::string> RunReports::takeRunMessages() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_runMessages, {});
}

void RunReports::onUiThread(std::function<void()> fn) {
    if (onUiThread()) {
        fn();
    } else {
        m_view.post(std::move(fn));
    }
}

void RunReports::applyProgress() {
    m_progressPosted = false;  // first, so a value stored meanwhile posts a fresh update
    CopyProgress done;
    TreeSize total;
    std::chrono::milliseconds elapsed{0};
    {
        std::lock_guard lock(m_mutex);
        done = m_done;
        total = m_total;
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - m_copyStart);
    }
    if (!m_showsCopy()) {
        return;
    }
    m_view.showProgress({progressStatus(done, total), progressPermille(done, total),
                         timeLeftText(done, total, elapsed)});
}

}  // namespace vantrel
