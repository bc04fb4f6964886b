#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/RestorePresenter.h"
#include "app/RestoreView.h"
#include "platform/FilePlacer.h"
#include "winshell/Window.h"

namespace vantrel {

// The restore window "恢复文件": the job's copies, the chosen copy's folder with a search of the
// whole copy by name and 显示已删除的文件, the versions of the chosen entry, and the commands
// 恢复到原位置, 恢复到…, 打开备份文件夹 and 永久保留 (取消永久保留 for a copy kept for good). It
// draws and forwards to its presenter, which decides. Owned by the main window, it goes with it; it
// frees itself when closed, once a restore under way has ended.
class TRestoreForm final : public Window, public RestoreView {
public:
    // The restore window `owner` has open; none when it has none.
    static HWND find(HWND owner);
    // Brings `window` (a restore window) to the front at `path`, a file or folder in the source.
    static void showPath(HWND window, const std::string& path);

    static void registerClass(HINSTANCE instance);
    // Opens a restore window on the job's copies of the source in `settings`.
    static void open(HWND owner, Workspace& ws, const TBackupSettings& settings);

    TRestoreForm(const TRestoreForm&) = delete;
    TRestoreForm& operator=(const TRestoreForm&) = delete;

    // RestoreView
    void showCopies(const std::vector<RestoreCopyRow>& copies, std::int64_t chosen) override;
    void showPinCommand(std::string_view caption, bool enabled) override;
    void showEntries(std::string_view folder, const std::vector<RestoreEntryRow>& rows) override;
    void showHits(std::string_view status, const std::vector<RestoreEntryRow>& rows,
                  bool fresh) override;
    void showFilter(std::string_view text) override;
    void showVersions(const std::vector<RestoreVersionRow>& rows) override;
    void showRestoring(bool running) override;
    void showProgress(const ProgressView& progress) override;
    void showSummary(std::string_view summary, const std::vector<std::string>& details) override;
    void showMessage(std::string_view text) override;
    std::optional<std::string> pickFolder(std::string_view prompt) override;
    void openInFileManager(const std::filesystem::path& folder) override;
    void post(std::function<void()> fn) override;

private:
    TRestoreForm(Workspace& ws, const TBackupSettings& settings)
        : m_presenter(ws, settings, *this, m_placer) {}
    ~TRestoreForm() override = default;

    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnDpiChanged(const RECT& suggested) override;
    void OnGone() override;

    void onCreate();
    void onCommand(int id, int code);
    void onNotify(const NMHDR& header);
    void onDestroy();
    void applyFonts();
    void layOut();
    void entriesChosen();
    void showEntryColumns(bool hits);
    void addEntries(const std::vector<RestoreEntryRow>& rows);
    HWND control(int id) const { return GetDlgItem(m_window, id); }

    bool m_quiet = false;     // lists filled by the presenter: their changes are not the user's
    bool m_choosing = false;  // a change of the entries chosen is on its way to the presenter
    std::vector<std::string> m_entryPaths;  // by row of the entries shown
    std::vector<bool> m_entryFolders;
    bool m_hits = false;  // the entries shown are a search's finds, with their folders
    RealFilePlacer m_placer;
    RestorePresenter m_presenter;  // last: gone, and its restore ended, first
};

}  // namespace vantrel
