#include "winshell/ProgressText.h"

#include <commctrl.h>

#include <string>

#include "winshell/Handles.h"

namespace vantrel {

namespace {

LRESULT CALLBACK progressProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR fonts) {
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
                SelectedFont selected(dc.get(), reinterpret_cast<const Fonts*>(fonts)->ui.get());
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

}  // namespace

void showTextOnProgressBar(HWND bar, const Fonts& fonts) {
    SetWindowSubclass(bar, progressProc, 0, reinterpret_cast<DWORD_PTR>(&fonts));
}

}  // namespace vantrel
