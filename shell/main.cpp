#include <filesystem>

#include <QApplication>
#include <QStringList>

#include "platform/Clock.h"
#include "shell/AppIcon.h"
#include "shell/Dialogs.h"
#include "shell/MainUnit.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantrel"));
    QApplication::setWindowIcon(vantrel::appIcon());

    const QStringList args = QApplication::arguments();
    const bool minimized =
        args.contains(QStringLiteral("--minimized")) || args.contains(QStringLiteral("-minimized"));

    vantrel::SystemClock clock;
    vantrel::QtDialogs dialogs;
    // Settings, records and the log belong to the directory the program is started in.
    vantrel::TMainForm window(std::filesystem::current_path(), clock, dialogs);
    if (minimized) {
        window.startInTray();
    } else {
        window.show();
    }
    return app.exec();
}
