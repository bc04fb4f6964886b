#include "winshell/MainWindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <system_error>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/KeepCount.h"
#include "engine/OperationLog.h"
#include "engine/Settings.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"
#include "winshell/AppIcon.h"
#include "winshell/ControlIds.h"
#include "winshell/Dialogs.h"
#include "winshell/LogWindow.h"
#include "winshell/Resource.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
constexpr COLORREF kRed = RGB(0xff, 0x00, 0x00);
// Posted by the keep-count field once the focus has left it for another control.
constexpr UINT kCommitKeepCount = WM_APP + 2;

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
        case ControlKind::StatusArea:
            return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
        case ControlKind::ReadOnlyEdit:
            return {L"EDIT", ES_AUTOHSCROLL | ES_READONLY | WS_TABSTOP, WS_EX_CLIENTEDGE};
        case ControlKind::Button:
            return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
        case ControlKind::CheckBox:
            return {L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 0};
        case ControlKind::TimePicker:
            return {DATETIMEPICK_CLASSW, DTS_TIMEFORMAT | WS_TABSTOP, 0};
        case ControlKind::NumberEdit:
            return {L"EDIT", ES_RIGHT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
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

// What the engine reports, shown in the window, while the engine is still called from here.
class TMainForm::WindowUi final : public BackupUi {
public:
    explicit WindowUi(TMainForm& form) : m_form(form) {}
    void setStatus(std::string_view text) override { m_form.setStatus(text); }
    void showMessage(std::string_view text) override {
        vantrel::showMessage(m_form.m_window, text);
    }

private:
    TMainForm& m_form;
};

TMainForm::TMainForm(std::filesystem::path workDir) : m_workDir(std::move(workDir)) {}

TMainForm::~TMainForm() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

void TMainForm::registerClass(HINSTANCE instance) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = windowProc;
    cls.hInstance = instance;
    cls.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_VANTREL));
    cls.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_VANTREL), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = kMainWindowClass;
    RegisterClassExW(&cls);
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
    if (message == WM_NCCREATE) {
        auto* form =
            static_cast<TMainForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
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
        case WM_SYSCOMMAND:
            return OnSysCommand(wParam, lParam);
        case kTrayMessage:
            OnTrayMessage(lParam);
            return 0;
        case kActivateMessage:
            bringToFront();
            return 0;
        case kCommitKeepCount:
            commitKeepCount();
            return 0;
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_QUERYENDSESSION:
            m_sessionEnding = true;
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
    createControls();
    applyLayout(true);
    // The log and the spare folder live in the working directory, where the log is written.
    std::error_code ignored;
    std::filesystem::create_directories(m_workDir / "Log", ignored);
    std::filesystem::create_directories(m_workDir / "TempBackupFile", ignored);
    return 0;
}

void TMainForm::createControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const ControlSpec& spec : mainControls()) {
        const ControlClass cls = classOf(spec.kind);
        HWND child = CreateWindowExW(cls.exStyle, cls.name, toWide(spec.text).c_str(),
                                     WS_CHILD | WS_VISIBLE | cls.style, 0, 0, 0, 0, m_window,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
                                     instance, nullptr);
        if (spec.kind == ControlKind::TimePicker) {
            SendMessageW(child, DTM_SETFORMATW, 0, reinterpret_cast<LPARAM>(L"HH:mm"));
        }
    }
    SetWindowSubclass(control(IDC_DBNUMBEREDITEH1), keepCountProc, 0,
                      reinterpret_cast<DWORD_PTR>(this));

    m_statusBar =
        CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0,
                        0, 0, m_window, reinterpret_cast<HMENU>(IDC_STATUSBAR1), instance, nullptr);
    // Shown while a copy runs: its share done, and the way to stop it.
    HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD, 0, 0, 0, 0, m_window,
                                    reinterpret_cast<HMENU>(IDC_PROGRESSBAR), instance, nullptr);
    SendMessageW(progress, PBM_SETRANGE32, 0, 1000);
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

    const auto specs = mainControls();
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const RECT& r = m_layout.controls[i].rect;
        HWND child = control(specs[i].id);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(m_fonts, specs[i].kind)),
                     FALSE);
        SetWindowPos(child, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const int parts[3] = {m_layout.statusParts[0], m_layout.statusParts[1], -1};
    SendMessageW(m_statusBar, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
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
    InvalidateRect(m_window, nullptr, TRUE);
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
        m_trayIcon = appIcon(GetSystemMetricsForDpi(SM_CXSMICON, dpi));
        m_tray->show(m_trayIcon.get(), "Vantrel");
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

void TMainForm::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
        case IDC_BUTTON4:
            Button1Click();
            break;
        case IDC_BUTTON5:
            Button5Click();
            break;
        case IDC_BUTTON6:
            Button6Click();
            break;
        case IDC_BUTTON8:
            Button8Click();
            break;
        case IDC_BUTTON9:
            Button9Click();
            break;
        case IDC_BUTTON10:
            Button10Click();
            break;
        case IDC_BUTTON7:
            Button7Click();
            break;
        case IDC_CANCELBUTTON:
            cancelRun();
            break;
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
}

void TMainForm::minimizeToTray() {
    m_trayIcon = appIcon(GetSystemMetricsForDpi(SM_CXSMICON, m_dpi));
    if (!m_tray->show(m_trayIcon.get(), "Vantrel")) {
        return;
    }
    m_inTray = true;
    ShowWindow(m_window, SW_HIDE);
}

void TMainForm::restoreFromTray() {
    m_inTray = false;
    ShowWindow(m_window, SW_SHOW);
    if (IsIconic(m_window)) {
        ShowWindow(m_window, SW_RESTORE);
    }
    SetForegroundWindow(m_window);
    m_tray->remove();
}

void TMainForm::start(int showCommand, bool minimized) {
    FormShow();
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
    if (IsIconic(m_window)) {
        ShowWindow(m_window, SW_RESTORE);
    }
    ShowWindow(m_window, SW_SHOW);
    SetForegroundWindow(m_window);
}

void TMainForm::OnClose() {
    if (m_sessionEnding || confirm(m_window, "您确定要退出该系统吗？")) {
        DestroyWindow(m_window);
    }
}

// At log-off or shutdown the program ends without asking and leaves no icon behind.
void TMainForm::OnEndSession(bool ending) {
    if (ending) {
        m_tray->remove();
        DestroyWindow(m_window);
    } else {
        m_sessionEnding = false;
    }
}

void TMainForm::OnDestroy() {
    m_tray->remove();
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

void TMainForm::setStatus(std::string_view text) {
    SendMessageW(m_statusBar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(toWide(text).c_str()));
}

TBackupSettings TMainForm::settings() const {
    TBackupSettings s;
    s.SourcePath = text(IDC_EDIT1);
    s.TargetFolder = text(IDC_EDIT2);
    SYSTEMTIME time{};
    SendMessageW(control(IDC_DATETIMEPICKER1), DTM_GETSYSTEMTIME, 0,
                 reinterpret_cast<LPARAM>(&time));
    s.RunTime = TimeOfDay{time.wHour, time.wMinute, time.wSecond};
    for (int day = 0; day < 7; ++day) {
        s.Days[day] = Button_GetCheck(control(kDayBoxIds[day])) == BST_CHECKED;
    }
    try {
        s.KeepCount = ParseKeepCount(text(IDC_DBNUMBEREDITEH1));
    } catch (const BackupError&) {
        s.KeepCount = 0;  // not a number: no valid count, which saving says
    }
    s.StartScheduleAtLaunch = Button_GetCheck(control(IDC_CHECKBOXSTARTATLAUNCH)) == BST_CHECKED;
    s.CatchUpMissed = Button_GetCheck(control(IDC_CHECKBOXCATCHUP)) == BST_CHECKED;
    s.ShareUnchanged = Button_GetCheck(control(IDC_SHARECHECKBOX)) == BST_CHECKED;
    return s;
}

void TMainForm::showSettings(const TBackupSettings& s) {
    setText(IDC_EDIT1, s.SourcePath);
    setText(IDC_EDIT2, s.TargetFolder);
    SYSTEMTIME time{};
    GetLocalTime(&time);
    time.wHour = static_cast<WORD>(s.RunTime.hour);
    time.wMinute = static_cast<WORD>(s.RunTime.minute);
    time.wSecond = static_cast<WORD>(s.RunTime.second);
    time.wMilliseconds = 0;
    SendMessageW(control(IDC_DATETIMEPICKER1), DTM_SETSYSTEMTIME, GDT_VALID,
                 reinterpret_cast<LPARAM>(&time));
    for (int day = 0; day < 7; ++day) {
        Button_SetCheck(control(kDayBoxIds[day]), s.Days[day] ? BST_CHECKED : BST_UNCHECKED);
    }
    setText(IDC_DBNUMBEREDITEH1, s.KeepCount ? FormatKeepCount(*s.KeepCount) : std::string());
    Button_SetCheck(control(IDC_CHECKBOXSTARTATLAUNCH),
                    s.StartScheduleAtLaunch ? BST_CHECKED : BST_UNCHECKED);
    Button_SetCheck(control(IDC_CHECKBOXCATCHUP), s.CatchUpMissed ? BST_CHECKED : BST_UNCHECKED);
    Button_SetCheck(control(IDC_SHARECHECKBOX), s.ShareUnchanged ? BST_CHECKED : BST_UNCHECKED);
}

void TMainForm::FormShow() {
    if (m_shownOnce) {
        return;
    }
    m_shownOnce = true;
    // Until the presenter drives this window: the settings loaded here.
    WindowUi ui(*this);
    RealFileOps files;
    SystemClock clock;
    Workspace ws{m_workDir, files, clock, ui};
    TBackupSettings s = settings();
    try {
        BackupRecordStore::CreateIfMissing(ws.databaseFile());
        LoadSettings(ws, s);
    } catch (const BackupError& e) {
        showSettings(s);  // the fields read before the bad value stay filled
        showMessage(m_window, e.what());
        return;
    }
    showSettings(s);
    const std::wstring dir = L"工作目录：" + toWide(pathToUtf8(m_workDir));
    SendMessageW(m_statusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(dir.c_str()));
}

void TMainForm::Button1Click() {
    if (const auto folder = pickFolder(m_window, "请选择备份文件源地址")) {
        setText(IDC_EDIT1, *folder);
    }
}

void TMainForm::Button5Click() {
    if (const auto folder = pickFolder(m_window, "请选择备份文件目的地址，文件将备份到指定位置")) {
        setText(IDC_EDIT2, *folder);
    }
}

void TMainForm::Button6Click() {
    // Until the presenter drives this window: the settings saved here.
    WindowUi ui(*this);
    RealFileOps files;
    SystemClock clock;
    Workspace ws{m_workDir, files, clock, ui};
    TBackupSettings s = settings();
    try {
        SaveSettings(ws, s);
    } catch (const BackupError& e) {
        showMessage(m_window, e.what());
    }
}

// The timetable and the runs come with the presenter.
void TMainForm::Button8Click() {}
void TMainForm::Button9Click() {}
void TMainForm::Button10Click() {}
void TMainForm::cancelRun() {}

void TMainForm::Button7Click() {
    // Until the presenter drives this window: the log made here when missing.
    const auto logFile = m_workDir / "Log" / "FileBackupLog.log";
    try {
        OperationLog(logFile).EnsureExists();
    } catch (const BackupError& e) {
        showMessage(m_window, e.what());
        return;
    }
    TLogShowForm::open(logFile);
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
    // Until the presenter drives this window: the field's rule asked here.
    return KeepCountAccepts(toUtf8(candidate));
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

void TMainForm::commitKeepCount() {
    // Until the presenter drives this window: the field's rule applied here.
    try {
        setText(IDC_DBNUMBEREDITEH1, CommitKeepCount(text(IDC_DBNUMBEREDITEH1)));
    } catch (const BackupError& e) {
        showMessage(m_window, e.what());
    }
}

}  // namespace vantrel
