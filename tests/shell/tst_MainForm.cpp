#include <QFontDatabase>
#include <QGroupBox>
#include <QSystemTrayIcon>
#include <QTimeEdit>

#include "engine/BackupRecordStore.h"
#include "engine/RunHistory.h"
#include "shell/SingleInstance.h"
#include "tests/shell/ShellTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Valid settings: a source with a nested file, an empty target, Thursday, keep one copy.
std::filesystem::path fillValid(ShellEnv& env) {
    std::filesystem::create_directories(env.dir / "src/data/sub");
    std::filesystem::create_directories(env.dir / "bak");
    writeBytes(env.dir / "src/data/sub/b.txt", "beta");
    env.edit("Edit1")->setText(qstr(env.dir / "src/data"));
    env.edit("Edit2")->setText(qstr(env.dir / "bak"));
    env.box("CheckBox4")->setChecked(true);
    env.edit("DBNumberEditEh1")->setText("1");
    return env.dir / "src/data";
}

std::size_t records(const TempDir& dir) {
    return BackupRecordStore(dir / "wenjianming.mdb").List().size();
}

void tick(ShellEnv& env, int day, int second) {
    env.clock.set(at(2014, 5, day, 9, 59, second, 900));
    env.form.FileTimer2Timer();
}

}  // namespace

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    void startupPreparesWorkingDirectoryAndLoadsConfigOnce() {
        ShellEnv env;
        for (const char* made : {"Log", "TempBackupFile", "wenjianming.mdb"}) {
            QVERIFY2(std::filesystem::exists(env.dir / made), made);
        }
        QVERIFY(!env.timerOn());
        writeBytes(env.dir / "config.ini",
                   utf8ToGbk("[备份设置]\r\n备份文件源地址=D:\\工作\\数据\r\n定时时刻=9:30:00\r\n"
                             "备份频率=星期一;星期日;\r\n备份个数=0\r\n"));
        env.form.show();
        QCOMPARE(env.edit("Edit1")->text(), QString("D:\\工作\\数据"));
        QCOMPARE(child<QTimeEdit>(env.form, "DateTimePicker1")->time(), QTime(9, 30));
        // Monday's box is CheckBox1, Wednesday's CheckBox8 and Sunday's CheckBox7.
        QVERIFY(env.box("CheckBox1")->isChecked() && env.box("CheckBox7")->isChecked());
        QVERIFY(!env.box("CheckBox8")->isChecked() && !env.box("CheckBox6")->isChecked());
        QCOMPARE(env.edit("DBNumberEditEh1")->text(), QString("0"));  // as loaded, not raised
        QVERIFY(env.dialogs.messages.isEmpty());
        env.edit("Edit1")->setText("F:\\other");  // showing again does not reload
        env.form.hide();
        env.form.show();
        QCOMPARE(env.edit("Edit1")->text(), QString("F:\\other"));
    }

    // Run also with only CJK fonts installed and at 150 % scale (tests/shell/CMakeLists.txt).
    void rowsNeitherOverlapNorClip() {
        if (qEnvironmentVariableIsSet("VANTREL_REQUIRE_CJK_FONT")) {
            QVERIFY2(QFontDatabase::families().contains("Noto Sans CJK SC"), "no CJK font");
        }
        ShellEnv env;
        env.form.show();
        const auto fits = [](QWidget* w) {
            const QFontMetrics metrics = w->fontMetrics();
            if (auto* button = qobject_cast<QPushButton*>(w)) {
                return metrics.horizontalAdvance(button->text()) + 6 <= w->width() &&
                       metrics.height() <= w->height();
            }
            if (qobject_cast<QLineEdit*>(w) || qobject_cast<QTimeEdit*>(w)) {
                return metrics.height() + 2 <= w->height();
            }
            if (auto* label = qobject_cast<QLabel*>(w); label && label->wordWrap()) {
                return label->heightForWidth(w->width()) <= w->height();
            }
            return w->width() >= w->sizeHint().width() && w->height() >= w->sizeHint().height();
        };
        for (QWidget* parent : {static_cast<QWidget*>(child<QGroupBox>(env.form, "GroupBox1")),
                                static_cast<QWidget*>(child<QGroupBox>(env.form, "GroupBox2"))}) {
            const auto widgets =
                parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
            for (QWidget* w : widgets) {
                if (!w->isVisibleTo(&env.form)) {
                    continue;
                }
                const QByteArray name = w->objectName().toUtf8();
                QVERIFY2(parent->rect().contains(w->geometry()), name);
                QVERIFY2(fits(w), name);
                for (QWidget* other : widgets) {
                    QVERIFY2(other == w || !other->isVisibleTo(&env.form) ||
                                 !other->geometry().intersects(w->geometry()),
                             name + " overlaps " + other->objectName().toUtf8());
                }
            }
        }
    }

    void shareBoxRoundTripsThroughTheFile() {
        ShellEnv env;
        writeBytes(env.dir / "config.ini", utf8ToGbk("[备份设置]\r\n共享未改动的文件=1\r\n"));
        env.form.show();
        QCheckBox* share = env.box("ShareCheckBox");
        QVERIFY(share->isChecked());
        fillValid(env);
        share->setChecked(false);
        env.click("Button6");
        QVERIFY(gbkToUtf8(readBytes(env.dir / "config.ini")).find("共享未改动的文件=0") !=
                std::string::npos);
    }

    void invalidSettingsAreRefusedBySaveAndStart() {
        const struct {
            const char *source, *target;
            bool day;
            const char *keep, *message;
        } cases[] = {{"", "", false, "", "请输入要备份的文件地址！"},
                     {"/d", "", false, "", "请输入备份文件的目的地址！"},
                     {"/d", "/b", false, "3", "请选定备份日期！"},
                     {"/d", "/b", true, "  ", "请输入备份个数！"},
                     {"/d", "/b", true, "0", "备份个数输入不合法！"}};
        for (const auto& c : cases) {
            ShellEnv env;
            env.edit("Edit1")->setText(c.source);
            env.edit("Edit2")->setText(c.target);
            env.box("CheckBox5")->setChecked(c.day);
            env.edit("DBNumberEditEh1")->setText(c.keep);
            env.click("Button6");
            env.click("Button8");
            QCOMPARE(env.dialogs.messages, QStringList(2, c.message));
            QVERIFY(!std::filesystem::exists(env.dir / "config.ini"));
            QVERIFY(!env.timerOn());
        }
        // After those, a target inside the source: a timetable that could never succeed.
        ShellEnv env;
        const auto source = fillValid(env);
        env.edit("Edit2")->setText(qstr(source / "sub"));
        env.click("Button6");
        env.click("Button8");
        QCOMPARE(env.dialogs.messages, QStringList(2, "备份文件的目的地址不能位于源地址之内！"));
        QVERIFY(!std::filesystem::exists(env.dir / "config.ini") && !env.timerOn());
    }

    void timetableStartsAtLaunchWhenSet_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("minimized");
        QTest::addColumn<bool>("started");
        QTest::newRow("on, shown") << "1" << false << true;
        QTest::newRow("on, minimised") << "1" << true << true;
        QTest::newRow("off") << "0" << false << false;
        QTest::newRow("missing") << "" << true << false;
    }

    void timetableStartsAtLaunchWhenSet() {
        QFETCH(QString, value);
        QFETCH(bool, minimized);
        QFETCH(bool, started);
        ShellEnv env;
        std::filesystem::create_directories(env.dir / "src");
        std::string ini = "[备份设置]\r\n备份文件源地址=" + pathToUtf8(env.dir / "src") +
                          "\r\n备份文件目的地址=" + pathToUtf8(env.dir / "bak") +
                          "\r\n定时时刻=10:00:00\r\n备份频率=星期四;\r\n备份个数=2\r\n";
        if (!value.isEmpty()) {
            ini += "启动时执行备份计划=" + value.toStdString() + "\r\n";
        }
        writeBytes(env.dir / "config.ini", utf8ToGbk(ini));
        if (minimized) {
            env.form.startInTray();
        } else {
            env.form.show();
        }
        QCOMPARE(env.timerOn(), started);
        QCOMPARE(env.box("CheckBoxStartAtLaunch")->isChecked(), value == "1");
        QVERIFY(env.dialogs.messages.isEmpty());
        const QString area = child<QLabel>(env.form, "StatusArea")->text();
        QVERIFY2(area.contains(started ? "下次备份：2014-05-15 09:59:50（星期四）"
                                       : "下次备份：备份计划未启动"),
                 qPrintable(area));
        if (started) {
            tick(env, 15, 50);  // and it runs at the set time
            QTRY_VERIFY(std::filesystem::is_directory(env.dir / "bak/src_20140515"));
            QTRY_VERIFY(!env.form.runInProgress());
        }
    }

    void cancelStopsTheRunAndLeavesNothingBehind() {
        ShellEnv env;
        env.form.show();
        const auto source = fillValid(env);
        // Enough files that the copy is still going when the button is pressed.
        for (int i = 0; i < 500; ++i) {
            writeBytes(source / ("f" + std::to_string(i)), std::string(4096, 'x'));
        }
        env.click("Button10");
        QVERIFY(env.button("CancelButton")->isVisible());
        env.click("CancelButton");
        QTRY_VERIFY(!env.form.runInProgress());
        QCOMPARE(env.panel1(), QString("文件备份已取消"));
        QVERIFY(env.dialogs.messages.isEmpty());
        QVERIFY(!env.button("CancelButton")->isVisible());
        QVERIFY(!child<QWidget>(env.form, "ProgressBar")->isVisible());
        for (const auto& e : std::filesystem::directory_iterator(env.dir / "bak")) {
            QVERIFY2(!e.is_directory(), qPrintable(qstr(e.path())));  // neither copy nor staging
        }
        QVERIFY(!std::filesystem::exists(env.dir / "Log/FileBackupLog.log") ||
                readBytes(env.dir / "Log/FileBackupLog.log").empty());
        QCOMPARE(records(env.dir), std::size_t(0));
        const auto rows = RunHistory(env.dir / "wenjianming.mdb").list();
        QCOMPARE(rows.size(), std::size_t(1));
        QCOMPARE(rows[0].outcome, RunOutcome::Cancelled);
    }

    void progressShowsShareDoneAndTimeLeft_data() {
        QTest::addColumn<qulonglong>("files");
        QTest::addColumn<qulonglong>("bytes");
        QTest::addColumn<qulonglong>("totalFiles");
        QTest::addColumn<qulonglong>("totalBytes");
        QTest::addColumn<int>("elapsedMs");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("permille");
        QTest::addColumn<QString>("left");
        QTest::newRow("a quarter in 10 s")
            << 5ull << 256ull * 1024 << 20ull << 1024ull * 1024 << 10000
            << "文件备份中…… 5/20 个文件，256.0 KB/1.0 MB" << 250 << "剩余约 30 秒";
        QTest::newRow("too early to tell")
            << 1ull << 1000ull << 20ull << 4000ull << 1000
            << "文件备份中…… 1/20 个文件，1000 B/3.9 KB" << 250 << "";
        QTest::newRow("empty files count by files")
            << 3ull << 0ull << 4ull << 0ull << 6000 << "文件备份中…… 3/4 个文件，0 B/0 B" << 750
            << "剩余约 2 秒";
        QTest::newRow("no total") << 7ull << 2048ull << 0ull << 0ull << 5000
                                  << "文件备份中…… 7 个文件，2.0 KB" << -1 << "";
    }

    void progressShowsShareDoneAndTimeLeft() {
        QFETCH(qulonglong, files);
        QFETCH(qulonglong, bytes);
        QFETCH(qulonglong, totalFiles);
        QFETCH(qulonglong, totalBytes);
        QFETCH(int, elapsedMs);
        const CopyProgress done{files, bytes};
        TreeSize total;
        total.files = totalFiles;
        total.bytes = totalBytes;
        QTEST(ShellUi::progressText(done, total), "text");
        QTEST(ShellUi::permille(done, total), "permille");
        QTEST(ShellUi::timeLeftText(done, total, std::chrono::milliseconds(elapsedMs)), "left");
    }

    void secondStartInTheSameDirectoryHandsOverToTheFirst() {
        TempDir dir, other;
        SingleInstance first(dir.path());
        QVERIFY(first.claim());
        QSignalSpy asked(&first, &SingleInstance::activationRequested);
        SingleInstance second(dir.path() / "sub" / "..");  // the same directory, spelled apart
        QVERIFY(!second.claim());
        QTRY_COMPARE(asked.count(), 1);
        SingleInstance elsewhere(other.path());
        QVERIFY(elsewhere.claim());
        QCOMPARE(asked.count(), 1);
    }

    void statusAreaFollowsRunsAndTheTimetable() {
        ShellEnv env;
        env.form.show();
        const auto area = [&] { return child<QLabel>(env.form, "StatusArea")->text(); };
        QVERIFY2(area().contains("备份状态：从未备份"), qPrintable(area()));
        fillValid(env);
        child<QTimeEdit>(env.form, "DateTimePicker1")->setTime(QTime(10, 0));
        env.click("Button10");
        QTRY_VERIFY(!env.form.runInProgress());
        QVERIFY2(area().contains("备份状态：正常") && area().contains("2014-05-15 09:00（刚刚）"),
                 qPrintable(area()));
        env.click("Button8");
        QVERIFY(area().contains("下次备份：2014-05-15 09:59:50（星期四）"));
        env.click("Button9");
        QVERIFY(area().contains("下次备份：备份计划未启动"));

        // A failed scheduled run says so, and of which job.
        env.click("Button8");
        std::filesystem::remove_all(env.dir / "src");
        tick(env, 15, 50);
        QTRY_VERIFY(!env.form.runInProgress());
        QCOMPARE(env.dialogs.messages.size(), 1);
        QVERIFY2(env.dialogs.messages[0].startsWith("备份计划的定时备份失败（工作目录：" +
                                                    qstr(env.dir.path()) + "）：\n文件备份失败！"),
                 qPrintable(env.dialogs.messages[0]));
        QVERIFY(area().contains("备份状态：失败"));
        QVERIFY(env.form.trayAlarm());
        const auto rows = RunHistory(env.dir / "wenjianming.mdb").list();
        QCOMPARE(rows.size(), std::size_t(2));
        QCOMPARE(rows[0].trigger, RunTrigger::Timetable);
        QCOMPARE(rows[1].trigger, RunTrigger::Manual);
    }

    void keepCountFieldFiltersKeysAndCommitsOnLeaving() {
        const struct {
            const char *typed, *shown, *committed;
        } cases[] = {
            {"3.00", "3.00", "3"}, {"2,5", "2,5", "2.5"}, {"0.5", "0.5", "1"}, {"1x2", "12", "12"}};
        for (const auto& c : cases) {
            ShellEnv env;
            QLineEdit* field = env.edit("DBNumberEditEh1");
            QTest::keyClicks(field, c.typed);
            QCOMPARE(field->text(), QString(c.shown));
            QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
            QCoreApplication::sendEvent(field, &leave);
            QCOMPARE(field->text(), QString(c.committed));
        }
    }

    void manualBackupRunsOnceOnWorkerAndReportsFailures() {
        ShellEnv env;
        const auto source = fillValid(env);
        env.edit("Edit1")->setText(qstr(env.dir / "missing"));
        env.click("Button10");
        QTRY_VERIFY(!env.form.runInProgress());
        // The worker's exception reaches the one handler; the commands come back.
        QVERIFY(env.dialogs.messages.size() == 1 &&
                env.dialogs.messages.takeFirst().contains("missing"));
        QCOMPARE(env.panel1(), QString("文件备份失败！"));

        env.dialogs.folders = {qstr(source), qstr(env.dir / "bak"), std::nullopt};
        env.click("Button4");
        env.click("Button5");
        env.click("Button4");  // cancelled: changes nothing
        QCOMPARE(
            env.dialogs.prompts.mid(0, 2),
            (QStringList{"请选择备份文件源地址", "请选择备份文件目的地址，文件将备份到指定位置"}));
        QCOMPARE(env.edit("Edit1")->text(), qstr(source));
        env.click("Button8");  // a started timetable ticks during the run below
        env.click("Button10");
        QVERIFY(!env.button("Button8")->isEnabled() && !env.button("Button9")->isEnabled() &&
                !env.button("Button10")->isEnabled());
        env.form.Button10Click();  // neither a command nor a tick starts a second run
        tick(env, 15, 50);
        QTRY_VERIFY(!env.form.runInProgress());
        QVERIFY(env.dialogs.messages.isEmpty());
        QVERIFY2(env.panel1().startsWith("文件备份完毕！用时 "), qPrintable(env.panel1()));
        QVERIFY(env.button("Button10")->isEnabled());
        const auto copy = env.dir / "bak/data_20140515";
        QCOMPARE(readBytes(copy / "sub/b.txt"), std::string("beta"));
        const std::string log = gbkToUtf8(readBytes(env.dir / "Log/FileBackupLog.log"));
        QVERIFY(log.find("   成功备份至   " + pathToUtf8(copy)) != std::string::npos);
        QCOMPARE(records(env.dir), std::size_t(1));

        // Ending during a run waits for it to finish up to its row.
        env.clock.set(at(2014, 5, 16, 9, 0, 0));
        env.click("Button10");
        env.owned.reset();
        QCOMPARE(records(env.dir), std::size_t(2));
    }

    void scheduledRunsCopyPruneAndCloseAsks() {
        ShellEnv env;
        env.form.show();
        fillValid(env);
        env.box("CheckBox5")->setChecked(true);
        env.box("CheckBox6")->setChecked(true);
        child<QTimeEdit>(env.form, "DateTimePicker1")->setTime(QTime(10, 0));
        env.click("Button8");
        QVERIFY(env.timerOn());
        QCOMPARE(env.panel1(), QString("启动备份计划"));
        const std::string ini = readBytes(env.dir / "config.ini");
        QVERIFY(ini.find(utf8ToGbk("星期四;星期五;星期六 ;")) != std::string::npos);
        tick(env, 15, 50);
        QTRY_VERIFY(std::filesystem::is_directory(env.dir / "bak/data_20140515"));
        QTRY_VERIFY(!env.form.runInProgress());
        // Next day the new copy is made and the older one pruned down to the one kept.
        tick(env, 16, 50);
        QTRY_VERIFY(!env.form.runInProgress());
        QVERIFY(env.dialogs.messages.isEmpty());
        QVERIFY(std::filesystem::is_directory(env.dir / "bak/data_20140516"));
        QVERIFY(!std::filesystem::exists(env.dir / "bak/data_20140515"));
        QCOMPARE(records(env.dir), std::size_t(1));
        // Closing asks; No keeps the window and the timetable.
        env.dialogs.answers = {Dialogs::Answer::No, Dialogs::Answer::Yes};
        QVERIFY(!env.form.close());
        QVERIFY(env.form.isVisible() && env.timerOn());
        env.click("Button9");
        QVERIFY(!env.timerOn());
        QCOMPARE(env.panel1(), QString("终止备份计划"));
        QVERIFY(env.form.close());
        QCOMPARE(env.dialogs.questions, QStringList(2, "您确定要退出该系统吗？"));
    }

    void minimiseHidesInTheTrayOnlyWhereThereIsOne() {
        const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
        QVERIFY(tray || qEnvironmentVariableIsEmpty("VANTREL_REQUIRE_TRAY"));
        ShellEnv env;
        writeBytes(env.dir / "config.ini", utf8ToGbk("[备份设置]\r\n备份文件源地址=/data\r\n"));
        env.form.startInTray();  // started minimised, with the settings loaded
        QCOMPARE(env.edit("Edit1")->text(), QString("/data"));
        if (!tray) {  // no way back from hiding: stays on the taskbar
            QVERIFY(env.form.isVisible() && env.form.isMinimized() && !env.form.inTray());
            QVERIFY(!env.form.findChild<QSystemTrayIcon*>());
            return;
        }
        QTRY_VERIFY(!env.form.isVisible() && env.form.inTray());
        emit env.form.findChild<QSystemTrayIcon*>()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(QTest::qWaitForWindowExposed(&env.form));
        env.edit("Edit1")->setText("/unsaved");
        env.form.setWindowState(env.form.windowState() | Qt::WindowMinimized);
        QTRY_VERIFY(!env.form.isVisible() && env.form.inTray());
        auto* icon = env.form.findChild<QSystemTrayIcon*>();
        QVERIFY(icon && icon->isVisible());
        // First the program, then which job, its health and its next run.
        QCOMPARE(icon->toolTip().split('\n'),
                 (QStringList{"Vantrel", qstr(env.dir.path().filename()), "备份状态：从未备份",
                              "下次备份：备份计划未启动"}));
        emit icon->activated(QSystemTrayIcon::Context);  // a right click does nothing
        QVERIFY(!env.form.isVisible());
        emit icon->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(env.form.isVisible() && !env.form.isMinimized() && !env.form.inTray());
        QTRY_VERIFY(!env.form.findChild<QSystemTrayIcon*>());
        QCOMPARE(env.edit("Edit1")->text(), QString("/unsaved"));
    }

    void runEndingInTheTrayNotifiesFailuresOnly() {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            QVERIFY(qEnvironmentVariableIsEmpty("VANTREL_REQUIRE_TRAY"));
            QSKIP("no notification area");
        }
        ShellEnv env;
        env.form.show();
        const auto source = fillValid(env);
        env.form.setWindowState(env.form.windowState() | Qt::WindowMinimized);
        QTRY_VERIFY(env.form.inTray());
        env.form.Button10Click();
        QTRY_VERIFY(!env.form.runInProgress());
        QVERIFY(env.form.lastNotification().isEmpty());  // success stays quiet
        std::filesystem::remove_all(source);
        env.form.Button10Click();
        QTRY_VERIFY(!env.form.runInProgress());
        const QStringList shown = env.form.lastNotification();
        QCOMPARE(shown.value(0), "Vantrel：" + qstr(env.dir.path()));
        QVERIFY2(shown.value(1).startsWith("备份失败：文件备份失败！"), qPrintable(shown.value(1)));
        auto* icon = env.form.findChild<QSystemTrayIcon*>();
        QVERIFY(icon && icon->toolTip().contains("备份状态：失败"));
        // One notification: no box opens over whatever window is in front.
        QVERIFY(env.dialogs.messages.isEmpty());
    }
};

QTEST_MAIN(TestMainForm)
#include "tst_MainForm.moc"
