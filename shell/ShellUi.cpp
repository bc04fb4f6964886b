#include "shell/ShellUi.h"

#include <QLabel>
#include <QMetaObject>
#include <QThread>
#include <QWidget>

#include "engine/BackupRun.h"
#include "shell/QtText.h"

namespace vantrel {

namespace {

const QString kCopying = toQString(kCopyingStatus);

QString sizeText(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    if (bytes < 1024) {
        return QStringLiteral("%1 B").arg(bytes);
    }
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

}  // namespace

ShellUi::ShellUi(QWidget* window, QLabel* statusPanel, Dialogs& dialogs)
    : m_window(window), m_panel(statusPanel), m_dialogs(dialogs) {}

QString ShellUi::progressText(const CopyProgress& progress) {
    return kCopying +
           QStringLiteral(" %1 个文件，%2").arg(progress.files).arg(sizeText(progress.bytes));
}

bool ShellUi::onGuiThread() const {
    return m_window && QThread::currentThread() == m_window->thread();
}

void ShellUi::post(std::function<void()> fn) {
    if (onGuiThread()) {
        fn();
    } else if (m_window) {
        // Posted events to a window that is gone are dropped with it.
        QMetaObject::invokeMethod(m_window.data(), std::move(fn), Qt::QueuedConnection);
    }
}

void ShellUi::setStatus(std::string_view text) {
    post([this, s = toQString(text)] {
        if (m_panel) {
            m_panel->setText(s);
        }
    });
}

void ShellUi::repaint() {
    // Off the GUI thread the window paints by itself; only a blocking caller needs this.
    if (onGuiThread()) {
        m_window->repaint();
    }
}

void ShellUi::showMessage(std::string_view text) {
    post([this, s = toQString(text)] { m_dialogs.showMessage(m_window, s); });
}

void ShellUi::showProgress(const CopyProgress& progress) {
    {
        std::lock_guard lock(m_progressMutex);
        m_progress = progress;
    }
    if (!m_progressPosted.exchange(true)) {
        post([this] { applyProgress(); });
    }
}

void ShellUi::applyProgress() {
    // Clear the flag before reading, so a value stored meanwhile posts a fresh update.
    m_progressPosted = false;
    CopyProgress latest;
    {
        std::lock_guard lock(m_progressMutex);
        latest = m_progress;
    }
    // Only the copy's own status is extended; a later status text is never overwritten.
    if (m_panel && m_panel->text().startsWith(kCopying)) {
        m_panel->setText(progressText(latest));
    }
}

void ShellUi::setCommandsEnabled(bool enabled) {
    post([this, enabled] {
        if (onCommandsEnabled) {
            onCommandsEnabled(enabled);
        }
    });
}

}  // namespace vantrel
