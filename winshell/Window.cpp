#include "winshell/Window.h"

#include <utility>

#include "winshell/Messages.h"
#include "winshell/Resource.h"

namespace vantrel {

void Window::registerClass(HINSTANCE instance, const wchar_t* name) {
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
    cls.lpszClassName = name;
    RegisterClassExW(&cls);
}

bool Window::createWindow(const wchar_t* cls, const wchar_t* title, DWORD style, DWORD exStyle,
                          SIZE size, HWND owner) {
    CreateWindowExW(exStyle, cls, title, style, CW_USEDEFAULT, CW_USEDEFAULT, size.cx, size.cy,
                    owner, nullptr, GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) {
        return false;
    }
    if (size.cx == 0) {
        return true;  // the window sizes itself
    }
    SetWindowPos(m_window, nullptr, 0, 0, scaled(size.cx, m_dpi), scaled(size.cy, m_dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

// The object rides with the window from WM_NCCREATE, given as the creation parameter; the
// few messages before that get the default handling.
LRESULT CALLBACK Window::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->m_window = window;
    }
    auto* self = reinterpret_cast<Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    ++self->m_depth;
    const LRESULT result = self->dispatch(message, wParam, lParam);
    --self->m_depth;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->m_window = nullptr;
        self->m_gone = true;
    }
    self->tellIfGone();
    return result;
}

LRESULT Window::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            m_dpi = GetDpiForWindow(m_window);
            m_fonts = Fonts::forDpi(m_dpi);
            std::lock_guard lock(m_postedMutex);
            m_postTarget = m_window;
            break;
        }
        case WM_DPICHANGED:
            m_dpi = HIWORD(wParam);
            m_fonts = Fonts::forDpi(m_dpi);
            OnDpiChanged(*reinterpret_cast<const RECT*>(lParam));
            return 0;
        case kPostedMessage:
            runPosted();
            return 0;
        case WM_DESTROY: {
            const LRESULT result = handle(message, wParam, lParam);
            stopPosting();
            return result;
        }
        case WM_NCDESTROY:
            stopPosting();
            return DefWindowProcW(m_window, message, wParam, lParam);
    }
    return handle(message, wParam, lParam);
}

void Window::whileHandling(const std::function<void()>& fn) {
    ++m_depth;
    fn();
    --m_depth;
    tellIfGone();
}

void Window::tellIfGone() {
    if (m_gone && m_depth == 0 && !m_goneTold) {
        m_goneTold = true;
        OnGone();  // may free this object: nothing of it is touched after
    }
}

void Window::postWork(std::function<void()> fn) {
    std::lock_guard lock(m_postedMutex);
    if (m_postTarget == nullptr) {
        return;
    }
    m_posted.push_back(std::move(fn));
    PostMessageW(m_postTarget, kPostedMessage, 0, 0);
}

// Runs what was posted, in order. A box opened by one of them runs a loop of its own, which
// may run the next ones first; each runs once.
void Window::runPosted() {
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

// What is still queued is dropped, outside the lock: its captures may post again.
void Window::stopPosting() {
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(m_postedMutex);
    m_postTarget = nullptr;
    dropped.swap(m_posted);
}

}  // namespace vantrel
