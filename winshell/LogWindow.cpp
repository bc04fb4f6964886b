#include "winshell/LogWindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <iterator>
#include <string>

#include "winshell/ControlIds.h"
#include "winshell/Dialogs.h"
#include "winshell/Layout.h"
#include "winshell/Resource.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

constexpr COLORREF kGreen = RGB(0x00, 0x80, 0x00);

}  // namespace

void TLogShowForm::registerClass(HINSTANCE instance) {
    Window::registerClass(instance, kLogWindowClass);
}

void TLogShowForm::open(const std::filesystem::path& logFile, const std::filesystem::path& dbFile) {
    auto* form = new TLogShowForm(logFile, dbFile);
    // Made at the size for the screen it opens on, then centred there.
    if (!form->createWindow(kLogWindowClass, L"操作日志", WS_OVERLAPPEDWINDOW, 0, kLogWindowSize,
                            nullptr)) {
        delete form;
        return;
    }
    HWND window = form->window();
    centreWindow(window, workAreaOf(window));
    form->m_presenter.show();  // the lines are there when the window appears
    ShowWindow(window, SW_SHOWNORMAL);
}

LRESULT TLogShowForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case WM_SIZE:
            OnSize();
            return 0;
        case WM_NOTIFY:
            if (reinterpret_cast<const NMHDR*>(lParam)->hwndFrom == m_tabs &&
                reinterpret_cast<const NMHDR*>(lParam)->code == TCN_SELCHANGE) {
                showTab();
            }
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return 0;
        case WM_CONTEXTMENU:
            OnContextMenu({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    }
    return defaultHandling(message, wParam, lParam);
}

namespace {

// The run history's columns, in the order of the presenter's fields.
constexpr const wchar_t* kHistoryColumns[] = {L"开始", L"结束",     L"起因", L"结果", L"文件数",
                                              L"大小", L"备份路径", L"变化", L"说明"};

}  // namespace

void TLogShowForm::OnCreate() {
    // The log and, in a second tab, the run history: every run, failures and cancels too,
    // which the log (successful copies only) does not hold.
    m_tabs =
        CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0,
                        m_window, reinterpret_cast<HMENU>(IDC_LOGTABS), nullptr, nullptr);
    for (const wchar_t* caption : {L"操作日志", L"运行记录"}) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(caption);
        SendMessageW(m_tabs, TCM_INSERTITEMW, SendMessageW(m_tabs, TCM_GETITEMCOUNT, 0, 0),
                     reinterpret_cast<LPARAM>(&item));
    }
    m_history =
        CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                        WS_CHILD | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 0, 0, 0, 0,
                        m_window, reinterpret_cast<HMENU>(IDC_RUNHISTORY), nullptr, nullptr);
    ListView_SetExtendedListViewStyle(m_history, LVS_EX_FULLROWSELECT);
    for (int i = 0; i < static_cast<int>(std::size(kHistoryColumns)); ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(kHistoryColumns[i]);
        column.cx = 80;
        ListView_InsertColumn(m_history, i, &column);
    }
    m_memo = CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0, 0,
        0, m_window, reinterpret_cast<HMENU>(IDC_MEMO1), nullptr, nullptr);
    SetWindowSubclass(m_memo, memoProc, 0, 0);
    SendMessageW(m_memo, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.logText.get()), FALSE);
    SendMessageW(m_tabs, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), FALSE);
    SendMessageW(m_history, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), FALSE);
    SetWindowPos(m_tabs, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    m_menu.reset(CreatePopupMenu());
    AppendMenuW(m_menu.get(), MF_STRING, IDM_N1, L"刷新(&R)");
    AppendMenuW(m_menu.get(), MF_STRING, IDM_N2, L"清除(&C)");
}

// The memo's own menu (copy, select all) gives way to PopupMenu1.
LRESULT CALLBACK TLogShowForm::memoProc(HWND memo, UINT message, WPARAM wParam, LPARAM lParam,
                                        UINT_PTR, DWORD_PTR) {
    if (message == WM_CONTEXTMENU) {
        return SendMessageW(GetParent(memo), WM_CONTEXTMENU, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(memo, memoProc, 0);
    }
    return DefSubclassProc(memo, message, wParam, lParam);
}

// The tabs fill the window; the page shown fills the tabs' own area.
void TLogShowForm::OnSize() {
    RECT r{};
    GetClientRect(m_window, &r);
    MoveWindow(m_tabs, 0, 0, r.right, r.bottom, TRUE);
    TabCtrl_AdjustRect(m_tabs, FALSE, &r);
    for (HWND page : {m_memo, m_history}) {
        MoveWindow(page, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    }
}

void TLogShowForm::showTab() {
    const bool history = TabCtrl_GetCurSel(m_tabs) == 1;
    ShowWindow(m_memo, history ? SW_HIDE : SW_SHOW);
    ShowWindow(m_history, history ? SW_SHOW : SW_HIDE);
}

void TLogShowForm::OnCommand(int id) {
    switch (id) {
        case IDM_N1:
            m_presenter.reload();
            break;
        case IDM_N2:
            m_presenter.empty();
            break;
    }
}

void TLogShowForm::OnContextMenu(POINT at) {
    if (at.x == -1 && at.y == -1) {  // from the keyboard: at the memo's corner
        RECT r{};
        GetWindowRect(m_memo, &r);
        at = {r.left + 8, r.top + 8};
    }
    TrackPopupMenuEx(m_menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y,
                     m_window, nullptr);
}

void TLogShowForm::OnDpiChanged(const RECT& suggested) {
    SendMessageW(m_memo, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.logText.get()), TRUE);
    SendMessageW(m_tabs, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), TRUE);
    SendMessageW(m_history, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), TRUE);
    SetWindowPos(m_window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Green text on the tooltip colour; a read-only edit asks as a static does.
LRESULT TLogShowForm::OnCtlColorStatic(HDC dc, HWND control) {
    if (control != m_memo) {
        return DefWindowProcW(m_window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(control));
    }
    SetTextColor(dc, kGreen);
    SetBkColor(dc, GetSysColor(COLOR_INFOBK));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_INFOBK));
}

void TLogShowForm::showLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    SetWindowTextW(m_memo, toWide(text).c_str());
}

void TLogShowForm::showHistory(const std::vector<std::vector<std::string>>& rows) {
    ListView_DeleteAllItems(m_history);
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const std::vector<std::string>& fields = rows[static_cast<std::size_t>(row)];
        for (int column = 0; column < static_cast<int>(fields.size()); ++column) {
            std::wstring text = toWide(fields[static_cast<std::size_t>(column)]);
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = row;
            item.iSubItem = column;
            item.pszText = text.data();
            if (column == 0) {
                ListView_InsertItem(m_history, &item);
            } else {
                ListView_SetItem(m_history, &item);
            }
        }
    }
    fitListColumns(m_history, kHistoryColumns);
}

bool TLogShowForm::confirm(std::string_view question) {
    return vantrel::confirm(m_window, question);
}

void TLogShowForm::showMessage(std::string_view text) {
    vantrel::showMessage(m_window, text);
}

}  // namespace vantrel
