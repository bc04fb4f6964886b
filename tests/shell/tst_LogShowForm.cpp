#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "shell/LogShowUnit.h"
#include "tests/shell/ShellTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

QList<TLogShowForm*> openViewers() {
    QList<TLogShowForm*> viewers;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* viewer = qobject_cast<TLogShowForm*>(widget); viewer && viewer->isVisible()) {
            viewers << viewer;
        }
    }
    return viewers;
}

QString memoText(TLogShowForm& viewer) {
    return child<QPlainTextEdit>(viewer, "Memo1")->toPlainText();
}

// Opens a viewer through the main window's command, on a log holding `bytes`.
TLogShowForm* openViewer(ShellEnv& env, const std::string& bytes) {
    writeBytes(env.dir / "Log/FileBackupLog.log", bytes);
    const auto before = openViewers();
    child<QPushButton>(env.form, "Button7")->click();
    for (TLogShowForm* viewer : openViewers()) {
        if (!before.contains(viewer)) {
            return viewer;
        }
    }
    return nullptr;
}

}  // namespace

class TestLogShowForm : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void opensOnTheLogAndShowsItsLines();
    void missingLogIsCreatedBeforeOpening();
    void reloadPicksUpNewLines();
    void emptyAsksFirst_data();
    void emptyAsksFirst();
    void severalViewersAreIndependentAndFreedOnClose();
    void confirmBoxAnswersEscapeWithNoAndEnterWithYes();
};

void TestLogShowForm::cleanup() {
    for (TLogShowForm* viewer : openViewers()) {
        delete viewer;
    }
}

void TestLogShowForm::opensOnTheLogAndShowsItsLines() {
    ShellEnv env;
    TLogShowForm* viewer =
        openViewer(env, utf8ToGbk("140515 9:59:50   /a   成功备份至   /b_20140515\r\nsecond\r\n"));
    QVERIFY(viewer);
    QCOMPARE(viewer->windowTitle(), QString("操作日志"));
    QVERIFY(child<QPlainTextEdit>(*viewer, "Memo1")->isReadOnly());
    QCOMPARE(memoText(*viewer), QString("140515 9:59:50   /a   成功备份至   /b_20140515\nsecond"));
    QVERIFY(env.dialogs.messages.isEmpty());
}

void TestLogShowForm::missingLogIsCreatedBeforeOpening() {
    ShellEnv env;
    std::filesystem::remove_all(env.dir / "Log");
    child<QPushButton>(env.form, "Button7")->click();
    QCOMPARE(openViewers().size(), 1);
    QVERIFY(std::filesystem::is_regular_file(env.dir / "Log/FileBackupLog.log"));
    QVERIFY(memoText(*openViewers().front()).isEmpty());
}

void TestLogShowForm::reloadPicksUpNewLines() {
    ShellEnv env;
    TLogShowForm* viewer = openViewer(env, "one\r\n");
    QVERIFY(viewer);
    writeBytes(env.dir / "Log/FileBackupLog.log", "one\r\ntwo\r\n");
    QCOMPARE(memoText(*viewer), QString("one"));  // a viewer does not follow the file
    child<QAction>(*viewer, "N1")->trigger();
    QCOMPARE(memoText(*viewer), QString("one\ntwo"));
}

void TestLogShowForm::emptyAsksFirst_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("Yes empties file and memo") << true;
    QTest::newRow("No or Escape keeps both") << false;
}

void TestLogShowForm::emptyAsksFirst() {
    QFETCH(bool, yes);
    ShellEnv env;
    TLogShowForm* viewer = openViewer(env, "one\r\n");
    QVERIFY(viewer);
    env.dialogs.answers = {yes ? Dialogs::Answer::Yes : Dialogs::Answer::No};
    child<QAction>(*viewer, "N2")->trigger();
    QCOMPARE(env.dialogs.questions, QStringList{"您确定要清除现有的日志信息吗？"});
    QCOMPARE(readBytes(env.dir / "Log/FileBackupLog.log"), std::string(yes ? "" : "one\r\n"));
    QCOMPARE(memoText(*viewer), QString(yes ? "" : "one"));
    // Reloading after emptying shows nothing.
    child<QAction>(*viewer, "N1")->trigger();
    QCOMPARE(memoText(*viewer), QString(yes ? "" : "one"));
}

void TestLogShowForm::severalViewersAreIndependentAndFreedOnClose() {
    ShellEnv env;
    QPointer<TLogShowForm> first = openViewer(env, "one\r\n");
    QPointer<TLogShowForm> second = openViewer(env, "one\r\ntwo\r\n");
    QVERIFY(first && second && first != second);
    QCOMPARE(memoText(*first), QString("one"));
    QCOMPARE(memoText(*second), QString("one\ntwo"));
    first->close();
    QTRY_VERIFY(first.isNull());
    QVERIFY(second);
    QCOMPARE(openViewers().size(), 1);
}

void TestLogShowForm::confirmBoxAnswersEscapeWithNoAndEnterWithYes() {
    QtDialogs dialogs;
    const auto answerWith = [&](Qt::Key key) {
        QTimer::singleShot(0, [key] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            QCOMPARE(box->windowTitle(), QString("Confirm"));
            QCOMPARE(box->icon(), QMessageBox::Question);
            QTest::keyClick(box, key);
        });
        return dialogs.confirm(nullptr, "?");
    };
    QCOMPARE(answerWith(Qt::Key_Escape), Dialogs::Answer::No);
    QCOMPARE(answerWith(Qt::Key_Return), Dialogs::Answer::Yes);
}

QTEST_MAIN(TestLogShowForm)
#include "tst_LogShowForm.moc"
