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

// One entry of the folder shown.
struct RestoreEntryRow {
    std::string path;  // below the source, "/" between names: what the window hands back
    std::string name;
    bool folder = false;
    std::string size;      // "" for a folder
    std::string modified;  // "2026-12-01 09:30:00"
    bool deleted = false;  // the source no longer has it (a folder: something under it)
};

// What the restore window ("恢复文件") draws, and what it asks. Every call comes on the
// window's thread; `post` is the one way work comes back there.
class RestoreView {
public:
    virtual ~RestoreView() = default;

    virtual void showCopies(const std::vector<RestoreCopyRow>& copies, std::int64_t chosen) = 0;
    // The chosen copy's folder (`folder`: "" for its top; the text above the list).
    virtual void showEntries(std::string_view folder, const std::vector<RestoreEntryRow>& rows) = 0;
    // The command that keeps the chosen copy for good or takes that mark away: its caption
    // ("永久保留", "取消永久保留"), and whether a copy is chosen for it.
    virtual void showPinCommand(std::string_view caption, bool enabled) = 0;
    // Marks the entry `path` of the folder shown as the chosen one (an entry opened from
    // outside, as from the file manager), without handing the choice back.
    virtual void showChosenEntry(std::string_view path) { (void)path; }
    // The versions of the chosen entry, one line each ("2026-12-01\t5\t… \t同上"), newest first.
    virtual void showVersions(const std::vector<std::string>& lines) = 0;
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
