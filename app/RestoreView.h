#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/JobView.h"

namespace vantrel {

// One of the job's copies, as the restore window lists them. All text is UTF-8.
struct RestoreCopyRow {
    std::int64_t id = 0;  // the copy's row, which the window hands back when one is chosen
    std::string date;     // "2026-12-01"
    std::string state;    // "完整", "不完整", "已不存在"
    std::string files;    // "20000", or "" when not known
    std::string size;     // "1.2 GB", or ""
    // "完好（2026-12-02 核对）", "完好（…，未核对内容）", "与清单不符（…）", "未核对"
    std::string verified;
    bool pinned = false;  // kept for good: "永久保留"
};

// One entry of the folder shown, or one found by a search.
struct RestoreEntryRow {
    std::string path;  // below the source, "/" between names: what the window hands back
    std::string name;
    // A search's find: the folder it lies in as shown ("报表\2024" on Windows, "报表/2024"
    // elsewhere; "（源文件夹）" for the top).
    std::string where;
    bool folder = false;
    std::string size;      // "" for a folder
    std::string modified;  // "2026-12-01 09:30:00"
    // 显示已删除的文件: "已删除" when the source no longer has it, "含已删除的文件" for a
    // folder the source still has that lost something under it; else "".
    std::string deleted;
    bool chosen = false;  // shown chosen (a path the window was opened at)
};

// One version of the chosen entry: the copy's date, its size ("1.2 MB"; for a folder what
// its files add up to), its time, and "同上" when it is the same as the version above.
struct RestoreVersionRow {
    std::string date;
    std::string size;
    std::string modified;
    std::string same;
};

// What the restore window ("恢复文件") draws, and what it asks. Every call comes on the
// window's thread; `post` is the one way work comes back there.
class RestoreView {
public:
    virtual ~RestoreView() = default;

    virtual void showCopies(const std::vector<RestoreCopyRow>& copies, std::int64_t chosen) = 0;
    // The chosen copy's folder (`folder`: "" for its top, else as shown, "\" between names
    // on Windows; the text above the list).
    virtual void showEntries(std::string_view folder, const std::vector<RestoreEntryRow>& rows) = 0;
    // What a search of the whole copy found, in batches as it goes: `fresh` starts the list
    // anew, else `rows` are added to it. `status` is the line above the list ("查找“3月”……",
    // "查找“3月”：找到 12 项"). The rows carry their folder (`where`).
    virtual void showHits(std::string_view status, const std::vector<RestoreEntryRow>& rows,
                          bool fresh) = 0;
    // The text of the name filter, when it is changed for the user (a find opened).
    virtual void showFilter(std::string_view text) = 0;
    // The command that keeps the chosen copy for good or takes that mark away: its caption
    // ("永久保留", "取消永久保留"), and whether a copy is chosen for it.
    virtual void showPinCommand(std::string_view caption, bool enabled) = 0;
    // The versions of the chosen entry, newest first.
    virtual void showVersions(const std::vector<RestoreVersionRow>& rows) = 0;
    // While a restore runs: the commands off, progress and 取消 shown.
    virtual void showRestoring(bool running) = 0;
    virtual void showProgress(const ProgressView& progress) = 0;
    // What a restore did: the summary, then each file kept beside and each failure.
    virtual void showSummary(std::string_view summary, const std::vector<std::string>& details) = 0;
    virtual void showMessage(std::string_view text) = 0;
    // A folder browser; none when cancelled.
    virtual std::optional<std::string> pickFolder(std::string_view prompt) = 0;
    // Opens the folder in the system's file manager.
    virtual void openInFileManager(const std::filesystem::path& folder) = 0;
    // Runs `fn` on the window's thread, soon; callable from any thread.
    virtual void post(std::function<void()> fn) = 0;
};

}  // namespace vantrel
