#include "shell/Dialogs.h"

#include <algorithm>

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>

namespace vantrel {

namespace {
const QString kTitle = QStringLiteral("Vantrel");
constexpr int kMinBoxWidth = 240;
constexpr int kTitleBarButtons = 160;

// Wide enough that the title bar shows the whole title, however short the text.
// The box sizes itself to its text alone; a spacer row makes room for the title bar's title and
// buttons.
void keepTitleWhole(QMessageBox& box) {
    const int width = std::max(
        kMinBoxWidth, box.fontMetrics().horizontalAdvance(box.windowTitle()) + kTitleBarButtons);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
}
}  // namespace

void QtDialogs::showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, parent);
    keepTitleWhole(box);
    box.exec();
}

Dialogs::Answer QtDialogs::confirm(QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), question,
                    QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    // Escape and the title bar's close button both land on the escape button.
    box.setEscapeButton(no);
    keepTitleWhole(box);
    box.exec();
    return box.clickedButton() == yes ? Answer::Yes : Answer::No;
}

SaveAnswer QtDialogs::askSave(QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), question,
                    QMessageBox::NoButton, parent);
    QPushButton* save = box.addButton(QStringLiteral("保存(&S)"), QMessageBox::AcceptRole);
    QPushButton* discard =
        box.addButton(QStringLiteral("不保存(&N)"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    keepTitleWhole(box);
    box.exec();
    return box.clickedButton() == save      ? SaveAnswer::Save
           : box.clickedButton() == discard ? SaveAnswer::Discard
                                            : SaveAnswer::Cancel;
}

void QtDialogs::showList(QWidget* parent, const QString& text, const QStringList& items) {
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, parent);
    box.setDetailedText(items.join(QLatin1Char('\n')));
    box.exec();
}

std::optional<QString> QtDialogs::pickFolder(QWidget* parent, const QString& prompt) {
    const QString dir = QFileDialog::getExistingDirectory(
        parent, prompt, QString(), QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(dir);
}

}  // namespace vantrel
