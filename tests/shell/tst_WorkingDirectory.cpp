#include <filesystem>

#include <QDir>
#include <QStandardPaths>
#include <QtTest>

#include "shell/QtText.h"
#include "shell/WorkingDirectory.h"
#include "tests/shell/ShellTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

class TestWorkingDirectory : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The per-user data folder of a test run, away from the real one.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("vantrel-test-workdir"));
    }

    void theUserJobFolderIsMadeAndTheCurrentDirectoryIsTheDefault() {
        const auto data =
            pathFromUtf8(toUtf8(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)));
        std::filesystem::remove_all(data);
        QString problem;
        QCOMPARE(qstr(chooseWorkingDirectory(JobFolder::User, QString(), problem)), qstr(data));
        QVERIFY(std::filesystem::is_directory(data) && problem.isEmpty());
        std::filesystem::remove_all(data);

        TempDir dir;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(qstr(dir.path())));
        const auto current = chooseWorkingDirectory(JobFolder::Current, QString(), problem);
        QDir::setCurrent(before);
        QCOMPARE(qstr(current), qstr(dir.path()));
        QVERIFY(!std::filesystem::exists(data));
    }

    void workdirIsTakenAsGivenOrRelativeToTheCurrentDirectory() {
        TempDir dir;
        std::filesystem::create_directories(dir / "任务/一");
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(qstr(dir / "任务")));
        QString problem;
        const auto relative =
            chooseWorkingDirectory(JobFolder::Given, QStringLiteral("一"), problem);
        QDir::setCurrent(before);
        QCOMPARE(qstr(relative), qstr(dir / "任务/一"));
        QCOMPARE(qstr(chooseWorkingDirectory(JobFolder::Given, qstr(dir / "任务"), problem)),
                 qstr(dir / "任务"));
        QVERIFY(problem.isEmpty());
    }

    void missingOrFileWorkdirIsRefusedAndNotMade() {
        TempDir dir;
        writeBytes(dir / "file", "x");
        for (const auto& name : {"missing", "file"}) {
            QString problem;
            QVERIFY(chooseWorkingDirectory(JobFolder::Given, qstr(dir / name), problem).empty());
            QCOMPARE(problem, "工作目录不可用：" + QDir::toNativeSeparators(qstr(dir / name)));
        }
        QVERIFY(!std::filesystem::exists(dir / "missing"));
    }
};

QTEST_GUILESS_MAIN(TestWorkingDirectory)
#include "tst_WorkingDirectory.moc"
