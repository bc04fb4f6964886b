#include <cstdio>
#include <filesystem>
#include <system_error>

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QString>
#include <QStringList>
#include <QTranslator>

#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "shell/AppIcon.h"
#include "shell/Dialogs.h"
#include "shell/MainUnit.h"
#include "shell/QtText.h"
#include "shell/SingleInstance.h"
#include "shell/WorkingDirectory.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantrel"));
    QApplication::setApplicationVersion(QStringLiteral(VANTREL_VERSION));
    QApplication::setWindowIcon(vantrel::appIcon());

    QCommandLineParser parser;
    // -minimized as well as --minimized.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("minimized"), QStringLiteral("在通知区域中启动。")});
    parser.addOption({QStringLiteral("workdir"),
                      QStringLiteral("在 DIR 中工作（config.ini、wenjianming.mdb、Log 所在）；"
                                     "默认为当前目录。"),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("user-job"),
                      QStringLiteral("在用户自己的备份任务文件夹中工作（菜单项即如此启动）。")});
    parser.process(app);

    vantrel::QtDialogs dialogs;
    QString problem;
    // Settings, records and the log belong to the working directory: one job per directory.
    using vantrel::JobFolder;
    const QString given = parser.value(QStringLiteral("workdir"));
    const JobFolder choice = !given.isEmpty()                           ? JobFolder::Given
                             : parser.isSet(QStringLiteral("user-job")) ? JobFolder::User
                                                                        : JobFolder::Current;
    const std::filesystem::path dir = vantrel::chooseWorkingDirectory(choice, given, problem);
    if (dir.empty()) {
        std::fprintf(stderr, "%s\n", vantrel::toUtf8(problem).c_str());
        dialogs.showMessage(nullptr, problem);
        return 2;
    }
    // As when started in it: the folder pickers open there.
    std::error_code ec;
    std::filesystem::current_path(dir, ec);

    // Qt's own dialogs and buttons in Chinese, as the rest of the program.
    QTranslator qtChinese;
    if (qtChinese.load(QStringLiteral("qtbase_zh_CN"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtChinese);
    }

    // One window per working directory: a second start brings the first to the front.
    vantrel::SingleInstance instance(dir);
    if (!instance.claim()) {
        return 0;
    }

    vantrel::SystemClock clock;
    vantrel::RealFileOps files;
    vantrel::TMainForm window(dir, files, clock, dialogs);
    QObject::connect(&instance, &vantrel::SingleInstance::activationRequested, &window,
                     &vantrel::TMainForm::bringToFront);
    if (parser.isSet(QStringLiteral("minimized"))) {
        window.startInTray();
    } else {
        window.show();
    }
    return app.exec();
}
