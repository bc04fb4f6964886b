#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string_view>

#include <QPointer>
#include <QString>

#include "engine/BackupUi.h"
#include "shell/Dialogs.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace vantrel {

// The main window as the engine sees it. Safe to call from the copying thread: every call
// made off the GUI thread is posted to the window and runs there in the order it was made.
class ShellUi final : public BackupUi {
public:
    ShellUi(QWidget* window, QLabel* statusPanel, Dialogs& dialogs);

    void setStatus(std::string_view text) override;
    void repaint() override;
    void showMessage(std::string_view text) override;
    void setProgressTotal(const TreeSize& total) override;
    void showProgress(const CopyProgress& progress) override;
    void setCommandsEnabled(bool enabled) override;

    // Called with the engine's wish to switch the schedule commands on or off.
    std::function<void(bool)> onCommandsEnabled;

    // The progress bar and its cancel button in the status bar, shown while a copy runs.
    void setProgressWidgets(QProgressBar* bar, QPushButton* cancel);
    // Hides them again once the run has ended.
    void endProgress();

    // "文件备份中…… 12/40 个文件，3.4 MB/10.0 MB"; without a total "… 12 个文件，3.4 MB".
    static QString progressText(const CopyProgress& progress, const TreeSize& total = {});
    // Share done in thousandths, by bytes (by files when there are no bytes); -1 unknown.
    static int permille(const CopyProgress& progress, const TreeSize& total);
    // "剩余约 3 分 5 秒", from the rate so far; empty until it can be told.
    static QString timeLeftText(const CopyProgress& progress, const TreeSize& total,
                                std::chrono::milliseconds elapsed);

private:
    bool onGuiThread() const;
    void post(std::function<void()> fn);
    void applyProgress();

    QPointer<QWidget> m_window;
    QPointer<QLabel> m_panel;
    QPointer<QProgressBar> m_bar;
    QPointer<QPushButton> m_cancel;
    Dialogs& m_dialogs;

    // Progress arrives far faster than it can be painted; keep only the newest value and
    // post at most one update at a time.
    std::mutex m_progressMutex;
    CopyProgress m_progress;
    TreeSize m_total;
    std::chrono::steady_clock::time_point m_copyStart;
    std::atomic<bool> m_progressPosted{false};
};

}  // namespace vantrel
