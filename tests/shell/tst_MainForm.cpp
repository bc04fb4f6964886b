#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimeEdit>
#include <QTimer>

#include "engine/BackupRecordStore.h"
#include "tests/shell/ShellTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

QString panel1(TMainForm& form) {
    return child<QLabel>(form, "StatusPanel1")->text();
}

std::filesystem::path makeSource(const TempDir& dir) {
    std::filesystem::create_directories(dir / "src/data/sub");
    writeBytes(dir / "src/data/a.txt", "alpha");
    writeBytes(dir / "src/data/sub/b.txt", "beta");
    std::filesystem::create_directories(dir / "bak");
    return dir / "src/data";
}

void fillValid(ShellEnv& env) {
    child<QLineEdit>(env.form, "Edit1")->setText(qstr(makeSource(env.dir)));
    child<QLineEdit>(env.form, "Edit2")->setText(qstr(env.dir / "bak"));
    child<QCheckBox>(env.form, "CheckBox4")->setChecked(true);  // Thursday
    child<QTimeEdit>(env.form, "DateTimePicker1")->setTime(QTime(10, 0));
}

int logLineCount(const TempDir& dir) {
    const std::string log = readBytes(dir / "Log/FileBackupLog.log");
    int lines = 0;
    for (std::size_t at = log.find("\r\n"); at != std::string::npos;
         at = log.find("\r\n", at + 2)) {
        ++lines;
    }
    return lines;
}

}  // namespace

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    void startupPreparesWorkingDirectory();
    void loadsConfigIntoFieldsWhenShown();
    void badTimeInConfigKeepsFieldsReadBefore();
    void saveRefusesInvalidSettings_data();
    void saveRefusesInvalidSettings();
    void saveWritesDayListWithCaptionBlanks();
    void keepCountFieldFiltersKeysAndCommitsOnLeaving_data();
    void keepCountFieldFiltersKeysAndCommitsOnLeaving();
    void manualBackupRunsOnceOnWorker();
    void failedBackupIsShownAndFreesTheCommands();
    void endingDuringARunWaitsForTheCopy();
    void scheduledRunsCopyAndPruneAtTheSetTime();
    void closeAsksAndNoKeepsTheSchedule();
    void minimiseWithoutTrayStaysReachable();
    void minimiseToTrayAndRestoreKeepsFields();
};

void TestMainForm::startupPreparesWorkingDirectory() {
    ShellEnv env;
    QVERIFY(std::filesystem::is_directory(env.dir / "Log"));
    QVERIFY(std::filesystem::is_directory(env.dir / "TempBackupFile"));
    QVERIFY(std::filesystem::is_regular_file(env.dir / "wenjianming.mdb"));
    QVERIFY(!child<QTimer>(env.form, "FileTimer2")->isActive());
    QCOMPARE(child<QTimer>(env.form, "FileTimer2")->interval(), 1000);
    QVERIFY(env.dialogs.messages.isEmpty());
}

void TestMainForm::loadsConfigIntoFieldsWhenShown() {
    ShellEnv env;
    writeBytes(
        env.dir / "config.ini",
        utf8ToGbk("[备份设置]\r\n备份文件源地址=D:\\工作\\数据\r\n备份文件目的地址=E:\\bak\r\n"
                  "定时时刻=9:30:00\r\n备份频率=星期一;星期日;\r\n备份个数=0\r\n"));
    env.form.show();
    QCOMPARE(child<QLineEdit>(env.form, "Edit1")->text(), QString("D:\\工作\\数据"));
    QCOMPARE(child<QLineEdit>(env.form, "Edit2")->text(), QString("E:\\bak"));
    QCOMPARE(child<QTimeEdit>(env.form, "DateTimePicker1")->time(), QTime(9, 30));
    QVERIFY(child<QCheckBox>(env.form, "CheckBox1")->isChecked());
    QVERIFY(child<QCheckBox>(env.form, "CheckBox7")->isChecked());
    for (const char* other : {"CheckBox2", "CheckBox8", "CheckBox4", "CheckBox5", "CheckBox6"}) {
        QVERIFY2(!child<QCheckBox>(env.form, other)->isChecked(), other);
    }
    // A loaded value below the minimum is shown as it is, not raised.
    QCOMPARE(child<QLineEdit>(env.form, "DBNumberEditEh1")->text(), QString("0"));
    QVERIFY(!child<QLabel>(env.form, "StatusPanel0")->text().isEmpty());
    QVERIFY(env.dialogs.messages.isEmpty());

    // Showing again (after a trip to the tray) does not reload.
    child<QLineEdit>(env.form, "Edit2")->setText("F:\\other");
    env.form.hide();
    env.form.show();
    QCOMPARE(child<QLineEdit>(env.form, "Edit2")->text(), QString("F:\\other"));
}

void TestMainForm::badTimeInConfigKeepsFieldsReadBefore() {
    ShellEnv env;
    writeBytes(env.dir / "config.ini",
               utf8ToGbk("[备份设置]\r\n备份文件源地址=D:\\data\r\n备份文件目的地址=E:\\bak\r\n"
                         "定时时刻=soon\r\n备份频率=星期一;\r\n备份个数=2\r\n"));
    env.form.show();
    QCOMPARE(env.dialogs.messages.size(), 1);
    QVERIFY(env.dialogs.messages.front().contains("soon"));
    QCOMPARE(child<QLineEdit>(env.form, "Edit1")->text(), QString("D:\\data"));
    QVERIFY(env.form.isVisible());
}

void TestMainForm::saveRefusesInvalidSettings_data() {
    QTest::addColumn<bool>("source");
    QTest::addColumn<bool>("target");
    QTest::addColumn<bool>("day");
    QTest::addColumn<QString>("keep");
    QTest::addColumn<QString>("message");
    QTest::newRow("everything empty stops at the first test") << false << false << false << ""
                                                              << "请输入要备份的文件地址！";
    QTest::newRow("no target") << true << false << false << ""
                               << "请输入备份文件的目的地址！";
    QTest::newRow("no day") << true << true << false << "3"
                            << "请选定备份日期！";
    QTest::newRow("blank keep count") << true << true << true << "  "
                                      << "请输入备份个数！";
    QTest::newRow("loaded zero") << true << true << true << "0"
                                 << "备份个数输入不合法！";
    QTest::newRow("lone sign") << true << true << true << "-"
                               << "备份个数输入不合法！";
}

void TestMainForm::saveRefusesInvalidSettings() {
    QFETCH(bool, source);
    QFETCH(bool, target);
    QFETCH(bool, day);
    QFETCH(QString, keep);
    QFETCH(QString, message);
    ShellEnv env;
    if (source) {
        child<QLineEdit>(env.form, "Edit1")->setText("/data");
    }
    if (target) {
        child<QLineEdit>(env.form, "Edit2")->setText("/bak");
    }
    child<QCheckBox>(env.form, "CheckBox5")->setChecked(day);
    child<QLineEdit>(env.form, "DBNumberEditEh1")->setText(keep);

    child<QPushButton>(env.form, "Button6")->click();
    QCOMPARE(env.dialogs.messages, QStringList{message});
    QVERIFY(!std::filesystem::exists(env.dir / "config.ini"));

    // The start command refuses the same way and leaves the timer off.
    env.dialogs.messages.clear();
    child<QPushButton>(env.form, "Button8")->click();
    QCOMPARE(env.dialogs.messages, QStringList{message});
    QVERIFY(!child<QTimer>(env.form, "FileTimer2")->isActive());
}

void TestMainForm::saveWritesDayListWithCaptionBlanks() {
    ShellEnv env;
    child<QLineEdit>(env.form, "Edit1")->setText("/data");
    child<QLineEdit>(env.form, "Edit2")->setText("/bak");
    child<QCheckBox>(env.form, "CheckBox8")->setChecked(true);
    child<QCheckBox>(env.form, "CheckBox6")->setChecked(true);
    child<QLineEdit>(env.form, "DBNumberEditEh1")->setText("2");
    child<QPushButton>(env.form, "Button6")->click();
    QVERIFY(env.dialogs.messages.isEmpty());
    QCOMPARE(panel1(env.form), QString("配置文件保存完毕!"));
    const std::string ini = readBytes(env.dir / "config.ini");
    QVERIFY(ini.find(utf8ToGbk("星期三;星期六 ;")) != std::string::npos);
}

void TestMainForm::keepCountFieldFiltersKeysAndCommitsOnLeaving_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("committed");
    QTest::newRow("shortest form") << "3.00"
                                   << "3.00"
                                   << "3";
    QTest::newRow("comma is the decimal separator") << "2,5"
                                                    << "2,5"
                                                    << "2.5";
    QTest::newRow("below one is raised") << "0.5"
                                         << "0.5"
                                         << "1";
    QTest::newRow("letters dropped") << "1x2"
                                     << "12"
                                     << "12";
    QTest::newRow("lone sign becomes one") << "-"
                                           << "-"
                                           << "1";
}

void TestMainForm::keepCountFieldFiltersKeysAndCommitsOnLeaving() {
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, committed);
    ShellEnv env;
    auto* field = child<QLineEdit>(env.form, "DBNumberEditEh1");
    QTest::keyClicks(field, typed);
    QCOMPARE(field->text(), shown);
    QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(field, &leave);
    QCOMPARE(field->text(), committed);
    QVERIFY(env.dialogs.messages.isEmpty());
}

void TestMainForm::manualBackupRunsOnceOnWorker() {
    ShellEnv env;
    const auto source = makeSource(env.dir);
    env.dialogs.folders = {qstr(source), qstr(env.dir / "bak")};
    child<QPushButton>(env.form, "Button4")->click();
    child<QPushButton>(env.form, "Button5")->click();
    QCOMPARE(env.dialogs.prompts,
             (QStringList{"请选择备份文件源地址", "请选择备份文件目的地址，文件将备份到指定位置"}));
    QCOMPARE(child<QLineEdit>(env.form, "Edit1")->text(), qstr(source));
    // A cancelled picker changes nothing.
    child<QPushButton>(env.form, "Button4")->click();
    QCOMPARE(child<QLineEdit>(env.form, "Edit1")->text(), qstr(source));

    child<QPushButton>(env.form, "Button10")->click();
    // Until the outcome reaches the window, the run holds the three commands.
    QVERIFY(env.form.runInProgress());
    for (const char* name : {"Button8", "Button9", "Button10"}) {
        QVERIFY2(!child<QPushButton>(env.form, name)->isEnabled(), name);
    }
    QVERIFY(child<QPushButton>(env.form, "Button6")->isEnabled());
    env.form.Button10Click();  // no second run while one is under way
    env.form.FileTimer2Timer();
    QTRY_VERIFY(!env.form.runInProgress());

    QVERIFY(env.dialogs.messages.isEmpty());
    QCOMPARE(panel1(env.form), QString("文件备份完毕！"));
    QVERIFY(child<QPushButton>(env.form, "Button10")->isEnabled());
    const auto copy = env.dir / "bak/data_20140515";
    QCOMPARE(readBytes(copy / "sub/b.txt"), std::string("beta"));
    QCOMPARE(logLineCount(env.dir), 1);
    const std::string line = gbkToUtf8(readBytes(env.dir / "Log/FileBackupLog.log"));
    QVERIFY(line.find("   成功备份至   " + pathToUtf8(copy)) != std::string::npos);
    BackupRecordStore store(env.dir / "wenjianming.mdb");
    const auto rows = store.List();
    QCOMPARE(rows.size(), std::size_t(1));
    QCOMPARE(rows.front().path, pathToUtf8(copy));
}

void TestMainForm::failedBackupIsShownAndFreesTheCommands() {
    ShellEnv env;
    child<QPushButton>(env.form, "Button10")->click();
    QTRY_VERIFY(!env.form.runInProgress());
    QCOMPARE(env.dialogs.messages, QStringList{"请输入要备份的文件地址！"});
    QVERIFY(panel1(env.form).isEmpty());

    env.dialogs.messages.clear();
    std::filesystem::create_directories(env.dir / "bak");
    child<QLineEdit>(env.form, "Edit1")->setText(qstr(env.dir / "missing"));
    child<QLineEdit>(env.form, "Edit2")->setText(qstr(env.dir / "bak"));
    child<QPushButton>(env.form, "Button10")->click();
    QTRY_VERIFY(!env.form.runInProgress());
    // The worker's exception reaches the one handler on the window's thread.
    QCOMPARE(env.dialogs.messages.size(), 1);
    QVERIFY(env.dialogs.messages.front().contains("missing"));
    QCOMPARE(panel1(env.form), QString("文件备份失败！"));
    QVERIFY(child<QPushButton>(env.form, "Button10")->isEnabled());
    QVERIFY(!std::filesystem::exists(env.dir / "bak/missing_20140515"));
}

void TestMainForm::endingDuringARunWaitsForTheCopy() {
    TempDir dir;
    FakeClock clock{at(2014, 5, 15, 9, 0, 0)};
    FakeDialogs dialogs;
    auto form = std::make_unique<TMainForm>(dir.path(), clock, dialogs);
    child<QLineEdit>(*form, "Edit1")->setText(qstr(makeSource(dir)));
    child<QLineEdit>(*form, "Edit2")->setText(qstr(dir / "bak"));
    child<QPushButton>(*form, "Button10")->click();
    QVERIFY(form->runInProgress());
    form.reset();
    // The run finished with its log line and row; nothing half-made is left behind.
    QCOMPARE(readBytes(dir / "bak/data_20140515/a.txt"), std::string("alpha"));
    QCOMPARE(logLineCount(dir), 1);
    QCOMPARE(BackupRecordStore(dir / "wenjianming.mdb").List().size(), std::size_t(1));
    QCOMPARE(std::distance(std::filesystem::directory_iterator(dir / "bak"),
                           std::filesystem::directory_iterator()),
             1);
}

void TestMainForm::scheduledRunsCopyAndPruneAtTheSetTime() {
    ShellEnv env;
    fillValid(env);
    child<QCheckBox>(env.form, "CheckBox5")->setChecked(true);  // Friday too
    child<QLineEdit>(env.form, "DBNumberEditEh1")->setText("1");
    env.clock.set(at(2014, 5, 15, 9, 59, 40));
    child<QPushButton>(env.form, "Button8")->click();
    QVERIFY(child<QTimer>(env.form, "FileTimer2")->isActive());
    QCOMPARE(panel1(env.form), QString("启动备份计划"));
    QVERIFY(std::filesystem::exists(env.dir / "config.ini"));

    // Ticks up to 9:59:49 do nothing; the 9:59:50 tick starts the run.
    for (int second = 41; second <= 49; ++second) {
        env.clock.set(at(2014, 5, 15, 9, 59, second, 900));
        env.form.FileTimer2Timer();
        QVERIFY(!env.form.runInProgress());
    }
    env.clock.set(at(2014, 5, 15, 9, 59, 50, 900));
    env.form.FileTimer2Timer();
    QVERIFY(env.form.runInProgress());
    QTRY_VERIFY(!env.form.runInProgress());
    QVERIFY(std::filesystem::is_directory(env.dir / "bak/data_20140515"));
    env.form.FileTimer2Timer();  // the same second again: no second run
    QVERIFY(!env.form.runInProgress());

    // Next day: the new copy is made and the older one pruned down to the one kept.
    env.clock.set(at(2014, 5, 16, 9, 59, 49, 900));
    env.form.FileTimer2Timer();
    env.clock.set(at(2014, 5, 16, 9, 59, 50, 900));
    env.form.FileTimer2Timer();
    QTRY_VERIFY(!env.form.runInProgress());
    QVERIFY(env.dialogs.messages.isEmpty());
    QVERIFY(std::filesystem::is_directory(env.dir / "bak/data_20140516"));
    QVERIFY(!std::filesystem::exists(env.dir / "bak/data_20140515"));
    QCOMPARE(logLineCount(env.dir), 2);
    QCOMPARE(BackupRecordStore(env.dir / "wenjianming.mdb").List().size(), std::size_t(1));

    child<QPushButton>(env.form, "Button9")->click();
    QVERIFY(!child<QTimer>(env.form, "FileTimer2")->isActive());
    QCOMPARE(panel1(env.form), QString("终止备份计划"));
}

void TestMainForm::closeAsksAndNoKeepsTheSchedule() {
    ShellEnv env;
    env.form.show();
    fillValid(env);
    child<QLineEdit>(env.form, "DBNumberEditEh1")->setText("1");
    child<QPushButton>(env.form, "Button8")->click();

    env.dialogs.answers = {Dialogs::Answer::No};
    QVERIFY(!env.form.close());
    QVERIFY(env.form.isVisible());
    QVERIFY(child<QTimer>(env.form, "FileTimer2")->isActive());
    QCOMPARE(env.dialogs.questions, QStringList{"您确定要退出该系统吗？"});

    env.dialogs.answers = {Dialogs::Answer::Yes};
    QVERIFY(env.form.close());
}

void TestMainForm::minimiseWithoutTrayStaysReachable() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        QSKIP("a notification area is available here");
    }
    ShellEnv env;
    writeBytes(env.dir / "config.ini", utf8ToGbk("[备份设置]\r\n备份文件源地址=/data\r\n"));
    // Started minimised: the settings are loaded and the window stays on the taskbar.
    env.form.startInTray();
    QCOMPARE(child<QLineEdit>(env.form, "Edit1")->text(), QString("/data"));
    QVERIFY(!env.form.inTray());
    QVERIFY(env.form.isVisible());
    QVERIFY(env.form.isMinimized());
    QVERIFY(!env.form.findChild<QSystemTrayIcon*>());
}

void TestMainForm::minimiseToTrayAndRestoreKeepsFields() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // When run on purpose under a desktop with a tray, a missing tray is a failure.
        QVERIFY(qEnvironmentVariableIsEmpty("VANTREL_REQUIRE_TRAY"));
        QSKIP("no notification area on this desktop");
    }
    ShellEnv env;
    env.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&env.form));
    child<QLineEdit>(env.form, "Edit1")->setText("/unsaved");
    env.form.setWindowState(env.form.windowState() | Qt::WindowMinimized);
    QTRY_VERIFY(!env.form.isVisible());
    QVERIFY(env.form.inTray());
    auto* icon = env.form.findChild<QSystemTrayIcon*>();
    QVERIFY(icon);
    QVERIFY(icon->isVisible());
    QCOMPARE(icon->toolTip(), QString("Vantrel"));

    emit icon->activated(QSystemTrayIcon::Context);  // a right click does nothing
    QVERIFY(!env.form.isVisible());
    emit icon->activated(QSystemTrayIcon::Trigger);
    QTRY_VERIFY(env.form.isVisible());
    QVERIFY(!env.form.isMinimized());
    QVERIFY(!env.form.inTray());
    QTRY_VERIFY(!env.form.findChild<QSystemTrayIcon*>());
    QCOMPARE(child<QLineEdit>(env.form, "Edit1")->text(), QString("/unsaved"));
}

QTEST_MAIN(TestMainForm)
#include "tst_MainForm.moc"
