// vantrel-cli: the headless front end. Works in the current directory like the window does.

#include <cstdio>
#include <exception>
#include <filesystem>
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

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#else
    // A closed standard output (a pipe to "head") must never end a run half way.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const std::string_view command = argc >= 2 ? argv[1] : "";
    // Only verify takes an argument: an optional date of eight digits.
    const std::string_view argument = argc == 3 ? argv[2] : "";
    const bool dateOk =
        argument.empty() || (argument.size() == 8 &&
                             argument.find_first_not_of("0123456789") == std::string_view::npos);
    if (argc > 3 || (argc == 3 && (command != "verify" || !dateOk))) {
        print(stderr, kUsage);
        return cli::kRefused;
    }
    if (command == "--help" || command == "-h") {
        print(stdout, kUsage);
        return cli::kOk;
    }
    if (command == "--version") {
        print(stdout, "vantrel-cli " VANTREL_VERSION "\n");
        return cli::kOk;
    }
    g_verifyDate = argument;
    int (*run)(Workspace&) = nullptr;
    if (command == "backup") {
        run = cli::runBackup;
    } else if (command == "schedule") {
        run = cli::runSchedule;
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
        print(stderr, kUsage);
        return cli::kRefused;
    }

    SystemClock clock;
    RealFileOps files;
    // Progress goes to a terminal only; cron mails and pipes get the status lines alone.
    cli::CliUi ui(command == "schedule" ? &clock : nullptr, isTerminal(stdout));
    try {
        Workspace ws{std::filesystem::current_path(), files, clock, ui};
        // As the window does at start-up: the log folder and the record database exist.
        std::error_code ec;
        std::filesystem::create_directories(ws.logFile().parent_path(), ec);
        if (ec) {
            throw BackupError("无法创建文件夹“" + pathToUtf8(ws.logFile().parent_path()) + "”：" +
                              describeError(ec));
        }
        BackupRecordStore::CreateIfMissing(ws.databaseFile());
        return run(ws);
    } catch (const std::exception& e) {
        ui.error(e.what());
        return cli::kFailed;
    }
}
