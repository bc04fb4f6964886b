#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QTableWidget>

#include "shell/RestoreUnit.h"
#include "tests/shell/ShellTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

class TestRestoreForm : public QObject {
    Q_OBJECT

private slots:
    // The window draws and forwards; what it forwards is decided and tested in the presenter.
    void restoresOneFileFromTheMainWindowsCommand() {
        ShellEnv env;
        std::filesystem::create_directories(env.dir / "src/data");
        std::filesystem::create_directories(env.dir / "bak");
        writeBytes(env.dir / "src/data/a.txt", "alpha");
        writeBytes(env.dir / "src/data/b.txt", "beta");
        std::filesystem::create_directories(env.dir / "src/data/报表/2024");
        writeBytes(env.dir / "src/data/报表/2024/3月报表.txt", "march");
        env.form.show();
        env.edit("Edit1")->setText(qstr(env.dir / "src/data"));
        env.edit("Edit2")->setText(qstr(env.dir / "bak"));
        env.click("Button10");
        env.form.waitForRun();
        std::filesystem::remove(env.dir / "src/data/a.txt");

        env.click("ButtonRestore");
        auto* window = env.form.findChild<TRestoreForm*>();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QString("恢复文件"));
        auto* copies = child<QTableWidget>(*window, "CopyList");
        QCOMPARE(copies->rowCount(), 1);
        QCOMPARE(copies->item(0, 0)->text(), QString("2014-05-15"));
        auto* entries = child<QTableWidget>(*window, "EntryList");
        QCOMPARE(entries->rowCount(), 3);
        QVERIFY(entries->isColumnHidden(1));  // no folder column for one folder's entries
        entries->selectRow(1);                // a.txt
        auto* versions = child<QTableWidget>(*window, "VersionList");
        QCOMPARE(versions->rowCount(), 1);
        QCOMPARE(versions->horizontalHeaderItem(1)->text(), QString("大小"));
        QCOMPARE(versions->item(0, 1)->text(), QString("5 B"));

        child<QPushButton>(*window, "RestoreOriginalButton")->click();
        window->waitForRestore();
        QCOMPARE(QString::fromStdString(readBytes(env.dir / "src/data/a.txt")), QString("alpha"));
        QVERIFY(child<QLabel>(*window, "RestoreStatus")
                    ->text()
                    .startsWith("恢复完毕：已恢复 1 个文件"));
        QCOMPARE(env.dialogs.messages.size(), 1);  // the summary, with where it came from
        QVERIFY(env.dialogs.lists.front().front().startsWith("从 2014-05-15 的备份"));

        // The whole copy searched; a find opens its folder with it chosen.
        auto* folder = child<QLabel>(*window, "FolderLabel");
        child<QLineEdit>(*window, "NameFilter")->setText("3月");
        window->waitForSearch();
        QCOMPARE(folder->text(), QString("查找“3月”：找到 1 项"));
        QCOMPARE(entries->rowCount(), 1);
        QVERIFY(!entries->isColumnHidden(1));
        QCOMPARE(entries->horizontalHeaderItem(1)->text(), QString("所在文件夹"));
        QCOMPARE(entries->item(0, 1)->text(), QString("报表/2024"));
        emit entries->cellDoubleClicked(0, 0);
        QCOMPARE(folder->text(), QString("报表/2024"));
        QCOMPARE(child<QLineEdit>(*window, "NameFilter")->text(), QString());
        QCOMPARE(entries->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(versions->rowCount(), 1);

        auto* pin = child<QPushButton>(*window, "PinButton");
        QCOMPARE(pin->text(), QString("永久保留"));
        pin->click();
        QCOMPARE(copies->item(0, 5)->text(), QString("永久保留"));
        QCOMPARE(pin->text(), QString("取消永久保留"));
    }

    // As vantrel --restore PATH starts it: the file chosen with its versions, and the window
    // open is used again for the next path.
    void opensAtAPathHandedOver() {
        ShellEnv env;
        std::filesystem::create_directories(env.dir / "src/data/sub");
        std::filesystem::create_directories(env.dir / "bak");
        writeBytes(env.dir / "src/data/sub/b.txt", "beta");
        env.form.show();
        env.edit("Edit1")->setText(qstr(env.dir / "src/data"));
        env.edit("Edit2")->setText(qstr(env.dir / "bak"));
        env.click("Button10");
        env.form.waitForRun();

        env.form.openRestoreAt(pathToUtf8(env.dir / "src/data/sub/b.txt"));
        auto* window = env.form.findChild<TRestoreForm*>();
        QVERIFY(window && window->isVisible());
        QCOMPARE(child<QLabel>(*window, "FolderLabel")->text(), QString("sub"));
        auto* entries = child<QTableWidget>(*window, "EntryList");
        QCOMPARE(entries->selectedItems().value(0)->text(), QString("b.txt"));
        auto* versions = child<QTableWidget>(*window, "VersionList");
        QCOMPARE(versions->rowCount(), 1);
        QVERIFY(versions->item(0, 0)->text().startsWith("2014-05-15"));

        env.form.openRestoreAt(pathToUtf8(env.dir / "src/data"));
        QCOMPARE(env.form.findChildren<TRestoreForm*>().size(), 1);
        QCOMPARE(child<QLabel>(*window, "FolderLabel")->text(), QString("（源文件夹）"));
        env.form.openRestoreAt("/elsewhere/x.txt");
        QVERIFY(env.dialogs.messages.back().contains("不在备份文件源地址"));
    }
};

QTEST_MAIN(TestRestoreForm)
#include "tst_RestoreForm.moc"
