// vantrel.exe: the Windows window. Usage: vantrel [--minimized] [--workdir DIR] [--restore PATH]
#include <windows.h>

#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "engine/Settings.h"
#include "engine/places/JobRegistry.h"
#include "engine/run/BackupJob.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"
#include "winshell/Dialogs.h"
#include "winshell/LogWindow.h"
#include "winshell/MainWindow.h"
#include "winshell/RestoreWindow.h"
#include "winshell/SingleInstance.h"
#include "winshell/WinText.h"

namespace {

using namespace vantrel;

constexpr char kUsage[] =
    "用法：vantrel [--minimized] [--backup] [--workdir 目录]\n\n"
    "--minimized\t在通知区域中启动。\n"
    "--backup\t不打开窗口，按 config.ini 备份一次（系统计划任务用）。\n"
    "--workdir 目录\t工作目录（config.ini、wenjianming.mdb、Log 所在）；默认为当前目录。\n"
    "--restore 路径\t打开包含该路径的备份任务的恢复文件窗口，显示该文件夹，"
    "或选中该文件并显示其各个版本（资源管理器中的“以前的版本（Vantrel）”即如此启动）。";

struct Options {
    bool minimized = false;
    bool backup = false;  // --backup: one backup without a window, as the system's task starts it
    std::optional<std::wstring> workDir;
    std::optional<std::wstring> restore;  // --restore PATH
};

// -minimized as well as --minimized, as shortcuts made by hand may spell it.
std::optional<Options> parseOptions() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr) {
        return std::nullopt;
    }
    const std::vector<std::wstring> given(args + 1, args + count);
    LocalFree(args);
    Options options;
    for (std::size_t i = 0; i < given.size(); ++i) {
        const std::wstring& arg = given[i];
        if (arg == L"--minimized" || arg == L"-minimized") {
            options.minimized = true;
        } else if (arg == L"--backup") {
            options.backup = true;
        } else if ((arg == L"--workdir" || arg == L"-workdir") && i + 1 < given.size()) {
            options.workDir = given[++i];
        } else if (arg.starts_with(L"--workdir=")) {
            options.workDir = arg.substr(10);
        } else if ((arg == L"--restore" || arg == L"-restore") && i + 1 < given.size()) {
            options.restore = given[++i];
        } else if (arg.starts_with(L"--restore=")) {
            options.restore = arg.substr(10);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// The working directory: --workdir (relative to the current directory), else the current
// directory, as a copy of the program started in a folder works in that folder. A --workdir
// that does not exist is refused, not made.
std::optional<std::filesystem::path> workingDirectory(const Options& options) {
    std::error_code ec;
    const std::filesystem::path given =
        options.workDir ? std::filesystem::path(*options.workDir) : std::filesystem::path(L".");
    std::filesystem::path dir = std::filesystem::absolute(given, ec).lexically_normal();
    if (ec || !std::filesystem::is_directory(dir, ec)) {
        return std::nullopt;
    }
    if (!dir.has_filename() && dir.has_relative_path()) {
        dir = dir.parent_path();
    }
    return dir;
}

// A run nobody watches: what it says is kept in the history row and the log only.
class SilentUi final : public BackupUi {
public:
    void setStatus(std::string_view) override {}
    void showMessage(std::string_view) override {}
};

// One backup of the job as vantrel-cli backup makes it (settings checked, pruned after), with
// no window and no console: the entry point of the job's Task Scheduler task. Exit status as
// vantrel-cli's: 0 done, 1 failed, 2 refused, 3 done with a warning.
int backUpWithoutWindow(const std::filesystem::path& dir, FileOps& files, const Clock& clock) {
    SilentUi ui;
    Workspace ws{dir, files, clock, ui};
    TBackupSettings settings;
    try {
        LoadSettings(ws, settings);
        std::error_code ec;
        std::filesystem::create_directories(ws.logFile().parent_path(), ec);
        BackupJob job(ws);
        const RunResult result =
            job.execute(settings, RunRequest::forTrigger(RunTrigger::CommandLine));
        if (result.error || result.record.outcome == RunOutcome::Cancelled) {
            return 1;
        }
        if (result.record.outcome == RunOutcome::Refused) {
            return 2;
        }
        return result.report.hasWarning() ? 3 : 0;
    } catch (const std::exception&) {
        return 2;  // config.ini could not be read
    }
}

class OleApartment {
public:
    OleApartment() : m_ok(SUCCEEDED(OleInitialize(nullptr))) {}
    OleApartment(const OleApartment&) = delete;
    OleApartment& operator=(const OleApartment&) = delete;
    ~OleApartment() {
        if (m_ok) {
            OleUninitialize();
        }
    }

private:
    bool m_ok;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const std::optional<Options> options = parseOptions();
    if (!options) {
        showMessage(nullptr, kUsage);
        return 2;
    }
    SystemClock clock;
    RealFileOps files;
    std::optional<std::filesystem::path> dir;
    std::string restorePath;  // as it lies in the job's source
    std::error_code ec;
    const std::string given =
        options->restore
            ? pathToUtf8(std::filesystem::absolute(*options->restore, ec).lexically_normal())
            : std::string();
    if (options->restore && !options->workDir) {
        // The job is the one whose source holds the path, wherever the program was started.
        try {
            const JobForPath job = findJobFor(files, clock, JobRegistry::forUser().jobs(), given);
            dir = job.dir;
            restorePath = job.path;
        } catch (const std::exception& e) {
            showMessage(nullptr, e.what());
            return 2;
        }
    } else {
        dir = workingDirectory(*options);
        if (!dir) {
            showMessage(nullptr, "工作目录不可用：" + toUtf8(options->workDir.value_or(L".")));
            return 2;
        }
        restorePath = given;
    }
    // As when started in it: the folder pickers open there.
    SetCurrentDirectoryW(dir->c_str());
    if (!options->backup) {
        // So that a path the file manager hands over can be found in this job.
        JobRegistry::forUser().remember(*dir);
    }
    if (options->backup) {
        return backUpWithoutWindow(*dir, files, clock);
    }
    SingleInstance instanceOfDir(files, *dir);
    if (!instanceOfDir.claim()) {
        instanceOfDir.activateFirst(options->restore ? toWide(restorePath) : std::wstring());
        return 0;
    }

    // The folder browser's new style needs OLE in this thread's apartment.
    OleApartment ole;
    const INITCOMMONCONTROLSEX controls{
        sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_DATE_CLASSES |
                             ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    TMainForm::registerClass(instance);
    TLogShowForm::registerClass(instance);
    TRestoreForm::registerClass(instance);

    TMainForm form(*dir, files, clock);
    if (!form.create()) {
        return 1;
    }
    instanceOfDir.mark(form.window());
    form.start(showCommand, options->minimized && !options->restore);
    if (options->restore) {
        form.openRestoreAt(restorePath);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab, arrow keys and Enter move between a window's controls as in a dialog.
        HWND top = GetAncestor(message.hwnd, GA_ROOT);
        if (top != nullptr && IsDialogMessageW(top, &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // A run under way ends before the program does; meanwhile a new start in the directory
    // gets a window of its own, which the run's lock keeps from starting a second run.
    instanceOfDir.release();
    return static_cast<int>(message.wParam);
}
