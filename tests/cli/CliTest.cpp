// End-to-end tests of the real vantrel-cli binary in a temp working directory.

#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/run/BackupJob.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using namespace test;

struct Outcome {
    int status = -1;  // -1 when the program did not exit normally
    std::string out, err;
};

class CliTest : public ::testing::Test {
protected:
    // Starts the program in `work`, its clock set by libfaketime when `fakeTime` is given.
    pid_t start(std::vector<const char*> args, const char* fakeTime = nullptr,
                bool closedOutput = false, bool asNobody = false, int outputFd = -1) {
        args.insert(args.begin(), binary.c_str());
        args.push_back(nullptr);
        const std::string out = (capture / "out").string(), err = (capture / "err").string();
        writeBytes(capture / "out", "");
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (fakeTime != nullptr) {
                ::setenv("LD_PRELOAD", VANTREL_FAKETIME_LIB, 1);
                ::setenv("FAKETIME", fakeTime, 1);
                ::setenv("FAKETIME_DONT_FAKE_MONOTONIC", "1", 1);
                // Only the clock is set: files keep their real times, as the copy and its
                // manifest compare them.
                ::setenv("NO_FAKE_STAT", "1", 1);
                ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
            }
            // The list of job folders goes to a folder of the test's own.
            ::setenv("XDG_CONFIG_HOME", (capture / "config").c_str(), 1);
            ::dup2(outputFd >= 0 ? outputFd : ::open(out.c_str(), O_WRONLY | O_TRUNC), 1);
            if (closedOutput) {  // a pipe nobody reads any more, as after "| head -1"
                int p[2];
                if (::pipe(p) != 0) {
                    _exit(126);
                }
                ::close(p[0]);
                ::dup2(p[1], 1);
            }
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                _exit(125);
            }
            if (::chdir((startIn.empty() ? work.path() : startIn).c_str()) == 0) {
                ::execv(args[0], const_cast<char* const*>(args.data()));
            }
            _exit(127);
        }
        return pid;
    }

    Outcome finish(pid_t pid) {
        int raw = 0;
        ::waitpid(pid, &raw, 0);
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readBytes(capture / "out"),
                readBytes(capture / "err")};
    }

    Outcome run(std::vector<const char*> args, const char* fakeTime = nullptr) {
        return finish(start(std::move(args), fakeTime));
    }

    // Waits up to 30 s for `text` on standard output.
    bool waitForOutput(std::string_view text) {
        for (int i = 0; i < 600 && readBytes(capture / "out").find(text) == std::string::npos;
             ++i) {
            ::usleep(50000);
        }
        return readBytes(capture / "out").find(text) != std::string::npos;
    }

    // A source tree and a config.ini in GBK as the window writes it; 2014-05-15 is a Thursday.
    void writeConfig(std::string runTime = "10:00:00", std::string days = "星期四;",
                     std::string keep = "2") {
        std::filesystem::create_directories(work / "数据" / "子");
        std::filesystem::create_directories(work / "bak");
        writeBytes(work / "数据" / "子" / "a.txt", "hello");
        writeBytes(work / "config.ini",
                   utf8ToGbk("[备份设置]\r\n备份文件源地址=" + pathToUtf8(work / "数据") +
                             "\r\n备份文件目的地址=" + pathToUtf8(work / "bak") + "\r\n定时时刻=" +
                             runTime + "\r\n备份频率=" + days + "\r\n备份个数=" + keep + "\r\n"));
    }

    test::TempDir work, capture;
    std::filesystem::path startIn;  // where the program starts; the job's folder when empty
    std::filesystem::path binary = VANTREL_CLI;
};

TEST_F(CliTest, UsageAndUnknownCommands) {
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("schedule"), std::string::npos);
    EXPECT_EQ(run({"--version"}).out.rfind("vantrel-cli ", 0), 0u);
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"undo"}, "未知的命令：undo"},
        {{}, "缺少命令。"},
        {{"backup", "x"}, "命令 backup 不接受参数“x”。"},
        {{"verify", "2014-05-15"}, "日期应为 8 位数字（yyyymmdd）：“2014-05-15”。"},
        {{"pin"}, "命令 pin 需要日期（yyyymmdd）。"},
        {{"prune"}, "命令 prune 需要参数 --preview。"},
        {{"prune", "--now"}, "命令 prune 不接受参数“--now”，只能用 prune --preview。"}};
    for (const auto& [args, problem] : cases) {
        const Outcome bad = run(args);
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.err, problem + "\n\n" + help.out);
    }
}

TEST_F(CliTest, BackupThenScheduleOnAFakeClock) {
    if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    writeConfig("11:00:00");
    const Outcome o = run({"backup"}, "@2014-05-15 14:30:00");
    ASSERT_EQ(o.status, 0) << o.err;
    // Not a terminal: the status lines only, no progress line.
    EXPECT_EQ(o.out.rfind("正在统计……\n文件备份中……\n文件备份完毕！用时 0 秒，", 0), 0u) << o.out;
    EXPECT_EQ(o.out.find('\r'), std::string::npos);
    EXPECT_EQ(o.err, "");
    const auto copy = work / "bak" / "数据_20140515";
    EXPECT_EQ(readBytes(copy / "子" / "a.txt"), "hello");
    const Outcome log = run({"log"});
    EXPECT_EQ(log.out.rfind("140515 14:30:0", 0), 0u) << log.out;
    EXPECT_NE(log.out.find("成功备份至   " + pathToUtf8(copy) + "\n"), std::string::npos);
    EXPECT_EQ(run({"list"}).out, "1\t2014-05-15\t" + pathToUtf8(copy) + "\t完整\n");
    // A rerun the same day replaces the copy: one row for it, the newer.
    ASSERT_EQ(run({"backup"}, "@2014-05-15 15:00:00").status, 0);
    EXPECT_EQ(run({"list"}).out, "2\t2014-05-15\t" + pathToUtf8(copy) + "\t完整\n");

    // The timetable re-reads a setting saved meanwhile, runs at its time and stops on SIGTERM.
    // Started 50 s of its clock (5 s here) before the run, so the setting saved below is read
    // in time on a slow machine too.
    const pid_t pid = start({"schedule"}, "@2014-05-16 09:59:00 x10");
    EXPECT_TRUE(waitForOutput("启动备份计划"));
    const Outcome second = run({"schedule"});  // a second timetable in this folder
    EXPECT_EQ(second.status, 1);
    EXPECT_NE((second.out + second.err).find(kTimetableElsewhere), std::string::npos)
        << second.out << second.err;
    writeConfig("10:00", "星期五;");
    const bool ran = waitForOutput("文件备份完毕！");
    ::kill(pid, SIGTERM);
    const Outcome s = finish(pid);
    ASSERT_TRUE(ran) << s.out << s.err;
    EXPECT_EQ(s.status, 0);
    for (const char* text :
         {"2014-05-16 09:59:0", "已重新读取配置文件", "2014-05-16 09:59:5", "终止备份计划\n"}) {
        EXPECT_NE(s.out.find(text), std::string::npos) << text << "\n" << s.out;
    }
    EXPECT_EQ(readBytes(work / "bak" / "数据_20140516" / "子" / "a.txt"), "hello");
    // A copy deleted by hand is listed as gone, not as a copy to rely on.
    std::filesystem::remove_all(copy);
    EXPECT_NE(run({"list"}).out.find("\t" + pathToUtf8(copy) + "\t已不存在\n"), std::string::npos);
}

TEST_F(CliTest, StatusExitsWithTheHealthAndHistoryListsEveryRunNewestFirst) {
    if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    writeConfig();
    // A job that never ran: read, and nothing made for it.
    const Outcome never = run({"status"});
    EXPECT_EQ(never.status, 4);
    EXPECT_NE(never.out.find("备份状态：从未备份\n上次完整备份：无\n"), std::string::npos)
        << never.out;
    EXPECT_EQ(run({"history"}).out + run({"list"}).out, "");
    for (const char* made : {"Log", "wenjianming.mdb", "vantrel.timetable.lock"}) {
        EXPECT_FALSE(std::filesystem::exists(work / made)) << made;
    }

    ASSERT_EQ(run({"backup"}, "@2014-05-15 14:30:00").status, 0);
    const struct {
        const char* when;
        int status;
        const char* text;
    } cases[] = {
        {"@2014-05-16 10:00:00", 0, "备份状态：正常\n上次完整备份：2014-05-15 14:30（19 小时前）"},
        {"@2014-05-24 15:00:00", 4, "备份状态：已逾期（超过 8 天没有完整备份）"},
    };
    for (const auto& c : cases) {
        const Outcome o = run({"status"}, c.when);
        EXPECT_EQ(o.status, c.status) << c.when;
        EXPECT_NE(o.out.find(c.text), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("下次备份：备份计划未启动"), std::string::npos) << o.out;
    }

    std::filesystem::remove_all(work / "数据");
    EXPECT_EQ(run({"backup"}, "@2014-05-16 08:00:00").status, 1);
    const Outcome failed = run({"status"}, "@2014-05-16 09:00:00");
    EXPECT_EQ(failed.status, 4);
    EXPECT_NE(failed.out.find("备份状态：失败（文件备份失败！"), std::string::npos) << failed.out;

    const Outcome history = run({"history"});
    EXPECT_EQ(history.status, 0);
    const auto copy = pathToUtf8(work / "bak" / "数据_20140515");
    // A run without a copy has no copy path and no counts of changes.
    EXPECT_EQ(history.out.rfind("2014-05-16 08:00:00\t2014-05-16 08:00:00\t命令行\t失败\t0\t0\t\t\t"
                                "文件备份失败！",
                                0),
              0u)
        << history.out;
    // The run's end may fall a second later on a busy machine.
    const auto made = history.out.find("\n2014-05-15 14:30:00\t2014-05-15 14:30:0");
    ASSERT_NE(made, std::string::npos) << history.out;
    EXPECT_EQ(history.out.substr(made + 40, 18), "\t命令行\t成功\t") << history.out;
    EXPECT_NE(history.out.find("\t" + copy + "\t新增 1 个，修改 0 个，删除 0 个\n"),
              std::string::npos)
        << history.out;
}

TEST_F(CliTest, VerifyFindsAFlippedByteAndADeletedFileByPath) {
    writeConfig();
    writeBytes(work / "数据" / "b.txt", "bravo");
    ASSERT_EQ(run({"backup"}).status, 0);
    // Sharing off: the copy still records every file's hash, so its contents are checked.
    const Outcome intact = run({"verify"});
    EXPECT_EQ(intact.status, 0) << intact.out << intact.err;
    EXPECT_EQ(intact.out.find("未核对内容"), std::string::npos) << intact.out;
    EXPECT_EQ(intact.out.rfind("备份完好：", 0), 0u) << intact.out;

    std::filesystem::path copy;
    for (const auto& entry : std::filesystem::directory_iterator(work / "bak")) {
        if (entry.is_directory()) {
            copy = entry.path();
        }
    }
    // Same size, same time: only the contents differ.
    const auto a = copy / "子" / "a.txt";
    const auto time = std::filesystem::last_write_time(a);
    writeBytes(a, "hellO");
    std::filesystem::last_write_time(a, time);
    std::filesystem::remove(copy / "b.txt");
    const Outcome broken = run({"verify"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.out.find("缺少：b.txt\n已改动：子/a.txt（内容不同）\n"), 0u) << broken.out;

    // A damaged manifest is reported, not compared with.
    Database(work / "wenjianming.mdb", Database::Mode::OpenExisting)
        .exec("UPDATE vantrel_manifest SET entries = substr(entries, 1, 20)");
    const Outcome damaged = run({"verify"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("中的备份清单已损坏"), std::string::npos) << damaged.err;

    EXPECT_EQ(run({"verify", "20140515"}).status, 1);  // no copy of that day
    for (const auto& args : std::vector<std::vector<const char*>>{
             {"verify", "2014051"}, {"verify", "2014051x"}, {"verify", "20140515", "x"}}) {
        EXPECT_EQ(run(args).status, 2) << args[1];
    }
}

// Each check is remembered and shown by status; a drill restores into a scratch folder, passes
// on a sound copy and names a file whose contents changed under the same size and time.
TEST_F(CliTest, ChecksAndDrillsAreRecordedAndDamageTurnsHealthToWarning) {
    writeConfig();
    writeBytes(work / "数据" / "big.bin", std::string(300000, 'b'));
    ASSERT_EQ(run({"backup"}).status, 0);
    EXPECT_NE(run({"status"}).out.find("\n上次校验：从未校验\n"), std::string::npos);
    ASSERT_EQ(run({"verify"}).status, 0);
    const Outcome checked = run({"status"});
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_NE(checked.out.find("（完好）\n"), std::string::npos) << checked.out;

    const auto sourceBefore = readBytes(work / "数据" / "子" / "a.txt");
    const Outcome passed = run({"drill", "--files", "1"});
    EXPECT_EQ(passed.status, 0) << passed.out << passed.err;
    EXPECT_EQ(passed.out, "恢复演练通过：2 个文件，293.0 KB\n");

    std::filesystem::path copy;
    for (const auto& entry : std::filesystem::directory_iterator(work / "bak")) {
        if (entry.is_directory()) {
            copy = entry.path();
        }
    }
    const auto big = copy / "big.bin";
    const auto time = std::filesystem::last_write_time(big);
    writeBytes(big, std::string(299999, 'b') + "X");
    std::filesystem::last_write_time(big, time);
    const Outcome failed = run({"drill"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.out.find("未通过：big.bin："), std::string::npos) << failed.out;
    const Outcome warned = run({"status"});
    EXPECT_EQ(warned.status, 3);
    EXPECT_NE(warned.out.find("备份状态：警告（校验发现备份已损坏：" + pathToUtf8(copy)),
              std::string::npos)
        << warned.out;
    // The drill wrote nowhere but its scratch folder, which is gone.
    EXPECT_EQ(readBytes(work / "数据" / "子" / "a.txt"), sourceBefore);
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("vantrel-drill-", 0), std::string::npos);
    }
    EXPECT_EQ(run({"drill", "--files", "0"}).status, 2);
}

// What the rules leave out is listed before a run; copies over three months are pruned as
// the preview said, a pinned one kept although only one copy is to be kept.
TEST_F(CliTest, ExcludedListsWhatIsLeftOutAndPrunePreviewAgreesWithThePrune) {
    if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    writeConfig("10:00:00", "星期四;", "9");
    writeBytes(work / "数据" / "b.tmp", "bravo");
    writeBytes(work / "数据" / "kept.txt", "kilo");  // rules leaving every file out are refused
    const std::string config = readBytes(work / "config.ini");
    writeBytes(work / "config.ini", config + utf8ToGbk("排除规则=*.tmp|子/\r\n"));
    const Outcome excluded = run({"excluded"});
    EXPECT_EQ(excluded.status, 0) << excluded.err;
    EXPECT_EQ(excluded.out, "b.tmp\t5 B\n子/\t5 B\n排除 2 项，共 10 B\n");
    for (const char* day : {"@2014-03-10 10:00:00", "@2014-04-10 10:00:00", "@2014-04-20 10:00:00",
                            "@2014-05-15 10:00:00"}) {
        const Outcome o = run({"backup"}, day);
        ASSERT_EQ(o.status, 0) << day << o.err;
    }
    EXPECT_FALSE(std::filesystem::exists(work / "bak" / "数据_20140515" / "子"));
    EXPECT_EQ(run({"pin", "20140310"}).status, 0);
    EXPECT_EQ(run({"pin", "20140311"}).status, 1);
    EXPECT_EQ(run({"unpin", "20140410"}).status, 0);  // never pinned: nothing changes
    EXPECT_NE(run({"list"}).out.find("数据_20140310\t完整\t永久保留\n"), std::string::npos);

    writeConfig("10:00:00", "星期四;", "1");
    writeBytes(work / "config.ini",
               readBytes(work / "config.ini") + utf8ToGbk("排除规则=*.tmp|子/\r\n按月保留=2\r\n"));
    const Outcome preview = run({"prune", "--preview"}, "@2014-05-15 11:00:00");
    EXPECT_EQ(preview.status, 0) << preview.err;
    const std::string bak = pathToUtf8(work / "bak") + "/数据_";
    EXPECT_EQ(preview.out, "4\t2014-05-15\t" + bak + "20140515\t保留（最近 1 个）；保留（每月）\n" +
                               "3\t2014-04-20\t" + bak + "20140420\t将删除\n" + "2\t2014-04-10\t" +
                               bak + "20140410\t保留（每月）\n" + "1\t2014-03-10\t" + bak +
                               "20140310\t保留（永久保留）\n");
    // A rerun that day replaces the newest copy, so the prune after it meets the same copies.
    ASSERT_EQ(run({"backup"}, "@2014-05-15 12:00:00").status, 0);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(work / "bak")) {
        if (entry.is_directory()) {
            left.push_back(pathToUtf8(entry.path().filename()));
        }
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"数据_20140310", "数据_20140410", "数据_20140515"}));

    writeBytes(work / "config.ini", config + utf8ToGbk("排除规则=a**b\r\n"));
    const Outcome malformed = run({"excluded"});
    EXPECT_EQ(malformed.status, 2);
    EXPECT_NE(malformed.err.find("排除规则“a**b”有误"), std::string::npos) << malformed.err;
}

// An entry a copy's rules left out was not deleted, even once the rules have changed since.
// Nor is a rule that leaves out many files a mass deletion.
TEST_F(CliTest, NeitherChangesNorTheGuardCallWhatACopysRulesLeftOutDeleted) {
    if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    writeConfig();
    writeBytes(work / "数据" / "kept.txt", "kilo");  // rules leaving every file out are refused
    std::filesystem::create_directories(work / "数据" / "web" / "node_modules");
    for (int i = 0; i < 30; ++i) {  // enough for the guard against mass changes to look
        writeBytes(work / "数据" / "web" / "node_modules" / (std::to_string(i) + ".js"), "x");
    }
    writeBytes(work / "数据" / "b.tmp", "bravo");
    const std::string config = readBytes(work / "config.ini");
    ASSERT_EQ(run({"backup"}, "@2026-12-01 10:00:00").status, 0);
    writeBytes(work / "config.ini", config + utf8ToGbk("排除规则=*.tmp|node_modules/\r\n"));
    std::filesystem::remove(work / "数据" / "子" / "a.txt");
    // Not a mass deletion: the run ends as any other, and its history agrees with changes.
    const Outcome second = run({"backup"}, "@2026-12-02 10:00:00");
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(run({"history"}).out.find("新增 0 个，修改 0 个，删除 1 个"), std::string::npos);
    const std::string changed = "删除\t子/a.txt\n新增 0 个，修改 0 个，删除 1 个\n";
    EXPECT_EQ(run({"changes"}).out, changed);
    writeBytes(work / "config.ini", config);
    EXPECT_EQ(run({"changes"}).out, changed);
}

// A copy in a target folder the job used before stays recorded, listed and on disk, and is
// the job's own again when the folder returns.
TEST_F(CliTest, ACopyInAnEarlierTargetFolderIsKeptAndTheJobsOwnWhenItReturns) {
    if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    writeConfig("10:00:00", "星期四;", "1");
    const std::string there = readBytes(work / "config.ini");
    std::string elsewhere = there;
    elsewhere.replace(elsewhere.find("/bak\r\n"), 5, "/bak2");
    ASSERT_EQ(run({"backup"}, "@2014-05-15 10:00:00").status, 0);
    writeBytes(work / "config.ini", elsewhere);
    std::filesystem::create_directories(work / "bak2");
    ASSERT_EQ(run({"backup"}, "@2014-05-15 11:00:00").status, 0);
    EXPECT_NE(run({"list"}).out.find("/bak/数据_20140515\t完整\t以前的源或目标文件夹\n"),
              std::string::npos);
    writeBytes(work / "config.ini", there);
    const Outcome back = run({"backup"}, "@2014-05-15 12:00:00");
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(std::filesystem::exists(work / "bak2" / "数据_20140515" / "子" / "a.txt"));
    EXPECT_NE(run({"prune", "--preview"}).out.find("保留（来自以前的源或目标文件夹，不会删除）"),
              std::string::npos);
}

// The texts and exit statuses of getting files back, as scripts rely on them.
TEST_F(CliTest, VersionsRestoreAndChangesTellTheirOutcomeInTheirStatus) {
    if (std::string_view(VANTREL_FAKETIME_LIB).empty()) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    writeConfig();
    ASSERT_EQ(run({"backup"}, "@2026-12-01 10:00:00").status, 0);
    writeBytes(work / "数据" / "子" / "a.txt", "changed");
    // A name that would read as another entry, and one in GBK bytes.
    writeBytes(work / "数据" / "x\n删除\tthesis.doc", "new");
    writeBytes(work / "数据" / std::string("\xb1\xa8.txt"), "new");
    ASSERT_EQ(run({"backup"}, "@2026-12-02 10:00:00").status, 0);

    const Outcome versions = run({"versions", "子/a.txt"});
    EXPECT_EQ(versions.status, 0);
    EXPECT_EQ(versions.out.substr(0, 13), "2026-12-02\t7\t") << versions.out;
    EXPECT_NE(versions.out.find("\n2026-12-01\t5\t"), std::string::npos) << versions.out;
    EXPECT_EQ(run({"versions", "nothing.txt"}).status, 1);
    EXPECT_EQ(run({"changes"}).out,
              "新增\tx\\x0a删除\\x09thesis.doc\n新增\t\\xb1\\xa8.txt\n修改\t子/a.txt\n"
              "新增 2 个，修改 1 个，删除 0 个\n");
    EXPECT_EQ(run({"changes", "20261130"}).status, 1);

    std::filesystem::remove(work / "数据" / "子" / "a.txt");
    const Outcome some = run({"restore", "--from", "20261201", "子/a.txt", "nothing.txt"});
    EXPECT_EQ(some.status, 3);
    EXPECT_EQ(readBytes(work / "数据" / "子" / "a.txt"), "hello");
    EXPECT_NE(some.out.find(
                  "恢复完毕：已恢复 1 个文件，0 个文件已相同，0 个文件另存为新名称，1 项未能恢复"),
              std::string::npos)
        << some.out;
    EXPECT_EQ(some.err, "未能恢复“nothing.txt”：备份“" +
                            pathToUtf8(work / "bak" / "数据_20261201") + "”中没有“nothing.txt”\n");
    const Outcome beside = run({"restore", "子/a.txt"});
    EXPECT_EQ(beside.status, 0);
    EXPECT_NE(beside.out.find("恢复的文件另存为“" +
                              pathToUtf8(work / "数据" / "子" / "a (恢复 20261202).txt") + "”"),
              std::string::npos)
        << beside.out;
    EXPECT_EQ(run({"restore", "nothing.txt"}).status, 1);
    for (const auto& args : std::vector<std::vector<const char*>>{{"restore", "/etc/passwd"},
                                                                  {"restore", "--to", "bak", "."},
                                                                  {"restore", "--from", "1", "."},
                                                                  {"restore", "--now", "."},
                                                                  {"versions"},
                                                                  {"versions", "../config.ini"}}) {
        EXPECT_EQ(run(args).status, 2) << args.back();
    }
    const Outcome confirm = run({"confirm-changes"});
    EXPECT_EQ(confirm.out, "没有待确认的变化\n");
}

TEST_F(CliTest, AnAbsolutePathFromAnyFolderFindsItsJob) {
    writeConfig();
    ASSERT_EQ(run({"backup"}).status, 0);  // the job is now on the user's list
    startIn = capture.path();
    const std::string inSource = pathToUtf8(work / "数据" / "子" / "a.txt");
    const Outcome versions = run({"versions", inSource.c_str()});
    EXPECT_EQ(versions.status, 0) << versions.err;
    EXPECT_NE(versions.out.find("\t5\t"), std::string::npos) << versions.out;

    // A path inside the copy is restored to the source's place.
    std::filesystem::remove(work / "数据" / "子" / "a.txt");
    std::filesystem::path made;
    for (const auto& e : std::filesystem::directory_iterator(work / "bak")) {
        if (pathToUtf8(e.path().filename()).starts_with("数据_")) {
            made = e.path();
        }
    }
    const std::string inCopy = pathToUtf8(made / "子" / "a.txt");
    const Outcome restored = run({"restore", inCopy.c_str()});
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(readBytes(work / "数据" / "子" / "a.txt"), "hello");
    // --to counts from where the command was given.
    EXPECT_EQ(run({"restore", "--to", "旧", inSource.c_str()}).status, 0);
    EXPECT_EQ(readBytes(capture / "旧" / "子" / "a.txt"), "hello");

    const Outcome none = run({"versions", "/nowhere/x.txt"});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "没有备份任务包含“/nowhere/x.txt”\n");
    // A relative path outside a job's folder is still refused as before.
    EXPECT_NE(run({"versions", "子/a.txt"}).err.find("中没有配置文件 config.ini"),
              std::string::npos);
}

TEST_F(CliTest, RefusedSettingsExitTwoAndAFailedRunOne) {
    // No config.ini: no job here, whatever the command, and nothing is made.
    for (const char* command : {"backup", "status", "list", "verify"}) {
        const Outcome none = run({command});
        EXPECT_EQ(none.status, 2);
        EXPECT_NE(none.err.find("中没有配置文件 config.ini"), std::string::npos) << none.err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));

    const struct {
        const char *days, *keep;
        int status;
        const char* err;
    } cases[] = {{"", "2", 2, "请选定备份日期！\n"},
                 {"星期四;", "many", 2, "many"},
                 {"星期四;", "2", 1, "文件备份失败！"}};  // the source folder is missing
    for (const auto& c : cases) {
        writeConfig("10:00:00", c.days, c.keep);
        std::filesystem::remove_all(work / "数据");
        const Outcome o = run({"backup"});
        EXPECT_EQ(o.status, c.status) << c.err;
        EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
    }
    EXPECT_EQ(run({"list"}).out, "");
}

TEST_F(CliTest, ExitStatusAndHistorySayWhyARunWasRefusedOrWarned) {
    // A first run of an empty source makes its copy and warns.
    writeConfig();
    std::filesystem::remove_all(work / "数据" / "子");
    Outcome o = run({"backup"});
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find("”中没有任何文件"), std::string::npos) << o.err;
    // Rules that leave every file out refuse the run, and the history says which.
    writeBytes(work / "数据" / "a.txt", "hello");
    writeBytes(work / "config.ini",
               readBytes(work / "config.ini") + utf8ToGbk("排除规则=*.doc|?*\r\n"));
    o = run({"backup"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("排除规则“?*”排除了"), std::string::npos) << o.err;
    const std::string history = run({"history"}).out;
    EXPECT_NE(history.find("\t被拒绝\t"), std::string::npos) << history;
    EXPECT_NE(history.find("排除规则“?*”"), std::string::npos) << history;
    // A pinned copy of today is never replaced by a second run of the day.
    writeConfig();
    ASSERT_EQ(run({"backup"}).status, 0);
    const std::string today = run({"list"}).out.substr(2, 10);  // "1\tyyyy-mm-dd\t..."
    const std::string digits = today.substr(0, 4) + today.substr(5, 2) + today.substr(8, 2);
    ASSERT_EQ(run({"pin", digits.c_str()}).status, 0);
    std::filesystem::remove(work / "数据" / "子" / "a.txt");
    o = run({"backup"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("已永久保留"), std::string::npos) << o.err;
    EXPECT_EQ(readBytes(work / "bak" / ("数据_" + digits) / "子" / "a.txt"), "hello");
}

TEST_F(CliTest, AnUnreadableFileIsLeftOutAndTheRunEndsWithThree) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as another user";
    }
    writeConfig();
    const auto locked = work / "数据" / "子" / "locked.pst";
    writeBytes(locked, "mail");
    for (const auto& e : std::filesystem::recursive_directory_iterator(work.path())) {
        (void)!::lchown(e.path().c_str(), 65534, 65534);
    }
    (void)!::chown(work.path().c_str(), 65534, 65534);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    // The user may not reach the build folder (a checkout under /root): it runs a copy.
    binary = work / "vantrel-cli";
    std::filesystem::copy_file(VANTREL_CLI, binary);
    for (auto p = work.path().parent_path(); p != p.parent_path(); p = p.parent_path()) {
        if ((std::filesystem::status(p).permissions() & std::filesystem::perms::others_exec) ==
            std::filesystem::perms::none) {
            GTEST_SKIP() << "other users cannot reach " << p;
        }
    }
    const Outcome o = finish(start({"backup"}, nullptr, false, true));
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.out.find("文件备份完毕，但有 1 项未能复制！"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find(pathToUtf8(locked)), std::string::npos) << o.err;
    EXPECT_NE(run({"list"}).out.find("\t不完整：1 项未能复制\n"), std::string::npos);
    EXPECT_NE(run({"log"}).out.find("部分备份至"), std::string::npos);
}

TEST_F(CliTest, AClosedOutputOrASignalNeverLeavesHalfARun) {
    writeConfig();
    const Outcome piped = finish(start({"backup"}, nullptr, true));
    EXPECT_EQ(piped.status, 0) << piped.err;
    const auto list = run({"list"}).out;
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 1) << list;
    const auto log = run({"log"}).out;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

    // Its output held by a full pipe, a run stops at its first line, its row written: what
    // arrives then arrives before the copy could end, however fast the disk.
    const auto newest = [this] {
        const std::string history = run({"history"}).out;
        return history.substr(0, history.find('\n'));
    };
    const auto startHeld = [&](int& held) {
        int gate[2];
        EXPECT_EQ(::pipe2(gate, O_CLOEXEC | O_NONBLOCK), 0);
        const std::string filler(4096, '\0');
        while (::write(gate[1], filler.data(), filler.size()) > 0 ||
               ::write(gate[1], filler.data(), 1) > 0) {
        }
        ::fcntl(gate[1], F_SETFL, 0);  // the program's writes wait
        const pid_t pid = start({"backup"}, nullptr, false, false, gate[1]);
        ::close(gate[1]);
        held = gate[0];
        for (int i = 0; i < 600 && newest().find("进行中") == std::string::npos; ++i) {
            ::usleep(50000);
        }
        EXPECT_NE(newest().find("进行中"), std::string::npos) << newest();
        return pid;
    };
    const auto release = [](int held) {
        ::fcntl(held, F_SETFL, 0);
        std::string shown;
        char buffer[4096];
        for (ssize_t n; (n = ::read(held, buffer, sizeof buffer)) > 0;) {
            shown.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(held);
        const auto text = shown.find_first_not_of('\0');
        return text == std::string::npos ? std::string() : shown.substr(text);
    };
    int held = -1;
    const pid_t pid = startHeld(held);
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(release(held).starts_with("正在统计……\n"));
    const Outcome cancelled = finish(pid);
    EXPECT_EQ(cancelled.status, 1) << cancelled.out << cancelled.err;
    EXPECT_EQ(run({"list"}).out, list);
    EXPECT_EQ(run({"log"}).out, log);
    EXPECT_NE(newest().find("已取消\t0\t0\t\t\t已取消：收到结束信号（SIGTERM）"), std::string::npos)
        << newest();

    // Killed outright, the run still leaves its row; the next run says it never ended.
    const pid_t killed = startHeld(held);
    ::kill(killed, SIGKILL);
    finish(killed);
    ::close(held);
    EXPECT_NE(newest().find("进行中"), std::string::npos) << newest();
    const std::string killedStart = newest().substr(0, 19);
    EXPECT_EQ(run({"backup"}).status, 0);
    const std::string history = run({"history"}).out;
    EXPECT_NE(
        history.find(killedStart + "\t" + killedStart + "\t命令行\t失败\t0\t0\t\t\t运行未正常结束"),
        std::string::npos)
        << history;
    for (const auto& e : std::filesystem::directory_iterator(work / "bak")) {
        const auto name = e.path().filename().string();
        EXPECT_TRUE(name.ends_with(".lock") || name.ends_with(".mark") ||
                    name == "数据_" + list.substr(2, 4) + list.substr(7, 2) + list.substr(10, 2))
            << name;
    }
}

// A real HTTP server on the loopback: answers by path and keeps each request it gets.
constexpr const char* kAlertServer = R"(
import http.server, sys, os
root = sys.argv[1]
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers['Content-Length']))
        with open(os.path.join(root, 'posts'), 'ab') as f:
            f.write(self.path.encode() + b' ' + body + b'\n')
        status, answer = {'/ok': (200, b'{"errcode":0}'), '/robot': (200, b'{"errcode":310000,"errmsg":"bad sign"}')}.get(self.path, (500, b'boom'))
        self.send_response(status)
        self.send_header('Content-Length', str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Hook)
with open(os.path.join(root, 'port.tmp'), 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(os.path.join(root, 'port.tmp'), os.path.join(root, 'port'))
server.serve_forever()
)";

TEST_F(CliTest, AlertsReachARealServerAndNotifyTestSaysWhyNot) {
    test::TempDir served;
    const pid_t server = ::fork();
    if (server == 0) {
        ::execlp("python3", "python3", "-c", kAlertServer, served.path().c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 600 && !std::filesystem::exists(served / "port"); ++i) {
        ::usleep(50000);
    }
    const std::string base = "http://127.0.0.1:" + readBytes(served / "port");
    const auto setUrl = [&](const std::string& url) {
        writeConfig();
        std::string ini = readBytes(work / "config.ini");
        writeBytes(work / "config.ini", ini + utf8ToGbk("通知网址=" + url + "\r\n"));
    };
    setUrl(base + "/ok");
    const Outcome sent = run({"notify-test"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(readBytes(served / "posts").find("这是一条测试通知"), std::string::npos);

    // A failed run sends one alert, naming its folders; a success sends none.
    std::filesystem::remove_all(work / "数据");
    EXPECT_EQ(run({"backup"}).status, 1);
    writeConfig();
    EXPECT_EQ(run({"backup"}).status, 0);
    const std::string posts = readBytes(served / "posts");
    EXPECT_EQ(std::count(posts.begin(), posts.end(), '\n'), 2) << posts;
    EXPECT_NE(posts.find(R"("outcome":"failed")"), std::string::npos) << posts;
    EXPECT_NE(posts.find("备份源：" + pathToUtf8(work / "数据")), std::string::npos) << posts;

    // The reasons notify-test gives; a failed alert never changes a run's status.
    const struct {
        std::string url, reason;
    } failures[] = {{base + "/robot", "HTTP 200，错误：310000 bad sign"},
                    {base + "/gone", "HTTP 500，boom"},
                    {"https://127.0.0.1:" + readBytes(served / "port") + "/ok", "TLS"},
                    {"http://127.0.0.1:1/", "没有应答"}};
    for (const auto& f : failures) {
        setUrl(f.url);
        const Outcome o = run({"notify-test"});
        EXPECT_EQ(o.status, 1) << f.url;
        EXPECT_NE(o.err.find(f.reason), std::string::npos) << o.err;
    }
    std::filesystem::remove_all(work / "数据");
    const Outcome failed = run({"backup"});
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_NE(failed.err.find("没有应答"), std::string::npos) << failed.err;
    EXPECT_NE(run({"log"}).out.find("通知发送失败"), std::string::npos);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
}

}  // namespace
}  // namespace vantrel

#endif  // _WIN32
