#include "winshell/MainWindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <array>

#include "winshell/ControlIds.h"
#include "winshell/Dialogs.h"
#include "winshell/Layout.h"
#include "winshell/LogWindow.h"
#include "winshell/RestoreWindow.h"
#include "winshell/WinText.h"

// What the main window draws for its presenter, and the questions it asks for it.

namespace vantrel {

namespace {

// A health line with its heading on a line of its own: the status area is narrow.
std::string headingApart(const std::string& line) {
    for (const std::string_view heading : {"上次完整备份：", "下次备份："}) {
        if (line.starts_with(heading) && line.size() > heading.size()) {
            return std::string(heading) + "\n" + line.substr(heading.size());
        }
    }
    return line;
}

}  // namespace

std::string TMainForm::text(int id) const {
    HWND child = control(id);
    std::wstring buffer(static_cast<std::size_t>(GetWindowTextLengthW(child)) + 1, L'\0');
    buffer.resize(static_cast<std::size_t>(
        GetWindowTextW(child, buffer.data(), static_cast<int>(buffer.size()))));
    return toUtf8(buffer);
}

void TMainForm::setText(int id, std::string_view text) {
    SetWindowTextW(control(id), toWide(text).c_str());
}

FormFields TMainForm::fields() const {
    FormFields f;
    for (const auto& [id, setting] : settingControls()) {
        if (settingRow(setting).kind == SettingKind::Flag) {
            f.setFlag(setting, Button_GetCheck(control(id)) == BST_CHECKED);
        } else {
            f.setText(setting, text(id));
        }
    }
    SYSTEMTIME time{};
    SendMessageW(control(IDC_DATETIMEPICKER1), DTM_GETSYSTEMTIME, 0,
                 reinterpret_cast<LPARAM>(&time));
    f.setTime(TimeOfDay{time.wHour, time.wMinute, time.wSecond});
    std::array<bool, 7> days{};
    for (int day = 0; day < 7; ++day) {
        days[day] = Button_GetCheck(control(kDayBoxIds[day])) == BST_CHECKED;
    }
    f.setDays(days);
    return f;
}

void TMainForm::showFields(const FormFields& f) {
    for (const auto& [id, setting] : settingControls()) {
        if (settingRow(setting).kind == SettingKind::Flag) {
            Button_SetCheck(control(id), f.flag(setting) ? BST_CHECKED : BST_UNCHECKED);
        } else {
            setText(id, f.text(setting));
        }
    }
    const TimeOfDay shown = f.time();
    SYSTEMTIME time{};
    GetLocalTime(&time);
    time.wHour = static_cast<WORD>(shown.hour);
    time.wMinute = static_cast<WORD>(shown.minute);
    time.wSecond = static_cast<WORD>(shown.second);
    time.wMilliseconds = 0;
    SendMessageW(control(IDC_DATETIMEPICKER1), DTM_SETSYSTEMTIME, GDT_VALID,
                 reinterpret_cast<LPARAM>(&time));
    const std::array<bool, 7> days = f.days();
    for (int day = 0; day < 7; ++day) {
        Button_SetCheck(control(kDayBoxIds[day]), days[day] ? BST_CHECKED : BST_UNCHECKED);
    }
}

void TMainForm::showKeepText(std::string_view text) {
    setText(IDC_DBNUMBEREDITEH1, text);
}

void TMainForm::showSource(std::string_view path) {
    setText(IDC_EDIT1, path);
}

void TMainForm::showTarget(std::string_view path) {
    setText(IDC_EDIT2, path);
}

void TMainForm::showExcludeRules(std::string_view rules) {
    setText(IDC_EXCLUDERULES, rules);
}

void TMainForm::showWorkingDirectory(std::string_view text) {
    m_panel0 = text;
    showPanel0();
}

// Status panel 0 holds the working directory, shortened in the middle where the panel is too
// narrow; its tooltip holds the whole.
void TMainForm::showPanel0() {
    if (m_panel0.empty()) {
        return;
    }
    const std::wstring whole = toWide(m_panel0);
    std::wstring shown = whole + std::wstring(4, L'\0');  // room for the ellipsis
    RECT r{0, 0, m_layout.statusParts[0] - scaled(8, m_dpi), 0};
    MemoryDc dc(CreateCompatibleDC(nullptr));
    {
        SelectedFont selected(dc.get(), m_fonts.ui.get());
        DrawTextW(dc.get(), shown.data(), static_cast<int>(whole.size()), &r,
                  DT_PATH_ELLIPSIS | DT_MODIFYSTRING | DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
    }
    shown.resize(wcslen(shown.c_str()));
    SendMessageW(m_statusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    SendMessageW(m_statusBar, SB_SETTIPTEXTW, 0, reinterpret_cast<LPARAM>(whole.c_str()));
}

void TMainForm::showStatus(std::string_view text) {
    const std::wstring wide = toWide(text);
    SendMessageW(m_statusBar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(wide.c_str()));
    SendMessageW(m_statusBar, SB_SETTIPTEXTW, 1, reinterpret_cast<LPARAM>(wide.c_str()));
}

void TMainForm::showMessage(std::string_view text) {
    vantrel::showMessage(m_window, text);
}

void TMainForm::showList(std::string_view text, const std::vector<std::string>& items) {
    vantrel::showList(m_window, text, items);
}

bool TMainForm::confirm(std::string_view question) {
    return vantrel::confirm(m_window, question);
}

SaveAnswer TMainForm::askSave(std::string_view question) {
    return vantrel::askSave(m_window, question);
}

std::optional<std::string> TMainForm::pickFolder(std::string_view prompt) {
    return vantrel::pickFolder(m_window, prompt);
}

void TMainForm::showRunning(bool running) {
    m_running = running;
    // Named on the shutdown screen while a run goes (Wine only pretends to).
    if (running) {
        ShutdownBlockReasonCreate(m_window, L"Vantrel 正在备份：关机或注销将取消本次备份");
    } else {
        ShutdownBlockReasonDestroy(m_window);
    }
    for (const int id : {IDC_BUTTON8, IDC_BUTTON9, IDC_BUTTON10}) {
        EnableWindow(control(id), !running);
    }
    HWND cancel = control(IDC_CANCELBUTTON);
    EnableWindow(cancel, running);
    ShowWindow(cancel, running ? SW_SHOWNA : SW_HIDE);
    setStatusParts();
    if (!running) {
        HWND bar = control(IDC_PROGRESSBAR);
        ShowWindow(bar, SW_HIDE);
        SetWindowTextW(bar, L"");
        InvalidateRect(m_statusBar, nullptr, TRUE);  // whole again where they stood
    }
}

void TMainForm::showProgress(const ProgressView& progress) {
    showStatus(progress.status);
    HWND bar = control(IDC_PROGRESSBAR);
    // Without a share to show, the bar only shows that something is going on.
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    if (progress.permille < 0) {
        SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
        SetWindowTextW(bar, L"");
    } else {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(progress.permille), 0);
        std::string share = std::to_string(progress.permille / 10) + "%";
        if (!progress.timeLeft.empty()) {
            share += " " + progress.timeLeft;
        }
        SetWindowTextW(bar, toWide(share).c_str());
    }
    ShowWindow(bar, SW_SHOWNA);
}

void TMainForm::showHealth(const HealthView& health) {
    m_healthColour =
        RGB((health.colour >> 16) & 0xff, (health.colour >> 8) & 0xff, health.colour & 0xff);
    setText(IDC_STATUSAREA, health.summary + "\n" + headingApart(health.lastComplete) + "\n" +
                                headingApart(health.nextRun));
    InvalidateRect(control(IDC_STATUSAREA), nullptr, TRUE);
    ShowWindow(control(IDC_BUTTONCONFIRMCHANGES), health.changesHeld ? SW_SHOWNA : SW_HIDE);
}

void TMainForm::showTray(std::string_view toolTip, bool alarm) {
    m_trayToolTip = toolTip;
    m_trayAlarm = alarm;
    if (m_tray->shown()) {
        showTrayIcon();
    }
}

bool TMainForm::notify(std::string_view title, std::string_view text, Severity severity) {
    return m_inTray && m_tray->notify(title, text, severity);
}

void TMainForm::showWindow() {
    bringToFront();
}

// Asked already: the window goes, and with it the program.
void TMainForm::endProgram() {
    m_tray->remove();
    DestroyWindow(m_window);
}

void TMainForm::setTicking(bool on) {
    // A start while started keeps the timer's period.
    if (!on) {
        KillTimer(m_window, kFileTimer2);
        m_ticking = false;
    } else if (!m_ticking) {
        SetTimer(m_window, kFileTimer2, 1000, nullptr);
        m_ticking = true;
    }
}

void TMainForm::openLogViewer(const std::filesystem::path& logFile,
                              const std::filesystem::path& dbFile) {
    TLogShowForm::open(logFile, dbFile);
}

void TMainForm::openRestoreWindow(Workspace& ws, const TBackupSettings& settings) {
    // Owned by the main window, so it goes, its restore ended, before the presenter whose
    // working directory it restores in.
    TRestoreForm::open(m_window, ws, settings);
}

void TMainForm::post(std::function<void()> fn) {
    postWork(std::move(fn));
}

}  // namespace vantrel
