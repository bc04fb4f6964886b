#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/LogPresenter.h"
#include "winshell/Handles.h"
#include "winshell/Window.h"

namespace vantrel {

// The log viewer "操作日志": the log in a read-only text (Memo1) with the context menu
// PopupMenu1 (N1 刷新, N2 清除), which it forwards to its presenter, and in a second tab the
// job's run history. Each opening makes another viewer; each frees itself when closed and
// none keeps the program running.
class TLogShowForm final : public Window, public LogView {
public:
    static void registerClass(HINSTANCE instance);
    // Opens a viewer of `logFile`, and of the run history in `dbFile`, centred on the screen,
    // not blocking the main window.
    static void open(const std::filesystem::path& logFile, const std::filesystem::path& dbFile);

    // LogView
    void showLines(const std::vector<std::string>& lines) override;
    void showHistory(const std::vector<std::vector<std::string>>& rows) override;
    bool confirm(std::string_view question) override;
    void showMessage(std::string_view text) override;

private:
    TLogShowForm(std::filesystem::path logFile, std::filesystem::path dbFile)
        : m_presenter(std::move(logFile), *this, std::move(dbFile)) {}

    static LRESULT CALLBACK memoProc(HWND memo, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnDpiChanged(const RECT& suggested) override;
    void OnGone() override { delete this; }

    void OnCreate();
    void OnCommand(int id);
    void OnContextMenu(POINT at);
    void OnSize();
    LRESULT OnCtlColorStatic(HDC dc, HWND control);
    void showTab();

    LogPresenter m_presenter;
    HWND m_memo = nullptr;
    HWND m_tabs = nullptr;
    HWND m_history = nullptr;
    MenuHandle m_menu;
};

}  // namespace vantrel
