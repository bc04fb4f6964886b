#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/FormFields.h"
#include "engine/BackupSettings.h"
#include "engine/rules/JobHealth.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// The job's health as the status area and the tray show it.
struct HealthView {
    JobHealth::State state = JobHealth::State::Never;
    std::uint32_t colour = 0x757575;  // of the state's mark, as 0xRRGGBB
    std::string summary;              // "备份状态：正常"
    std::string lastComplete;         // "上次完整备份：2014-05-22 09:59（1 天前）"
    std::string lastCheck;            // "上次校验：2014-05-22（完好）"
    std::string nextRun;              // "下次备份：2014-05-29 09:59:50（星期四）"
    bool alarm = false;               // failed or overdue: the tray icon carries a red mark
    bool changesHeld = false;         // the guard holds pruning: "确认变化" is offered
};

// The copy under way, as the status bar shows it.
struct ProgressView {
    std::string status;  // status panel 1: "文件备份中…… 12/40 个文件，3.4 MB/10.0 MB"
    int permille = -1;   // share done in thousandths; -1 while it cannot be told
    std::string timeLeft;  // "剩余约 3 分 5 秒"; empty until it can be told
};

enum class Severity { Information, Warning, Critical };

// The answers to the question on unsaved changes.
enum class SaveAnswer { Save, Discard, Cancel };

// What a main window draws, and the few questions it asks the user. The presenter calls
// every method on the window's own thread; `post` is the one way work comes back there.
class JobView {
public:
    virtual ~JobView() = default;

    // The fields as they are now, and new values for them.
    virtual FormFields fields() const = 0;
    virtual void showFields(const FormFields& fields) = 0;
    virtual void showKeepText(std::string_view text) = 0;
    virtual void showSource(std::string_view path) = 0;
    virtual void showTarget(std::string_view path) = 0;
    virtual void showExcludeRules(std::string_view rules) = 0;

    // Status panel 0 (set once, when the window is first shown) and status panel 1.
    virtual void showWorkingDirectory(std::string_view text) = 0;
    virtual void showStatus(std::string_view text) = 0;

    // The plain box (no icon, the program's title, one OK button).
    virtual void showMessage(std::string_view text) = 0;
    // The plain box with a list under it, one entry a line.
    virtual void showList(std::string_view text, const std::vector<std::string>& items) = 0;
    // The Yes/No question: Yes the default, Escape and the box's close button answer No.
    virtual bool confirm(std::string_view question) = 0;
    // The question on unsaved changes: 保存 (the default), 不保存 and 取消; Escape and the box's
    // close button answer 取消.
    virtual SaveAnswer askSave(std::string_view question) = 0;
    // The folder browser (folders only); none when cancelled. The path comes back with the
    // platform's own separators.
    virtual std::optional<std::string> pickFolder(std::string_view prompt) = 0;

    // While a run lasts: the three schedule commands off, progress and 取消 shown.
    virtual void showRunning(bool running) = 0;
    virtual void showProgress(const ProgressView& progress) = 0;
    virtual void showHealth(const HealthView& health) = 0;
    // The tray icon's tooltip and mark; kept for when the icon is shown.
    virtual void showTray(std::string_view toolTip, bool alarm) = 0;
    // A balloon from the tray icon; false when the window is not in the tray or the desktop
    // cannot show one.
    virtual bool notify(std::string_view title, std::string_view text, Severity severity) = 0;

    // The window back from the tray, or from behind others, in front.
    virtual void showWindow() = 0;
    // The program ends: the window closes without asking again.
    virtual void endProgram() = 0;

    // The one-second timer (FileTimer2), which calls JobPresenter::tick.
    virtual void setTicking(bool on) = 0;
    // Opens a log viewer on the log file and the run history kept in the record database
    // (a new one each time).
    virtual void openLogViewer(const std::filesystem::path& logFile,
                               const std::filesystem::path& dbFile) = 0;
    // Opens the restore window ("恢复文件") on the job's copies of the source in `settings`.
    virtual void openRestoreWindow(Workspace& ws, const TBackupSettings& settings) = 0;

    // Runs `fn` on the window's thread, soon, in the order posted; callable from any thread.
    // Work posted to a window that is gone is dropped.
    virtual void post(std::function<void()> fn) = 0;
};

}  // namespace vantrel
