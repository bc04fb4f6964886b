#include "winshell/KeepCountField.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "app/JobPresenter.h"
#include "winshell/Messages.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

// Whether the field may hold its text with `typed` in place of the selection.
bool accepts(HWND field, const std::wstring& typed) {
    DWORD start = 0, end = 0;
    SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    std::wstring candidate(static_cast<std::size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
    candidate.resize(static_cast<std::size_t>(
        GetWindowTextW(field, candidate.data(), static_cast<int>(candidate.size()))));
    start = std::min<DWORD>(start, static_cast<DWORD>(candidate.size()));
    end = std::clamp<DWORD>(end, start, static_cast<DWORD>(candidate.size()));
    candidate.replace(start, end - start, typed);
    return JobPresenter::keepCountAccepts(toUtf8(candidate));
}

bool acceptsPaste(HWND field) {
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

LRESULT CALLBACK keepCountProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                               DWORD_PTR) {
    switch (message) {
        case WM_CHAR:
            if (wParam >= 0x20 && !accepts(field, std::wstring(1, static_cast<wchar_t>(wParam)))) {
                return 0;
            }
            break;
        case WM_PASTE:
            if (!acceptsPaste(field)) {
                return 0;
            }
            break;
        case WM_KILLFOCUS: {
            // Committed once the focus has moved, not in the middle of the move.
            const auto next = reinterpret_cast<HWND>(wParam);
            HWND window = GetParent(field);
            if (next != nullptr && IsChild(window, next) &&
                SendMessageW(field, EM_GETMODIFY, 0, 0) != 0) {
                SendMessageW(field, EM_SETMODIFY, FALSE, 0);
                PostMessageW(window, kCommitKeepCount, 0, 0);
            }
            break;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(field, keepCountProc, 0);
            break;
    }
    return DefSubclassProc(field, message, wParam, lParam);
}

}  // namespace

void makeKeepCountField(HWND field) {
    SetWindowSubclass(field, keepCountProc, 0, 0);
}

}  // namespace vantrel
