#include "shell/RestoreUnit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/TextCodec.h"
#include "shell/AppIcon.h"
#include "shell/QtText.h"

namespace vantrel {

namespace {

constexpr int kPathRole = Qt::UserRole;

QTableWidget* table(QWidget* parent, const char* name, const QStringList& headings) {
    auto* t = new QTableWidget(0, static_cast<int>(headings.size()), parent);
    t->setObjectName(QLatin1String(name));
    t->setHorizontalHeaderLabels(headings);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

void setRow(QTableWidget* t, int row, const QStringList& cells) {
    for (int column = 0; column < cells.size(); ++column) {
        t->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
}

}  // namespace

TRestoreForm::TRestoreForm(Workspace& ws, const TBackupSettings& settings, Dialogs& dialogs,
                           QWidget* parent)
    : QWidget(parent, Qt::Window), m_dialogs(dialogs), m_presenter(ws, settings, *this, m_placer) {
    setObjectName(QStringLiteral("RestoreForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QStringLiteral("恢复文件"));
    setWindowIcon(appIcon());

    m_copies = table(this, "CopyList", {"备份日期", "状态", "文件数", "大小", "核对", "保留"});
    m_copies->setSelectionMode(QAbstractItemView::SingleSelection);

    m_up = button(this, "UpButton", QStringLiteral("上一级"));
    m_folder = new QLabel(this);
    m_folder->setObjectName(QStringLiteral("FolderLabel"));
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("NameFilter"));
    m_filter->setPlaceholderText(QStringLiteral("按名称筛选"));
    m_filter->setClearButtonEnabled(true);
    m_showDeleted = new QCheckBox(QStringLiteral("显示已删除的文件"), this);
    m_showDeleted->setObjectName(QStringLiteral("ShowDeleted"));
    auto* browse = new QHBoxLayout;
    browse->addWidget(m_up);
    browse->addWidget(m_folder, 1);
    browse->addWidget(m_filter);
    browse->addWidget(m_showDeleted);

    m_entries = table(this, "EntryList", {"名称", "大小", "修改时间", ""});
    m_entries->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_versions = new QListWidget(this);
    m_versions->setObjectName(QStringLiteral("VersionList"));
    auto* versionsBox = new QWidget(this);
    auto* versionsLayout = new QVBoxLayout(versionsBox);
    versionsLayout->setContentsMargins(0, 0, 0, 0);
    versionsLayout->addWidget(new QLabel(QStringLiteral("所选项的各个版本："), versionsBox));
    versionsLayout->addWidget(m_versions);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_entries);
    split->addWidget(versionsBox);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);

    m_toOriginal = button(this, "RestoreOriginalButton", QStringLiteral("恢复到原位置"));
    m_toFolder = button(this, "RestoreToButton", QStringLiteral("恢复到…"));
    m_openFolder = button(this, "OpenFolderButton", QStringLiteral("打开备份文件夹"));
    m_pin = button(this, "PinButton", QStringLiteral("取消永久保留"));
    m_pin->setMinimumWidth(m_pin->sizeHint().width());  // either caption fits, and it never moves
    m_pin->setEnabled(false);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("RestoreProgress"));
    m_progress->hide();
    m_cancel = button(this, "CancelRestoreButton", QStringLiteral("取消"));
    m_cancel->hide();
    auto* commands = new QHBoxLayout;
    commands->addWidget(m_toOriginal);
    commands->addWidget(m_toFolder);
    commands->addWidget(m_openFolder);
    commands->addWidget(m_pin);
    commands->addStretch(1);
    commands->addWidget(m_progress);
    commands->addWidget(m_cancel);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("RestoreStatus"));
    m_status->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("本任务的备份："), this));
    layout->addWidget(m_copies, 2);
    layout->addLayout(browse);
    layout->addWidget(split, 5);
    layout->addLayout(commands);
    layout->addWidget(m_status);

    connect(m_copies, &QTableWidget::itemSelectionChanged, this, [this] {
        const auto rows = m_copies->selectionModel()->selectedRows();
        if (!rows.isEmpty()) {
            m_presenter.chooseCopy(
                m_copies->item(rows.front().row(), 0)->data(kPathRole).toLongLong());
        }
    });
    connect(m_up, &QPushButton::clicked, this, [this] { m_presenter.openFolder(".."); });
    connect(m_filter, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_presenter.setFilter(toUtf8(text)); });
    connect(m_showDeleted, &QCheckBox::toggled, this,
            [this](bool on) { m_presenter.setShowDeleted(on); });
    connect(m_entries, &QTableWidget::itemSelectionChanged, this, &TRestoreForm::entriesChosen);
    connect(m_entries, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        const QTableWidgetItem* item = m_entries->item(row, 0);
        if (item->data(kPathRole + 1).toBool()) {
            m_presenter.openFolder(toUtf8(item->data(kPathRole).toString()));
        }
    });
    connect(m_toOriginal, &QPushButton::clicked, this, [this] { m_presenter.restoreToOriginal(); });
    connect(m_toFolder, &QPushButton::clicked, this, [this] { m_presenter.restoreTo(); });
    connect(m_openFolder, &QPushButton::clicked, this, [this] { m_presenter.openBackupFolder(); });
    connect(m_pin, &QPushButton::clicked, this, [this] { m_presenter.togglePin(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        m_cancel->setEnabled(false);
        m_presenter.cancel();
    });

    resize(760, 560);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

TRestoreForm::~TRestoreForm() = default;

void TRestoreForm::entriesChosen() {
    std::vector<std::string> paths;
    for (const QModelIndex& index : m_entries->selectionModel()->selectedRows()) {
        paths.push_back(toUtf8(m_entries->item(index.row(), 0)->data(kPathRole).toString()));
    }
    m_presenter.select(paths);
}

void TRestoreForm::waitForRestore() {
    m_presenter.waitForRestore();
    QCoreApplication::sendPostedEvents(this);
}

void TRestoreForm::showCopies(const std::vector<RestoreCopyRow>& copies, std::int64_t chosen) {
    const QSignalBlocker quiet(m_copies);
    m_copies->setRowCount(static_cast<int>(copies.size()));
    for (int row = 0; row < static_cast<int>(copies.size()); ++row) {
        const RestoreCopyRow& c = copies[static_cast<std::size_t>(row)];
        setRow(m_copies, row,
               {toQString(c.date), toQString(c.state), toQString(c.files), toQString(c.size),
                toQString(c.verified), c.pinned ? QStringLiteral("永久保留") : QString()});
        m_copies->item(row, 0)->setData(kPathRole, static_cast<qlonglong>(c.id));
        if (c.id == chosen) {
            m_copies->selectRow(row);
        }
    }
    m_copies->resizeColumnsToContents();
}

void TRestoreForm::showPinCommand(std::string_view caption, bool enabled) {
    m_pin->setText(toQString(caption));
    m_pin->setEnabled(enabled);
}

void TRestoreForm::showEntries(std::string_view folder, const std::vector<RestoreEntryRow>& rows) {
    const QSignalBlocker quiet(m_entries);
    m_folder->setText(folder.empty() ? QStringLiteral("（源文件夹）") : toQString(folder));
    m_up->setEnabled(!folder.empty());
    m_entries->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const RestoreEntryRow& e = rows[static_cast<std::size_t>(row)];
        setRow(m_entries, row,
               {toQString(e.name) + (e.folder ? QStringLiteral("/") : QString()), toQString(e.size),
                toQString(e.modified), e.deleted ? QStringLiteral("已删除") : QString()});
        m_entries->item(row, 0)->setData(kPathRole, toQString(e.path));
        m_entries->item(row, 0)->setData(kPathRole + 1, e.folder);
    }
    m_entries->resizeColumnsToContents();
}

void TRestoreForm::showChosenEntry(std::string_view path) {
    const QSignalBlocker quiet(m_entries);
    for (int row = 0; row < m_entries->rowCount(); ++row) {
        if (m_entries->item(row, 0)->data(kPathRole).toString() == toQString(path)) {
            m_entries->selectRow(row);
            m_entries->scrollToItem(m_entries->item(row, 0));
            return;
        }
    }
}

void TRestoreForm::showVersions(const std::vector<std::string>& lines) {
    m_versions->clear();
    for (const std::string& line : lines) {
        m_versions->addItem(toQString(line).replace(QLatin1Char('\t'), QStringLiteral("    ")));
    }
}

void TRestoreForm::showRestoring(bool running) {
    for (QWidget* w : {static_cast<QWidget*>(m_toOriginal), static_cast<QWidget*>(m_toFolder),
                       static_cast<QWidget*>(m_copies)}) {
        w->setEnabled(!running);
    }
    m_cancel->setEnabled(running);
    m_cancel->setVisible(running);
    m_progress->setVisible(running);
}

void TRestoreForm::showProgress(const ProgressView& progress) {
    m_status->setText(toQString(progress.status));
    m_progress->setRange(0, progress.permille < 0 ? 0 : 1000);
    if (progress.permille >= 0) {
        m_progress->setValue(progress.permille);
        m_progress->setFormat(progress.timeLeft.empty()
                                  ? QStringLiteral("%p%")
                                  : QStringLiteral("%p% ") + toQString(progress.timeLeft));
    }
}

void TRestoreForm::showSummary(std::string_view summary, const std::vector<std::string>& details) {
    m_status->setText(toQString(summary));
    QStringList lines;
    for (const std::string& line : details) {
        lines << toQString(line);
    }
    m_dialogs.showList(this, toQString(summary), lines);
}

void TRestoreForm::showMessage(std::string_view text) {
    m_dialogs.showMessage(this, toQString(text));
}

std::optional<std::string> TRestoreForm::pickFolder(std::string_view prompt) {
    if (auto folder = m_dialogs.pickFolder(this, toQString(prompt))) {
        return toUtf8(*folder);
    }
    return std::nullopt;
}

void TRestoreForm::openInFileManager(const std::filesystem::path& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(toQString(pathToUtf8(folder))));
}

void TRestoreForm::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void TRestoreForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        m_presenter.show();
    }
}

void TRestoreForm::closeEvent(QCloseEvent* event) {
    // A restore under way is stopped; what it placed stays, nothing half-written does.
    m_presenter.cancel();
    m_presenter.waitForRestore();
    event->accept();
}

}  // namespace vantrel
