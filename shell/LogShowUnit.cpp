#include "shell/LogShowUnit.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

#include "shell/AppIcon.h"
#include "shell/QtText.h"

namespace vantrel {

TLogShowForm::TLogShowForm(std::filesystem::path logFile, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), m_dialogs(dialogs), m_presenter(std::move(logFile), *this) {
    setObjectName(QStringLiteral("LogShowForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    // A viewer left open never keeps the program running after the main window closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QStringLiteral("操作日志"));
    setWindowIcon(appIcon());

    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName(QStringLiteral("Memo1"));
    m_memo->setReadOnly(true);
    m_memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette palette = m_memo->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::ToolTipBase));
    palette.setColor(QPalette::Text, QColor(0x00, 0x80, 0x00));
    m_memo->setPalette(palette);
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(12);
    font.setBold(true);
    m_memo->setFont(font);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_memo);

    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("PopupMenu1"));
    QAction* n1 = m_menu->addAction(QStringLiteral("刷新(&R)"));
    n1->setObjectName(QStringLiteral("N1"));
    QAction* n2 = m_menu->addAction(QStringLiteral("清除(&C)"));
    n2->setObjectName(QStringLiteral("N2"));
    connect(n1, &QAction::triggered, this, &TLogShowForm::N1Click);
    connect(n2, &QAction::triggered, this, &TLogShowForm::N2Click);
    m_memo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_memo, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { m_menu->popup(m_memo->viewport()->mapToGlobal(pos)); });

    // Client area of the 771 x 537 window.
    resize(757, 498);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void TLogShowForm::showLines(const std::vector<std::string>& lines) {
    QStringList text;
    text.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) {
        text.append(toQString(line));
    }
    m_memo->setPlainText(text.join(QLatin1Char('\n')));
}

bool TLogShowForm::confirm(std::string_view question) {
    return m_dialogs.confirm(this, toQString(question)) == Dialogs::Answer::Yes;
}

void TLogShowForm::showMessage(std::string_view text) {
    m_dialogs.showMessage(this, toQString(text));
}

void TLogShowForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_presenter.show();
}

void TLogShowForm::N1Click() {
    m_presenter.reload();
}

void TLogShowForm::N2Click() {
    m_presenter.empty();
}

}  // namespace vantrel
