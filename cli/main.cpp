// vantrel-cli: the headless front end. Works in the current directory like the window does.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "cli/CliUi.h"
#include "cli/Commands.h"
#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "platform/Clock.h"
#include "platform/ErrorText.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#include <csignal>
#endif

namespace {

constexpr std::string_view kUsage =
    "用法：vantrel-cli <命令>\n"
    "\n"
    "在当前目录中工作：config.ini、wenjianming.mdb 和 Log 文件夹都在这里。\n"
    "\n"
    "命令：\n"
    "  backup     按 config.ini 的设置立即备份一次，设有备份个数时清理旧的备份\n"
    "  schedule   按 config.ini 的每周计划在前台运行，直到收到 SIGINT 或 SIGTERM\n"
    "  log        显示操作日志\n"
    "  list       显示备份记录，最新的在前：编号、日期、路径、是否完整\n"
    "  status     显示备份状态、上次完整备份和下次备份\n"
    "  history    显示每次备份的经过，最新的在前：开始、结束、起因、结果、文件数、字节数、\n"
    "             备份路径、说明\n"
    "  verify [yyyymmdd]\n"
    "             按备份时记下的清单逐项核对最新的（或该日期的）备份，\n"
    "             列出缺少、改动和多出的项；完好时退出状态为 0，否则为 1\n"
    "  --help     显示本说明\n"
    "  --version  显示版本\n"
    "\n"
    "退出状态：0 成功；1 备份或操作失败；2 设置无效或命令有误；\n"
    "          3 备份已完成，但有未能复制的项或无法删除的旧备份。\n"
    "status 的退出状态：0 正常；3 警告；4 失败、已逾期或从未备份。\n";

bool isTerminal(std::FILE* out) {
#ifdef _WIN32
    return _isatty(_fileno(out)) != 0;
#else
    return ::isatty(::fileno(out)) != 0;
#endif
}

std::string_view g_verifyDate;  // the date verify was given, if any

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

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#else
    // A closed standard output (a pipe to "head") must never end a run half way.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (argc < 2) {
        return usageError("缺少命令。");
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        print(stdout, kUsage);
        return cli::kOk;
    }
    if (command == "--version") {
        print(stdout, "vantrel-cli " VANTREL_VERSION "\n");
        return cli::kOk;
    }
    // Commands that only read: they never make the log folder, the database or a lock file.
    bool readsOnly = true;
    int (*run)(Workspace&) = nullptr;
    if (command == "backup") {
        run = cli::runBackup;
        readsOnly = false;
    } else if (command == "schedule") {
        run = cli::runSchedule;
        readsOnly = false;
    } else if (command == "log") {
        run = cli::printLog;
    } else if (command == "list") {
        run = cli::printList;
    } else if (command == "status") {
        run = cli::printStatus;
    } else if (command == "history") {
        run = cli::printHistory;
    } else if (command == "verify") {
        run = [](Workspace& ws) { return cli::verifyCopy(ws, g_verifyDate); };
    } else {
        return usageError("未知的命令：" + std::string(command));
    }
    // Only verify takes an argument: an optional date of eight digits.
    if (argc > 2) {
        const std::string_view argument = argv[2];
        if (command != "verify" || argc > 3) {
            return usageError("命令 " + std::string(command) + " 不接受参数“" +
                              std::string(argv[command == "verify" ? 3 : 2]) + "”。");
        }
        if (!isDate(argument)) {
            return usageError("日期应为 8 位数字（yyyymmdd）：“" + std::string(argument) + "”。");
        }
        g_verifyDate = argument;
    }

    SystemClock clock;
    RealFileOps files;
    // Progress goes to a terminal only; cron mails and pipes get the status lines alone.
    cli::CliUi ui(command == "schedule" ? &clock : nullptr, isTerminal(stdout));
    try {
        Workspace ws{std::filesystem::current_path(), files, clock, ui};
        std::error_code ec;
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
            BackupRecordStore::CreateIfMissing(ws.databaseFile());
        }
        return run(ws);
    } catch (const std::exception& e) {
        ui.error(e.what());
        return cli::kFailed;
    }
}
