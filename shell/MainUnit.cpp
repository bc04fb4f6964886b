#include "shell/MainUnit.h"

#include <algorithm>
#include <initializer_list>
#include <system_error>

#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/BackupRecordStore.h"
#include "engine/KeepCount.h"
#include "engine/OperationLog.h"
#include "engine/RunHistory.h"
#include "engine/Settings.h"
#include "platform/ErrorText.h"
#include "platform/TextCodec.h"
#include "shell/AppIcon.h"
#include "shell/ErrorHandler.h"
#include "shell/LogShowUnit.h"
#include "shell/QtText.h"

namespace vantrel {

namespace {

QLabel* placeLabel(QWidget* parent, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

template <class W>
W* placed(W* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

// The help text on the right, one label per line group, with the top of each group.
struct HelpLine {
    int top;
    const char* text;
};
const HelpLine kHelp[] = {
    {40, "操作步骤："},
    {56, "1、保存配置信息；"},
    {72, "2、启动备份计划；"},
    {88, "3、如有需要在保存配置信息\n后手动备份。"},
    {128, "使用说明："},
    {144, "1、文件备份数需大于等于1；"},
    {161, "2、请自行确保备份文件所需\n空间；"},
    {190, "3、支持网络备份；"},
    {208, "4、每天最多保留一个备份，\n格式为\"源文件夹名_年月日\"；"},
    {238, "5、支持文件、文件夹备份；"},
    {256, "6、将该执行文件放置不同目\n录下执行，可同时运行以完\n成 不同备份任务。"},
};

// The group box's inner size, the right-hand column, and the row of options under the
// command buttons.
constexpr int kBoxHeight = 473;
constexpr int kLeftColumnWidth = 566;
constexpr int kHelpLeft = 576;
constexpr int kHelpGap = 2;
constexpr int kOptionsTop = 418;

// Places widgets left to right at their natural size from `top`, starting a new row where
// one would pass `width`.
void placeInRows(std::initializer_list<QWidget*> widgets, int top, int width) {
    constexpr int kLeft = 8, kGap = 16;
    int left = kLeft;
    int rowHeight = 0;
    for (QWidget* widget : widgets) {
        const QSize size = widget->sizeHint();
        if (left > kLeft && left + size.width() > width) {
            left = kLeft;
            top += rowHeight + kHelpGap;
            rowHeight = 0;
        }
        widget->setGeometry(left, top, size.width(), size.height());
        left += size.width() + kGap;
        rowHeight = std::max(rowHeight, size.height());
    }
}

// Object names of the day boxes, Monday first; Wednesday's box is CheckBox8.
const char* const kDayBoxNames[7] = {"CheckBox1", "CheckBox2", "CheckBox8", "CheckBox4",
                                     "CheckBox5", "CheckBox6", "CheckBox7"};

}  // namespace

QValidator::State KeepCountValidator::validate(QString& input, int& /*pos*/) const {
    if (input.isEmpty() || KeepCountAccepts(toUtf8(input))) {
        return Acceptable;
    }
    return Invalid;
}

TMainForm::TMainForm(std::filesystem::path workDir, const Clock& clock, Dialogs& dialogs,
                     QWidget* parent)
    : QMainWindow(parent), m_dialogs(dialogs) {
    buildWindow();
    m_ui = std::make_unique<ShellUi>(this, m_panel1, m_dialogs);
    // The run owns the buttons while it lasts; afterwards they follow the engine's wish.
    m_ui->onCommandsEnabled = [this](bool) { updateCommandButtons(); };
    m_ws = std::make_unique<Workspace>(Workspace{std::move(workDir), m_files, clock, *m_ui});
    m_job = std::make_unique<BackupJob>(*m_ws);
    m_ui->setProgressWidgets(m_progressBar, m_cancelButton);

    // At log-off or shutdown the program ends without asking.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this] { m_sessionEnding = true; });

    FormCreate();
}

TMainForm::~TMainForm() {
    // A copy under way finishes with its cleanup; it is never cut off half-way.
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (m_trayIcon) {
        m_trayIcon->hide();
    }
}

void TMainForm::buildWindow() {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(appIcon());
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(11);
    setFont(font);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(1, 0, 1, 0);
    m_groupBox = new QGroupBox(central);
    m_groupBox->setObjectName(QStringLiteral("GroupBox1"));
    layout->addWidget(m_groupBox);
    setCentralWidget(central);
    QWidget* box = m_groupBox;

    auto* heading = placed(new QLabel(QStringLiteral("Vantrel"), box), "Heading", 264, 31, 168, 22);
    QFont headingFont;
    headingFont.setFamilies({QStringLiteral("华文行楷"), QStringLiteral("STXingkai"),
                             QStringLiteral("KaiTi"), QStringLiteral("AR PL UKai CN"),
                             QStringLiteral("Noto Serif CJK SC")});
    headingFont.setPixelSize(21);
    heading->setFont(headingFont);
    heading->setStyleSheet(QStringLiteral("color: red;"));
    heading->resize(heading->width(), std::max(heading->height(), heading->sizeHint().height()));

    placeLabel(box, QStringLiteral("备份文件/文件夹源地址："), 3, 92)->setObjectName("SourceLabel");
    m_edit1 = placed(new QLineEdit(box), "Edit1", 149, 88, 348, 21);
    m_edit1->setReadOnly(true);
    m_button4 = placed(new QPushButton(QStringLiteral("..."), box), "Button4", 502, 85, 62, 25);

    placeLabel(box, QStringLiteral("备份文件/文件夹目的地址："), 3, 123)
        ->setObjectName("TargetLabel");
    m_edit2 = placed(new QLineEdit(box), "Edit2", 149, 117, 348, 21);
    m_edit2->setReadOnly(true);
    m_button5 = placed(new QPushButton(QStringLiteral("..."), box), "Button5", 502, 116, 62, 25);

    m_groupBox2 =
        placed(new QGroupBox(QStringLiteral("执行周期"), box), "GroupBox2", 16, 168, 553, 153);
    const int columns[4] = {8, 144, 288, 424};
    for (int day = 0; day < 7; ++day) {
        const int left = columns[day < 4 ? day : day - 4];
        const int top = day < 4 ? 24 : 56;
        auto* check = new QCheckBox(toQString(kDayCaptions[day]), m_groupBox2);
        check->setObjectName(QLatin1String(kDayBoxNames[day]));
        check->move(left, top);
        check->adjustSize();
        m_dayBoxes[day] = check;
    }
    placeLabel(m_groupBox2, QStringLiteral("时刻"), 8, 112)->setObjectName("TimeLabel");
    m_timePicker = placed(new QTimeEdit(m_groupBox2), "DateTimePicker1", 64, 104, 97, 31);
    m_timePicker->setDisplayFormat(QStringLiteral("HH:mm"));
    QFont pickerFont = font;
    pickerFont.setPixelSize(19);
    m_timePicker->setFont(pickerFont);

    placeLabel(box, QStringLiteral("保留最近的文件备份数："), 3, 333)->setObjectName("KeepLabel");
    m_keepCount = placed(new QLineEdit(box), "DBNumberEditEh1", 160, 330, 81, 21);
    m_keepCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_keepCount->setValidator(new KeepCountValidator(m_keepCount));
    m_keepCount->installEventFilter(this);
    placeLabel(box, QStringLiteral("个"), 248, 335)->setObjectName("KeepUnitLabel");
    // The five commands in one row, 112 pixels apart and 110 wide, so no two touch.
    const std::pair<const char*, const char*> commands[] = {{"Button6", "保存配置信息"},
                                                            {"Button8", "启动备份计划"},
                                                            {"Button9", "终止备份计划"},
                                                            {"Button10", "手动执行备份"},
                                                            {"Button7", "查看操作日志"}};
    QPushButton** buttons[] = {&m_button6, &m_button8, &m_button9, &m_button10, &m_button7};
    for (int i = 0; i < 5; ++i) {
        *buttons[i] = placed(new QPushButton(toQString(commands[i].second), box), commands[i].first,
                             8 + 112 * i, 376, 110, 33);
    }

    // The options, in a row of their own under the command buttons, each as wide as its text.
    m_startAtLaunch = new QCheckBox(QStringLiteral("启动时执行备份计划"), box);
    m_startAtLaunch->setObjectName(QStringLiteral("CheckBoxStartAtLaunch"));
    m_catchUp = new QCheckBox(QStringLiteral("补做错过的备份"), box);
    m_catchUp->setObjectName(QStringLiteral("CheckBoxCatchUp"));
    m_shareBox = new QCheckBox(QStringLiteral("未改动的文件与上一个备份共享（节省空间）"), box);
    m_shareBox->setObjectName(QStringLiteral("ShareCheckBox"));
    m_shareBox->setToolTip(
        QStringLiteral("共享的文件在磁盘上只有一份：在一个备份中改动它，其他备份也随之改动。"
                       "备份仅供查看和恢复，请勿在其中编辑。"));
    placeInRows({m_startAtLaunch, m_catchUp, m_shareBox}, kOptionsTop, kLeftColumnWidth);

    // The help text on the right, each group at its top; where a taller font needs more
    // room, a group and all after it move down as far as it needs. The job's health follows.
    int helpBottom = 0;
    int shift = 0;
    int helpIndex = 0;
    for (const HelpLine& line : kHelp) {
        shift = std::max(shift, helpBottom + kHelpGap - line.top);
        QLabel* label = placeLabel(box, toQString(line.text), kHelpLeft, line.top + shift);
        label->setObjectName(QStringLiteral("HelpLabel%1").arg(++helpIndex));
        helpBottom = label->geometry().bottom();
    }
    const int statusTop = std::max(312, helpBottom + 3 * kHelpGap);
    m_statusArea =
        placed(new QLabel(box), "StatusArea", kHelpLeft, statusTop, 200, kBoxHeight - statusTop);
    m_statusArea->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_statusArea->setWordWrap(true);
    m_statusArea->setTextFormat(Qt::RichText);

    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setFixedHeight(19);
    m_panel0 = new QLabel(bar);
    m_panel0->setObjectName(QStringLiteral("StatusPanel0"));
    m_panel0->setFixedWidth(200);
    m_panel1 = new QLabel(bar);
    m_panel1->setObjectName(QStringLiteral("StatusPanel1"));
    m_panel1->setFixedWidth(300);
    bar->addWidget(m_panel0);
    bar->addWidget(m_panel1);
    // Shown while a copy runs: its share done and time left, and the way to stop it.
    m_progressBar = new QProgressBar(bar);
    m_progressBar->setObjectName(QStringLiteral("ProgressBar"));
    m_progressBar->setFixedWidth(200);
    m_progressBar->setRange(0, 1000);
    m_progressBar->hide();
    m_cancelButton = new QPushButton(QStringLiteral("取消"), bar);
    m_cancelButton->setObjectName(QStringLiteral("CancelButton"));
    m_cancelButton->setFixedHeight(17);
    m_cancelButton->hide();
    bar->addWidget(m_progressBar);
    bar->addWidget(m_cancelButton);

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("FileTimer2"));
    m_timer->setInterval(1000);

    connect(m_button4, &QPushButton::clicked, this, &TMainForm::Button1Click);
    connect(m_button5, &QPushButton::clicked, this, &TMainForm::Button5Click);
    connect(m_button6, &QPushButton::clicked, this, &TMainForm::Button6Click);
    connect(m_button8, &QPushButton::clicked, this, &TMainForm::Button8Click);
    connect(m_button9, &QPushButton::clicked, this, &TMainForm::Button9Click);
    connect(m_button10, &QPushButton::clicked, this, &TMainForm::Button10Click);
    connect(m_button7, &QPushButton::clicked, this, &TMainForm::Button7Click);
    connect(m_timer, &QTimer::timeout, this, &TMainForm::FileTimer2Timer);
    connect(m_cancelButton, &QPushButton::clicked, this, &TMainForm::cancelRun);
    m_healthTimer = new QTimer(this);
    m_healthTimer->setInterval(60 * 1000);
    connect(m_healthTimer, &QTimer::timeout, this, [this] { updateHealth(true); });
    m_healthTimer->start();

    // Client area of the 800 x 531 window: the group box (784 x 473) over the status bar.
    resize(786, 492);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

template <class Fn>
void TMainForm::guarded(Fn&& fn) {
    runGuarded(m_dialogs, this, std::forward<Fn>(fn));
}

void TMainForm::FormCreate() {
    m_timer->stop();
    // The log and the spare folder live in the working directory, where the log is written.
    std::error_code ignored;
    std::filesystem::create_directories(m_ws->dir / "Log", ignored);
    std::filesystem::create_directories(m_ws->dir / "TempBackupFile", ignored);
    guarded([this] {
        if (BackupRecordStore::CreateIfMissing(m_ws->databaseFile())) {
            m_panel0->setFixedWidth(width() / 2);
        }
    });
}

void TMainForm::FormShow() {
    m_shownOnce = true;
    guarded([this] {
        TBackupSettings s = settings();
        try {
            LoadSettings(*m_ws, s);
        } catch (...) {
            // The fields read before the bad value stay filled.
            applySettings(s);
            throw;
        }
        applySettings(s);
        const QString dir = toQString(pathToUtf8(m_ws->dir));
        const QString text = QStringLiteral("工作目录：") + dir;
        m_panel0->setText(
            m_panel0->fontMetrics().elidedText(text, Qt::ElideMiddle, m_panel0->width() - 4));
        m_panel0->setToolTip(dir);
    });
    updateHealth();
    startTimetableAtLaunch();
}

void TMainForm::startTimetableAtLaunch() {
    guarded([this] {
        TBackupSettings s = settings();
        if (!s.StartScheduleAtLaunch || m_timer->isActive()) {
            return;
        }
        // A timetable that cannot succeed is not started; the reason is shown.
        if (const auto message = ValidateSettings(s)) {
            m_ws->ui.showMessage(*message);
            return;
        }
        if (!CheckTargetOutsideSource(*m_ws, s)) {
            return;
        }
        m_dayList = s.DayList;
        m_job->startTimetable();
        m_timer->start();
        m_ws->ui.setStatus("启动备份计划");
        updateHealth();
    });
}

TBackupSettings TMainForm::settings() const {
    TBackupSettings s;
    s.SourcePath = toUtf8(m_edit1->text());
    s.TargetFolder = toUtf8(m_edit2->text());
    const QTime time = m_timePicker->time();
    s.RunTime = TimeOfDay{time.hour(), time.minute(), time.second()};
    for (int day = 0; day < 7; ++day) {
        s.Days[day] = m_dayBoxes[day]->isChecked();
    }
    s.DayList = m_dayList;
    s.KeepCountText = toUtf8(m_keepCount->text());
    s.StartScheduleAtLaunch = m_startAtLaunch->isChecked();
    s.CatchUpMissed = m_catchUp->isChecked();
    try {
        s.KeepCount = ParseKeepCount(s.KeepCountText);
    } catch (const std::exception&) {
        // Text that is not a number has no value; saving refuses it with its own message.
        s.KeepCount.reset();
    }
    s.ShareUnchanged = m_shareBox->isChecked();
    return s;
}

void TMainForm::applySettings(const TBackupSettings& s) {
    m_edit1->setText(toQString(s.SourcePath));
    m_edit2->setText(toQString(s.TargetFolder));
    m_timePicker->setTime(QTime(s.RunTime.hour, s.RunTime.minute, s.RunTime.second));
    for (int day = 0; day < 7; ++day) {
        m_dayBoxes[day]->setChecked(s.Days[day]);
    }
    m_dayList = s.DayList;
    // A loaded value is shown as it is; only typing is checked and raised.
    m_keepCount->setText(toQString(s.KeepCountText));
    m_startAtLaunch->setChecked(s.StartScheduleAtLaunch);
    m_catchUp->setChecked(s.CatchUpMissed);
    m_shareBox->setChecked(s.ShareUnchanged);
}

void TMainForm::commitKeepCount() {
    const std::string committed = CommitKeepCount(toUtf8(m_keepCount->text()));
    m_keepCount->setText(toQString(committed));
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    // Leaving the field commits it; a box or another application taking the focus does not.
    if (watched == m_keepCount && event->type() == QEvent::FocusOut && m_keepCount->isModified() &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::ActiveWindowFocusReason &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        m_keepCount->setModified(false);
        guarded([this] { commitKeepCount(); });
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::Button1Click() {
    if (auto folder = m_dialogs.pickFolder(this, QStringLiteral("请选择备份文件源地址"))) {
        m_edit1->setText(*folder);
    }
}

void TMainForm::Button5Click() {
    if (auto folder = m_dialogs.pickFolder(
            this, QStringLiteral("请选择备份文件目的地址，文件将备份到指定位置"))) {
        m_edit2->setText(*folder);
    }
}

void TMainForm::Button6Click() {
    guarded([this] {
        TBackupSettings s = settings();
        SaveSettings(*m_ws, s);
        m_dayList = s.DayList;
    });
}

void TMainForm::Button8Click() {
    guarded([this] {
        TBackupSettings s = settings();
        const bool started = m_job->StartSchedule(s);
        m_dayList = s.DayList;
        // A start while started keeps the timer's period.
        if (started && !m_timer->isActive()) {
            m_timer->start();
        }
    });
    updateHealth();
}

void TMainForm::Button9Click() {
    guarded([this] {
        m_timer->stop();
        m_job->StopSchedule();
    });
    updateHealth();
}

void TMainForm::Button10Click() {
    guarded([this] { startRun(RunRequest{RunTrigger::Manual, PruneAfterRun::No, {}}); });
}

void TMainForm::Button7Click() {
    guarded([this] {
        OperationLog(m_ws->logFile()).EnsureExists();
        auto* viewer = new TLogShowForm(m_ws->logFile(), m_dialogs);
        viewer->show();
    });
}

void TMainForm::FileTimer2Timer() {
    // A tick during a run is skipped; the next one after it still finds the day's fire
    // instant, so nothing is lost and no second run starts meanwhile.
    if (m_running) {
        return;
    }
    guarded([this] {
        TBackupSettings s = settings();
        const auto due = m_job->IsDue(s);
        m_dayList = s.DayList;
        if (due) {
            startRun(*due);
        }
    });
}

void TMainForm::startRun(const RunRequest& request) {
    if (m_running) {
        return;
    }
    TBackupSettings s = settings();
    m_running = true;
    m_cancel = false;
    updateCommandButtons();
    // The count before the copy can be cancelled too.
    m_cancelButton->setEnabled(true);
    m_cancelButton->show();
    m_worker = std::thread([this, s = std::move(s), request] {
        // execute() records every outcome and never throws.
        RunResult result = m_job->execute(s, request, RunControl{&m_cancel});
        QMetaObject::invokeMethod(
            this, [this, result = std::move(result)] { finishRun(result); }, Qt::QueuedConnection);
    });
}

void TMainForm::cancelRun() {
    if (m_running) {
        m_cancel = true;
        m_cancelButton->setEnabled(false);
    }
}

void TMainForm::finishRun(const RunResult& result) {
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_running = false;
    m_ui->endProgress();
    updateCommandButtons();
    m_job->finished(result);
    updateHealth();
    // One notification per outcome: a balloon while in the tray, the boxes while shown.
    if (notifyInTray(result)) {
        return;
    }
    if (!result.report.skipped.empty()) {
        QStringList notCopied;
        for (const SkippedEntry& entry : result.report.skipped) {
            notCopied << toQString(pathToUtf8(entry.path) + "：" + describeError(entry.error));
        }
        m_dialogs.showList(this, QStringLiteral("以下 %1 项未能复制：").arg(notCopied.size()),
                           notCopied);
    }
    if (result.error) {
        const RunTrigger trigger = result.record.trigger;
        guarded([&] {
            try {
                std::rethrow_exception(result.error);
            } catch (const std::exception& e) {
                if (trigger != RunTrigger::Timetable && trigger != RunTrigger::CatchUp) {
                    throw;
                }
                // A run nobody started by hand says what it was and of which job.
                const char* what = trigger == RunTrigger::Timetable ? "备份计划的定时备份失败"
                                                                    : "补做错过的备份失败";
                m_dialogs.showMessage(
                    this, QStringLiteral("%1（工作目录：%2）：\n%3")
                              .arg(QString::fromUtf8(what), toQString(pathToUtf8(m_ws->dir)),
                                   QString::fromUtf8(e.what())));
            }
        });
    }
}

void TMainForm::updateHealth(bool byClock) {
    guarded([this, byClock] {
        const JobHealth::State before = m_health.state;
        m_health = m_job->health(settings());
        const LocalTime now = m_ws->clock.now();
        using State = JobHealth::State;
        const char* colour = "#2e7d32";  // green
        switch (m_health.state) {
            case State::Ok:
                break;
            case State::Warning:
                colour = "#ef6c00";
                break;
            case State::Failed:
            case State::Overdue:
                colour = "#c62828";
                break;
            case State::Never:
                colour = "#757575";
                break;
        }
        m_alarm = m_health.state == State::Failed || m_health.state == State::Overdue;
        // Each heading on a line of its own: the area is narrow.
        const auto line = [](const std::string& text) {
            return toQString(text).toHtmlEscaped().replace(QStringLiteral("上次完整备份："),
                                                           QStringLiteral("上次完整备份：<br>"));
        };
        m_statusArea->setText(QStringLiteral("<span style=\"color:%1\">●</span> %2<br>%3<br>%4")
                                  .arg(QLatin1String(colour), line(m_health.summaryLine()),
                                       line(m_health.lastCompleteLine(now)),
                                       line(m_health.nextRunLine())));
        if (m_trayIcon) {
            m_trayIcon->setToolTip(trayToolTip());
            m_trayIcon->setIcon(trayIconImage());
            // A job that falls overdue while nothing runs says so once.
            if (byClock && m_inTray && m_health.state == State::Overdue &&
                before != State::Overdue) {
                notify(QStringLiteral("备份已逾期：") + toQString(m_health.reason),
                       QSystemTrayIcon::Warning);
            }
        }
    });
}

QString TMainForm::trayToolTip() const {
    QStringList lines{QStringLiteral("Vantrel"), toQString(pathToUtf8(m_ws->dir.filename())),
                      toQString(m_health.summaryLine()), toQString(m_health.nextRunLine())};
    return lines.join(QLatin1Char('\n'));
}

QIcon TMainForm::trayIconImage() const {
    if (!m_alarm) {
        return windowIcon();
    }
    // A red dot with a white rim in the lower right corner: failed or overdue.
    QPixmap pixmap = windowIcon().pixmap(32, 32);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2));
    painter.setBrush(QColor(0xc6, 0x28, 0x28));
    painter.drawEllipse(QRect(16, 16, 15, 15));
    painter.end();
    return QIcon(pixmap);
}

bool TMainForm::notifyInTray(const RunResult& result) {
    if (!m_inTray || !m_trayIcon || !QSystemTrayIcon::supportsMessages()) {
        return false;
    }
    QString reason;
    QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Warning;
    switch (result.record.outcome) {
        case RunOutcome::Failed:
        case RunOutcome::Refused:
            reason = QStringLiteral("备份失败：") + toQString(result.record.message);
            icon = QSystemTrayIcon::Critical;
            break;
        case RunOutcome::Incomplete:
            reason = QStringLiteral("备份不完整：") + toQString(result.record.message);
            break;
        default:
            if (m_health.state == JobHealth::State::Overdue) {
                reason = QStringLiteral("备份已逾期：") + toQString(m_health.reason);
            }
            break;
    }
    if (reason.isEmpty()) {
        return false;  // success stays quiet
    }
    notify(reason, icon);
    return true;
}

void TMainForm::notify(const QString& reason, QSystemTrayIcon::MessageIcon icon) {
    if (!m_trayIcon || !QSystemTrayIcon::supportsMessages()) {
        return;
    }
    const QString title = QStringLiteral("Vantrel：") + toQString(pathToUtf8(m_ws->dir));
    m_lastNotification = {title, reason};
    m_trayIcon->showMessage(title, reason, icon);
}

void TMainForm::bringToFront() {
    if (m_inTray) {
        restoreFromTray();
        return;
    }
    if (!m_shownOnce) {
        FormShow();
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::waitForRun() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
    // Deliver the status texts and the outcome the worker posted.
    QCoreApplication::sendPostedEvents(this);
}

void TMainForm::updateCommandButtons() {
    for (QPushButton* button : {m_button8, m_button9, m_button10}) {
        button->setEnabled(!m_running);
    }
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!m_shownOnce) {
        FormShow();
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (m_sessionEnding ||
        m_dialogs.confirm(this, QStringLiteral("您确定要退出该系统吗？")) == Dialogs::Answer::Yes) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TMainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        !m_inTray && QSystemTrayIcon::isSystemTrayAvailable()) {
        minimizeToTray();
    }
}

void TMainForm::minimizeToTray() {
    m_inTray = true;
    // Hide once the minimise has finished; hiding inside the state change confuses some
    // window managers.
    QTimer::singleShot(0, this, [this] {
        if (m_inTray) {
            hide();
        }
    });
    m_trayIcon = new QSystemTrayIcon(windowIcon(), this);
    m_trayIcon->setObjectName(QStringLiteral("TrayIcon"));
    m_trayIcon->setToolTip(trayToolTip());
    m_trayIcon->setIcon(trayIconImage());
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    restoreFromTray();
                }
            });
    m_trayIcon->show();
}

void TMainForm::restoreFromTray() {
    m_inTray = false;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
    activateWindow();
    if (m_trayIcon) {
        m_trayIcon->hide();
        m_trayIcon->deleteLater();
        m_trayIcon = nullptr;
    }
}

void TMainForm::startInTray() {
    if (!m_shownOnce) {
        FormShow();
    }
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        minimizeToTray();
    } else {
        showMinimized();
    }
}

}  // namespace vantrel
