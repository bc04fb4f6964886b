#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

#include "app/JobView.h"

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace vantrel {

// The window's icon in the notification area, made once and shown while the window is there.
// A press on it asks for the window back; its context menu is filled each time it opens.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(QWidget* window);

    // Whether the desktop has a notification area to put the icon in.
    static bool available();

    void show();
    void hide();
    bool isVisible() const;
    // The tooltip, and the red mark of a failed or overdue job.
    void setState(const QString& toolTip, bool alarm);
    // A balloon; false when the icon is hidden or the desktop shows none.
    bool showMessage(const QString& title, const QString& text, Severity severity);

    QMenu* menu() const { return m_menu; }

signals:
    void clicked();
    // The menu is about to open: its items are to be set.
    void menuAsked(QMenu* menu);

private:
    QIcon image(bool alarm) const;

    QSystemTrayIcon* m_icon;
    QMenu* m_menu;
};

}  // namespace vantrel
