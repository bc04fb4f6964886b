#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/CopySearch.h"
#include "app/RestoreView.h"
#include "engine/BackupSettings.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/restore/Restore.h"
#include "engine/run/Workspace.h"
#include "platform/FilePlacer.h"

namespace vantrel {

// The restore window's behaviour, whatever draws it: the job's copies, the chosen copy's
// folders and files (and the entries the source no longer has), a search of the whole copy
// by name, the versions of the chosen entry, and restoring to the original place or to a
// folder picked, beside the window with its progress and a summary at the end. Every method
// is called on the window's thread; a search and a restore run on threads of their own and
// report through RestoreView::post.
class RestorePresenter {
public:
    RestorePresenter(Workspace& ws, TBackupSettings settings, RestoreView& view,
                     FilePlacer& placer);
    // Waits for a restore under way: files are never left half-placed.
    ~RestorePresenter();
    RestorePresenter(const RestorePresenter&) = delete;
    RestorePresenter& operator=(const RestorePresenter&) = delete;

    // Lists the copies and shows the newest one still on disk.
    void show();
    void chooseCopy(std::int64_t id);
    // Shows a folder of the chosen copy ("" its top); ".." of the one shown goes up.
    void openFolder(const std::string& path);
    // Shows the folder holding `path` (absolute, or relative to the source) with `path` chosen
    // and its versions shown, or the folder `path` itself; from the newest copy on disk that
    // holds it when the chosen one does not. Ends a search.
    void openAt(const std::string& path);
    // Searches the whole copy for names holding `text`, ASCII letters in either case, and
    // shows what it finds with its folder; "" shows the folder again.
    void setFilter(const std::string& text);
    void setShowDeleted(bool on);  // 显示已删除的文件: only what the source lacks
    // The entries chosen in the list (paths below the source); one shows its versions.
    void select(const std::vector<std::string>& paths);

    void restoreToOriginal();  // 恢复到原位置: beside what differs there
    void restoreTo();          // 恢复到…: under a folder picked, keeping paths
    void openBackupFolder();   // 打开备份文件夹: the folder shown, in the copy
    // 永久保留 / 取消永久保留: keeps the chosen copy for good, so pruning never deletes it, or
    // takes that mark away, as vantrel-cli pin and unpin do.
    void togglePin();
    void cancel();  // 取消, while restoring

    bool restoring() const { return m_restoring; }
    // Blocks until a restore under way has ended; its outcome is then posted to the window.
    void waitForRestore();
    // Blocks until a search under way has ended; what it found is then posted to the window.
    void waitForSearch();

private:
    // Lists the copies anew and chooses the copy of row `keep` when it is still on disk, else
    // the newest one that is. True when the copy chosen is another than before.
    bool relist(std::int64_t keep);
    void showPinCommand();
    void showFolder(const std::string& chosen = {});
    void showFolderOrHits();
    void startSearch();
    void searchFound(CopySearch::Batch& batch);
    void endSearch();
    void startRestore(const std::string& to);
    void finishRestore(const RestoreOutcome& out, const std::string& error);

    Workspace& m_ws;
    TBackupSettings m_settings;
    RestoreView& m_view;
    FilePlacer& m_placer;
    std::vector<CopyEntries> m_copies;
    CopyEntries* m_copy = nullptr;
    std::string m_folder;
    std::string m_filter;        // as typed
    std::uint64_t m_search = 0;  // the search shown, while a filter is set
    std::size_t m_hits = 0;
    bool m_showDeleted = false;
    std::vector<std::string> m_selected;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_restoring = false;
    CopySearch m_searcher;  // last: stopped first, before what its batches reach
};

// What the window says a restore did: "恢复完毕：已恢复 3 个文件（其中 1 个以新名称保存），
// 2 个文件已相同，0 项未能恢复", every file written counted, those beside what was kept too;
// "恢复已取消：…" when it was stopped.
std::string restoreHeadline(const RestoreOutcome& out);

}  // namespace vantrel
