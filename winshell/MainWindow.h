#pragma once

#include <windows.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "winshell/Fonts.h"
#include "winshell/Handles.h"
#include "winshell/Layout.h"
#include "winshell/TrayIcon.h"

namespace vantrel {

// Sent by a later start in the same working directory: come to the front.
inline constexpr UINT kActivateMessage = WM_APP + 1;

// The main window: the fields and commands, the status bar and the tray icon. It draws and
// forwards; its window procedure only dispatches each message to one On... method.
class TMainForm {
public:
    explicit TMainForm(std::filesystem::path workDir);
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;
    ~TMainForm();

    static void registerClass(HINSTANCE instance);
    // Makes the window, centred on the screen and not yet shown. False when it cannot.
    bool create();
    HWND window() const { return m_window; }

    // Shows the window with the settings loaded, as `showCommand` asks; a minimised show
    // command, like --minimized, starts in the notification area instead.
    void start(int showCommand, bool minimized);
    // A later start in the same working directory: the window comes to the front.
    void bringToFront();

    // The fields as the settings they hold, and the settings shown in them.
    TBackupSettings settings() const;
    void showSettings(const TBackupSettings& settings);
    // Status panel 1.
    void setStatus(std::string_view text);

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK keepCountProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR, DWORD_PTR self);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    LRESULT OnCreate();
    void OnCommand(int id, int code);
    LRESULT OnSysCommand(WPARAM command, LPARAM lParam);
    void OnTrayMessage(LPARAM mouseMessage);
    void OnClose();
    void OnDestroy();
    void OnEndSession(bool ending);
    void OnDpiChanged(UINT dpi, const RECT& suggested);
    void OnGetMinMaxInfo(MINMAXINFO& info) const;
    LRESULT OnCtlColorStatic(HDC dc, HWND control);

    // The handlers of the commands, named after the controls that send them.
    void FormShow();
    void Button1Click();
    void Button5Click();
    void Button6Click();
    void Button8Click();
    void Button9Click();
    void Button10Click();
    void Button7Click();
    void cancelRun();
    void commitKeepCount();
    bool accepts(HWND field, const std::wstring& typed) const;
    bool acceptsPaste(HWND field) const;

    void createControls();
    void applyLayout(bool resizeWindow);
    void minimizeToTray();
    void restoreFromTray();
    HWND control(int id) const { return GetDlgItem(m_window, id); }
    std::string text(int id) const;
    void setText(int id, std::string_view text);

    class WindowUi;

    std::filesystem::path m_workDir;
    HWND m_window = nullptr;
    HWND m_statusBar = nullptr;
    UINT m_dpi = 96;
    Fonts m_fonts;
    MainLayout m_layout;
    std::unique_ptr<TrayIcon> m_tray;
    IconHandle m_trayIcon;
    UINT m_taskbarCreated = 0;
    bool m_shownOnce = false;
    bool m_inTray = false;
    bool m_sessionEnding = false;
};

}  // namespace vantrel
