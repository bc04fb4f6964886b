// Separate Windows processes: the run lock between two of them, and vantrel-cli.exe run
// end to end in a working directory of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/BackupRun.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"
#include "tests/windows/ChildProcess.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;

constexpr std::string_view kBusy = "另一个备份正在进行中，请稍后再试！";

std::string native(fs::path p) {
    return pathToUtf8(p.make_preferred());
}

// Another process holding the run lock of a working directory until released or killed.
class LockHolder {
public:
    explicit LockHolder(const test::TempDir& tmp, const fs::path& lockFile)
        : m_ready(tmp / "holder.ready"),
          m_release(tmp / "holder.release"),
          m_process(test::executableDir() / "vantrel_lock_holder.exe",
                    {native(lockFile), native(m_ready), native(m_release)}, tmp.path(),
                    tmp / "holder.out") {}

    bool waitUntilHeld() { return test::waitForFile(m_ready, 60); }
    int release() {
        test::writeBytes(m_release, "");
        return m_process.wait();
    }
    void kill() { m_process.kill(); }

private:
    fs::path m_ready;
    fs::path m_release;
    ChildProcess m_process;
};

TEST(WindowsRunLock, HeldByAnotherProcessUntilItEndsOrDies) {
    test::TempDir tmp;
    const fs::path lockFile = tmp / "vantrel.lock";
    {
        LockHolder holder(tmp, lockFile);
        ASSERT_TRUE(holder.waitUntilHeld());
        EXPECT_FALSE(RunLock::tryAcquire(lockFile).has_value());
        EXPECT_EQ(holder.release(), 0);
    }
    EXPECT_TRUE(RunLock::tryAcquire(lockFile).has_value());

    fs::remove(tmp / "holder.ready");
    fs::remove(tmp / "holder.release");
    LockHolder killed(tmp, lockFile);
    ASSERT_TRUE(killed.waitUntilHeld());
    EXPECT_FALSE(RunLock::tryAcquire(lockFile).has_value());
    killed.kill();  // the system lets go of a dead process's lock
    EXPECT_TRUE(RunLock::tryAcquire(lockFile).has_value());
}

TEST(WindowsRunLock, ABackupIsRefusedWhileAnotherProcessRuns) {
    test::TempDir tmp;
    fs::create_directories(tmp / "src/data");
    test::writeBytes(tmp / "src/data/a.txt", "a");
    RealFileOps files;
    test::FakeClock clock(test::at(2014, 5, 15, 9, 59, 50));
    test::FakeUi ui;
    Workspace ws{tmp.path(), files, clock, ui};
    TBackupSettings settings;
    settings.SourcePath = native(tmp / "src/data");
    settings.TargetFolder = native(tmp / "bak");

    LockHolder holder(tmp, ws.lockFile());
    ASSERT_TRUE(holder.waitUntilHeld());
    try {
        RunBackup(ws, settings);
        ADD_FAILURE() << "the run was not refused";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.what(), kBusy);
    }
    EXPECT_FALSE(fs::exists(tmp / "bak"));
    EXPECT_FALSE(fs::exists(ws.logFile()));
    holder.release();
}

// vantrel-cli.exe as a user runs it: a working directory with only a config.ini.
class WindowsCli : public ::testing::Test {
protected:
    WindowsCli() : work(tmp / "工作目录") {
        fs::create_directories(work);
        fs::create_directories(tmp / "源/数据/子目录");
        test::writeBytes(tmp / "源/数据/报告.txt", "报告内容");
        test::writeBytes(tmp / "源/数据/子目录/b.bin", std::string("\0\x01\xFF", 3));
        source = native(tmp / "源/数据");
        target = native(tmp / "备份");
    }

    void writeConfig(std::string_view days) {
        test::writeBytes(work / "config.ini", utf8ToGbk("[备份设置]\r\n备份文件源地址=" + source +
                                                        "\r\n备份文件目的地址=" + target +
                                                        "\r\n定时时刻=9:30:00\r\n备份频率=" +
                                                        std::string(days) + "\r\n备份个数=2\r\n"));
    }

    int runCli(const std::string& command) {
        const fs::path exe = test::executableDir() / pathFromUtf8(VANTREL_CLI_FROM_TESTS);
        ChildProcess cli(exe, {command}, work, tmp / "cli.out");
        const int code = cli.wait();
        output = test::readBytes(tmp / "cli.out");
        return code;
    }

    static std::string today() {
        SYSTEMTIME t;
        GetLocalTime(&t);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
        return buf;
    }

    test::TempDir tmp;
    fs::path work;
    std::string source;
    std::string target;
    std::string output;
};

TEST_F(WindowsCli, BackupMakesTheDatedCopyLogLineAndRow) {
    writeConfig("星期一;星期二 ;星期三;星期四;星期五;星期六 ;星期日;");
    const std::string before = today();
    ASSERT_EQ(runCli("backup"), 0) << output;
    const std::string after = today();

    // Whichever date the run fell on, if midnight passed meanwhile.
    std::string date = before;
    if (!fs::exists(pathFromUtf8(target + "\\数据_" + date))) {
        date = after;
    }
    const std::string copy = target + "\\数据_" + date;
    EXPECT_EQ(test::readBytes(pathFromUtf8(copy + "\\报告.txt")), "报告内容");
    EXPECT_EQ(test::readBytes(pathFromUtf8(copy + "\\子目录\\b.bin")),
              std::string("\0\x01\xFF", 3));
    EXPECT_NE(output.find("文件备份完毕！"), std::string::npos) << output;

    const std::string log = test::readBytes(work / "Log/FileBackupLog.log");
    const std::string line = gbkToUtf8(log);
    EXPECT_EQ(line.substr(0, 6), date.substr(2));
    const std::string tail = "   " + source + "   成功备份至   " + copy + "\r\n";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(line.find("\r\n"), line.size() - 2);  // one line

    const auto rows = BackupRecordStore(work / "wenjianming.mdb").List();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, copy);

    // What the other commands print is UTF-8, whatever the console's code page.
    ASSERT_EQ(runCli("log"), 0) << output;
    EXPECT_NE(output.find(source + "   成功备份至   " + copy), std::string::npos) << output;
    ASSERT_EQ(runCli("list"), 0) << output;
    EXPECT_NE(output.find(copy), std::string::npos) << output;
}

TEST_F(WindowsCli, RefusedSettingsWriteNothing) {
    writeConfig("");
    EXPECT_EQ(runCli("backup"), 2) << output;
    EXPECT_NE(output.find("请选定备份日期！"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(pathFromUtf8(target)));
    EXPECT_FALSE(fs::exists(work / "Log/FileBackupLog.log"));
}

TEST_F(WindowsCli, BackupWhileAnotherProcessHoldsTheLockFails) {
    writeConfig("星期一;星期二 ;星期三;星期四;星期五;星期六 ;星期日;");
    LockHolder holder(tmp, work / "vantrel.lock");
    ASSERT_TRUE(holder.waitUntilHeld());
    EXPECT_EQ(runCli("backup"), 1) << output;
    EXPECT_NE(output.find(std::string(kBusy)), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(pathFromUtf8(target)));
    holder.release();
}

}  // namespace
}  // namespace vantrel
