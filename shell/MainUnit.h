#pragma once

#include <filesystem>
#include <memory>

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include "app/JobPresenter.h"
#include "app/JobView.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "shell/Dialogs.h"
#include "shell/MainWindowLayout.h"

class QMenu;
class QTimer;

namespace vantrel {

class TrayIcon;

// The main window: draws the job and forwards every command and tick to its presenter,
// which decides. The fields are the live settings: the presenter reads them when it acts.
class TMainForm final : public QMainWindow, public JobView {
    Q_OBJECT

public:
    // `workDir` holds config.ini, the record database and the Log folder.
    TMainForm(std::filesystem::path workDir, FileOps& files, const Clock& clock, Dialogs& dialogs,
              QWidget* parent = nullptr);
    ~TMainForm() override;

    // Starts hidden in the notification area with the settings loaded; where the desktop has
    // no notification area, starts minimised instead.
    void startInTray();
    // Brings the window to the front, from the tray too (a second start in this directory).
    void bringToFront();
    // Opens the job's restore window at `path` (a file or folder in the source), or brings
    // the one open to the front and shows `path` there.
    void openRestoreAt(const std::string& path);
    bool inTray() const { return m_inTray; }
    bool runInProgress() const { return m_presenter->running(); }
    // Blocks until a run under way has ended and its outcome has been shown.
    void waitForRun();
    JobPresenter& presenter() { return *m_presenter; }
    // The tray icon's tooltip and mark, and the last balloon shown (title and text).
    QString trayToolTip() const { return m_trayToolTip; }
    bool trayAlarm() const { return m_trayAlarm; }
    QStringList lastNotification() const { return m_lastNotification; }

    // Commands, named after the buttons that give them.
    void Button1Click();        // source picker (Button4)
    void Button5Click();        // target picker
    void Button6Click();        // save settings
    void Button8Click();        // start the timetable
    void Button9Click();        // stop the timetable
    void Button10Click();       // back up now
    void Button7Click();        // open a log viewer
    void ButtonRestoreClick();  // open the restore window
    void FileTimer2Timer();

    // JobView
    FormFields fields() const override;
    void showFields(const FormFields& fields) override;
    void showKeepText(std::string_view text) override;
    void showSource(std::string_view path) override;
    void showTarget(std::string_view path) override;
    void showExcludeRules(std::string_view rules) override;
    void showWorkingDirectory(std::string_view text) override;
    void showStatus(std::string_view text) override;
    void showMessage(std::string_view text) override;
    void showList(std::string_view text, const std::vector<std::string>& items) override;
    bool confirm(std::string_view question) override;
    SaveAnswer askSave(std::string_view question) override;
    std::optional<std::string> pickFolder(std::string_view prompt) override;
    void showRunning(bool running) override;
    void showProgress(const ProgressView& progress) override;
    void showHealth(const HealthView& health) override;
    void showTray(std::string_view toolTip, bool alarm) override;
    bool notify(std::string_view title, std::string_view text, Severity severity) override;
    void showWindow() override;
    void endProgram() override;
    void setTicking(bool on) override;
    void openLogViewer(const std::filesystem::path& logFile,
                       const std::filesystem::path& dbFile) override;
    void openRestoreWindow(Workspace& ws, const TBackupSettings& settings) override;
    void post(std::function<void()> fn) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void minimizeToTray();
    void restoreFromTray();
    void fillTrayMenu(QMenu* menu);
    void setPanel0Width(int width);

    Dialogs& m_dialogs;
    MainWindowWidgets m_w;
    QTimer* m_timer = nullptr;        // FileTimer2
    QTimer* m_minuteTimer = nullptr;  // keeps the health's age and overdue state current
    TrayIcon* m_tray = nullptr;       // made at the first trip to the tray
    QString m_trayToolTip;
    bool m_trayAlarm = false;
    QStringList m_lastNotification;
    bool m_inTray = false;
    bool m_sessionEnding = false;
    bool m_ending = false;                         // 退出 from the tray, asked already
    std::unique_ptr<SystemScheduler> m_scheduler;  // the job's systemd user timer
    std::unique_ptr<JobPresenter> m_presenter;     // last: made once the widgets exist
};

}  // namespace vantrel
