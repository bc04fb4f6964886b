#include "shell/ShellUi.h"

#include <algorithm>

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QWidget>

#include "engine/BackupJob.h"
#include "engine/BackupRun.h"
#include "shell/QtText.h"

namespace vantrel {

namespace {

const QString kCopying = toQString(kCopyingStatus);

QString sizeQText(std::uint64_t bytes) {
    const std::string text = sizeText(bytes);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ShellUi::ShellUi(QWidget* window, QLabel* statusPanel, Dialogs& dialogs)
    : m_window(window), m_panel(statusPanel), m_dialogs(dialogs) {}

QString ShellUi::progressText(const CopyProgress& progress, const TreeSize& total) {
    if (total.files == 0 && total.bytes == 0) {
        return kCopying +
               QStringLiteral(" %1 个文件，%2").arg(progress.files).arg(sizeQText(progress.bytes));
    }
    return kCopying + QStringLiteral(" %1/%2 个文件，%3/%4")
                          .arg(progress.files)
                          .arg(total.files)
                          .arg(sizeQText(progress.bytes), sizeQText(total.bytes));
}

int ShellUi::permille(const CopyProgress& progress, const TreeSize& total) {
    double share = -1;
    if (total.bytes > 0) {
        share = static_cast<double>(progress.bytes) / static_cast<double>(total.bytes);
    } else if (total.files > 0) {
        share = static_cast<double>(progress.files) / static_cast<double>(total.files);
    }
    if (share < 0) {
        return -1;
    }
    return static_cast<int>(std::min(share, 1.0) * 1000);
}

QString ShellUi::timeLeftText(const CopyProgress& progress, const TreeSize& total,
                              std::chrono::milliseconds elapsed) {
    const int done = permille(progress, total);
    // Too early a guess only jumps about.
    if (done <= 0 || elapsed < std::chrono::seconds(2)) {
        return {};
    }
    const auto left = std::chrono::milliseconds(
        static_cast<long long>(static_cast<double>(elapsed.count()) * (1000 - done) / done));
    const std::string text = durationText(left);
    return QStringLiteral("剩余约 ") + QString::fromUtf8(text.data(), qsizetype(text.size()));
}

void ShellUi::setProgressWidgets(QProgressBar* bar, QPushButton* cancel) {
    m_bar = bar;
    m_cancel = cancel;
}

void ShellUi::setProgressTotal(const TreeSize& total) {
    {
        std::lock_guard lock(m_progressMutex);
        m_total = total;
        m_progress = {};
        m_copyStart = std::chrono::steady_clock::now();
    }
    post([this, total] {
        if (m_bar) {
            m_bar->setValue(0);
            m_bar->setFormat(QStringLiteral("%p%"));
            // Without a total the bar only shows that something is going on.
            m_bar->setRange(0, total.files == 0 && total.bytes == 0 ? 0 : 1000);
            m_bar->show();
        }
        if (m_cancel) {
            m_cancel->setEnabled(true);
            m_cancel->show();
        }
    });
}

void ShellUi::endProgress() {
    if (m_bar) {
        m_bar->hide();
    }
    if (m_cancel) {
        m_cancel->hide();
    }
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
    TreeSize total;
    std::chrono::milliseconds elapsed{0};
    {
        std::lock_guard lock(m_progressMutex);
        latest = m_progress;
        total = m_total;
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - m_copyStart);
    }
    // Only the copy's own status is extended; a later status text is never overwritten.
    if (!m_panel || !m_panel->text().startsWith(kCopying)) {
        return;
    }
    m_panel->setText(progressText(latest, total));
    if (m_bar && m_bar->isVisible()) {
        const int done = permille(latest, total);
        if (done >= 0) {
            m_bar->setValue(done);
            const QString left = timeLeftText(latest, total, elapsed);
            m_bar->setFormat(left.isEmpty() ? QStringLiteral("%p%")
                                            : QStringLiteral("%p% ") + left);
        }
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
