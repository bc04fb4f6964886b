#include "shell/Dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace vantrel {

namespace {
const QString kTitle = QStringLiteral("Vantrel");
}

void QtDialogs::showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, parent);
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
    box.exec();
    return box.clickedButton() == yes ? Answer::Yes : Answer::No;
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
