// End-to-end tests of the real vantrel-cli binary in a temp working directory.

#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace vantrel {
namespace {

using test::readBytes;
using test::writeBytes;

struct Outcome {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

class CliTest : public ::testing::Test {
protected:
    // Starts the program in the working folder with the clock set by libfaketime when
    // `fakeTime` is given ("@2014-05-15 09:59:45 x5"). Output goes to files in `capture`.
    pid_t start(std::vector<std::string> args, const std::string& fakeTime = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            if (fakeTime.empty() ||
                !(entry.starts_with("LD_PRELOAD=") || entry.starts_with("FAKETIME") ||
                  entry.starts_with("ASAN_OPTIONS="))) {
                env.emplace_back(entry);
            }
        }
        if (!fakeTime.empty()) {
            env.push_back("LD_PRELOAD=" + std::string(VANTREL_FAKETIME_LIB));
            env.push_back("FAKETIME=" + fakeTime);
            env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
            // The sanitizer runtime then no longer comes first; that is fine here.
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
        }
        args.insert(args.begin(), VANTREL_CLI);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        const std::string outFile = (capture / "out").string();
        const std::string errFile = (capture / "err").string();
        const std::string workDir = work.path().string();
        writeBytes(capture / "out", "");  // there to poll before the child opens them
        writeBytes(capture / "err", "");
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || ::chdir(workDir.c_str()) != 0) {
                _exit(127);
            }
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return pid;
    }

    Outcome finish(pid_t pid) {
        int raw = m_exitRaw;
        if (m_exitRaw < 0) {
            ::waitpid(pid, &raw, 0);
        }
        m_exitRaw = -1;
        Outcome o;
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        o.out = readBytes(capture / "out");
        o.err = readBytes(capture / "err");
        return o;
    }

    Outcome run(std::vector<std::string> args, const std::string& fakeTime = {}) {
        return finish(start(std::move(args), fakeTime));
    }

    // Waits, boundedly, until the captured output holds `text`; false when the program
    // ended first.
    bool waitForOutput(pid_t pid, const char* stream, std::string_view text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (readBytes(capture / stream).find(text) != std::string::npos) {
                return true;
            }
            int raw = 0;
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                m_exitRaw = raw;
                return readBytes(capture / stream).find(text) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void requireFakeTime() {
        if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
            GTEST_SKIP() << "libfaketime is not installed";
        }
    }

    // A config.ini in GBK as the window writes it; Thursday is 2014-05-15.
    void writeConfig(std::string_view runTime = "10:00:00", std::string_view days = "星期四;",
                     std::string_view keep = "2") {
        const std::string text = "[备份设置]\r\n备份文件源地址=" + pathToUtf8(work / "数据") +
                                 "\r\n备份文件目的地址=" + pathToUtf8(work / "bak") +
                                 "\r\n定时时刻=" + std::string(runTime) +
                                 "\r\n备份频率=" + std::string(days) +
                                 "\r\n备份个数=" + std::string(keep) + "\r\n";
        writeBytes(work / "config.ini", utf8ToGbk(text));
    }

    void makeSource() {
        std::filesystem::create_directories(work / "数据" / "子");
        writeBytes(work / "数据" / "子" / "a.txt", "hello");
        std::filesystem::create_directories(work / "bak");
    }

    test::TempDir work;
    test::TempDir capture;
    int m_exitRaw = -1;  // wait status of a child already reaped while waiting for output
};

TEST_F(CliTest, UsageAndUnknownCommands) {
    Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("schedule"), std::string::npos);
    EXPECT_EQ(run({"--version"}).out.rfind("vantrel-cli ", 0), 0u);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"restore"}, {}, {"backup", "extra"}}) {
        Outcome bad = run(args);
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.err, help.out);
    }
}

TEST_F(CliTest, BackupMakesTheDatedCopyLogLineAndRecord) {
    requireFakeTime();
    makeSource();
    writeConfig();
    Outcome o = run({"backup"}, "@2014-05-15 14:30:00");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "文件备份中……\n文件备份完毕！\n");
    EXPECT_EQ(o.err, "");
    const auto copy = work / "bak" / "数据_20140515";
    EXPECT_EQ(readBytes(copy / "子" / "a.txt"), "hello");

    Outcome log = run({"log"});
    EXPECT_EQ(log.out.rfind("140515 14:30:0", 0), 0u) << log.out;
    EXPECT_NE(log.out.find("成功备份至   " + pathToUtf8(copy) + "\n"), std::string::npos);
    EXPECT_EQ(run({"list"}).out, "1\t2014-05-15\t" + pathToUtf8(copy) + "\n");
}

TEST_F(CliTest, RefusedSettingsExitTwoAndAFailedRunOne) {
    Outcome none = run({"backup"});  // no config.ini
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "请输入要备份的文件地址！\n");
    EXPECT_TRUE(std::filesystem::is_directory(work / "Log"));
    EXPECT_TRUE(std::filesystem::exists(work / "wenjianming.mdb"));

    std::filesystem::create_directories(work / "bak");
    writeConfig("10:00:00", "");
    EXPECT_EQ(run({"backup"}).err, "请选定备份日期！\n");
    writeConfig("10:00:00", "星期四;", "0");
    EXPECT_EQ(run({"backup"}).err, "备份个数输入不合法！\n");
    writeConfig("10:00:00", "星期四;", "many");
    Outcome badNumber = run({"backup"});
    EXPECT_EQ(badNumber.status, 2);
    EXPECT_NE(badNumber.err.find("many"), std::string::npos);

    writeConfig();  // valid, but the source folder is missing
    Outcome failed = run({"backup"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("文件备份失败！"), std::string::npos) << failed.err;
    EXPECT_EQ(run({"list"}).out, "");
}

TEST_F(CliTest, ScheduleRereadsTheFileRunsAtTheSetTimeAndStopsOnSigterm) {
    requireFakeTime();
    makeSource();
    writeConfig("11:00:00");
    const pid_t pid = start({"schedule"}, "@2014-05-15 09:59:30 x10");
    EXPECT_TRUE(waitForOutput(pid, "out", "启动备份计划"));
    writeConfig("10:00");  // a setting saved meanwhile takes effect
    const bool ran = waitForOutput(pid, "out", "文件备份完毕！");
    ::kill(pid, SIGTERM);
    Outcome o = finish(pid);
    ASSERT_TRUE(ran) << o.out << o.err;
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.rfind("2014-05-15 09:59:3", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("已重新读取配置文件"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("2014-05-15 09:59:5"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("终止备份计划\n"), std::string::npos) << o.out;
    EXPECT_EQ(readBytes(work / "bak" / "数据_20140515" / "子" / "a.txt"), "hello");
}

}  // namespace
}  // namespace vantrel

#endif  // _WIN32
