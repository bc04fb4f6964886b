#include "winshell/MainWindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <utility>

#include "app/ExclusionPresets.h"
#include "winshell/AppIcon.h"
#include "winshell/ControlIds.h"
#include "winshell/KeepCountField.h"
#include "winshell/Messages.h"
#include "winshell/ProgressText.h"
#include "winshell/RestoreWindow.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
constexpr COLORREF kRed = RGB(0xff, 0x00, 0x00);
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
    Window::registerClass(instance, kMainWindowClass);
}

bool TMainForm::create() {
    // The title names the program on the taskbar button and in the window switcher.
    if (!createWindow(kMainWindowClass, L"Vantrel", kWindowStyle, kWindowExStyle, {0, 0},
                      nullptr)) {
        return false;
    }
    centreWindow(m_window, workAreaOf(m_window));
    return true;
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
    return defaultHandling(message, wParam, lParam);
}

LRESULT TMainForm::OnCreate() {
    m_tray = std::make_unique<TrayIcon>(m_window, kTrayMessage);
    m_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
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
    makeKeepCountField(control(IDC_DBNUMBEREDITEH1));
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
    showTextOnProgressBar(progress, m_fonts);
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

void TMainForm::OnDpiChanged(const RECT& suggested) {
    applyLayout(false);
    RECT frame{0, 0, m_layout.client.cx, m_layout.client.cy};
    AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, kWindowExStyle, m_dpi);
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
    return defaultHandling(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
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
    if (code != BN_CLICKED) {  // a menu's command comes as a click
        return;
    }
    if (id >= IDM_TRAY1 && id <= IDM_TRAY1 + static_cast<int>(JobPresenter::TrayCommand::Exit)) {
        m_presenter->trayCommand(static_cast<JobPresenter::TrayCommand>(id - IDM_TRAY1));
        return;
    }
    if (id >= IDM_EXCLUDEPRESET1 && id < IDM_EXCLUDEPRESET1 + kMaxPresets) {
        m_presenter->addExclusionPreset(static_cast<std::size_t>(id - IDM_EXCLUDEPRESET1));
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
        case IDC_EXCLUDEFOLDER:
            m_presenter->excludeFolder();
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

// 常用规则: the presets in a menu under the button; the one chosen comes as a command.
void TMainForm::OnExclusionPresets() {
    const MenuHandle menu(CreatePopupMenu());
    const auto& presets = exclusionPresets();
    for (std::size_t i = 0; i < presets.size() && i < kMaxPresets; ++i) {
        const std::string item =
            std::string(presets[i].caption) + "（" + std::string(presets[i].patterns) + "）";
        AppendMenuW(menu.get(), MF_STRING, IDM_EXCLUDEPRESET1 + i, toWide(item).c_str());
    }
    RECT button{};
    GetWindowRect(control(IDC_EXCLUDEPRESETS), &button);
    TrackPopupMenu(menu.get(), TPM_LEFTALIGN, button.left, button.bottom, 0, m_window, nullptr);
}

void TMainForm::OnTimer(UINT_PTR id) {
    if (id == kFileTimer2) {
        m_presenter->tick();
    } else if (id == kMinuteTimer) {
        m_presenter->minuteTick();
    }
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
    // A right click, or the menu key on the icon, opens its menu. Where the notification area
    // speaks the older way, a right click comes only as the button's release.
    if (mouseMessage == (m_tray->newerMessages() ? WM_CONTEXTMENU : WM_RBUTTONUP)) {
        showTrayMenu();
    }
}

// The presenter's commands; the one chosen comes back as a WM_COMMAND of IDM_TRAY1 and on.
void TMainForm::showTrayMenu() {
    const MenuHandle menu(CreatePopupMenu());
    for (const auto& item : m_presenter->trayMenu()) {
        if (item.command == JobPresenter::TrayCommand::Exit) {
            AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
        }
        AppendMenuW(menu.get(), MF_STRING | (item.enabled ? 0 : MF_GRAYED),
                    IDM_TRAY1 + static_cast<int>(item.command), toWide(item.caption).c_str());
    }
    SetMenuDefaultItem(menu.get(), IDM_TRAY1, FALSE);
    POINT at{};
    GetCursorPos(&at);
    // In front first, or the menu stays open when the user clicks elsewhere.
    SetForegroundWindow(m_window);
    TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0, m_window, nullptr);
    PostMessageW(m_window, WM_NULL, 0, 0);
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
    PostQuitMessage(0);
}

}  // namespace vantrel
