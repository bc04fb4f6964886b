#include "winshell/MainWindow.h"
#include "winshell/WindowClass.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <array>
#include <utility>

#include "winshell/AppIcon.h"
#include "winshell/ControlIds.h"
#include "winshell/Dialogs.h"
#include "winshell/LogWindow.h"
#include "winshell/Resource.h"
#include "winshell/RestoreWindow.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
constexpr COLORREF kRed = RGB(0xff, 0x00, 0x00);
// Posted by the keep-count field once the focus has left it for another control.
constexpr UINT kCommitKeepCount = WM_APP + 2;
// Posted for work the run's thread handed to the window; it carries nothing itself.
constexpr UINT kPostedMessage = WM_APP + 3;
// The path a later start handed over: opened once its sender has been answered.
constexpr UINT kOpenRestorePath = WM_APP + 4;
// FileTimer2, the timetable's one-second tick, and the minute that keeps the health current.
constexpr UINT_PTR kFileTimer2 = 1;
constexpr UINT_PTR kMinuteTimer = 2;

struct ControlClass {
    const wchar_t* name;
    DWORD style;
    DWORD exStyle;
};

ControlClass classOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::GroupBox:
            return {L"BUTTON", BS_GROUPBOX, 0};
        case ControlKind::Label:
        case ControlKind::Heading:
        case ControlKind::HelpText:
            return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
        case ControlKind::StatusArea:  // drawn by the window: a coloured mark, then the text
            return {L"STATIC", SS_OWNERDRAW, 0};
        case ControlKind::ReadOnlyEdit:
            return {L"EDIT", ES_AUTOHSCROLL | ES_READONLY | WS_TABSTOP, WS_EX_CLIENTEDGE};
        case ControlKind::Button:
            return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
        case ControlKind::CheckBox:
            return {L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 0};
        case ControlKind::TimePicker:
            return {DATETIMEPICK_CLASSW, DTS_TIMEFORMAT | WS_TABSTOP, 0};
        case ControlKind::Edit:
            return {L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
        case ControlKind::NumberEdit:
            return {L"EDIT", ES_RIGHT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
        case ControlKind::CountEdit:
            return {L"EDIT", ES_RIGHT | ES_NUMBER | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    }
    return {L"STATIC", 0, 0};
}

HFONT fontFor(const Fonts& fonts, ControlKind kind) {
    switch (kind) {
        case ControlKind::Heading:
            return fonts.heading.get();
        case ControlKind::TimePicker:
            return fonts.picker.get();
        default:
            return fonts.ui.get();
    }
}

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

TMainForm::TMainForm(std::filesystem::path workDir, FileOps& files, const Clock& clock)
    : m_presenter(std::make_unique<JobPresenter>(std::move(workDir), files, clock, *this)) {
    // The job's Task Scheduler task runs this program with --backup.
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    try {
        m_scheduler = SystemScheduler::make();
        m_presenter->setSystemScheduler(m_scheduler.get(), std::filesystem::path(self));
    } catch (const std::exception&) {
        // Without Task Scheduler the option has no effect; the window works as before.
    }
}

TMainForm::~TMainForm() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
    // A copy under way finishes with its cleanup; it is never cut off half-way.
    m_presenter.reset();
}

void TMainForm::registerClass(HINSTANCE instance) {
    registerWindowClass(instance, windowProc, kMainWindowClass);
}

bool TMainForm::create() {
    // The title names the program on the taskbar button and in the window switcher.
    CreateWindowExW(kWindowExStyle, kMainWindowClass, L"Vantrel", kWindowStyle, CW_USEDEFAULT,
                    CW_USEDEFAULT, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) {
        return false;
    }
    centreWindow(m_window, workAreaOf(m_window));
    return true;
}

LRESULT CALLBACK TMainForm::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = formOfWindow<TMainForm>(window, message, lParam);
    if (form == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCCREATE) {
        form->m_window = window;
    }
    if (message == WM_NCDESTROY) {
        form->m_window = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return form->handle(message, wParam, lParam);
}

LRESULT TMainForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate();
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_DEVICECHANGE:
            // A disk came or went: the next tick looks for the backup disk again.
            m_presenter->job().disksChanged();
            return TRUE;
        case kPostedMessage:
            OnPosted();
            return 0;
        case WM_SYSCOMMAND:
            return OnSysCommand(wParam, lParam);
        case kTrayMessage:
            OnTrayMessage(lParam);
            return 0;
        case kActivateMessage:
            bringToFront();
            return 0;
        case WM_COPYDATA: {
            const auto& data = *reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data.dwData != kRestorePathData) {
                break;
            }
            m_restorePath = toUtf8(std::wstring(static_cast<const wchar_t*>(data.lpData),
                                                data.cbData / sizeof(wchar_t)));
            PostMessageW(m_window, kOpenRestorePath, 0, 0);
            return TRUE;
        }
        case kOpenRestorePath:
            bringToFront();
            openRestoreAt(m_restorePath);
            return 0;
        case kCommitKeepCount:
            m_presenter->commitKeepCount();
            return 0;
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_QUERYENDSESSION:
            // A run stops at once: what is left of the session goes to recording it.
            m_sessionEnding = true;
            m_presenter->cancelForSessionEnd();
            return TRUE;
        case WM_ENDSESSION:
            OnEndSession(wParam != FALSE);
            return 0;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_SIZE:
            SendMessageW(m_statusBar, WM_SIZE, 0, 0);
            return 0;
        case WM_DPICHANGED:
            OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_GETMINMAXINFO:
            OnGetMinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lParam));
            return 0;
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_DRAWITEM:
            if (wParam == IDC_STATUSAREA) {
                OnDrawStatusArea(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
                return TRUE;
            }
            break;
    }
    if (message == m_taskbarCreated && m_taskbarCreated != 0) {
        m_tray->restore();  // the notification area was made anew
        return 0;
    }
    return DefWindowProcW(m_window, message, wParam, lParam);
}

LRESULT TMainForm::OnCreate() {
    m_dpi = GetDpiForWindow(m_window);
    m_fonts = Fonts::forDpi(m_dpi);
    m_tray = std::make_unique<TrayIcon>(m_window, kTrayMessage);
    m_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    {
        std::lock_guard lock(m_postedMutex);
        m_postTarget = m_window;
    }
    createControls();
    ShowWindow(control(IDC_BUTTONCONFIRMCHANGES), SW_HIDE);  // while pruning is held
    applyLayout(true);
    m_presenter->create();
    SetTimer(m_window, kMinuteTimer, 60 * 1000, nullptr);
    return 0;
}

void TMainForm::createControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const ControlPlan& plan : mainControls()) {
        const ControlClass cls = classOf(plan.kind);
        HWND child = CreateWindowExW(cls.exStyle, cls.name, toWide(plan.text).c_str(),
                                     WS_CHILD | WS_VISIBLE | cls.style, 0, 0, 0, 0, m_window,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(plan.id)),
                                     instance, nullptr);
        if (plan.kind == ControlKind::TimePicker) {
            SendMessageW(child, DTM_SETFORMATW, 0, reinterpret_cast<LPARAM>(L"HH:mm"));
        }
    }
    SetWindowSubclass(control(IDC_DBNUMBEREDITEH1), keepCountProc, 0,
                      reinterpret_cast<DWORD_PTR>(this));
    SendMessageW(control(IDC_EXCLUDERULES), EM_SETCUEBANNER, TRUE,
                 reinterpret_cast<LPARAM>(L"以“|”分隔，如 *.tmp|node_modules/"));

    // The status bar clips its siblings: the progress bar and 取消 stand over it while a run
    // goes, and every new status text would otherwise paint over them.
    m_statusBar = CreateWindowExW(
        0, STATUSCLASSNAMEW, nullptr,
        WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SBARS_SIZEGRIP | SBARS_TOOLTIPS, 0, 0, 0, 0,
        m_window, reinterpret_cast<HMENU>(IDC_STATUSBAR1), instance, nullptr);
    // Shown while a copy runs, above the status bar: its share done and time left, and the
    // way to stop it.
    HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD, 0, 0, 0, 0, m_window,
                                    reinterpret_cast<HMENU>(IDC_PROGRESSBAR), instance, nullptr);
    SendMessageW(progress, PBM_SETRANGE32, 0, 1000);
    SetWindowSubclass(progress, progressProc, 0, reinterpret_cast<DWORD_PTR>(this));
    CreateWindowExW(0, L"BUTTON", L"取消", WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
                    m_window, reinterpret_cast<HMENU>(IDC_CANCELBUTTON), instance, nullptr);
}

// Places every control for the window's DPI from the one layout, with the fonts of that DPI.
void TMainForm::applyLayout(bool resizeWindow) {
    SendMessageW(m_statusBar, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), FALSE);
    SendMessageW(m_statusBar, WM_SIZE, 0, 0);
    RECT bar{};
    GetWindowRect(m_statusBar, &bar);
    MemoryDc dc(CreateCompatibleDC(nullptr));
    m_layout = layoutMainWindow(dc.get(), m_fonts, m_dpi, bar.bottom - bar.top);

    const auto plans = mainControls();
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const RECT& r = m_layout.controls[i].rect;
        HWND child = control(plans[i].id);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(m_fonts, plans[i].kind)),
                     FALSE);
        SetWindowPos(child, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    setStatusParts();
    for (const auto& [id, r] : {std::pair{IDC_PROGRESSBAR, m_layout.progress},
                                std::pair{IDC_CANCELBUTTON, m_layout.cancel}}) {
        SendMessageW(control(id), WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), FALSE);
        SetWindowPos(control(id), HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOACTIVATE);
    }
    if (resizeWindow) {
        RECT frame{0, 0, m_layout.client.cx, m_layout.client.cy};
        AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, kWindowExStyle, m_dpi);
        SetWindowPos(m_window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    showPanel0();
    InvalidateRect(m_window, nullptr, TRUE);
}

// Panel 1 is 300 pixels wide while a run shows its progress bar and 取消 beside it; between
// runs it reaches to the end, so that a run's summary is read whole.
void TMainForm::setStatusParts() {
    const int parts[3] = {m_layout.statusParts[0], m_running ? m_layout.statusParts[1] : -1, -1};
    SendMessageW(m_statusBar, SB_SETPARTS, m_running ? 3 : 2, reinterpret_cast<LPARAM>(parts));
}

void TMainForm::OnDpiChanged(UINT dpi, const RECT& suggested) {
    m_dpi = dpi;
    m_fonts = Fonts::forDpi(dpi);
    applyLayout(false);
    RECT frame{0, 0, m_layout.client.cx, m_layout.client.cy};
    AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, kWindowExStyle, dpi);
    SetWindowPos(m_window, nullptr, suggested.left, suggested.top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (m_tray->shown()) {
        showTrayIcon();  // the icon at the new size
    }
}

// Never smaller than the layout, so that no text is cut off.
void TMainForm::OnGetMinMaxInfo(MINMAXINFO& info) const {
    if (m_layout.client.cx == 0) {
        return;
    }
    RECT frame{0, 0, m_layout.client.cx, m_layout.client.cy};
    AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, kWindowExStyle, m_dpi);
    info.ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
}

LRESULT TMainForm::OnCtlColorStatic(HDC dc, HWND child) {
    if (child == control(IDC_HEADING)) {
        SetTextColor(dc, kRed);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    return DefWindowProcW(m_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                          reinterpret_cast<LPARAM>(child));
}

// The health's mark in its colour, and beside it the lines the control holds.
void TMainForm::OnDrawStatusArea(const DRAWITEMSTRUCT& item) const {
    HDC dc = item.hDC;
    RECT r = item.rcItem;
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
    const std::wstring lines = toWide(text(IDC_STATUSAREA));
    if (lines.empty()) {
        return;
    }
    SelectedFont selected(dc, m_fonts.ui.get());
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int mark = metrics.tmAscent * 2 / 3;
    const int top = r.top + (metrics.tmHeight - mark) / 2;
    BrushHandle brush(CreateSolidBrush(m_healthColour));
    const HGDIOBJ oldBrush = SelectObject(dc, brush.get());
    const HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    Ellipse(dc, r.left, top, r.left + mark + 1, top + mark + 1);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    r.left += mark + metrics.tmAveCharWidth;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    DrawTextW(dc, lines.c_str(), static_cast<int>(lines.size()), &r, DT_WORDBREAK | DT_NOPREFIX);
}

void TMainForm::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
        case IDC_BUTTON4:
            m_presenter->pickSource();
            break;
        case IDC_BUTTON5:
            m_presenter->pickTarget();
            break;
        case IDC_BUTTON6:
            m_presenter->save();
            break;
        case IDC_BUTTON8:
            m_presenter->startTimetable();
            break;
        case IDC_BUTTON9:
            m_presenter->stopTimetable();
            break;
        case IDC_BUTTON10:
            m_presenter->backUpNow();
            break;
        case IDC_BUTTON7:
            m_presenter->openLog();
            break;
        case IDC_BUTTONRESTORE:
            m_presenter->openRestore();
            break;
        case IDC_BUTTONCONFIRMCHANGES:
            m_presenter->confirmChanges();
            break;
        case IDC_EXCLUDEPRESETS:
            OnExclusionPresets();
            break;
        case IDC_EXCLUDEPREVIEW:
            m_presenter->previewExclusions();
            break;
        case IDC_CANCELBUTTON:
            EnableWindow(control(IDC_CANCELBUTTON), FALSE);
            m_presenter->cancelRun();
            break;
    }
}

// 常用规则: the presets in a menu under the button; the one chosen adds its patterns to the
// field's.
void TMainForm::OnExclusionPresets() {
    const MenuHandle menu(CreatePopupMenu());
    const auto& presets = JobPresenter::exclusionPresets();
    for (std::size_t i = 0; i < presets.size(); ++i) {
        const std::string item =
            std::string(presets[i].caption) + "（" + std::string(presets[i].patterns) + "）";
        AppendMenuW(menu.get(), MF_STRING, IDM_EXCLUDEPRESET1 + i, toWide(item).c_str());
    }
    RECT button{};
    GetWindowRect(control(IDC_EXCLUDEPRESETS), &button);
    const int chosen = TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_LEFTALIGN,
                                      button.left, button.bottom, 0, m_window, nullptr);
    if (chosen < IDM_EXCLUDEPRESET1 ||
        chosen >= IDM_EXCLUDEPRESET1 + static_cast<int>(presets.size())) {
        return;
    }
    const auto& preset = presets[static_cast<std::size_t>(chosen - IDM_EXCLUDEPRESET1)];
    setText(IDC_EXCLUDERULES, JobPresenter::withPreset(text(IDC_EXCLUDERULES), preset.patterns));
}

void TMainForm::OnTimer(UINT_PTR id) {
    if (id == kFileTimer2) {
        m_presenter->tick();
    } else if (id == kMinuteTimer) {
        m_presenter->minuteTick();
    }
}

// Runs what the run's thread posted, in order. A box opened by one of them runs a loop of its
// own, which may run the next ones first; each runs once.
void TMainForm::OnPosted() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(m_postedMutex);
            if (m_posted.empty()) {
                return;
            }
            fn = std::move(m_posted.front());
            m_posted.pop_front();
        }
        fn();
    }
}

void TMainForm::post(std::function<void()> fn) {
    std::lock_guard lock(m_postedMutex);
    if (m_postTarget == nullptr) {
        return;  // the window is gone
    }
    m_posted.push_back(std::move(fn));
    PostMessageW(m_postTarget, kPostedMessage, 0, 0);
}

// The minimise button and the system menu's Minimize hide the window in the notification
// area; without one it minimises as any window does.
LRESULT TMainForm::OnSysCommand(WPARAM command, LPARAM lParam) {
    if ((command & 0xFFF0) == SC_MINIMIZE && !m_inTray) {
        minimizeToTray();
        if (m_inTray) {
            return 0;
        }
    }
    return DefWindowProcW(m_window, WM_SYSCOMMAND, command, lParam);
}

void TMainForm::OnTrayMessage(LPARAM mouseMessage) {
    // A left-button press brings the window back; a double click does through its first press.
    if (mouseMessage == WM_LBUTTONDOWN && m_inTray) {
        restoreFromTray();
    }
}

void TMainForm::showTrayIcon() {
    const int size = GetSystemMetricsForDpi(SM_CXSMICON, m_dpi);
    m_trayIcon = m_trayAlarm ? alarmIcon(size) : appIcon(size);
    m_tray->show(m_trayIcon.get(), m_trayToolTip);
}

void TMainForm::minimizeToTray() {
    showTrayIcon();
    if (!m_tray->shown()) {
        return;
    }
    m_inTray = true;
    m_presenter->setInTray(true);
    ShowWindow(m_window, SW_HIDE);
}

void TMainForm::restoreFromTray() {
    m_inTray = false;
    m_presenter->setInTray(false);
    ShowWindow(m_window, SW_SHOW);
    if (IsIconic(m_window)) {
        ShowWindow(m_window, SW_RESTORE);
    }
    SetForegroundWindow(m_window);
    m_tray->remove();
}

void TMainForm::start(int showCommand, bool minimized) {
    m_presenter->show();
    const bool minimizedCommand = showCommand == SW_MINIMIZE || showCommand == SW_SHOWMINIMIZED ||
                                  showCommand == SW_SHOWMINNOACTIVE;
    if (minimized || minimizedCommand) {
        // Started minimised: in the notification area, settings loaded; where there is no
        // notification area, minimised on the taskbar.
        minimizeToTray();
        if (!m_inTray) {
            ShowWindow(m_window, SW_SHOWMINNOACTIVE);
        }
        return;
    }
    ShowWindow(m_window, showCommand == SW_SHOWMAXIMIZED ? SW_SHOWNORMAL : showCommand);
    UpdateWindow(m_window);
}

void TMainForm::bringToFront() {
    if (m_inTray) {
        restoreFromTray();
        return;
    }
    m_presenter->show();
    if (IsIconic(m_window)) {
        ShowWindow(m_window, SW_RESTORE);
    }
    ShowWindow(m_window, SW_SHOW);
    SetForegroundWindow(m_window);
}

void TMainForm::openRestoreAt(const std::string& path) {
    HWND window = TRestoreForm::find(m_window);
    if (window == nullptr) {
        m_presenter->openRestore();
        window = TRestoreForm::find(m_window);
    }
    if (window != nullptr) {  // none: no source set, which the presenter has said
        TRestoreForm::showPath(window, path);
    }
}

void TMainForm::OnClose() {
    if (m_presenter->mayClose(m_sessionEnding)) {
        DestroyWindow(m_window);
    }
}

// At log-off or shutdown the program ends without asking and leaves no icon behind.
void TMainForm::OnEndSession(bool ending) {
    if (ending) {
        // The cancelled run removes its unfinished copy and writes its history row first.
        m_presenter->waitForRun();
        m_tray->remove();
        DestroyWindow(m_window);
    } else {
        m_sessionEnding = false;
    }
}

void TMainForm::OnDestroy() {
    KillTimer(m_window, kFileTimer2);
    KillTimer(m_window, kMinuteTimer);
    m_tray->remove();
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_postedMutex);
        m_postTarget = nullptr;
        dropped.swap(m_posted);
    }
    PostQuitMessage(0);
}

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

// The progress bar draws its text, the share done and the time left, over the bar.
LRESULT CALLBACK TMainForm::progressProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR, DWORD_PTR self) {
    switch (message) {
        case WM_PAINT: {
            const LRESULT painted = DefSubclassProc(bar, message, wParam, lParam);
            const int length = GetWindowTextLengthW(bar);
            if (length > 0) {
                std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
                text.resize(static_cast<std::size_t>(GetWindowTextW(bar, text.data(), length + 1)));
                WindowDc dc(bar);
                RECT r{};
                GetClientRect(bar, &r);
                SelectedFont selected(dc.get(),
                                      reinterpret_cast<TMainForm*>(self)->m_fonts.ui.get());
                SetBkMode(dc.get(), TRANSPARENT);
                SetTextColor(dc.get(), GetSysColor(COLOR_BTNTEXT));
                DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &r,
                          DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
            }
            return painted;
        }
        case WM_SETTEXT: {
            const LRESULT set = DefSubclassProc(bar, message, wParam, lParam);
            InvalidateRect(bar, nullptr, TRUE);
            return set;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(bar, progressProc, 0);
            break;
    }
    return DefSubclassProc(bar, message, wParam, lParam);
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

// Keys that would make the text anything but a number are dropped without a sound; leaving
// the field for another of the window's controls commits it.
LRESULT CALLBACK TMainForm::keepCountProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR, DWORD_PTR self) {
    auto* form = reinterpret_cast<TMainForm*>(self);
    switch (message) {
        case WM_CHAR:
            if (wParam >= 0x20) {
                if (!form->accepts(field, std::wstring(1, static_cast<wchar_t>(wParam)))) {
                    return 0;
                }
            }
            break;
        case WM_PASTE:
            if (!form->acceptsPaste(field)) {
                return 0;
            }
            break;
        case WM_KILLFOCUS: {
            // Committed once the focus has moved, not in the middle of the move.
            const auto next = reinterpret_cast<HWND>(wParam);
            if (next != nullptr && IsChild(form->m_window, next) &&
                SendMessageW(field, EM_GETMODIFY, 0, 0) != 0) {
                SendMessageW(field, EM_SETMODIFY, FALSE, 0);
                PostMessageW(form->m_window, kCommitKeepCount, 0, 0);
            }
            break;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(field, keepCountProc, 0);
            break;
    }
    return DefSubclassProc(field, message, wParam, lParam);
}

// Whether the keep-count field may hold its text with `typed` in place of the selection.
bool TMainForm::accepts(HWND field, const std::wstring& typed) const {
    DWORD start = 0, end = 0;
    SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    std::wstring candidate = toWide(text(IDC_DBNUMBEREDITEH1));
    candidate.replace(std::min<std::size_t>(start, candidate.size()), end - start, typed);
    return JobPresenter::keepCountAccepts(toUtf8(candidate));
}

bool TMainForm::acceptsPaste(HWND field) const {
    if (!OpenClipboard(field)) {
        return false;
    }
    std::wstring pasted;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            pasted = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return accepts(field, pasted);
}

}  // namespace vantrel
