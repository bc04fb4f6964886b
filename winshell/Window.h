#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

#include "winshell/Fonts.h"

namespace vantrel {

// What every window of the program shares: one window procedure that hands each message to
// the object the window was made for, the DPI and the fonts of that DPI (WM_DPICHANGED is
// handled here and nowhere else), and the queue of work other threads post to the window.
class Window {
public:
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND window() const { return m_window; }

    // Runs `fn` on the window's thread, soon, in the order posted; callable from any thread.
    // Work posted before the window is made or after it is gone is dropped.
    void postWork(std::function<void()> fn);

protected:
    Window() = default;
    virtual ~Window() = default;

    // Registers the window class `name` of the program's (its icon, the arrow cursor, the
    // dialog background) with the one window procedure.
    static void registerClass(HINSTANCE instance, const wchar_t* name);
    // Makes this object's window, of a class registered above, at `size` in 96-DPI units
    // scaled to the DPI of the screen it opens on (0 x 0: the window sizes itself), not yet
    // shown. False when it cannot.
    bool createWindow(const wchar_t* cls, const wchar_t* title, DWORD style, DWORD exStyle,
                      SIZE size, HWND owner);

    // Every message but the few handled here; what it does not handle goes to
    // defaultHandling. m_dpi and m_fonts are set before WM_CREATE comes.
    virtual LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // The window is on a screen of another DPI: m_dpi and m_fonts are the new ones. Sets the
    // fonts and places the controls, and takes the place the system suggests.
    virtual void OnDpiChanged(const RECT& suggested) = 0;
    // The window is destroyed and none of its messages is being handled any more, nested ones
    // (a box's loop) included: a window that frees itself does so here. Called once.
    virtual void OnGone() {}

    LRESULT defaultHandling(UINT message, WPARAM wParam, LPARAM lParam) {
        return DefWindowProcW(m_window, message, wParam, lParam);
    }
    // Runs `fn` as if a message were being handled: the window is not freed meanwhile.
    void whileHandling(const std::function<void()>& fn);

    HWND m_window = nullptr;
    UINT m_dpi = 96;
    Fonts m_fonts;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    void runPosted();
    void stopPosting();
    void tellIfGone();

    int m_depth = 0;      // messages being handled, nested ones included
    bool m_gone = false;  // WM_NCDESTROY has come
    bool m_goneTold = false;

    std::mutex m_postedMutex;
    HWND m_postTarget = nullptr;  // while the window exists
    std::deque<std::function<void()>> m_posted;
};

}  // namespace vantrel
