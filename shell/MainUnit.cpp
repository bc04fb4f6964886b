#include "shell/MainUnit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimeEdit>
#include <QTimer>

#include "app/ExclusionPresets.h"
#include "shell/KeepCountField.h"
#include "shell/LogShowUnit.h"
#include "shell/QtText.h"
#include "shell/RestoreUnit.h"
#include "shell/TrayIcon.h"

namespace vantrel {

TMainForm::TMainForm(std::filesystem::path workDir, FileOps& files, const Clock& clock,
                     Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), m_dialogs(dialogs), m_w(buildMainWindow(*this)) {
    m_presenter = std::make_unique<JobPresenter>(std::move(workDir), files, clock, *this);
    m_scheduler = SystemScheduler::make();
    m_presenter->setSystemScheduler(m_scheduler.get(), {});
    makeKeepCountField(m_w.keepCount, [this] { m_presenter->commitKeepCount(); });

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("FileTimer2"));
    m_timer->setInterval(1000);
    m_minuteTimer = new QTimer(this);
    m_minuteTimer->setInterval(60 * 1000);

    connect(m_w.button4, &QPushButton::clicked, this, &TMainForm::Button1Click);
    connect(m_w.button5, &QPushButton::clicked, this, &TMainForm::Button5Click);
    connect(m_w.button6, &QPushButton::clicked, this, &TMainForm::Button6Click);
    connect(m_w.button8, &QPushButton::clicked, this, &TMainForm::Button8Click);
    connect(m_w.button9, &QPushButton::clicked, this, &TMainForm::Button9Click);
    connect(m_w.button10, &QPushButton::clicked, this, &TMainForm::Button10Click);
    connect(m_w.button7, &QPushButton::clicked, this, &TMainForm::Button7Click);
    connect(m_w.excludePreview, &QPushButton::clicked, this,
            [this] { m_presenter->previewExclusions(); });
    auto* presets = new QMenu(m_w.excludePresets);
    const auto& all = exclusionPresets();
    for (std::size_t i = 0; i < all.size(); ++i) {
        presets->addAction(toQString(all[i].caption) + "（" + toQString(all[i].patterns) + "）",
                           this, [this, i] { m_presenter->addExclusionPreset(i); });
    }
    m_w.excludePresets->setMenu(presets);
    connect(m_w.excludeFolder, &QPushButton::clicked, this,
            [this] { m_presenter->excludeFolder(); });
    connect(m_w.restore, &QPushButton::clicked, this, &TMainForm::ButtonRestoreClick);
    connect(m_w.confirmChanges, &QPushButton::clicked, this,
            [this] { m_presenter->confirmChanges(); });
    connect(m_timer, &QTimer::timeout, this, &TMainForm::FileTimer2Timer);
    connect(m_minuteTimer, &QTimer::timeout, this, [this] { m_presenter->minuteTick(); });
    connect(m_w.cancelButton, &QPushButton::clicked, this, [this] {
        m_w.cancelButton->setEnabled(false);
        m_presenter->cancelRun();
    });
    // At log-off or shutdown the program ends without asking; a run under way is cancelled,
    // and recorded as such before the program ends.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this] {
        m_sessionEnding = true;
        m_presenter->cancelForSessionEnd();
    });

    if (m_presenter->create()) {
        setPanel0Width(width() / 2);
    }
    m_minuteTimer->start();
}

TMainForm::~TMainForm() {
    // Restore windows first: their restores work in the presenter's working directory.
    qDeleteAll(findChildren<TRestoreForm*>(QString(), Qt::FindDirectChildrenOnly));
    // A copy under way finishes with its cleanup; it is never cut off half-way.
    m_presenter.reset();
    if (m_tray) {
        m_tray->hide();
    }
}

void TMainForm::Button1Click() {
    m_presenter->pickSource();
}

void TMainForm::Button5Click() {
    m_presenter->pickTarget();
}

void TMainForm::Button6Click() {
    m_presenter->save();
}

void TMainForm::Button8Click() {
    m_presenter->startTimetable();
}

void TMainForm::Button9Click() {
    m_presenter->stopTimetable();
}

void TMainForm::Button10Click() {
    m_presenter->backUpNow();
}

void TMainForm::Button7Click() {
    m_presenter->openLog();
}

void TMainForm::ButtonRestoreClick() {
    m_presenter->openRestore();
}

void TMainForm::FileTimer2Timer() {
    m_presenter->tick();
}

FormFields TMainForm::fields() const {
    FormFields f;
    for (const auto& [widget, setting] : m_w.settingFields) {
        if (const auto* box = qobject_cast<const QCheckBox*>(widget)) {
            f.setFlag(setting, box->isChecked());
        } else if (const auto* line = qobject_cast<const QLineEdit*>(widget)) {
            f.setText(setting, toUtf8(line->text()));
        }
    }
    const QTime time = m_w.dateTimePicker1->time();
    f.setTime(TimeOfDay{time.hour(), time.minute(), time.second()});
    std::array<bool, 7> days{};
    for (int day = 0; day < 7; ++day) {
        days[day] = m_w.days[day]->isChecked();
    }
    f.setDays(days);
    return f;
}

void TMainForm::showFields(const FormFields& f) {
    for (const auto& [widget, setting] : m_w.settingFields) {
        if (auto* box = qobject_cast<QCheckBox*>(widget)) {
            box->setChecked(f.flag(setting));
        } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            line->setText(toQString(f.text(setting)));
        }
    }
    const TimeOfDay time = f.time();
    m_w.dateTimePicker1->setTime(QTime(time.hour, time.minute, time.second));
    const std::array<bool, 7> days = f.days();
    for (int day = 0; day < 7; ++day) {
        m_w.days[day]->setChecked(days[day]);
    }
}

void TMainForm::showKeepText(std::string_view text) {
    m_w.keepCount->setText(toQString(text));
}

void TMainForm::showSource(std::string_view path) {
    m_w.edit1->setText(toQString(path));
}

void TMainForm::showTarget(std::string_view path) {
    m_w.edit2->setText(toQString(path));
}

void TMainForm::showExcludeRules(std::string_view rules) {
    m_w.excludeRules->setText(toQString(rules));
}

void TMainForm::showWorkingDirectory(std::string_view text) {
    m_w.panel0->setToolTip(toQString(text));
    setPanel0Width(m_w.panel0->width());
}

// Panel 0 holds the working directory, shortened in the middle to its width; its tooltip
// holds the whole.
void TMainForm::setPanel0Width(int width) {
    m_w.panel0->setFixedWidth(width);
    m_w.panel0->setText(
        m_w.panel0->fontMetrics().elidedText(m_w.panel0->toolTip(), Qt::ElideMiddle, width - 4));
}

void TMainForm::showStatus(std::string_view text) {
    m_w.panel1->setText(toQString(text));
}

void TMainForm::showMessage(std::string_view text) {
    m_dialogs.showMessage(this, toQString(text));
}

void TMainForm::showList(std::string_view text, const std::vector<std::string>& items) {
    QStringList lines;
    for (const std::string& item : items) {
        lines << toQString(item);
    }
    m_dialogs.showList(this, toQString(text), lines);
}

bool TMainForm::confirm(std::string_view question) {
    return m_dialogs.confirm(this, toQString(question)) == Dialogs::Answer::Yes;
}

SaveAnswer TMainForm::askSave(std::string_view question) {
    return m_dialogs.askSave(this, toQString(question));
}

std::optional<std::string> TMainForm::pickFolder(std::string_view prompt) {
    if (auto folder = m_dialogs.pickFolder(this, toQString(prompt))) {
        return toUtf8(*folder);
    }
    return std::nullopt;
}

void TMainForm::showRunning(bool running) {
    for (QPushButton* button : {m_w.button8, m_w.button9, m_w.button10}) {
        button->setEnabled(!running);
    }
    m_w.cancelButton->setEnabled(running);
    m_w.cancelButton->setVisible(running);
    if (m_tray) {
        fillTrayMenu(m_tray->menu());
    }
    // While a run goes, panel 0 makes room for the progress bar and 取消.
    setPanel0Width(running ? 200 : width() / 2);
    if (!running) {
        m_w.progressBar->hide();
    }
}

void TMainForm::showProgress(const ProgressView& progress) {
    m_w.panel1->setText(toQString(progress.status));
    QProgressBar* bar = m_w.progressBar;
    // Without a share to show, the bar only shows that something is going on.
    bar->setRange(0, progress.permille < 0 ? 0 : 1000);
    if (progress.permille >= 0) {
        bar->setValue(progress.permille);
        bar->setFormat(progress.timeLeft.empty()
                           ? QStringLiteral("%p%")
                           : QStringLiteral("%p% ") + toQString(progress.timeLeft));
    }
    bar->show();
}

void TMainForm::showHealth(const HealthView& health) {
    // Each heading on a line of its own: the area is narrow.
    const auto line = [](const std::string& text) {
        QString html = toQString(text).toHtmlEscaped();
        for (const QString& heading :
             {QStringLiteral("上次完整备份："), QStringLiteral("下次备份：")}) {
            if (html.startsWith(heading)) {
                html.insert(heading.size(), QStringLiteral("<br>"));
            }
        }
        return html;
    };
    m_w.confirmChanges->setVisible(health.changesHeld);
    m_w.statusArea->setText(
        QStringLiteral("<span style=\"color:#%1\">●</span> %2<br>%3<br>%4")
            .arg(health.colour, 6, 16, QLatin1Char('0'))
            .arg(line(health.summary), line(health.lastComplete), line(health.nextRun)));
}

void TMainForm::showTray(std::string_view toolTip, bool alarm) {
    m_trayToolTip = toQString(toolTip);
    m_trayAlarm = alarm;
    if (m_tray) {
        m_tray->setState(m_trayToolTip, m_trayAlarm);
        fillTrayMenu(m_tray->menu());  // the timetable's command may have changed
    }
}

bool TMainForm::notify(std::string_view title, std::string_view text, Severity severity) {
    if (!m_inTray || !m_tray || !m_tray->showMessage(toQString(title), toQString(text), severity)) {
        return false;
    }
    m_lastNotification = {toQString(title), toQString(text)};
    return true;
}

void TMainForm::showWindow() {
    bringToFront();
}

// Asked already: the window goes without asking again, and with it the program.
void TMainForm::endProgram() {
    m_ending = true;
    close();
    // Hidden in the tray, its closing is no last window closed.
    QCoreApplication::quit();
}

void TMainForm::setTicking(bool on) {
    // A start while started keeps the timer's period.
    if (!on) {
        m_timer->stop();
    } else if (!m_timer->isActive()) {
        m_timer->start();
    }
}

void TMainForm::openLogViewer(const std::filesystem::path& logFile,
                              const std::filesystem::path& dbFile) {
    auto* viewer = new TLogShowForm(logFile, m_dialogs, nullptr, dbFile);
    viewer->show();
}

void TMainForm::openRestoreWindow(Workspace& ws, const TBackupSettings& settings) {
    // A child, so it goes before the presenter whose working directory it restores in.
    auto* window = new TRestoreForm(ws, settings, m_dialogs, this);
    window->show();
}

void TMainForm::openRestoreAt(const std::string& path) {
    const auto openWindow = [this]() -> TRestoreForm* {
        for (TRestoreForm* w : findChildren<TRestoreForm*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (w->isVisible()) {
                return w;
            }
        }
        return nullptr;
    };
    TRestoreForm* window = openWindow();
    if (window == nullptr) {
        m_presenter->openRestore();
        window = openWindow();
    }
    if (window == nullptr) {
        return;  // no source set: the presenter has said so
    }
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
    window->presenter().openAt(path);
}

void TMainForm::post(std::function<void()> fn) {
    // Posted to a window that is gone, it is dropped with the window's events.
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void TMainForm::bringToFront() {
    if (m_inTray) {
        restoreFromTray();
        return;
    }
    m_presenter->show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::waitForRun() {
    m_presenter->waitForRun();
    // Deliver the status texts and the outcome the run posted.
    QCoreApplication::sendPostedEvents(this);
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    m_presenter->show();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (m_ending || m_presenter->mayClose(m_sessionEnding)) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TMainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        !m_inTray && TrayIcon::available()) {
        minimizeToTray();
    }
}

void TMainForm::minimizeToTray() {
    m_inTray = true;
    m_presenter->setInTray(true);
    // Hide once the minimise has finished; hiding inside the state change confuses some
    // window managers.
    QTimer::singleShot(0, this, [this] {
        if (m_inTray) {
            hide();
        }
    });
    if (!m_tray) {
        m_tray = new TrayIcon(this);
        connect(m_tray, &TrayIcon::clicked, this, &TMainForm::restoreFromTray);
        connect(m_tray, &TrayIcon::menuAsked, this, &TMainForm::fillTrayMenu);
        fillTrayMenu(m_tray->menu());
    }
    m_tray->setState(m_trayToolTip, m_trayAlarm);
    m_tray->show();
}

// The presenter's commands, asked afresh each time the menu opens.
void TMainForm::fillTrayMenu(QMenu* menu) {
    menu->clear();
    for (const auto& item : m_presenter->trayMenu()) {
        if (item.command == JobPresenter::TrayCommand::Exit) {
            menu->addSeparator();
        }
        QAction* action = menu->addAction(toQString(item.caption), this,
                                          [this, item] { m_presenter->trayCommand(item.command); });
        action->setEnabled(item.enabled);
    }
}

void TMainForm::restoreFromTray() {
    m_inTray = false;
    m_presenter->setInTray(false);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
    activateWindow();
    m_tray->hide();
}

void TMainForm::startInTray() {
    m_presenter->show();
    if (TrayIcon::available()) {
        minimizeToTray();
    } else {
        showMinimized();
    }
}

}  // namespace vantrel
