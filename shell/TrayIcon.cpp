#include "shell/TrayIcon.h"

#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

#include "shell/AppIcon.h"

namespace vantrel {

TrayIcon::TrayIcon(QWidget* window)
    : QObject(window), m_icon(new QSystemTrayIcon(this)), m_menu(new QMenu(window)) {
    m_icon->setObjectName(QStringLiteral("TrayIcon"));
    m_icon->setIcon(image(false));
    // A right click (and the menu key) opens it; the desktop shows it.
    m_menu->setObjectName(QStringLiteral("TrayMenu"));
    connect(m_menu, &QMenu::aboutToShow, this, [this] { emit menuAsked(m_menu); });
    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    emit clicked();
                }
            });
}

bool TrayIcon::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::show() {
    m_icon->show();
}

void TrayIcon::hide() {
    m_icon->hide();
}

bool TrayIcon::isVisible() const {
    return m_icon->isVisible();
}

void TrayIcon::setState(const QString& toolTip, bool alarm) {
    m_icon->setToolTip(toolTip);
    m_icon->setIcon(image(alarm));
}

bool TrayIcon::showMessage(const QString& title, const QString& text, Severity severity) {
    if (!m_icon->isVisible() || !QSystemTrayIcon::supportsMessages()) {
        return false;
    }
    const QSystemTrayIcon::MessageIcon icon =
        severity == Severity::Critical  ? QSystemTrayIcon::Critical
        : severity == Severity::Warning ? QSystemTrayIcon::Warning
                                        : QSystemTrayIcon::Information;
    m_icon->showMessage(title, text, icon);
    return true;
}

QIcon TrayIcon::image(bool alarm) const {
    if (!alarm) {
        return appIcon();
    }
    // A red dot with a white rim in the lower right corner: failed or overdue.
    QPixmap pixmap = drawAppIcon(32);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2));
    painter.setBrush(QColor(0xc6, 0x28, 0x28));
    painter.drawEllipse(QRect(16, 16, 15, 15));
    painter.end();
    return QIcon(pixmap);
}

}  // namespace vantrel
