#pragma once

#include <windows.h>

#include <filesystem>

#include "winshell/Fonts.h"
#include "winshell/Handles.h"

namespace vantrel {

// The log viewer "操作日志": the log in a read-only text (Memo1) with the context menu
// PopupMenu1 (N1 刷新, N2 清除). Each opening makes another viewer; each frees itself when
// closed and none keeps the program running.
class TLogShowForm {
public:
    static void registerClass(HINSTANCE instance);
    // Opens a viewer of `logFile` centred on the screen, not blocking the main window.
    static void open(const std::filesystem::path& logFile);

private:
    explicit TLogShowForm(std::filesystem::path logFile) : m_logFile(std::move(logFile)) {}

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK memoProc(HWND memo, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    void onCreate();
    void onCommand(int id);
    void onContextMenu(POINT at);
    void onDpiChanged(UINT dpi, const RECT& suggested);
    LRESULT onColor(HDC dc, HWND control);

    void FormShow();
    void N1Click();
    void N2Click();
    void loadLines();

    std::filesystem::path m_logFile;
    HWND m_window = nullptr;
    HWND m_memo = nullptr;
    Fonts m_fonts;
    MenuHandle m_menu;
};

}  // namespace vantrel
