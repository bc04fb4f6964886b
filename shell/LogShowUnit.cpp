#include "shell/LogShowUnit.h"

#include <QAction>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "shell/AppIcon.h"
#include "shell/QtText.h"

namespace vantrel {

TLogShowForm::TLogShowForm(std::filesystem::path logFile, Dialogs& dialogs, QWidget* parent,
                           std::filesystem::path dbFile)
    : QWidget(parent, Qt::Window),
      m_dialogs(dialogs),
      m_presenter(std::move(logFile), *this, std::move(dbFile)) {
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

    // The run history in a second tab: every run, failures and cancels too, which the log
    // (successful copies only) does not hold.
    m_history = new QTableWidget(0, 9, this);
    m_history->setObjectName(QStringLiteral("RunHistory"));
    m_history->setHorizontalHeaderLabels(
        {"开始", "结束", "起因", "结果", "文件数", "大小", "备份路径", "变化", "说明"});
    m_history->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_history->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_history->verticalHeader()->hide();
    m_history->horizontalHeader()->setStretchLastSection(true);
    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("LogTabs"));
    tabs->addTab(m_memo, QStringLiteral("操作日志"));
    tabs->addTab(m_history, QStringLiteral("运行记录"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs);

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

void TLogShowForm::showHistory(const std::vector<std::vector<std::string>>& rows) {
    m_history->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const auto& fields = rows[static_cast<std::size_t>(row)];
        for (int column = 0; column < static_cast<int>(fields.size()); ++column) {
            m_history->setItem(
                row, column,
                new QTableWidgetItem(toQString(fields[static_cast<std::size_t>(column)])));
        }
    }
    m_history->resizeColumnsToContents();
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
