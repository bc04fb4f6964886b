#include "winshell/Dialogs.h"

#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "winshell/AppIcon.h"
#include "winshell/ControlIds.h"
#include "winshell/Fonts.h"
#include "winshell/Handles.h"
#include "winshell/Layout.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

constexpr wchar_t kTitle[] = L"Vantrel";

// What a question box shows: its text and its buttons, right to left the last first, the first
// the default; the answer of Escape and the close button; the font it shows them in while open.
struct Question {
    std::wstring text;
    std::vector<std::pair<int, const wchar_t*>> buttons;
    int escape = IDNO;
    FontHandle font;
    IconHandle icon;
};

// A dialog template with no controls: the box makes its own, sized to the text in pixels.
std::vector<WORD> emptyDialogTemplate(const wchar_t* caption) {
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
    auto* dialog = reinterpret_cast<DLGTEMPLATE*>(words.data());
    dialog->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    words.push_back(0);  // no menu
    words.push_back(0);  // the standard dialog class
    for (const wchar_t* c = caption; *c != L'\0'; ++c) {
        words.push_back(static_cast<WORD>(*c));
    }
    words.push_back(0);
    return words;
}

HWND addChild(HWND dialog, const wchar_t* cls, const wchar_t* text, DWORD style, int id,
              const RECT& r, HFONT font) {
    HWND child =
        CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top,
                        r.right - r.left, r.bottom - r.top, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

// Lays the box out at its DPI: the icon, the question beside it, the buttons under it on the
// right, as a message box has them; then centres it over its owner.
void buildQuestionBox(HWND dialog, Question& q) {
    const UINT dpi = GetDpiForWindow(dialog);
    const auto px = [dpi](int length) { return scaled(length, dpi); };
    Fonts fonts = Fonts::forDpi(dpi);
    q.font = std::move(fonts.ui);
    const int margin = px(12), iconSize = px(32);

    MemoryDc dc(CreateCompatibleDC(nullptr));
    RECT text{0, 0, px(420), 0};
    {
        SelectedFont selected(dc.get(), q.font.get());
        DrawTextW(dc.get(), q.text.c_str(), static_cast<int>(q.text.size()), &text,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    }
    const int textLeft = margin + iconSize + margin;
    const int textHeight = std::max<int>(text.bottom, iconSize);
    int buttonWidth = px(75), buttonHeight = px(23);
    for (const auto& [id, caption] : q.buttons) {
        const SIZE size = measureText(dc.get(), q.font.get(), toUtf8(caption).c_str());
        buttonWidth = std::max<int>(buttonWidth, size.cx + px(24));
        buttonHeight = std::max<int>(buttonHeight, size.cy + px(8));
    }
    const int count = static_cast<int>(q.buttons.size());
    const int width = std::max<int>(textLeft + text.right + margin,
                                    count * buttonWidth + (count - 1) * px(6) + 2 * margin);
    const int buttonsTop = margin + textHeight + margin;
    const int height = buttonsTop + buttonHeight + margin;

    q.icon = loadIcon(nullptr, IDI_QUESTION, iconSize);
    HWND iconControl = addChild(dialog, L"STATIC", nullptr, SS_ICON | SS_REALSIZECONTROL, -1,
                                {margin, margin, margin + iconSize, margin + iconSize}, nullptr);
    SendMessageW(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(q.icon.get()), 0);
    addChild(dialog, L"STATIC", q.text.c_str(), SS_LEFT | SS_NOPREFIX, IDC_QUESTION,
             {textLeft, margin + (textHeight - text.bottom) / 2, textLeft + text.right,
              margin + (textHeight + text.bottom) / 2},
             q.font.get());
    HWND first = nullptr;
    int left = width - margin - count * buttonWidth - (count - 1) * px(6);
    for (const auto& [id, caption] : q.buttons) {
        HWND button = addChild(
            dialog, L"BUTTON", caption,
            (first == nullptr ? BS_DEFPUSHBUTTON | WS_GROUP : BS_PUSHBUTTON) | WS_TABSTOP, id,
            {left, buttonsTop, left + buttonWidth, buttonsTop + buttonHeight}, q.font.get());
        first = first == nullptr ? button : first;
        left += buttonWidth + px(6);
    }

    RECT frame{0, 0, width, height};
    AdjustWindowRectExForDpi(&frame, GetWindowLongW(dialog, GWL_STYLE), FALSE,
                             GetWindowLongW(dialog, GWL_EXSTYLE), dpi);
    SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT over{};
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner == nullptr || !IsWindowVisible(owner) || IsIconic(owner) ||
        !GetWindowRect(owner, &over)) {
        over = workAreaOf(dialog);
    }
    centreWindow(dialog, over);
    SendMessageW(dialog, DM_SETDEFID, q.buttons.front().first, 0);
    SetFocus(first);
}

INT_PTR CALLBACK questionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            buildQuestionBox(dialog, *reinterpret_cast<Question*>(lParam));
            return FALSE;  // the focus is set
        case WM_COMMAND: {
            const auto& q =
                *reinterpret_cast<const Question*>(GetWindowLongPtrW(dialog, DWLP_USER));
            const int id = LOWORD(wParam);
            if (id == IDCANCEL) {  // Escape, and the close button
                EndDialog(dialog, q.escape);
                return TRUE;
            }
            for (const auto& button : q.buttons) {
                if (button.first == id) {
                    EndDialog(dialog, id);
                    return TRUE;
                }
            }
            break;
        }
    }
    return FALSE;
}

// What the list box shows, and its font while it is open.
struct ListBox {
    std::wstring text;
    std::wstring items;
    FontHandle font;
};

// Lays the box out at its DPI: the text, the list under it ten lines high, OK on the right.
void buildListBox(HWND dialog, ListBox& box) {
    const UINT dpi = GetDpiForWindow(dialog);
    const auto px = [dpi](int length) { return scaled(length, dpi); };
    Fonts fonts = Fonts::forDpi(dpi);
    box.font = std::move(fonts.ui);
    const int margin = px(12), width = px(480);
    MemoryDc dc(CreateCompatibleDC(nullptr));
    RECT text{0, 0, width - 2 * margin, 0};
    TEXTMETRICW metrics{};
    {
        SelectedFont selected(dc.get(), box.font.get());
        DrawTextW(dc.get(), box.text.c_str(), static_cast<int>(box.text.size()), &text,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        GetTextMetricsW(dc.get(), &metrics);
    }
    const SIZE ok = measureText(dc.get(), box.font.get(), "OK");
    const int buttonWidth = std::max<int>(px(75), ok.cx + px(24));
    const int buttonHeight = std::max<int>(px(23), ok.cy + px(8));
    const int listTop = margin + text.bottom + px(8);
    const int listBottom = listTop + 10 * metrics.tmHeight + px(8);
    const int buttonsTop = listBottom + margin;
    const int height = buttonsTop + buttonHeight + margin;

    addChild(dialog, L"STATIC", box.text.c_str(), SS_LEFT | SS_NOPREFIX, IDC_LISTCAPTION,
             {margin, margin, width - margin, margin + text.bottom}, box.font.get());
    addChild(dialog, L"EDIT", box.items.c_str(),
             ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER | WS_TABSTOP,
             IDC_LISTTEXT, {margin, listTop, width - margin, listBottom}, box.font.get());
    HWND okButton = addChild(
        dialog, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK,
        {width - margin - buttonWidth, buttonsTop, width - margin, buttonsTop + buttonHeight},
        box.font.get());

    RECT frame{0, 0, width, height};
    AdjustWindowRectExForDpi(&frame, GetWindowLongW(dialog, GWL_STYLE), FALSE,
                             GetWindowLongW(dialog, GWL_EXSTYLE), dpi);
    SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    centreWindow(dialog, workAreaOf(dialog));
    SetFocus(okButton);
}

INT_PTR CALLBACK listProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            buildListBox(dialog, *reinterpret_cast<ListBox*>(lParam));
            return FALSE;  // the focus is set
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            break;
    }
    return FALSE;
}

int CALLBACK browseProc(HWND dialog, UINT message, LPARAM, LPARAM) {
    if (message == BFFM_INITIALIZED) {
        centreWindow(dialog, workAreaOf(dialog));
    }
    return 0;
}

}  // namespace

void showMessage(HWND owner, std::string_view text) {
    MessageBoxW(owner, toWide(text).c_str(), kTitle, MB_OK);
}

void showList(HWND owner, std::string_view text, const std::vector<std::string>& items) {
    ListBox box{toWide(text), {}, {}};
    for (const std::string& item : items) {
        box.items += toWide(item) + L"\r\n";
    }
    const std::vector<WORD> dialog = emptyDialogTemplate(kTitle);
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                            reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), owner, listProc,
                            reinterpret_cast<LPARAM>(&box));
}

namespace {

INT_PTR ask(HWND owner, Question q) {
    const std::vector<WORD> dialog = emptyDialogTemplate(kConfirmCaption);
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                   reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), owner,
                                   questionProc, reinterpret_cast<LPARAM>(&q));
}

}  // namespace

bool confirm(HWND owner, std::string_view question) {
    return ask(owner, {toWide(question), {{IDYES, L"&Yes"}, {IDNO, L"&No"}}, IDNO, {}, {}}) ==
           IDYES;
}

SaveAnswer askSave(HWND owner, std::string_view question) {
    switch (ask(owner, {toWide(question),
                        {{IDYES, L"保存(&S)"}, {IDNO, L"不保存(&N)"}, {IDCANCEL, L"取消"}},
                        IDCANCEL,
                        {},
                        {}})) {
        case IDYES:
            return SaveAnswer::Save;
        case IDNO:
            return SaveAnswer::Discard;
        default:
            return SaveAnswer::Cancel;
    }
}

std::optional<std::string> pickFolder(HWND owner, std::string_view prompt) {
    const std::wstring title = toWide(prompt);
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
    info.lpfn = browseProc;
    const Owned<PIDLIST_ABSOLUTE, CoTaskMemFree> chosen(SHBrowseForFolderW(&info));
    if (!chosen) {
        return std::nullopt;
    }
    // Paths longer than MAX_PATH come back whole.
    std::wstring path(32768, L'\0');
    if (!SHGetPathFromIDListEx(chosen.get(), path.data(), static_cast<DWORD>(path.size()),
                               GPFIDL_DEFAULT)) {
        return std::nullopt;
    }
    path.resize(wcslen(path.c_str()));
    return toUtf8(path);
}

}  // namespace vantrel
