#include <functional>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>

#include "shell/LogShowUnit.h"
#include "tests/shell/ShellTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Opens a viewer through the main window's command and returns it.
TLogShowForm* openViewer(ShellEnv& env) {
    env.click("Button7");
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* viewer = qobject_cast<TLogShowForm*>(widget);
        if (viewer && !viewer->property("seen").toBool()) {
            viewer->setProperty("seen", true);
            return viewer;
        }
    }
    return nullptr;
}

QString memo(TLogShowForm* viewer) {
    return child<QPlainTextEdit>(*viewer, "Memo1")->toPlainText();
}

// Presses `key` in the next modal message box after `check` has looked at it. Whatever
// `check` finds, the box goes away, so the call that opened it returns and the test fails
// instead of hanging; so does a box that ignores the key, and one that never shows.
void answerNextBox(Qt::Key key, std::function<void(QMessageBox*)> check) {
    auto* poll = new QTimer;
    const QDeadlineTimer deadline(5000);
    QObject::connect(poll, &QTimer::timeout, [poll, deadline, key, check] {
        QPointer<QMessageBox> box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            if (deadline.hasExpired()) {
                poll->deleteLater();
                QFAIL("no message box showed");
            }
            return;
        }
        poll->deleteLater();
        check(box);
        QTest::keyClick(box, key);
        QTimer::singleShot(2000, box, [box] {
            if (box && box->isVisible()) {
                box->reject();
                QFAIL("the message box stayed open after the key");
            }
        });
    });
    poll->start(10);
}

}  // namespace

class TestLogShowForm : public QObject {
    Q_OBJECT

private slots:
    void viewersReloadAndEmptyTheLogIndependently() {
        ShellEnv env;
        const auto log = env.dir / "Log/FileBackupLog.log";
        std::filesystem::remove_all(env.dir / "Log");
        QPointer<TLogShowForm> first = openViewer(env);  // a missing log is created first
        QVERIFY(first && memo(first).isEmpty() && std::filesystem::is_regular_file(log));
        const std::string bytes = utf8ToGbk("140515 9:59:50   /a   成功备份至   /b\r\nsecond\r\n");
        const QString lines = "140515 9:59:50   /a   成功备份至   /b\nsecond";
        writeBytes(log, bytes);
        QPointer<TLogShowForm> second = openViewer(env);
        QVERIFY(second && second != first);
        QCOMPARE(second->windowTitle(), QString("操作日志"));
        QVERIFY(child<QPlainTextEdit>(*second, "Memo1")->isReadOnly());
        QCOMPARE(memo(second), lines);
        QVERIFY(memo(first).isEmpty());  // a viewer does not follow the file by itself
        child<QAction>(*first, "N1")->trigger();
        QCOMPARE(memo(first), lines);

        env.dialogs.answers = {Dialogs::Answer::No, Dialogs::Answer::Yes};
        child<QAction>(*first, "N2")->trigger();  // No keeps both
        QVERIFY(memo(first) == lines && readBytes(log) == bytes);
        child<QAction>(*first, "N2")->trigger();  // Yes empties both
        QVERIFY(memo(first).isEmpty() && readBytes(log).empty());
        QCOMPARE(env.dialogs.questions, QStringList(2, "您确定要清除现有的日志信息吗？"));
        first->close();
        QTRY_VERIFY(first.isNull());
        QVERIFY(second && memo(second) == lines && env.dialogs.messages.isEmpty());
        delete second;
    }

    void confirmBoxAnswersEscapeWithNoAndEnterWithYes() {
        QtDialogs dialogs;
        for (const auto key : {Qt::Key_Escape, Qt::Key_Return}) {
            answerNextBox(key, [](QMessageBox* box) {
                QCOMPARE(box->windowTitle(), QString("Confirm"));
                QCOMPARE(box->icon(), QMessageBox::Question);
            });
            QCOMPARE(dialogs.confirm(nullptr, "?"),
                     key == Qt::Key_Escape ? Dialogs::Answer::No : Dialogs::Answer::Yes);
        }
    }
};

QTEST_MAIN(TestLogShowForm)
#include "tst_LogShowForm.moc"
