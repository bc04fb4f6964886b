#include <filesystem>

#include <QApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

#include "platform/Clock.h"
#include "shell/AppIcon.h"
#include "shell/Dialogs.h"
#include "shell/MainUnit.h"
#include "shell/SingleInstance.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantrel"));
    QApplication::setWindowIcon(vantrel::appIcon());

    // Qt's own dialogs and buttons in Chinese, as the rest of the program.
    QTranslator qtChinese;
    if (qtChinese.load(QStringLiteral("qtbase_zh_CN"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtChinese);
    }

    // One window per working directory: a second start brings the first to the front.
    vantrel::SingleInstance instance(std::filesystem::current_path());
    if (!instance.claim()) {
        return 0;
    }

    const QStringList args = QApplication::arguments();
    const bool minimized =
        args.contains(QStringLiteral("--minimized")) || args.contains(QStringLiteral("-minimized"));

    vantrel::SystemClock clock;
    vantrel::QtDialogs dialogs;
    // Settings, records and the log belong to the directory the program is started in.
    vantrel::TMainForm window(std::filesystem::current_path(), clock, dialogs);
    QObject::connect(&instance, &vantrel::SingleInstance::activationRequested, &window,
                     &vantrel::TMainForm::bringToFront);
    if (minimized) {
        window.startInTray();
    } else {
        window.show();
    }
    return app.exec();
}
