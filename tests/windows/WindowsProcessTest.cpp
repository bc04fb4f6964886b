// Separate Windows processes: vantrel-cli.exe run end to end in a working directory of its
// own, and the run lock held by another process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "engine/records/BackupRecordStore.h"
#include "platform/RunLock.h"
#include "platform/SystemScheduler.h"
#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// A program built beside the tests, run in `workDir` with its output in `out`; killed at the
// end if still running. Arguments are quoted simply: none holds a quote or ends in "\".
class ChildProcess {
public:
    ChildProcess(const fs::path& name, const std::vector<fs::path>& args, const fs::path& workDir,
                 const fs::path& out) {
        std::wstring buf(1024, L'\0');
        buf.resize(GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size())));
        const fs::path exe = fs::path(buf).parent_path() / name;
        std::wstring line = L"\"" + exe.wstring() + L"\"";
        for (const auto& arg : args) {
            line += L" \"" + arg.wstring() + L"\"";
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << out;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = file;
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, workDir.c_str(), &si, &pi))
            << "cannot start " << exe;
        CloseHandle(file);
        CloseHandle(pi.hThread);
        m_process = pi.hProcess;
    }
    ~ChildProcess() {
        TerminateProcess(m_process, 9);
        wait();
        CloseHandle(m_process);
    }
    int wait() {
        WaitForSingleObject(m_process, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(m_process, &code);
        return static_cast<int>(code);
    }

private:
    HANDLE m_process;
};

// vantrel-cli.exe as a user runs it: a working directory with only a config.ini.
class WindowsCli : public ::testing::Test {
protected:
    WindowsCli() : work(tmp / "工作目录") {
        fs::create_directories(work);
        fs::create_directories(tmp / "源/数据");
        test::writeBytes(tmp / "源/数据/报告.txt", "报告内容");
        test::writeBytes(work / "config.ini", utf8ToGbk("[备份设置]\r\n备份文件源地址=" + source +
                                                        "\r\n备份文件目的地址=" + target +
                                                        "\r\n备份频率=星期一;\r\n备份个数=2\r\n"));
    }

    int runCli(std::vector<fs::path> args) {
        // A file of its own each run: Wine may still hold the last run's handle on its file
        // for a moment after the process has ended.
        const fs::path out = tmp / ("cli-" + std::to_string(++runs) + ".out");
        ChildProcess cli(pathFromUtf8(VANTREL_CLI_FROM_TESTS), args, work, out);
        const int code = cli.wait();
        output = test::readBytes(out);
        return code;
    }
    static std::string today() {
        SYSTEMTIME t;
        GetLocalTime(&t);
        return std::to_string(t.wYear * 10000 + t.wMonth * 100 + t.wDay);
    }

    test::TempDir tmp;
    fs::path work;
    std::string source = pathToUtf8((tmp / "源/数据").make_preferred());
    std::string target = pathToUtf8((tmp / "备份").make_preferred());
    std::string output;
    int runs = 0;
};

TEST_F(WindowsCli, BackupMakesTheDatedCopyLogLineAndRow) {
    const std::string before = today();
    ASSERT_EQ(runCli({"backup"}), 0) << output;
    // Whichever date the run fell on, if midnight passed meanwhile.
    const std::string date =
        fs::exists(pathFromUtf8(target + "\\数据_" + before)) ? before : today();
    const std::string copy = target + "\\数据_" + date;
    EXPECT_EQ(test::readBytes(pathFromUtf8(copy + "\\报告.txt")), "报告内容");
    EXPECT_NE(output.find("文件备份完毕！"), std::string::npos) << output;

    // One line, exact but for the time of day (up to the first "   ").
    const std::string line = gbkToUtf8(test::readBytes(work / "Log/FileBackupLog.log"));
    EXPECT_EQ(line.substr(0, 6) + line.substr(line.find("   ")),
              date.substr(2) + "   " + source + "   成功备份至   " + copy + "\r\n");

    const auto rows = BackupRecordStore(work / "wenjianming.mdb").list();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, copy);
    // The log is printed as UTF-8, whatever the console's code page.
    ASSERT_EQ(runCli({"log"}), 0) << output;
    EXPECT_NE(output.find(source + "   成功备份至   " + copy), std::string::npos) << output;

    // A Chinese name on the command line reaches the program whole, whatever the code page.
    fs::remove(tmp / "源/数据/报告.txt");
    ASSERT_EQ(runCli({"restore", pathFromUtf8("报告.txt")}), 0) << output;
    EXPECT_EQ(test::readBytes(tmp / "源/数据/报告.txt"), "报告内容");
    ASSERT_EQ(runCli({"versions", pathFromUtf8(source + "\\报告.txt")}), 0) << output;
    EXPECT_EQ(output.substr(0, 11),
              date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6) + "\t")
        << output;
}

TEST_F(WindowsCli, RunLockHeldByAnotherProcessRefusesBackupsUntilItDies) {
    const fs::path lock = work / "vantrel.lock", held = tmp / "held";
    {
        ChildProcess holder("vantrel_lock_holder.exe", {lock, held}, tmp.path(), tmp / "h.out");
        for (int i = 0; i < 6000 && !fs::exists(held); ++i) {
            Sleep(10);
        }
        ASSERT_TRUE(fs::exists(held)) << "the lock holder did not start";
        EXPECT_EQ(runCli({"backup"}), 1) << output;
        EXPECT_NE(output.find("另一个备份正在进行中，请稍后再试！"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(pathFromUtf8(target)));
    }
    EXPECT_TRUE(RunLock::tryAcquire(lock));  // the system lets go of a dead process's lock
}

// Every job's task goes, wherever its folder is, run from a folder that is no job's; a task
// of the user's own whose name only starts like ours stays. Wine keeps registered tasks (it
// drops their triggers), so registering, listing and removing are real here.
TEST_F(WindowsCli, TaskRemoveAllRemovesEveryJobsTaskAndNoOtherTask) {
    const fs::path second = tmp / "第二个任务";
    fs::create_directories(second);
    fs::copy_file(work / "config.ini", second / "config.ini");
    const auto scheduler = SystemScheduler::make();
    const std::size_t left = scheduler->jobEntries().size();  // by an earlier run that failed
    ASSERT_EQ(runCli({"task", "install"}), 0) << output;
    fs::path first = work;
    work = second;
    ASSERT_EQ(runCli({"task", "install"}), 0) << output;
    const std::string task = R"(<?xml version="1.0"?>
<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <Actions Context="Author"><Exec><Command>notepad.exe</Command></Exec></Actions>
</Task>
)";
    scheduler->install("Vantrel Updater", task);
    EXPECT_EQ(scheduler->jobEntries().size(), left + 2);

    work = tmp.path();
    ASSERT_EQ(runCli({"task", "remove", "--all"}), 0) << output;
    EXPECT_EQ(output.substr(0, output.find_first_of("\r\n")),
              "已删除 " + std::to_string(left + 2) + " 个系统计划任务");
    EXPECT_TRUE(scheduler->jobEntries().empty());
    EXPECT_TRUE(scheduler->status("Vantrel Updater"));
    EXPECT_TRUE(scheduler->remove("Vantrel Updater"));
    ASSERT_EQ(runCli({"task", "remove", "--all"}), 0) << output;
    EXPECT_EQ(output.substr(0, output.find_first_of("\r\n")), "已删除 0 个系统计划任务");
    work = first;
    EXPECT_EQ(runCli({"task", "status"}), 1) << output;
}

}  // namespace
}  // namespace vantrel
