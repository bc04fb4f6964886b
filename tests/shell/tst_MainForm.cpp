#include <QApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimeEdit>

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

}  // namespace

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    // The window draws and forwards; what it forwards is decided and tested in the presenter.
    void widgetsAreWiredToThePresenter() {
        ShellEnv env;
        writeBytes(env.dir / "config.ini",
                   utf8ToGbk("[备份设置]\r\n备份文件源地址=D:\\工作\\数据\r\n定时时刻=9:30:00\r\n"
                             "备份频率=星期一;星期三;\r\n备份个数=0\r\n共享未改动的文件=1\r\n"));
        env.form.show();
        QCOMPARE(env.edit("Edit1")->text(), QString("D:\\工作\\数据"));
        QCOMPARE(child<QTimeEdit>(env.form, "DateTimePicker1")->time(), QTime(9, 30));
        // Monday's box is CheckBox1, Wednesday's CheckBox8.
        QVERIFY(env.box("CheckBox1")->isChecked() && env.box("CheckBox8")->isChecked());
        QVERIFY(!env.box("CheckBox4")->isChecked() && env.box("ShareCheckBox")->isChecked());
        QVERIFY(env.box("GuardCheckBox")->isChecked());  // on unless the file says "0"
        QCOMPARE(env.edit("DBNumberEditEh1")->text(), QString("0"));
        QVERIFY(child<QLabel>(env.form, "StatusArea")->text().contains("备份状态：从未备份"));

        env.dialogs.folders = {qstr(env.dir / "src/data"), qstr(env.dir / "bak")};
        env.click("Button4");
        env.click("Button5");
        QCOMPARE(env.edit("Edit2")->text(), qstr(env.dir / "bak"));
        fillValid(env);
        env.box("ShareCheckBox")->setChecked(false);
        env.box("GuardCheckBox")->setChecked(false);
        env.click("Button6");
        QCOMPARE(env.panel1(), QString("配置文件保存完毕!"));
        const std::string ini = gbkToUtf8(readBytes(env.dir / "config.ini"));
        QVERIFY(ini.find("备份频率=星期一;星期三;星期四;") != std::string::npos &&
                ini.find("共享未改动的文件=0") != std::string::npos &&
                ini.find("异常变化保护=0") != std::string::npos);

        env.click("Button8");
        QVERIFY(env.timerOn());
        env.click("Button9");
        QVERIFY(!env.timerOn());
        env.click("Button10");
        QVERIFY(!env.button("Button10")->isEnabled() && env.button("CancelButton")->isVisible());
        env.form.waitForRun();
        QVERIFY2(env.panel1().startsWith("文件备份完毕！"), qPrintable(env.panel1()));
        QVERIFY(env.button("Button10")->isEnabled() && !env.button("CancelButton")->isVisible());
        QVERIFY(std::filesystem::is_directory(env.dir / "bak/data_20140515"));

        env.click("Button7");
        QWidget* viewer = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            viewer = widget->objectName() == "LogShowForm" ? widget : viewer;
        }
        QVERIFY(viewer && viewer->isVisible());
        delete viewer;
        env.dialogs.answers = {Dialogs::Answer::No};
        QVERIFY(!env.form.close());
        QCOMPARE(env.dialogs.questions, QStringList{"您确定要退出该系统吗？"});
        QVERIFY(env.dialogs.messages.isEmpty());
        // 预览 shows what the rules in the field leave out; a preset adds its patterns.
        env.edit("ExcludeRulesEdit")->setText("sub/");
        env.button("ExcludePresets")->menu()->actions().front()->trigger();
        QVERIFY(env.edit("ExcludeRulesEdit")->text().startsWith("sub/|*.tmp|*.temp|"));
        env.click("ExcludePreview");
        QVERIFY2(
            !env.dialogs.messages.isEmpty() && env.dialogs.messages.back().contains("排除 1 项"),
            qPrintable(env.dialogs.messages.join('\n')));
    }

    // Run also with only CJK fonts installed and at 150 % scale (tests/shell/CMakeLists.txt).
    void rowsNeitherOverlapNorClip() {
        if (qEnvironmentVariableIsSet("VANTREL_REQUIRE_CJK_FONT")) {
            QVERIFY2(QFontDatabase::families().contains("Noto Sans CJK SC"), "no CJK font");
        }
        ShellEnv env;
        env.form.show();
        // The fullest health area: pruning held, with the command to confirm under it.
        HealthView held;
        held.state = JobHealth::State::Warning;
        held.summary = "备份状态：警告（大量文件被修改或删除，旧备份暂不清理，待确认）";
        held.lastComplete = "上次完整备份：2014-05-22 09:59（1 天前）";
        held.nextRun = "下次备份：2014-05-29 09:59:50（星期四）";
        held.changesHeld = true;
        env.form.showHealth(held);
        QVERIFY(env.button("ButtonConfirmChanges")->isVisible());
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

    // While a run goes, the progress bar and 取消 are shown whole, inside the status bar, and
    // nothing lies over them: a press where 取消 is drawn reaches it.
    void cancelIsWholeAndOnTopWhileARunGoes() {
        ShellEnv env;
        env.form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&env.form));
        env.form.showRunning(true);
        env.form.showProgress(
            {"文件备份中…… 1200/3000 个文件，12.4 MB/30.0 MB", 400, "剩余约 3 分 5 秒"});
        QCoreApplication::processEvents();
        QStatusBar* bar = env.form.statusBar();
        for (QWidget* w : {static_cast<QWidget*>(env.button("CancelButton")),
                           static_cast<QWidget*>(child<QProgressBar>(env.form, "ProgressBar"))}) {
            const QByteArray name = w->objectName().toUtf8();
            QVERIFY2(w->isVisible(), name);
            const QRect inBar(w->mapTo(bar, QPoint(0, 0)), w->size());
            QVERIFY2(bar->rect().contains(inBar), name);
            QVERIFY2(w->width() >= w->minimumSizeHint().width(), name);
            QVERIFY2(w->height() >= w->fontMetrics().height(), name);
            QCOMPARE(env.form.childAt(w->mapTo(&env.form, w->rect().center())), w);
        }
        // Nor do they hide the status texts.
        const auto shown = bar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        for (QWidget* w : shown) {
            for (QWidget* other : shown) {
                QVERIFY2(other == w || !w->isVisible() || !other->isVisible() ||
                             !other->geometry().intersects(w->geometry()),
                         w->objectName().toUtf8() + " overlaps " + other->objectName().toUtf8());
            }
        }
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

    void secondStartInTheSameDirectoryHandsOverToTheFirst() {
        TempDir dir, other;
        SingleInstance first(dir.path());
        QVERIFY(first.claim());
        QSignalSpy asked(&first, &SingleInstance::activationRequested);
        SingleInstance second(dir.path() / "sub" / "..");  // the same directory, spelled apart
        QVERIFY(!second.claim());
        QTRY_COMPARE(asked.count(), 1);
        // --restore hands its path over whole, whatever characters it holds.
        QSignalSpy restore(&first, &SingleInstance::restoreRequested);
        const QString odd = QStringLiteral("/数据/a\nb show.txt");
        QVERIFY(!SingleInstance(dir.path()).claim(odd));
        QTRY_COMPARE(restore.count(), 1);
        QCOMPARE(restore.front().front().toString(), odd);
        QCOMPARE(asked.count(), 1);
        SingleInstance elsewhere(other.path());
        QVERIFY(elsewhere.claim());
        QCOMPARE(asked.count(), 1);
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
        QTRY_VERIFY(!icon->isVisible());
        QCOMPARE(env.edit("Edit1")->text(), QString("/unsaved"));
    }

    // The tray icon's menu holds the presenter's commands, the timetable's as it stands, and
    // 退出 asks as closing does, then about unsaved changes.
    void trayMenuGivesThePresentersCommands() {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            QVERIFY(qEnvironmentVariableIsEmpty("VANTREL_REQUIRE_TRAY"));
            QSKIP("no notification area");
        }
        ShellEnv env;
        env.form.show();
        fillValid(env);
        env.form.setWindowState(env.form.windowState() | Qt::WindowMinimized);
        QTRY_VERIFY(env.form.inTray());
        auto* menu = env.form.findChild<QMenu*>("TrayMenu");
        QVERIFY(menu);
        const auto item = [menu](const QString& caption) {
            emit menu->aboutToShow();
            QStringList captions;
            QAction* found = nullptr;
            for (QAction* action : menu->actions()) {
                captions << action->text();
                found = action->text() == caption ? action : found;
            }
            return std::pair{captions, found};
        };
        QCOMPARE(item({}).first,
                 (QStringList{"打开主界面", "立即备份", "启动备份计划", "恢复文件…", "", "退出"}));
        item("启动备份计划").second->trigger();
        QVERIFY(env.timerOn());
        QCOMPARE(item({}).first.value(2), QString("终止备份计划"));
        item("立即备份").second->trigger();
        env.form.waitForRun();
        QVERIFY(std::filesystem::is_directory(env.dir / "bak/data_20140515"));
        item("打开主界面").second->trigger();
        QTRY_VERIFY(env.form.isVisible() && !env.form.inTray());

        env.form.setWindowState(env.form.windowState() | Qt::WindowMinimized);
        QTRY_VERIFY(env.form.inTray());
        env.box("CheckBox1")->setChecked(true);  // unsaved
        env.dialogs.answers = {Dialogs::Answer::No, Dialogs::Answer::Yes, Dialogs::Answer::Yes};
        env.dialogs.saveAnswers = {SaveAnswer::Cancel, SaveAnswer::Save};
        item("退出").second->trigger();
        item("退出").second->trigger();
        QVERIFY(env.form.inTray());
        QCOMPARE(env.dialogs.questions.size(), 3);
        item("退出").second->trigger();
        QCOMPARE(env.dialogs.questions.size(), 5);
        QCOMPARE(env.dialogs.questions.back(), QString("配置信息已修改，尚未保存。退出前保存吗？"));
        QVERIFY(gbkToUtf8(readBytes(env.dir / "config.ini")).find("星期一") != std::string::npos);
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
