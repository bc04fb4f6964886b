#include "engine/BackupRun.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/OperationLog.h"
#include "platform/ErrorText.h"
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

class BackupRunTest : public ::testing::Test {
protected:
    BackupRunTest() {
        fs::create_directories(work);
        fs::create_directories(source / "sub");
        writeBytes(source / "a.txt", "alpha");
        writeBytes(source / "sub" / "b.txt", "beta");
    }

    bool run(PruneAfterRun prune = PruneAfterRun::No) { return RunBackup(ws, settings, prune).ran; }
    std::string failure(PruneAfterRun prune = PruneAfterRun::No) {
        try {
            run(prune);
            return "the run did not fail";
        } catch (const BackupError& e) {
            return e.what();
        }
    }
    void runOn(unsigned day, PruneAfterRun prune = PruneAfterRun::No) {
        clock.set(at(2014, 5, day, 9, 59, 50));
        ASSERT_TRUE(run(prune));
    }
    fs::path copyOf(unsigned day, const char* tail = "") const {
        return bak / pathFromUtf8("数据_201405" + std::to_string(day) + tail);
    }
    std::vector<BackupRecord> rows() const { return BackupRecordStore(ws.databaseFile()).List(); }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path bak = dir / "bak";
    fs::path source = (dir / "源/数据").make_preferred();  // native separators, as picked
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 50)};
    test::FakeUi ui;
    test::FaultyFileOps files;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings{pathToUtf8(source), pathToUtf8(bak), {}, {}, "", "", {}};
};

TEST_F(BackupRunTest, CopiesLogsAndRecordsFoldersAndFiles) {
    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(copyOf(15) / "a.txt"), "alpha");
    EXPECT_EQ(readBytes(copyOf(15) / "sub" / "b.txt"), "beta");
    EXPECT_EQ(ui.statuses, (std::vector<std::string>{"文件备份中……", "文件备份完毕！"}));
    // The missing "Log" folder is made in the working directory; the line is GBK with CR LF.
    EXPECT_EQ(readBytes(work / "Log" / "FileBackupLog.log"),
              utf8ToGbk("140515 9:59:50   " + settings.SourcePath + "   成功备份至   " +
                        pathToUtf8(copyOf(15))) +
                  "\r\n");
    const auto records = rows();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].date + " " + records[0].path, "2014-05-15 " + pathToUtf8(copyOf(15)));

    writeBytes(dir / "plan.doc", "doc");
    settings.SourcePath = pathToUtf8(dir / "plan.doc");
    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(bak / "plan.doc_20140515"), "doc");
}

TEST_F(BackupRunTest, RefusedRunsWriteNothing) {
    const std::string inside = "备份文件的目的地址不能位于源地址之内！";
    const std::string from = settings.SourcePath, to = settings.TargetFolder;
    const std::vector<std::array<std::string, 3>> cases{
        {"", to, "请输入要备份的文件地址！"},
        {from, "", "请输入备份文件的目的地址！"},
        {from, pathToUtf8(source / "sub"), inside},
        {from, pathToUtf8(source / "sub" / ".."), inside}};
    for (const auto& [src, dst, message] : cases) {
        settings.SourcePath = src;
        settings.TargetFolder = dst;
        EXPECT_FALSE(run()) << dst;
        EXPECT_EQ(ui.messages.back(), message);
    }
    // Windows makes links only with developer mode on, and Wine not at all.
    std::error_code noLinks;
    fs::create_symlink(source, dir / "link", noLinks);
    settings.TargetFolder = pathToUtf8(dir / "link");
    EXPECT_TRUE(noLinks || !run());
    EXPECT_TRUE(ui.statuses.empty() && files.copies == 0 && fs::is_empty(work));
    // A sibling whose name merely starts with the source's is not inside it.
    settings.TargetFolder = from + "2";
    EXPECT_TRUE(run());
}

TEST_F(BackupRunTest, OnlyASuccessfulRunIsLoggedRecordedAndPruned) {
    settings.KeepCountText = "1";
    settings.KeepCount = 1;
    runOn(12);
    runOn(13);
    files.copyError = std::make_error_code(std::errc::no_space_on_device);
    const std::string text = failure(PruneAfterRun::IfKeepCountSet);
    EXPECT_NE(text.find("partly-written.bin"), std::string::npos) << text;
    EXPECT_NE(text.find(describeError(files.copyError)), std::string::npos) << text;
    EXPECT_EQ(ui.lastStatus(), "文件备份失败！");
    // The day's earlier copy is untouched, the staging is gone, and nothing was pruned.
    EXPECT_EQ(readBytes(copyOf(13) / "a.txt"), "alpha");
    EXPECT_TRUE(fs::exists(copyOf(12)) && !fs::exists(copyOf(13, ".partial")));
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(OperationLog(ws.logFile()).LoadLines().size(), 2u);

    files.copyError.clear();
    runOn(14, PruneAfterRun::IfKeepCountSet);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_FALSE(fs::exists(copyOf(12)) || fs::exists(copyOf(13)));
}

TEST_F(BackupRunTest, SecondRunOfTheDayReplacesTheCopyAndClearsAStaleStaging) {
    ASSERT_TRUE(run());
    fs::create_directories(copyOf(15, ".partial"));  // what a run killed mid-copy leaves behind
    writeBytes(copyOf(15, ".partial") / "junk", "junk");
    fs::remove(source / "a.txt");
    writeBytes(source / "c.txt", "gamma");
    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(copyOf(15) / "c.txt"), "gamma");
    EXPECT_FALSE(fs::exists(copyOf(15) / "a.txt") || fs::exists(copyOf(15) / "junk") ||
                 fs::exists(copyOf(15, ".partial")));
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(BackupRunTest, RunIsRefusedWhileAnotherHolderHasTheLock) {
    auto held = RunLock::tryAcquire(ws.lockFile());
    ASSERT_TRUE(held);
    EXPECT_STREQ(failure().c_str(), "另一个备份正在进行中，请稍后再试！");
    EXPECT_TRUE(ui.statuses.empty() && files.copies == 0);
    EXPECT_FALSE(fs::exists(ws.logFile()) || fs::exists(ws.databaseFile()));
}

TEST(TargetPath, IsTargetFolderNameTailAndDate) {
    const char* cases[][3] = {
        {"/work/data", "/bak/", "/bak//data_20140505"},
        {"/", "/bak", "/bak/_20140505"},
        {"/a    ", "/b", "/b/a_20140505"},    // the tail is cut to the trimmed length...
        {"  数据", "/b", "/b  数_20140505"},  // ...on a character boundary
#ifdef _WIN32
        {"D:\\work\\data", "E:\\", "E:\\\\data_20140505"},
#else
        {"D:\\work\\data", "/b", "/bD:\\work\\data_20140505"},
#endif
    };
    for (const auto& [from, to, expected] : cases) {
        EXPECT_EQ(MakeTargetPath(from, to, at(2014, 5, 5, 23, 59, 59)), expected) << from;
    }
}

}  // namespace
}  // namespace vantrel
