#pragma once

// Owners for the window's handles, so that no path out of a function leaks one.

#include <windows.h>

#include <memory>
#include <type_traits>

namespace vantrel {

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* handle) const {
        Free(handle);
    }
};

inline void deleteGdiObject(HGDIOBJ object) {
    DeleteObject(object);
}

template <class H, auto Free>
using Owned = std::unique_ptr<std::remove_pointer_t<H>, FreeWith<Free>>;

using IconHandle = Owned<HICON, DestroyIcon>;
using FontHandle = Owned<HFONT, deleteGdiObject>;
using BrushHandle = Owned<HBRUSH, deleteGdiObject>;
using BitmapHandle = Owned<HBITMAP, deleteGdiObject>;
using MenuHandle = Owned<HMENU, DestroyMenu>;
using KernelHandle = Owned<HANDLE, CloseHandle>;
using MemoryDc = Owned<HDC, DeleteDC>;

// A window's device context, released to the window at the end of the scope.
class WindowDc {
public:
    explicit WindowDc(HWND window) : m_window(window), m_dc(GetDC(window)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc() { ReleaseDC(m_window, m_dc); }
    HDC get() const { return m_dc; }

private:
    HWND m_window;
    HDC m_dc;
};

// A font selected into a device context for the scope.
class SelectedFont {
public:
    SelectedFont(HDC dc, HFONT font) : m_dc(dc), m_old(SelectObject(dc, font)) {}
    SelectedFont(const SelectedFont&) = delete;
    SelectedFont& operator=(const SelectedFont&) = delete;
    ~SelectedFont() { SelectObject(m_dc, m_old); }

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

}  // namespace vantrel
