#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "app/JobView.h"

namespace vantrel {

// The main window's icon in the notification area (Shell_NotifyIconW), removed at the latest
// when this object goes. Text is UTF-8.
class TrayIcon {
public:
    TrayIcon(HWND window, UINT callbackMessage) : m_window(window), m_message(callbackMessage) {}
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;
    ~TrayIcon() { remove(); }

    // Adds the icon, or changes it when shown. False when the system has no notification area
    // to take it.
    bool show(HICON icon, std::string_view tip);
    void remove();
    bool shown() const { return m_shown; }
    // Whether the icon reports in the newer way: a right click or the menu key on it as
    // WM_CONTEXTMENU (else a right click comes as WM_RBUTTONUP alone).
    bool newerMessages() const { return m_newer; }
    // Adds the icon again after the notification area was made anew (Explorer restarted).
    void restore();
    // A balloon from the icon, with the icon of its severity. False when the icon is not shown
    // or the system took no balloon.
    bool notify(std::string_view title, std::string_view text, Severity severity);

private:
    NOTIFYICONDATAW data(UINT flags) const;
    bool speakNewer();

    HWND m_window;
    UINT m_message;
    HICON m_icon = nullptr;
    std::wstring m_tip;
    bool m_shown = false;
    bool m_newer = false;
};

}  // namespace vantrel
