#include "winshell/RestoreWindow.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <iterator>
#include <span>

#include "winshell/ControlIds.h"
#include "winshell/Dialogs.h"
#include "winshell/Handles.h"
#include "winshell/Layout.h"
#include "winshell/Messages.h"
#include "winshell/Resource.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

// The window's size, outer frame included, and its smallest client area, at 96 DPI.
constexpr SIZE kWindowSize{760, 560};
constexpr SIZE kMinimumClient{640, 400};

constexpr const wchar_t* kCopyColumns[] = {L"备份日期", L"状态", L"文件数",
                                           L"大小",     L"核对", L"保留"};
constexpr const wchar_t* kEntryColumns[] = {L"名称", L"大小", L"修改时间", L""};
constexpr const wchar_t* kHitColumns[] = {L"名称", L"所在文件夹", L"大小", L"修改时间", L""};
constexpr const wchar_t* kVersionColumns[] = {L"备份日期", L"大小", L"修改时间", L"备注"};

HWND makeChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id,
               DWORD exStyle = 0) {
    return CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

void setColumns(HWND list, std::span<const wchar_t* const> columns) {
    while (ListView_DeleteColumn(list, 0)) {
    }
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(columns[static_cast<std::size_t>(i)]);
        column.cx = 80;
        ListView_InsertColumn(list, i, &column);
    }
}

HWND makeList(HWND parent, int id, DWORD style, std::span<const wchar_t* const> columns) {
    HWND list =
        makeChild(parent, WC_LISTVIEWW, L"", LVS_REPORT | LVS_SHOWSELALWAYS | WS_TABSTOP | style,
                  id, WS_EX_CLIENTEDGE);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    setColumns(list, columns);
    return list;
}

// One row of a list: its cells, and `param` kept with the row.
void addRow(HWND list, int row, const std::vector<std::string>& cells, LPARAM param) {
    for (int column = 0; column < static_cast<int>(cells.size()); ++column) {
        std::wstring text = toWide(cells[static_cast<std::size_t>(column)]);
        LVITEMW item{};
        item.mask = LVIF_TEXT | (column == 0 ? LVIF_PARAM : 0);
        item.iItem = row;
        item.iSubItem = column;
        item.pszText = text.data();
        item.lParam = param;
        if (column == 0) {
            ListView_InsertItem(list, &item);
        } else {
            ListView_SetItem(list, &item);
        }
    }
}

}  // namespace

void TRestoreForm::registerClass(HINSTANCE instance) {
    Window::registerClass(instance, kRestoreWindowClass);
}

void TRestoreForm::open(HWND owner, Workspace& ws, const TBackupSettings& settings) {
    auto* form = new TRestoreForm(ws, settings);
    if (!form->createWindow(kRestoreWindowClass, L"恢复文件", WS_OVERLAPPEDWINDOW,
                            WS_EX_CONTROLPARENT, kWindowSize, owner)) {
        delete form;
        return;
    }
    HWND window = form->window();
    centreWindow(window, workAreaOf(owner != nullptr ? owner : window));
    ShowWindow(window, SW_SHOWNORMAL);
    form->whileHandling([form] { form->m_presenter.show(); });
}

HWND TRestoreForm::find(HWND owner) {
    for (HWND w = FindWindowExW(nullptr, nullptr, kRestoreWindowClass, nullptr); w != nullptr;
         w = FindWindowExW(nullptr, w, kRestoreWindowClass, nullptr)) {
        if (GetWindow(w, GW_OWNER) == owner) {
            return w;
        }
    }
    return nullptr;
}

void TRestoreForm::showPath(HWND window, const std::string& path) {
    auto* form = static_cast<TRestoreForm*>(
        reinterpret_cast<Window*>(GetWindowLongPtrW(window, GWLP_USERDATA)));
    if (form == nullptr) {
        return;
    }
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
    }
    SetForegroundWindow(window);
    form->whileHandling([form, &path] { form->m_presenter.openAt(path); });
}

// Once destroyed and no message of its own is being handled. A restore the presenter started
// from inside a box after the window went (a folder picked as its owner closed) is stopped.
void TRestoreForm::OnGone() {
    m_presenter.cancel();
    delete this;
}

LRESULT TRestoreForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            onCreate();
            return 0;
        case WM_SIZE:
            layOut();
            return 0;
        case WM_COMMAND:
            onCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_NOTIFY:
            onNotify(*reinterpret_cast<const NMHDR*>(lParam));
            return 0;
        case kEntriesChosen:
            entriesChosen();
            return 0;
        case WM_GETMINMAXINFO: {
            RECT frame{0, 0, scaled(kMinimumClient.cx, m_dpi), scaled(kMinimumClient.cy, m_dpi)};
            AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT,
                                     m_dpi);
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {frame.right - frame.left,
                                                                     frame.bottom - frame.top};
            return 0;
        }
        case WM_DESTROY:
            onDestroy();
            return 0;
    }
    return defaultHandling(message, wParam, lParam);
}

void TRestoreForm::onCreate() {
    const DWORD label = SS_LEFT | SS_NOPREFIX;
    makeChild(m_window, L"STATIC", L"本任务的备份：", label, IDC_COPIESLABEL);
    makeList(m_window, IDC_COPYLIST, LVS_SINGLESEL, kCopyColumns);
    makeChild(m_window, L"BUTTON", L"上一级", BS_PUSHBUTTON | WS_TABSTOP, IDC_UPBUTTON);
    makeChild(m_window, L"STATIC", L"", label | SS_PATHELLIPSIS, IDC_FOLDERLABEL);
    HWND filter = makeChild(m_window, L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, IDC_NAMEFILTER,
                            WS_EX_CLIENTEDGE);
    SendMessageW(filter, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"按名称筛选"));
    makeChild(m_window, L"BUTTON", L"显示已删除的文件", BS_AUTOCHECKBOX | WS_TABSTOP,
              IDC_SHOWDELETED);
    makeList(m_window, IDC_ENTRYLIST, 0, kEntryColumns);
    makeChild(m_window, L"STATIC", L"所选项的各个版本：", label, IDC_VERSIONSLABEL);
    makeList(m_window, IDC_VERSIONLIST, LVS_SINGLESEL | LVS_NOSORTHEADER, kVersionColumns);
    makeChild(m_window, L"BUTTON", L"恢复到原位置", BS_PUSHBUTTON | WS_TABSTOP,
              IDC_RESTOREORIGINAL);
    makeChild(m_window, L"BUTTON", L"恢复到…", BS_PUSHBUTTON | WS_TABSTOP, IDC_RESTORETO);
    makeChild(m_window, L"BUTTON", L"打开备份文件夹", BS_PUSHBUTTON | WS_TABSTOP, IDC_OPENFOLDER);
    makeChild(m_window, L"BUTTON", L"永久保留", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED,
              IDC_PINCOPY);
    HWND progress = makeChild(m_window, PROGRESS_CLASSW, nullptr, 0, IDC_RESTOREPROGRESS);
    SendMessageW(progress, PBM_SETRANGE32, 0, 1000);
    makeChild(m_window, L"BUTTON", L"取消", BS_PUSHBUTTON | WS_TABSTOP, IDC_CANCELRESTORE);
    makeChild(m_window, L"STATIC", L"", label, IDC_RESTORESTATUS);
    ShowWindow(progress, SW_HIDE);
    ShowWindow(control(IDC_CANCELRESTORE), SW_HIDE);
    applyFonts();
}

void TRestoreForm::applyFonts() {
    for (HWND child = GetWindow(m_window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts.ui.get()), TRUE);
    }
}

// Top to bottom: the copies, the row to move about the copy, its folder, the versions of the
// entry chosen, the commands with the progress, and the status. The lists share what is left.
void TRestoreForm::layOut() {
    RECT client{};
    GetClientRect(m_window, &client);
    const auto px = [this](int length) { return scaled(length, m_dpi); };
    MemoryDc dc(CreateCompatibleDC(nullptr));
    const HFONT font = m_fonts.ui.get();
    const int line = measureText(dc.get(), font, "备份").cy;
    const int button = line + px(10);
    const int margin = px(8), gap = px(6);
    const int width = client.right - 2 * margin;
    const auto buttonWidth = [&](const char* caption) {
        return std::max<int>(px(88), measureText(dc.get(), font, caption).cx + px(24));
    };
    const auto place = [this](int id, int x, int y, int w, int h) {
        SetWindowPos(control(id), nullptr, x, y, std::max(w, 0), std::max(h, 0),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    };

    const int fixed = margin + (line + px(2)) + gap + button + gap + (line + px(2)) + gap + button +
                      gap + 2 * line + margin;
    const int lists = std::max<int>(client.bottom - fixed - gap, 3 * button);
    const int copiesHeight = lists * 2 / 7, versionsHeight = lists / 7;
    const int entriesHeight = lists - copiesHeight - versionsHeight;

    int y = margin;
    place(IDC_COPIESLABEL, margin, y, width, line);
    y += line + px(2);
    place(IDC_COPYLIST, margin, y, width, copiesHeight);
    y += copiesHeight + gap;

    const int up = buttonWidth("上一级");
    const int deleted = GetSystemMetricsForDpi(SM_CXMENUCHECK, m_dpi) + px(8) +
                        measureText(dc.get(), font, "显示已删除的文件").cx;
    const int filter = px(160);
    const int folder = width - up - filter - deleted - 3 * gap;
    place(IDC_UPBUTTON, margin, y, up, button);
    place(IDC_FOLDERLABEL, margin + up + gap, y + (button - line) / 2, folder, line);
    place(IDC_NAMEFILTER, margin + up + gap + folder + gap, y + (button - line - px(8)) / 2, filter,
          line + px(8));
    place(IDC_SHOWDELETED, client.right - margin - deleted, y, deleted, button);
    y += button + gap;
    place(IDC_ENTRYLIST, margin, y, width, entriesHeight);
    y += entriesHeight + gap;
    place(IDC_VERSIONSLABEL, margin, y, width, line);
    y += line + px(2);
    place(IDC_VERSIONLIST, margin, y, width, versionsHeight);
    y += versionsHeight + gap;

    int x = margin;
    // 永久保留 as wide as the longer of its two captions, so that it never moves.
    for (const auto& [id, caption] :
         {std::pair{IDC_RESTOREORIGINAL, "恢复到原位置"}, std::pair{IDC_RESTORETO, "恢复到…"},
          std::pair{IDC_OPENFOLDER, "打开备份文件夹"}, std::pair{IDC_PINCOPY, "取消永久保留"}}) {
        const int w = buttonWidth(caption);
        place(id, x, y, w, button);
        x += w + gap;
    }
    const int cancel = buttonWidth("取消");
    place(IDC_CANCELRESTORE, client.right - margin - cancel, y, cancel, button);
    place(IDC_RESTOREPROGRESS, x + gap, y + px(4), client.right - margin - cancel - gap - x - gap,
          button - px(8));
    y += button + gap;
    place(IDC_RESTORESTATUS, margin, y, width, client.bottom - margin - y);
}

void TRestoreForm::OnDpiChanged(const RECT& suggested) {
    applyFonts();
    SetWindowPos(m_window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    layOut();
}

void TRestoreForm::onCommand(int id, int code) {
    if (id == IDC_NAMEFILTER && code == EN_CHANGE && !m_quiet) {
        std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control(id))) + 1, L'\0');
        text.resize(static_cast<std::size_t>(
            GetWindowTextW(control(id), text.data(), static_cast<int>(text.size()))));
        m_presenter.setFilter(toUtf8(text));
        return;
    }
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
        case IDC_UPBUTTON:
            m_presenter.openFolder("..");
            break;
        case IDC_SHOWDELETED:
            m_presenter.setShowDeleted(Button_GetCheck(control(id)) == BST_CHECKED);
            break;
        case IDC_RESTOREORIGINAL:
            m_presenter.restoreToOriginal();
            break;
        case IDC_RESTORETO:
            m_presenter.restoreTo();
            break;
        case IDC_OPENFOLDER:
            m_presenter.openBackupFolder();
            break;
        case IDC_PINCOPY:
            m_presenter.togglePin();
            break;
        case IDC_CANCELRESTORE:
            EnableWindow(control(id), FALSE);
            m_presenter.cancel();
            break;
    }
}

void TRestoreForm::onNotify(const NMHDR& header) {
    if (m_quiet) {
        return;
    }
    if (header.idFrom == IDC_COPYLIST && header.code == LVN_ITEMCHANGED) {
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        if ((change.uNewState & LVIS_SELECTED) != 0 && (change.uOldState & LVIS_SELECTED) == 0) {
            m_presenter.chooseCopy(static_cast<std::int64_t>(change.lParam));
        }
    } else if (header.idFrom == IDC_ENTRYLIST && header.code == LVN_ITEMCHANGED) {
        // One change of the choice comes as a notification for each row it touched.
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        if (((change.uNewState ^ change.uOldState) & LVIS_SELECTED) != 0 && !m_choosing) {
            m_choosing = true;
            PostMessageW(m_window, kEntriesChosen, 0, 0);
        }
    } else if (header.idFrom == IDC_ENTRYLIST && header.code == LVN_ITEMACTIVATE) {
        // A folder opens; a search's find opens its folder, with it chosen.
        const int row = reinterpret_cast<const NMITEMACTIVATE&>(header).iItem;
        if (row >= 0 && static_cast<std::size_t>(row) < m_entryPaths.size()) {
            const std::string path = m_entryPaths[static_cast<std::size_t>(row)];
            if (m_entryFolders[static_cast<std::size_t>(row)]) {
                m_presenter.openFolder(path);
            } else if (m_hits) {
                m_presenter.openAt(path);
            }
        }
    }
}

void TRestoreForm::entriesChosen() {
    if (!m_choosing) {
        return;  // the folder was shown anew since
    }
    m_choosing = false;
    std::vector<std::string> paths;
    HWND list = control(IDC_ENTRYLIST);
    for (int row = ListView_GetNextItem(list, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(list, row, LVNI_SELECTED)) {
        if (static_cast<std::size_t>(row) < m_entryPaths.size()) {
            paths.push_back(m_entryPaths[static_cast<std::size_t>(row)]);
        }
    }
    m_presenter.select(paths);
}

void TRestoreForm::showCopies(const std::vector<RestoreCopyRow>& copies, std::int64_t chosen) {
    m_quiet = true;
    HWND list = control(IDC_COPYLIST);
    ListView_DeleteAllItems(list);
    for (int row = 0; row < static_cast<int>(copies.size()); ++row) {
        const RestoreCopyRow& c = copies[static_cast<std::size_t>(row)];
        addRow(list, row,
               {c.date, c.state, c.files, c.size, c.verified, c.pinned ? "永久保留" : ""},
               static_cast<LPARAM>(c.id));
        if (c.id == chosen) {
            ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED,
                                  LVIS_SELECTED | LVIS_FOCUSED);
        }
    }
    fitListColumns(list, kCopyColumns);
    m_quiet = false;
}

void TRestoreForm::showPinCommand(std::string_view caption, bool enabled) {
    SetWindowTextW(control(IDC_PINCOPY), toWide(caption).c_str());
    EnableWindow(control(IDC_PINCOPY), enabled);
}

void TRestoreForm::showEntries(std::string_view folder, const std::vector<RestoreEntryRow>& rows) {
    SetWindowTextW(control(IDC_FOLDERLABEL),
                   folder.empty() ? L"（源文件夹）" : toWide(folder).c_str());
    EnableWindow(control(IDC_UPBUTTON), !folder.empty());
    showEntryColumns(false);
    addEntries(rows);
}

void TRestoreForm::showHits(std::string_view status, const std::vector<RestoreEntryRow>& rows,
                            bool fresh) {
    SetWindowTextW(control(IDC_FOLDERLABEL), toWide(status).c_str());
    EnableWindow(control(IDC_UPBUTTON), FALSE);
    if (fresh || !m_hits) {
        showEntryColumns(true);
    }
    addEntries(rows);
}

// An empty list with the columns of a folder, or of a search's finds.
void TRestoreForm::showEntryColumns(bool hits) {
    m_quiet = true;
    m_choosing = false;
    HWND list = control(IDC_ENTRYLIST);
    ListView_DeleteAllItems(list);
    m_entryPaths.clear();
    m_entryFolders.clear();
    if (hits != m_hits) {
        m_hits = hits;
        setColumns(list, hits ? std::span<const wchar_t* const>(kHitColumns)
                              : std::span<const wchar_t* const>(kEntryColumns));
    }
    m_quiet = false;
}

void TRestoreForm::addEntries(const std::vector<RestoreEntryRow>& rows) {
    if (rows.empty() && !m_entryPaths.empty()) {
        return;
    }
    m_quiet = true;
    HWND list = control(IDC_ENTRYLIST);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    int row = static_cast<int>(m_entryPaths.size());
    for (const RestoreEntryRow& e : rows) {
        std::vector<std::string> cells{e.name + (e.folder ? "\\" : ""), e.size, e.modified,
                                       e.deleted};
        if (m_hits) {
            cells.insert(cells.begin() + 1, e.where);
        }
        addRow(list, row, cells, row);
        if (e.chosen) {
            ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED,
                                  LVIS_SELECTED | LVIS_FOCUSED);
            ListView_EnsureVisible(list, row, FALSE);
        }
        m_entryPaths.push_back(e.path);
        m_entryFolders.push_back(e.folder);
        ++row;
    }
    fitListColumns(list, m_hits ? std::span<const wchar_t* const>(kHitColumns)
                                : std::span<const wchar_t* const>(kEntryColumns));
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    m_quiet = false;
}

void TRestoreForm::showFilter(std::string_view text) {
    m_quiet = true;
    SetWindowTextW(control(IDC_NAMEFILTER), toWide(text).c_str());
    m_quiet = false;
}

void TRestoreForm::showVersions(const std::vector<RestoreVersionRow>& rows) {
    HWND list = control(IDC_VERSIONLIST);
    ListView_DeleteAllItems(list);
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const RestoreVersionRow& v = rows[static_cast<std::size_t>(row)];
        addRow(list, row, {v.date, v.size, v.modified, v.same}, row);
    }
    fitListColumns(list, kVersionColumns);
}

void TRestoreForm::showRestoring(bool running) {
    for (const int id : {IDC_RESTOREORIGINAL, IDC_RESTORETO, IDC_COPYLIST}) {
        EnableWindow(control(id), !running);
    }
    EnableWindow(control(IDC_CANCELRESTORE), running);
    ShowWindow(control(IDC_CANCELRESTORE), running ? SW_SHOWNA : SW_HIDE);
    ShowWindow(control(IDC_RESTOREPROGRESS), running ? SW_SHOWNA : SW_HIDE);
}

void TRestoreForm::showProgress(const ProgressView& progress) {
    std::string status = progress.status;
    if (!progress.timeLeft.empty()) {
        status += "  " + progress.timeLeft;
    }
    SetWindowTextW(control(IDC_RESTORESTATUS), toWide(status).c_str());
    HWND bar = control(IDC_RESTOREPROGRESS);
    // Without a share to show, the bar only shows that something is going on.
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    if (progress.permille < 0) {
        SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    } else {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(progress.permille), 0);
    }
}

void TRestoreForm::showSummary(std::string_view summary, const std::vector<std::string>& details) {
    SetWindowTextW(control(IDC_RESTORESTATUS), toWide(summary).c_str());
    vantrel::showList(m_window, summary, details);
}

void TRestoreForm::showMessage(std::string_view text) {
    vantrel::showMessage(m_window, text);
}

std::optional<std::string> TRestoreForm::pickFolder(std::string_view prompt) {
    return vantrel::pickFolder(m_window, prompt);
}

void TRestoreForm::openInFileManager(const std::filesystem::path& folder) {
    ShellExecuteW(m_window, L"explore", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void TRestoreForm::post(std::function<void()> fn) {
    postWork(std::move(fn));
}

// A restore under way is stopped: what it placed stays, nothing half-written does.
void TRestoreForm::onDestroy() {
    m_presenter.cancel();
    m_presenter.waitForRestore();
}

}  // namespace vantrel
