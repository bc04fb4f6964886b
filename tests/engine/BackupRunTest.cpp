#include "engine/BackupRun.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/OperationLog.h"
#include "platform/RunLock.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::readBytes;
using test::writeBytes;

const std::vector<std::string> kCopiedStatuses{"文件备份中……", "文件备份完毕！"};

class BackupRunTest : public ::testing::Test {
protected:
    BackupRunTest() {
        fs::create_directories(work);
        fs::create_directories(source / "sub");
        writeBytes(source / "a.txt", "alpha");
        writeBytes(source / "sub" / "b.txt", "beta");
        settings.SourcePath = pathToUtf8(source);
        settings.TargetFolder = pathToUtf8(bak);
    }

    bool run(PruneAfterRun prune = PruneAfterRun::No) { return RunBackup(ws, settings, prune); }
    fs::path copyOf(const char* date) const {
        return bak / pathFromUtf8(std::string("数据_") + date);
    }
    std::vector<BackupRecord> rows() const { return BackupRecordStore(ws.databaseFile()).List(); }
    std::vector<std::string> logLines() const { return OperationLog(ws.logFile()).LoadLines(); }
    void runOn(unsigned day, PruneAfterRun prune = PruneAfterRun::No) {
        clock.set(at(2014, 5, day, 9, 59, 50));
        ASSERT_TRUE(run(prune));
    }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path source = (dir / "源/数据").make_preferred();  // native separators, as picked
    fs::path bak = dir / "bak";
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 50)};
    test::FakeUi ui;
    test::FaultyFileOps files;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings;
};

TEST_F(BackupRunTest, CopiesLogsAndRecords) {
    ASSERT_TRUE(run());
    const auto target = copyOf("20140515");
    EXPECT_EQ(readBytes(target / "a.txt"), "alpha");
    EXPECT_EQ(readBytes(target / "sub" / "b.txt"), "beta");
    EXPECT_FALSE(fs::exists(pathFromUtf8(pathToUtf8(target) + ".partial")));

    EXPECT_EQ(ui.statuses, kCopiedStatuses);
    EXPECT_GE(ui.repaints, 1);
    EXPECT_EQ(ui.lastProgress.files, 2u);
    EXPECT_TRUE(ui.messages.empty());

    // The "Log" folder did not exist; the line is GBK with CR LF.
    const std::string line =
        "140515 9:59:50   " + settings.SourcePath + "   成功备份至   " + pathToUtf8(target);
    EXPECT_EQ(readBytes(ws.logFile()), utf8ToGbk(line) + "\r\n");

    const auto records = rows();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].path, pathToUtf8(target));
    EXPECT_EQ(records[0].date, "2014-05-15");
}

TEST_F(BackupRunTest, CopiesASingleFileUnderADatedName) {
    writeBytes(dir / "plan.doc", "doc");
    settings.SourcePath = pathToUtf8(dir / "plan.doc");
    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(bak / "plan.doc_20140515"), "doc");
}

TEST_F(BackupRunTest, EmptyFieldsShowTheirMessageAndDoNothingElse) {
    settings.SourcePath.clear();
    EXPECT_FALSE(run());
    settings.SourcePath = "x";
    settings.TargetFolder.clear();
    EXPECT_FALSE(run());
    EXPECT_EQ(ui.messages,
              (std::vector<std::string>{"请输入要备份的文件地址！", "请输入备份文件的目的地址！"}));
    EXPECT_TRUE(ui.statuses.empty());
    EXPECT_TRUE(fs::is_empty(work));
}

TEST_F(BackupRunTest, FailedCopyIsReportedAndNeitherLoggedNorRecorded) {
    const auto missing = dir / "missing";
    settings.SourcePath = pathToUtf8(missing);
    try {
        run();
        FAIL() << "a copy of a missing source must not count as made";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find(pathToUtf8(missing)), std::string::npos) << e.what();
    }
    EXPECT_EQ(ui.lastStatus(), "文件备份失败！");
    EXPECT_FALSE(fs::exists(ws.logFile()));
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(!fs::exists(bak) || fs::is_empty(bak));
}

TEST_F(BackupRunTest, FailedRunKeepsTheDaysEarlierCopyAndPrunesNothing) {
    runOn(13);
    runOn(14);
    runOn(15);
    files.copyError = std::make_error_code(std::errc::no_space_on_device);
    settings.KeepCountText = "1";
    settings.KeepCount = 1;

    try {
        run(PruneAfterRun::IfKeepCountSet);
        FAIL() << "a full disk must fail the run";
    } catch (const BackupError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("partly-written.bin"), std::string::npos) << text;
        EXPECT_NE(text.find(files.copyError.message()), std::string::npos) << text;
    }
    EXPECT_EQ(ui.lastStatus(), "文件备份失败！");
    const auto today = copyOf("20140515");
    EXPECT_EQ(readBytes(today / "a.txt"), "alpha");
    EXPECT_FALSE(fs::exists(pathFromUtf8(pathToUtf8(today) + ".partial")));
    EXPECT_TRUE(fs::exists(copyOf("20140513")));
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(logLines().size(), 3u);
}

TEST_F(BackupRunTest, SecondRunOfTheDayReplacesTheCopyAndClearsAStaleStaging) {
    ASSERT_TRUE(run());
    const auto target = copyOf("20140515");
    const auto staging = pathFromUtf8(pathToUtf8(target) + ".partial");
    // What a run killed mid-copy leaves behind.
    fs::create_directories(staging);
    writeBytes(staging / "junk", "junk");
    fs::remove(source / "a.txt");
    writeBytes(source / "c.txt", "gamma");

    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(target / "c.txt"), "gamma");
    EXPECT_FALSE(fs::exists(target / "a.txt"));
    EXPECT_FALSE(fs::exists(target / "junk"));
    EXPECT_FALSE(fs::exists(staging));
    const auto records = rows();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].path, records[1].path);
}

TEST_F(BackupRunTest, TargetInsideTheSourceIsRefusedBeforeAnythingIsWritten) {
    std::vector<fs::path> inside{source, source / "sub", source / "sub" / ".."};
    // Windows makes links only with developer mode on, and Wine not at all.
    std::error_code noLinks;
    fs::create_symlink(source, dir / "link", noLinks);
    if (!noLinks) {
        inside.push_back(dir / "link");
    }
    for (const auto& folder : inside) {
        settings.TargetFolder = pathToUtf8(folder);
        EXPECT_FALSE(run()) << settings.TargetFolder;
    }
    EXPECT_EQ(ui.messages.size(), inside.size());
    EXPECT_EQ(ui.messages.front(), "备份文件的目的地址不能位于源地址之内！");
    EXPECT_TRUE(ui.statuses.empty());
    EXPECT_EQ(files.copies, 0);
    EXPECT_TRUE(fs::is_empty(work));

    // A sibling whose name merely starts with the source's is not inside it.
    settings.TargetFolder = pathToUtf8(source) + "2";
    EXPECT_TRUE(run());
}

#ifndef _WIN32
TEST_F(BackupRunTest, RunIsRefusedWhileAnotherProcessHoldsTheLock) {
    int locked[2];
    int release[2];
    ASSERT_EQ(pipe(locked), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(locked[0]);
        close(release[1]);
        auto lock = RunLock::tryAcquire(ws.lockFile());
        const char ok = lock ? '1' : '0';
        (void)!write(locked[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);  // returns when the parent closes its end
        _exit(0);
    }
    close(locked[1]);
    close(release[0]);
    char ok = 0;
    ASSERT_EQ(read(locked[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');

    try {
        run();
        ADD_FAILURE() << "a second run must be refused";
    } catch (const BackupError& e) {
        EXPECT_STREQ(e.what(), "另一个备份正在进行中，请稍后再试！");
    }
    close(release[1]);
    close(locked[0]);
    int status = 0;
    waitpid(child, &status, 0);

    EXPECT_TRUE(ui.statuses.empty());
    EXPECT_EQ(files.copies, 0);
    EXPECT_FALSE(fs::exists(ws.logFile()));
    EXPECT_FALSE(fs::exists(ws.databaseFile()));
    // Once the other process has gone, the lock is free again.
    EXPECT_TRUE(run());
}
#endif

TEST_F(BackupRunTest, PrunesOnlyAfterASuccessfulRunWhenAskedAndSet) {
    settings.KeepCountText = " ";
    settings.KeepCount.reset();
    runOn(12, PruneAfterRun::IfKeepCountSet);
    settings.KeepCountText = "1";
    settings.KeepCount = 1;
    runOn(13);
    EXPECT_EQ(rows().size(), 2u);
    runOn(14, PruneAfterRun::IfKeepCountSet);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_FALSE(fs::exists(copyOf("20140512")));
    EXPECT_FALSE(fs::exists(copyOf("20140513")));
    EXPECT_TRUE(fs::exists(copyOf("20140514")));
}

TEST(TargetPath, NameTailAndDate) {
    const auto day = at(2014, 5, 5, 23, 59, 59);
    EXPECT_EQ(NameTail("/work/data"), "/data");
    EXPECT_EQ(MakeTargetPath("/work/data", "/bak", day), "/bak/data_20140505");
    // A root source gives the separator alone; a target ending in one doubles it.
    EXPECT_EQ(MakeTargetPath("/", "/bak", day), "/bak/_20140505");
    EXPECT_EQ(MakeTargetPath("/work/data", "/bak/", day), "/bak//data_20140505");
    EXPECT_EQ(NameTail("数据"), "数据");
    // The tail is no longer than the trimmed source, cut on a character boundary.
    EXPECT_EQ(NameTail("/a    "), "/a");
    EXPECT_EQ(NameTail("  数据"), "  数");
#ifdef _WIN32
    EXPECT_EQ(NameTail("D:\\work\\data"), "\\data");
    EXPECT_EQ(NameTail("D:\\"), "\\");
    EXPECT_EQ(MakeTargetPath("D:\\work\\data", "E:\\", day), "E:\\\\data_20140505");
#else
    EXPECT_EQ(NameTail("D:\\work\\data"), "D:\\work\\data");
#endif
}

}  // namespace
}  // namespace vantrel
