// vantrel-cli: the headless front end. Works in the current directory like the window does.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliUi.h"
#include "cli/Commands.h"
#include "engine/BackupError.h"
#include "engine/places/JobRegistry.h"
#include "engine/places/SourcePath.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/restore/Drill.h"
#include "engine/restore/Restore.h"
#include "engine/run/BackupRun.h"
#include "platform/Clock.h"
#include "platform/ErrorText.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <shellapi.h>
#else
#include <unistd.h>
#include <csignal>
#endif

namespace {

constexpr std::string_view kUsage =
    "用法：vantrel-cli <命令> [参数]\n"
    "\n"
    "在当前目录中工作：config.ini、wenjianming.mdb 和 Log 文件夹都在这里。\n"
    "\n"
    "命令：\n"
    "  backup     按 config.ini 的设置立即备份一次，设有备份个数时清理旧的备份\n"
    "  schedule   按 config.ini 的每周计划在前台运行，直到收到 SIGINT 或 SIGTERM\n"
    "  log        显示操作日志\n"
    "  list       显示备份记录，最新的在前：编号、日期、路径、是否完整，永久保留的另注\n"
    "             “永久保留”\n"
    "  status     显示备份状态、上次完整备份、上次校验和下次备份\n"
    "  history    显示每次备份的经过，最新的在前：开始、结束、起因、结果、文件数、字节数、\n"
    "             备份路径、相对于上一个备份新增、修改和删除的项数、说明\n"
    "  drill [--files N]\n"
    "             恢复演练：从最新的完整备份随机恢复 N 个文件（默认 20）和最大的 3 个文件到\n"
    "             临时文件夹，与清单的校验值比对后删除；通过时退出状态为 0，否则为 1\n"
    "  verify [yyyymmdd]\n"
    "             按备份时记下的清单逐项核对最新的（或该日期的）备份，\n"
    "             列出缺少、改动和多出的项；完好时退出状态为 0，否则为 1\n"
    "  excluded   列出排除规则现在从源文件夹中排除的项（路径和大小，文件夹只列一次），\n"
    "             最后一行为“排除 N 项，共 X”；规则有误时退出状态为 2\n"
    "  pin yyyymmdd\n"
    "             永久保留该日期的备份：清理时从不删除，也不计入备份个数\n"
    "  unpin yyyymmdd\n"
    "             取消该日期备份的永久保留；没有该日期的备份时退出状态为 1\n"
    "  prune --preview\n"
    "             按现有的备份列出下次清理时每个备份的去留及原因，不删除任何备份\n"
    "  versions <路径>\n"
    "             列出包含该文件或文件夹的每个备份，最新的在前：日期、大小（字节）、\n"
    "             修改时间，与上一行相同时加“同上”；有备份包含它时退出状态为 0，否则为 1\n"
    "  restore [--from yyyymmdd] [--to 文件夹] [--overwrite] <路径>...\n"
    "             从包含它的最新完整备份（或该日期的备份）恢复文件或文件夹，“.”为整个源\n"
    "             文件夹；默认恢复到原位置，--to 时恢复到该文件夹下并保持相对于源的路径。\n"
    "             目的地已有相同的文件时不动它；已有不同的文件时保留它，恢复的文件另存为\n"
    "             “<名称> (恢复 yyyymmdd)<扩展名>”，--overwrite 时替换它。\n"
    "             退出状态：0 全部恢复；3 有的项未能恢复；1 没有可恢复的\n"
    "  changes [yyyymmdd]\n"
    "             列出最新的（或该日期的）备份相对于上一个备份新增、修改和删除的项\n"
    "  task install|remove|status\n"
    "             登记、删除或显示此任务的系统计划任务（Windows 为任务计划程序中的任务，\n"
    "             其他系统为 systemd 用户定时器 vantrel-backup@.timer），按 config.ini 的\n"
    "             每周计划在没有窗口时备份；status 在没有登记时退出状态为 1\n"
    "  task remove --all\n"
    "             删除当前用户所有任务的系统计划任务（不论工作目录在哪里），显示删除的个数；\n"
    "             不需要 config.ini\n"
    "  confirm-changes\n"
    "             确认异常变化保护发现的大量变化，此后旧备份照常清理\n"
    "  notify-test\n"
    "             向 config.ini 中的通知网址发送一条测试通知；服务器回答 2xx 时退出状态为 0，\n"
    "             否则为 1 并说明原因（没有应答、TLS 失败、HTTP 状态和错误内容）\n"
    "  --help     显示本说明\n"
    "  --version  显示版本\n"
    "\n"
    "路径：源文件夹中的文件或文件夹，绝对路径或相对于源文件夹的路径。当前目录不是备份任务的\n"
    "工作目录时，versions 和 restore 按绝对路径在用过的备份任务中找到包含它的任务（源文件夹\n"
    "最深的那个）；备份中的路径视同源文件夹中的同一路径。\n"
    "\n"
    "退出状态：0 成功；1 备份或操作失败；2 设置无效或命令有误；\n"
    "          3 备份已完成，但有未能复制的项、无法删除的旧备份或异常变化。\n"
    "status 的退出状态：0 正常；3 警告；4 失败、已逾期或从未备份。\n";

bool isTerminal(std::FILE* out) {
#ifdef _WIN32
    return _isatty(_fileno(out)) != 0;
#else
    return ::isatty(::fileno(out)) != 0;
#endif
}

void print(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

// Says what was wrong with the command line, then how it is used.
int usageError(const std::string& problem) {
    print(stderr, problem + "\n\n");
    print(stderr, kUsage);
    return vantrel::cli::kRefused;
}

bool isDate(std::string_view text) {
    return text.size() == 8 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// restore's options and paths; the exit status of the usage error when they are wrong.
std::optional<int> parseRestore(const std::vector<std::string>& args,
                                vantrel::RestoreRequest& request) {
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--overwrite") {
            request.overwrite = true;
        } else if (options && arg == "--from") {
            if (i + 1 == args.size() || !isDate(args[i + 1])) {
                return usageError("选项 --from 需要一个 8 位数字的日期（yyyymmdd）。");
            }
            request.fromDate = args[++i];
        } else if (options && arg == "--to") {
            if (i + 1 == args.size() || args[i + 1].empty()) {
                return usageError("选项 --to 需要一个文件夹。");
            }
            request.to = args[++i];
        } else if (options && arg.size() > 1 && arg.starts_with("--")) {
            return usageError("未知的选项：" + arg);
        } else {
            request.paths.push_back(arg);
        }
    }
    if (request.paths.empty()) {
        return usageError("命令 restore 需要至少一个路径（“.”为整个源文件夹）。");
    }
    return std::nullopt;
}

// The command line as UTF-8. Windows hands main() its arguments in the ANSI code page, which
// cannot hold every name; the wide command line can.
std::vector<std::string> utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; wide != nullptr && i < count; ++i) {
        args.push_back(vantrel::pathToUtf8(std::filesystem::path(wide[i])));
    }
    LocalFree(wide);
    if (static_cast<int>(args.size()) == argc) {
        return args;
    }
#endif
    return std::vector<std::string>(argv, argv + argc);
}

#ifdef _WIN32
// The console closed, the user logging off or the system shutting down: the run under way is
// cancelled, and this returns (letting the system end the process) once it has removed its
// unfinished copy and written its history row, or after 20 s.
BOOL WINAPI onConsoleControl(DWORD event) {
    const char* why = nullptr;
    switch (event) {
        case CTRL_CLOSE_EVENT:
            why = "已取消：命令行窗口被关闭";
            break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            why = vantrel::kCancelledBySessionEnd;
            break;
        default:
            return FALSE;  // Ctrl+C and Ctrl+Break reach the C runtime's SIGINT
    }
    vantrel::cli::cancelForShutdown(why);
    for (int i = 0; i < 800 && vantrel::cli::runUnderWay(); ++i) {
        Sleep(25);
    }
    return TRUE;
}

// Windows sends log-off and shutdown to the console handler only of processes that load no
// user32; this one does, so a hidden window of its own hears them instead, as the window does.
LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_QUERYENDSESSION) {
        vantrel::cli::cancelForShutdown(vantrel::kCancelledBySessionEnd);
        return TRUE;
    }
    if (message == WM_ENDSESSION && wparam != 0) {
        onConsoleControl(CTRL_SHUTDOWN_EVENT);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// Starts the thread that owns the hidden window and pumps its messages for the process's life.
void listenForSessionEnd() {
    static const HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = onSessionMessage;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"VantrelCliSession";
            if (RegisterClassW(&windowClass) == 0 ||
                CreateWindowExW(0, windowClass.lpszClassName, L"vantrel-cli", 0, 0, 0, 0, 0,
                                nullptr, nullptr, windowClass.hInstance, nullptr) == nullptr) {
                return 1;
            }
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0) {
                DispatchMessageW(&message);
            }
            return 0;
        },
        nullptr, 0, nullptr);
    (void)thread;
}
#endif

// The window's program beside this one: the task's windowless entry point.
std::filesystem::path windowProgram() {
#ifdef _WIN32
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (n < self.size()) {
            self.resize(n);
            break;
        }
        self.resize(self.size() * 2);
    }
    return std::filesystem::path(self).parent_path() / L"vantrel.exe";
#else
    return {};
#endif
}

// Outside a job's folder, versions and restore find the job an absolute path lies in among
// those this user has worked in; its paths are then taken as they lie in that job's source
// (a path inside one of its copies as the source's). None when the first path is relative.
// Throws RequestRefused when no job holds it.
std::optional<std::filesystem::path> jobOfPaths(vantrel::FileOps& files,
                                                const vantrel::Clock& clock,
                                                std::vector<std::string>& paths) {
    using namespace vantrel;
    if (paths.empty() || !pathFromUtf8(paths.front()).is_absolute()) {
        return std::nullopt;
    }
    const JobForPath job = findJobFor(files, clock, JobRegistry::forUser().jobs(), paths.front());
    for (std::string& path : paths) {
        if (pathFromUtf8(path).is_absolute()) {
            try {
                path = findJobFor(files, clock, {job.dir}, path).path;
            } catch (const RequestRefused&) {
                // left as given: the command says it is not in the source
            }
        }
    }
    return job.dir;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    listenForSessionEnd();
#else
    // A closed standard output (a pipe to "head") must never end a run half way.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const std::vector<std::string> arguments = utf8Arguments(argc, argv);
    if (arguments.size() < 2) {
        return usageError("缺少命令。");
    }
    const std::string_view command = arguments[1];
    if (command == "--help" || command == "-h") {
        print(stdout, kUsage);
        return cli::kOk;
    }
    if (command == "--version") {
        print(stdout, "vantrel-cli " VANTREL_VERSION "\n");
        return cli::kOk;
    }
    std::vector<std::string> args(arguments.begin() + 2, arguments.end());
    const auto refuseArguments = [&]() -> std::optional<int> {
        if (!args.empty()) {
            return usageError("命令 " + std::string(command) + " 不接受参数“" + args.front() +
                              "”。");
        }
        return std::nullopt;
    };
    // An optional date of eight digits, for verify and changes.
    std::string date;
    const auto takeDate = [&]() -> std::optional<int> {
        if (args.size() > 1) {
            return usageError("命令 " + std::string(command) + " 不接受参数“" + args[1] + "”。");
        }
        if (!args.empty() && !isDate(args.front())) {
            return usageError("日期应为 8 位数字（yyyymmdd）：“" + args.front() + "”。");
        }
        date = args.empty() ? std::string() : args.front();
        return std::nullopt;
    };

    // Commands that only read the job: they never make the log folder, the database or a lock
    // file.
    bool readsOnly = true;
    std::function<int(Workspace&)> run;
    std::optional<int> wrong;
    RestoreRequest restoreRequest;
    if (command == "backup" || command == "schedule") {
        run = command == "backup" ? cli::runBackup : cli::runSchedule;
        readsOnly = false;
        wrong = refuseArguments();
    } else if (command == "log" || command == "list" || command == "status" ||
               command == "history" || command == "confirm-changes" || command == "notify-test") {
        run = command == "log"           ? cli::printLog
              : command == "list"        ? cli::printList
              : command == "status"      ? cli::printStatus
              : command == "history"     ? cli::printHistory
              : command == "notify-test" ? cli::notifyTest
                                         : cli::confirmChanges;
        wrong = refuseArguments();
    } else if (command == "verify" || command == "changes") {
        wrong = takeDate();
        const bool verify = command == "verify";
        run = [&date, verify](Workspace& ws) {
            return verify ? cli::verifyCopy(ws, date) : cli::printChanges(ws, date);
        };
    } else if (command == "drill") {
        std::size_t files = kDrillFiles;
        if (args.size() == 2 && args[0] == "--files") {
            const std::string& n = args[1];
            std::size_t parsed = 0;
            const bool digits =
                !n.empty() && n.size() <= 6 &&
                std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (digits) {
                parsed = static_cast<std::size_t>(std::stoul(n));
            }
            if (parsed == 0) {
                wrong = usageError("--files 应为 1 到 999999 之间的整数：“" + n + "”。");
            }
            files = parsed;
        } else if (!args.empty()) {
            wrong = usageError("命令 drill 只接受 --files N。");
        }
        run = [files](Workspace& ws) { return cli::drill(ws, files); };
    } else if (command == "versions") {
        if (args.size() != 1) {
            wrong = usageError(args.empty() ? "命令 versions 需要一个路径。"
                                            : "命令 versions 不接受参数“" + args[1] + "”。");
        }
        run = [&args](Workspace& ws) { return cli::printVersions(ws, args.front()); };
    } else if (command == "restore") {
        wrong = parseRestore(args, restoreRequest);
        run = [&restoreRequest](Workspace& ws) { return cli::restore(ws, restoreRequest); };
    } else if (command == "task") {
        if (args.size() == 2 && args[0] == "remove" && args[1] == "--all") {
            try {
                return cli::removeEveryTask();
            } catch (const std::exception& e) {
                print(stderr, std::string(e.what()) + "\n");
                return cli::kFailed;
            }
        }
        if (args.size() != 1 ||
            (args.front() != "install" && args.front() != "remove" && args.front() != "status")) {
            wrong = usageError("命令 task 需要 install、remove、remove --all 或 status 之一。");
        }
        run = [&args](Workspace& ws) { return cli::manageTask(ws, args.front(), windowProgram()); };
    } else if (command == "excluded") {
        run = cli::printExcluded;
        wrong = refuseArguments();
    } else if (command == "pin" || command == "unpin") {
        if (args.size() > 1) {
            wrong = usageError("命令 " + std::string(command) + " 不接受参数“" + args[1] + "”。");
        } else if (args.empty()) {
            wrong = usageError("命令 " + std::string(command) + " 需要日期（yyyymmdd）。");
        } else {
            wrong = takeDate();
        }
        const bool pin = command == "pin";
        run = [&date, pin](Workspace& ws) { return cli::pinCopy(ws, date, pin); };
    } else if (command == "prune") {
        if (args.empty()) {
            wrong = usageError("命令 prune 需要参数 --preview。");
        } else if (args.front() != "--preview") {
            wrong =
                usageError("命令 prune 不接受参数“" + args.front() + "”，只能用 prune --preview。");
        } else if (args.size() > 1) {
            wrong = usageError("命令 prune 不接受参数“" + args[1] + "”。");
        }
        run = cli::previewPrune;
    } else {
        return usageError("未知的命令：" + std::string(command));
    }
    if (wrong) {
        return *wrong;
    }

    SystemClock clock;
    RealFileOps files;
    // Progress goes to a terminal only; cron mails and pipes get the status lines alone.
    cli::CliUi ui(command == "schedule" ? &clock : nullptr, isTerminal(stdout));
    try {
        std::filesystem::path dir = std::filesystem::current_path();
        std::error_code ec;
        if (!std::filesystem::exists(dir / "config.ini", ec) &&
            (command == "versions" || command == "restore")) {
            if (const auto job =
                    jobOfPaths(files, clock, command == "versions" ? args : restoreRequest.paths)) {
                dir = *job;
                // A --to relative to the folder the command was given in, not the job's.
                if (!restoreRequest.to.empty()) {
                    restoreRequest.to =
                        pathToUtf8(std::filesystem::absolute(pathFromUtf8(restoreRequest.to))
                                       .lexically_normal());
                }
            }
        }
        Workspace ws{dir, files, clock, ui};
        if (!std::filesystem::exists(ws.configFile(), ec)) {
            ui.error("当前目录“" + pathToUtf8(ws.dir) +
                     "”中没有配置文件 config.ini，不是备份任务的工作目录：请在任务的目录中运行，"
                     "或先在窗口中保存配置信息。");
            return cli::kRefused;
        }
        if (!readsOnly) {
            // As the window does at start-up: the log folder and the record database exist.
            std::filesystem::create_directories(ws.logFile().parent_path(), ec);
            if (ec) {
                throw BackupError("无法创建文件夹“" + pathToUtf8(ws.logFile().parent_path()) +
                                  "”：" + describeError(ec));
            }
            openOrMakeRecords(ws);
        }
        // So that a path the file manager hands over can be found in this job.
        JobRegistry::forUser().remember(ws.dir);
        return run(ws);
    } catch (const RequestRefused& e) {
        ui.error(e.what());
        return cli::kRefused;
    } catch (const std::exception& e) {
        ui.error(e.what());
        return cli::kFailed;
    }
}
