#include "winshell/TrayIcon.h"

#include <shellapi.h>

#include <cwchar>

#include "winshell/WinText.h"

namespace vantrel {

namespace {

template <std::size_t N>
void copyCut(wchar_t (&to)[N], const std::wstring& from) {
    wcsncpy(to, from.c_str(), N - 1);
    to[N - 1] = L'\0';
}

}  // namespace

NOTIFYICONDATAW TrayIcon::data(UINT flags) const {
    NOTIFYICONDATAW d{};
    d.cbSize = sizeof d;
    d.hWnd = m_window;
    d.uID = 0;
    d.uFlags = flags;
    d.uCallbackMessage = m_message;
    d.hIcon = m_icon;
    copyCut(d.szTip, m_tip);
    return d;
}

bool TrayIcon::show(HICON icon, std::string_view tip) {
    m_icon = icon;
    m_tip = toWide(tip);
    NOTIFYICONDATAW d = data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    if (m_shown && Shell_NotifyIconW(NIM_MODIFY, &d)) {
        return true;
    }
    m_shown = Shell_NotifyIconW(NIM_ADD, &d) != FALSE;
    m_newer = m_shown && speakNewer();
    return m_shown;
}

// Version 3 keeps the mouse message in lParam and adds WM_CONTEXTMENU for a right click and
// for the menu key.
bool TrayIcon::speakNewer() {
    NOTIFYICONDATAW d = data(0);
    d.uVersion = NOTIFYICON_VERSION;
    return Shell_NotifyIconW(NIM_SETVERSION, &d) != FALSE;
}

void TrayIcon::remove() {
    if (m_shown) {
        NOTIFYICONDATAW d = data(0);
        Shell_NotifyIconW(NIM_DELETE, &d);
        m_shown = false;
    }
}

void TrayIcon::restore() {
    if (m_shown) {
        NOTIFYICONDATAW d = data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
        m_shown = Shell_NotifyIconW(NIM_ADD, &d) != FALSE;
        m_newer = m_shown && speakNewer();
    }
}

bool TrayIcon::notify(std::string_view title, std::string_view text, Severity severity) {
    if (!m_shown) {
        return false;
    }
    NOTIFYICONDATAW d = data(NIF_INFO);
    copyCut(d.szInfoTitle, toWide(title));
    copyCut(d.szInfo, toWide(text));
    d.dwInfoFlags = severity == Severity::Critical  ? NIIF_ERROR
                    : severity == Severity::Warning ? NIIF_WARNING
                                                    : NIIF_INFO;
    return Shell_NotifyIconW(NIM_MODIFY, &d) != FALSE;
}

}  // namespace vantrel
