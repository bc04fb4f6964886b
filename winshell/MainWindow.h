#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/JobPresenter.h"
#include "app/JobView.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "winshell/Handles.h"
#include "winshell/Layout.h"
#include "winshell/Messages.h"
#include "winshell/TrayIcon.h"
#include "winshell/Window.h"

namespace vantrel {

// The main window: the fields and commands, the status bar and the tray icon with its menu.
// It draws and forwards to its presenter, which decides: each message goes to one On...
// method, each command, timer and notification to one presenter call. Its life and commands
// are in MainWindow.cpp, what it draws for the presenter in MainWindowView.cpp.
class TMainForm final : public Window, public JobView {
public:
    // `workDir` holds config.ini, the record database and the Log folder.
    TMainForm(std::filesystem::path workDir, FileOps& files, const Clock& clock);
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;
    ~TMainForm() override;

    static void registerClass(HINSTANCE instance);
    // Makes the window, centred on the screen and not yet shown. False when it cannot.
    bool create();

    // Shows the window with the settings loaded, as `showCommand` asks; a minimised show
    // command, like --minimized, starts in the notification area instead.
    void start(int showCommand, bool minimized);
    // A later start in the same working directory: the window comes to the front.
    void bringToFront();
    // Opens the job's restore window at `path` (a file or folder in the source), or brings the
    // one open to the front and shows `path` there.
    void openRestoreAt(const std::string& path);

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

private:
    // FileTimer2, the timetable's one-second tick, and the minute that keeps the health current.
    static constexpr UINT_PTR kFileTimer2 = 1;
    static constexpr UINT_PTR kMinuteTimer = 2;

    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnDpiChanged(const RECT& suggested) override;

    LRESULT OnCreate();
    void OnCommand(int id, int code);
    void OnExclusionPresets();
    void OnTimer(UINT_PTR id);
    LRESULT OnSysCommand(WPARAM command, LPARAM lParam);
    void OnTrayMessage(LPARAM mouseMessage);
    void OnClose();
    void OnDestroy();
    void OnEndSession(bool ending);
    void OnGetMinMaxInfo(MINMAXINFO& info) const;
    LRESULT OnCtlColorStatic(HDC dc, HWND control);
    void OnDrawStatusArea(const DRAWITEMSTRUCT& item) const;

    void showTrayMenu();
    void createControls();
    void applyLayout(bool resizeWindow);
    void setStatusParts();
    void showPanel0();
    void showTrayIcon();
    void minimizeToTray();
    void restoreFromTray();
    HWND control(int id) const { return GetDlgItem(m_window, id); }
    std::string text(int id) const;
    void setText(int id, std::string_view text);

    HWND m_statusBar = nullptr;
    MainLayout m_layout;
    std::unique_ptr<TrayIcon> m_tray;
    IconHandle m_trayIcon;
    std::string m_trayToolTip = "Vantrel";
    bool m_trayAlarm = false;
    COLORREF m_healthColour = RGB(0x75, 0x75, 0x75);
    std::string m_panel0;  // status panel 0's whole text; shown shortened where it must be
    UINT m_taskbarCreated = 0;
    bool m_inTray = false;
    bool m_running = false;  // a run shows its progress and 取消
    bool m_ticking = false;
    bool m_sessionEnding = false;
    std::string m_restorePath;  // handed over by a later start, opened once posted

    std::unique_ptr<SystemScheduler> m_scheduler;  // none where Task Scheduler cannot be reached
    std::unique_ptr<JobPresenter> m_presenter;     // last: gone, and its run ended, first
};

}  // namespace vantrel
