#pragma once

#include <array>
#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <QIcon>
#include <QMainWindow>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QValidator>

#include "engine/BackupJob.h"
#include "engine/BackupRun.h"
#include "engine/BackupSettings.h"
#include "engine/JobHealth.h"
#include "engine/Workspace.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "shell/Dialogs.h"
#include "shell/ShellUi.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimeEdit;
class QTimer;

namespace vantrel {

// Lets into the keep-count field only what the field may hold; any other key is dropped.
class KeepCountValidator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
};

// The main window. Its fields are the live settings: every command and tick reads them at
// the moment it runs. The job decides and records; the copy runs on a worker thread while
// the window keeps painting.
class TMainForm final : public QMainWindow {
    Q_OBJECT

public:
    // `workDir` holds config.ini, the record database and the Log folder.
    TMainForm(std::filesystem::path workDir, const Clock& clock, Dialogs& dialogs,
              QWidget* parent = nullptr);
    ~TMainForm() override;

    // The settings as the fields hold them now.
    TBackupSettings settings() const;
    // Puts settings into the fields (the day boxes named in Days are ticked, others unticked).
    void applySettings(const TBackupSettings& settings);

    // Starts hidden in the notification area with the settings loaded; where the desktop has
    // no notification area, starts minimised instead.
    void startInTray();
    bool inTray() const { return m_inTray; }
    bool runInProgress() const { return m_running; }
    // Blocks until a run under way has finished and its outcome has been shown.
    void waitForRun();

    Workspace& workspace() { return *m_ws; }
    BackupJob& job() { return *m_job; }
    bool timetableOn() const { return m_job->started(); }
    // Brings the window to the front, from the tray too (a second start in this directory).
    void bringToFront();
    // Cancels the run under way (the button beside the progress bar).
    void cancelRun();
    // The tray icon's tooltip, and whether the icon carries the alarm mark.
    QString trayToolTip() const;
    bool trayAlarm() const { return m_alarm; }
    // The last tray notification shown: its title and text.
    QStringList lastNotification() const { return m_lastNotification; }

    // Commands, named after their buttons.
    void Button1Click();   // source picker (Button4)
    void Button5Click();   // target picker
    void Button6Click();   // save settings
    void Button8Click();   // start the timetable
    void Button9Click();   // stop the timetable
    void Button10Click();  // back up now
    void Button7Click();   // open a log viewer
    void FileTimer2Timer();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildWindow();
    void FormCreate();
    void FormShow();
    void commitKeepCount();
    void startRun(const RunRequest& request);
    void finishRun(const RunResult& result);
    void startTimetableAtLaunch();
    void updateHealth(bool byClock = false);
    // Shows the outcome as a balloon while in the tray; false when it did not.
    bool notifyInTray(const RunResult& result);
    void notify(const QString& reason, QSystemTrayIcon::MessageIcon icon);
    QIcon trayIconImage() const;
    void updateCommandButtons();
    void minimizeToTray();
    void restoreFromTray();
    template <class Fn>
    void guarded(Fn&& fn);

    Dialogs& m_dialogs;
    RealFileOps m_files;
    std::unique_ptr<ShellUi> m_ui;
    std::unique_ptr<Workspace> m_ws;
    std::unique_ptr<BackupJob> m_job;
    std::string m_dayList;  // the window's day-list text, rebuilt by save and tick

    QGroupBox* m_groupBox = nullptr;
    QLineEdit* m_edit1 = nullptr;
    QLineEdit* m_edit2 = nullptr;
    QPushButton* m_button4 = nullptr;
    QPushButton* m_button5 = nullptr;
    QGroupBox* m_groupBox2 = nullptr;
    std::array<QCheckBox*, 7> m_dayBoxes{};  // Monday first
    QTimeEdit* m_timePicker = nullptr;
    QLineEdit* m_keepCount = nullptr;
    QCheckBox* m_shareBox = nullptr;
    QPushButton* m_button6 = nullptr;
    QPushButton* m_button8 = nullptr;
    QPushButton* m_button9 = nullptr;
    QPushButton* m_button10 = nullptr;
    QPushButton* m_button7 = nullptr;
    QLabel* m_panel0 = nullptr;
    QLabel* m_panel1 = nullptr;
    QCheckBox* m_startAtLaunch = nullptr;
    QCheckBox* m_catchUp = nullptr;
    QLabel* m_statusArea = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QTimer* m_timer = nullptr;
    QTimer* m_healthTimer = nullptr;  // keeps the age and the overdue state current
    QSystemTrayIcon* m_trayIcon = nullptr;

    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_running = false;
    bool m_alarm = false;  // failed or overdue
    JobHealth m_health;
    QStringList m_lastNotification;
    bool m_shownOnce = false;
    bool m_inTray = false;
    bool m_sessionEnding = false;
};

}  // namespace vantrel
