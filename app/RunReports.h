#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/JobView.h"
#include "engine/run/BackupUi.h"

namespace vantrel {

// A run's reports for the main window. Status and progress go to the window's thread at once;
// messages a run gives on its worker thread are kept and shown with its outcome, so a run in
// the tray never opens a box over other windows. Made on the window's thread.
class RunReports final : public BackupUi {
public:
    // `setStatus` shows a status text; `showsCopy` tells whether the status shown is still the
    // copy's own, which progress extends. Both are called on the window's thread.
    RunReports(JobView& view, std::function<void(std::string_view)> setStatus,
               std::function<bool()> showsCopy);

    void setStatus(std::string_view text) override;
    void showMessage(std::string_view text) override;
    void setProgressTotal(const TreeSize& total) override;
    void showProgress(const CopyProgress& progress) override;

    // The messages the run gave, taken once it has ended.
    std::vector<std::string> takeRunMessages();

private:
    bool onUiThread() const { return std::this_thread::get_id() == m_uiThread; }
    void onUiThread(std::function<void()> fn);
    void applyProgress();

    JobView& m_view;
    const std::function<void(std::string_view)> m_setStatus;
    const std::function<bool()> m_showsCopy;
    const std::thread::id m_uiThread;
    std::mutex m_mutex;  // guards the four below
    std::vector<std::string> m_runMessages;
    TreeSize m_total;
    CopyProgress m_done;
    std::chrono::steady_clock::time_point m_copyStart;
    std::atomic<bool> m_progressPosted{false};
};

}  // namespace vantrel
