#include <cstdio>
#include <filesystem>
#include <system_error>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QLibraryInfo>
#include <QString>
#include <QStringList>
#include <QTranslator>

#include "engine/places/JobRegistry.h"
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
    parser.addOption({QStringLiteral("restore"),
                      QStringLiteral("打开包含 PATH 的备份任务的恢复文件窗口，显示该文件夹，"
                                     "或选中该文件并显示其各个版本。"),
                      QStringLiteral("PATH")});
    parser.process(app);

    vantrel::QtDialogs dialogs;
    QString problem;
    // Settings, records and the log belong to the working directory: one job per directory.
    using vantrel::JobFolder;
    const QString given = parser.value(QStringLiteral("workdir"));
    const JobFolder choice = !given.isEmpty()                           ? JobFolder::Given
                             : parser.isSet(QStringLiteral("user-job")) ? JobFolder::User
                                                                        : JobFolder::Current;
    vantrel::SystemClock clock;
    vantrel::RealFileOps files;
    const QString restore = parser.value(QStringLiteral("restore"));
    std::filesystem::path dir;
    std::string restorePath;  // as it lies in the job's source
    if (!restore.isEmpty() && choice == JobFolder::Current) {
        // The job is the one whose source holds the path, wherever the program was started.
        try {
            const auto job =
                vantrel::findJobFor(files, clock, vantrel::JobRegistry::forUser().jobs(),
                                    vantrel::toUtf8(QDir().absoluteFilePath(restore)));
            dir = job.dir;
            restorePath = job.path;
        } catch (const std::exception& e) {
            problem = QString::fromUtf8(e.what());
        }
    } else {
        dir = vantrel::chooseWorkingDirectory(choice, given, problem);
        restorePath = vantrel::toUtf8(QDir().absoluteFilePath(restore));
    }
    if (dir.empty()) {
        std::fprintf(stderr, "%s\n", vantrel::toUtf8(problem).c_str());
        dialogs.showMessage(nullptr, problem);
        return 2;
    }
    // As when started in it: the folder pickers open there.
    std::error_code ec;
    std::filesystem::current_path(dir, ec);
    // So that a path the file manager hands over can be found in this job.
    vantrel::JobRegistry::forUser().remember(dir);

    // Qt's own dialogs and buttons in Chinese, as the rest of the program.
    QTranslator qtChinese;
    if (qtChinese.load(QStringLiteral("qtbase_zh_CN"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtChinese);
    }

    // One window per working directory: a second start brings the first to the front.
    vantrel::SingleInstance instance(dir);
    if (!instance.claim(restore.isEmpty() ? QString() : vantrel::toQString(restorePath))) {
        return 0;
    }

    vantrel::TMainForm window(dir, files, clock, dialogs);
    QObject::connect(&instance, &vantrel::SingleInstance::activationRequested, &window,
                     &vantrel::TMainForm::bringToFront);
    QObject::connect(&instance, &vantrel::SingleInstance::restoreRequested, &window,
                     [&window](const QString& path) {
                         window.bringToFront();
                         window.openRestoreAt(vantrel::toUtf8(path));
                     });
    if (parser.isSet(QStringLiteral("minimized")) && restore.isEmpty()) {
        window.startInTray();
    } else {
        window.show();
    }
    if (!restore.isEmpty()) {
        window.openRestoreAt(restorePath);
    }
    return app.exec();
}
