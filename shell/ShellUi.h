#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string_view>

#include <QPointer>
#include <QString>

#include "engine/BackupUi.h"
#include "shell/Dialogs.h"

class QLabel;
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
    void showProgress(const CopyProgress& progress) override;
    void setCommandsEnabled(bool enabled) override;

    // Called with the engine's wish to switch the schedule commands on or off.
    std::function<void(bool)> onCommandsEnabled;

    // "文件备份中…… 12 个文件，3.4 MB".
    static QString progressText(const CopyProgress& progress);

private:
    bool onGuiThread() const;
    void post(std::function<void()> fn);
    void applyProgress();

    QPointer<QWidget> m_window;
    QPointer<QLabel> m_panel;
    Dialogs& m_dialogs;

    // Progress arrives far faster than it can be painted; keep only the newest value and
    // post at most one update at a time.
    std::mutex m_progressMutex;
    CopyProgress m_progress;
    std::atomic<bool> m_progressPosted{false};
};

}  // namespace vantrel
