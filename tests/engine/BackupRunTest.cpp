#include "engine/run/BackupRun.h"

#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/mount.h>
#endif

#include "engine/BackupError.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/places/JobPlaces.h"
#include "engine/places/TargetMark.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RecordDatabase.h"
#include "engine/rules/Exclusions.h"
#include "engine/run/CopySlot.h"
#include "platform/Database.h"
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
    std::vector<BackupRecord> rows() const { return BackupRecordStore(ws.databaseFile()).list(); }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path bak = dir / "bak";
    fs::path source = (dir / "源/数据").make_preferred();  // native separators, as picked
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 50)};
    test::FakeUi ui;
    test::FaultyFileOps files;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings{pathToUtf8(source), pathToUtf8(bak), {}, {}, {}};
};

// A record database as the first releases wrote it: table `wenjianming` alone, no version,
// rows naming copies on disk that no mark or source row vouches for.
TEST_F(BackupRunTest, ARecordDatabaseOfTheFirstReleasesIsMigratedAndKeepsWorking) {
    {
        Database db(ws.databaseFile(), Database::Mode::CreateIfMissing);
        db.exec(
            "CREATE TABLE wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, wenjianming TEXT, "
            "shijian TEXT)");
        for (const unsigned day : {12u, 13u, 14u}) {
            fs::create_directories(copyOf(day));
            writeBytes(copyOf(day) / "a.txt", "old");
            auto row = db.prepare("insert into wenjianming(wenjianming,shijian)values(:p,:d)");
            row.bind("p", pathToUtf8(copyOf(day)));
            row.bind("d", "2014-05-" + std::to_string(day));
            row.step();
        }
    }
    EXPECT_EQ(RecordDatabase(ws.databaseFile()).version(), 0);
    settings.KeepCount = 2;
    runOn(15, PruneAfterRun::IfKeepCountSet);
    {
        RecordDatabase records(ws.databaseFile());
        EXPECT_EQ(records.version(), RecordDatabase::currentVersion());
        for (const auto part : {RecordDatabase::Part::History, RecordDatabase::Part::Manifests,
                                RecordDatabase::Part::ChangeGuard, RecordDatabase::Part::Pins,
                                RecordDatabase::Part::JournalRuns, RecordDatabase::Part::Sources}) {
            EXPECT_TRUE(records.has(part));
        }
    }
    auto kept = rows();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].path, pathToUtf8(copyOf(15)));
    EXPECT_EQ(kept[1].path, pathToUtf8(copyOf(14)));
    EXPECT_FALSE(fs::exists(copyOf(12)) || fs::exists(copyOf(13)));
    EXPECT_EQ(readBytes(copyOf(14) / "a.txt"), "old");
    // The migrated file serves the next run as any other.
    runOn(16, PruneAfterRun::IfKeepCountSet);
    kept = rows();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].path, pathToUtf8(copyOf(15)));
    EXPECT_FALSE(fs::exists(copyOf(14)));
}

TEST_F(BackupRunTest, CopiesLogsAndRecordsFoldersAndFiles) {
    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(copyOf(15) / "a.txt"), "alpha");
    EXPECT_EQ(readBytes(copyOf(15) / "sub" / "b.txt"), "beta");
    // The finished status once, with the figures.
    ASSERT_EQ(ui.statuses.size(), 2u);
    EXPECT_EQ(ui.statuses[0], "文件备份中……");
    EXPECT_EQ(ui.statuses[1].rfind("文件备份完毕！用时 0 秒，2 个文件，", 0), 0u) << ui.statuses[1];
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
    EXPECT_TRUE(fs::exists(copyOf(12)));
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(OperationLog(ws.logFile()).LoadLines().size(), 2u);

    files.copyError.clear();
    runOn(14, PruneAfterRun::IfKeepCountSet);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_FALSE(fs::exists(copyOf(12)) || fs::exists(copyOf(13)));
}

TEST_F(BackupRunTest, SecondRunOfTheDayReplacesTheCopyAndClearsStaleStaging) {
    ASSERT_TRUE(run());
    // What runs of this job killed mid-copy leave behind, on any date, and another job's.
    const auto job = jobKey(files, work);
    for (const char* tail : {"-20140101.new", "-20140515.old"}) {
        fs::create_directories(bak / (".vantrel-" + job + tail) / "sub");
    }
    const auto foreign = bak / ".vantrel-0badf00d-20140515.new";
    fs::create_directories(foreign);
    fs::remove(source / "a.txt");
    writeBytes(source / "c.txt", "gamma");
    for (bool noExchange : {false, true}) {
        files.noExchange = noExchange;
        ASSERT_TRUE(run());
        EXPECT_EQ(readBytes(copyOf(15) / "c.txt"), "gamma");
        EXPECT_FALSE(fs::exists(copyOf(15) / "a.txt"));
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(bak)) {
            if (e.is_directory()) {
                left.push_back(pathToUtf8(e.path().filename()));
            }
        }
        EXPECT_EQ(left.size(), 2u);  // the copy and the other job's staging
        EXPECT_TRUE(fs::exists(foreign));
    }
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(OperationLog(ws.logFile()).LoadLines().size(), 3u);
}

TEST_F(BackupRunTest, ALongSourceNameStillGetsItsCopy) {
    const auto longName = dir / std::string(240, 'n');
    fs::create_directories(longName);
    writeBytes(longName / "f", "x");
    settings.SourcePath = pathToUtf8(longName);
    ASSERT_TRUE(run());
    EXPECT_EQ(readBytes(bak / (std::string(240, 'n') + "_20140515") / "f"), "x");
}

TEST_F(BackupRunTest, AJobReplacesAndPrunesOnlyItsOwnCopies) {
    // A folder put there by hand, then another job's copy of a source of the same name.
    fs::create_directories(copyOf(15) / "mine");
    EXPECT_NE(failure().find(pathToUtf8(copyOf(15))), std::string::npos);
    fs::remove_all(copyOf(15));
    const auto otherWork = dir / "other-job";
    Workspace other{otherWork, files, clock, ui};
    fs::create_directories(otherWork);
    ASSERT_TRUE(RunBackup(other, settings).ran);
    writeBytes(copyOf(15) / "theirs", "t");
    const std::string text = failure();
    EXPECT_NE(text.find(pathToUtf8(copyOf(15))), std::string::npos) << text;
    EXPECT_TRUE(fs::exists(copyOf(15) / "theirs"));
    EXPECT_TRUE(!fs::exists(ws.databaseFile()) || rows().empty());

    // A job copied from another one, pointed at a new target, prunes nothing of the old one.
    fs::remove(ws.databaseFile());
    fs::copy_file(otherWork / "wenjianming.mdb", ws.databaseFile());
    settings.TargetFolder = pathToUtf8(dir / "bak2");
    settings.KeepCount = 1;
    runOn(16, PruneAfterRun::IfKeepCountSet);
    EXPECT_TRUE(fs::exists(copyOf(15) / "theirs"));
    EXPECT_EQ(rows().size(), 2u);  // the old folder's row stays, for when it returns
}

TEST_F(BackupRunTest, TwoJobsNeverWriteOneDatedPathAtOnce) {
    fs::create_directories(bak);
    auto held = RunLock::tryAcquire(CopySlot::lockFileFor(files, copyOf(15)));
    ASSERT_TRUE(held);
    EXPECT_EQ(failure(), "另一个备份正在进行中，请稍后再试！");
    EXPECT_EQ(files.copies, 0);
    held.reset();
    EXPECT_TRUE(run());
}

TEST_F(BackupRunTest, AnEmptySourceIsRefusedOnlyWhenTheLastCopyHeldFiles) {
    const auto empty = dir / "mnt/数据";
    fs::create_directories(empty);
    settings.SourcePath = pathToUtf8(empty);
    // A first run of an empty folder makes its copy, and warns.
    const RunReport first = RunBackup(ws, settings);
    ASSERT_TRUE(first.ran);
    EXPECT_TRUE(first.hasWarning() && !first.incomplete());
    EXPECT_NE(ui.messages.back().find(settings.SourcePath + "”中没有任何文件"), std::string::npos)
        << ui.messages.back();
    settings.SourcePath = pathToUtf8(source);
    settings.KeepCount = 1;
    runOn(16);
    settings.SourcePath = pathToUtf8(empty);
    clock.set(at(2014, 5, 17, 9, 59, 50));
    const std::string text = failure(PruneAfterRun::IfKeepCountSet);
    EXPECT_NE(text.find(settings.SourcePath), std::string::npos) << text;
    EXPECT_NE(text.find("空"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(copyOf(17)));
    EXPECT_EQ(readBytes(copyOf(16) / "a.txt"), "alpha");
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(BackupRunTest, ALinkedSourceIsCopiedAsWhatItNames) {
    std::error_code noLinks;
    const auto link = dir / "link" / "数据";
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(source, link, noLinks);
    if (noLinks) {
        GTEST_SKIP() << "no symbolic links here";
    }
    settings.SourcePath = pathToUtf8(link);
    ASSERT_TRUE(run());
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(copyOf(15))));
    EXPECT_EQ(readBytes(copyOf(15) / "a.txt"), "alpha");
    // A target inside the folder the link names is inside the source, for the run and for
    // the save command's check alike.
    settings.TargetFolder = pathToUtf8(source / "sub");
    EXPECT_TRUE(targetInsideSource(ws, settings));
    const RunReport refused = RunBackup(ws, settings);
    EXPECT_FALSE(refused.ran);
    ASSERT_TRUE(refused.refusal);
    EXPECT_EQ(refused.refusal->reason, RefusalReason::TargetInsideSource);
    EXPECT_EQ(ui.messages.back(), "备份文件的目的地址不能位于源地址之内！");
}

#ifdef __linux__
TEST_F(BackupRunTest, ATargetReachingIntoTheSourceThroughABindMountIsRefused) {
    const auto alias = dir / "alias";
    fs::create_directories(alias);
    if (::mount(source.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "bind mounts need privileges this process lacks";
    }
    settings.TargetFolder = pathToUtf8(alias / "bak");
    const bool ran = run();
    ::umount2(alias.c_str(), MNT_DETACH);
    EXPECT_FALSE(ran);
    EXPECT_EQ(ui.messages.back(), "备份文件的目的地址不能位于源地址之内！");
    EXPECT_FALSE(fs::exists(source / "bak"));
}
#endif

TEST_F(BackupRunTest, APartialRunIsRecordedLoggedAndShownAsIncomplete) {
    files.unreadable = {fs::path("sub") / "b.txt"};
    const auto report = RunBackup(ws, settings);
    ASSERT_TRUE(report.ran);
    ASSERT_EQ(report.skipped.size(), 1u);
    EXPECT_TRUE(report.incomplete() && report.hasWarning());
    EXPECT_EQ(ui.lastStatus().rfind("文件备份完毕，但有 1 项未能复制！用时 ", 0), 0u)
        << ui.lastStatus();
    EXPECT_EQ(readBytes(copyOf(15) / "a.txt"), "alpha");
    EXPECT_EQ(OperationLog(ws.logFile()).LoadLines().back(),
              "140515 9:59:50   " + settings.SourcePath + "   部分备份至   " +
                  pathToUtf8(copyOf(15)) + "   未复制项数：1");
    const auto records = rows();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].failed.size(), 1u);
    EXPECT_EQ(records[0].failed[0].path, pathToUtf8(source / "sub" / "b.txt"));
    EXPECT_EQ(records[0].failed[0].reason,
              describeError(std::make_error_code(std::errc::permission_denied)));
    // The target folder itself is never copied into the copy.
    ASSERT_EQ(files.lastOptions.skipFolders.size(), 1u);
    EXPECT_EQ(files.lastOptions.skipFolders[0], *fileIdOf(bak));
}

TEST_F(BackupRunTest, AnOldCopyThatCannotBeDeletedDoesNotStopPruning) {
    settings.KeepCount = 1;
    runOn(12);
    runOn(13);
    files.removeFailsAt = copyOf(12);
    clock.set(at(2014, 5, 14, 9, 59, 50));
    const auto report = RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet);
    ASSERT_EQ(report.pruneFailures.size(), 1u);
    EXPECT_TRUE(report.hasWarning() && !report.incomplete());
    EXPECT_NE(ui.messages.back().find(pathToUtf8(copyOf(12))), std::string::npos);
}

TEST_F(BackupRunTest, UnwritableLogOrRecordsRefuseTheRunBeforeCopying) {
    runOn(14);
    fs::remove(ws.logFile());
    fs::create_directories(ws.logFile());  // a folder where the log should be
    clock.set(at(2014, 5, 15, 9, 59, 50));
    EXPECT_NE(failure().find("FileBackupLog.log"), std::string::npos);
    fs::remove(ws.logFile());

    // Another program holds the record file's write lock.
    Database holder(ws.databaseFile(), Database::Mode::OpenExisting);
    holder.exec("BEGIN EXCLUSIVE");
    EXPECT_NE(failure().find("wenjianming.mdb"), std::string::npos);
    holder.exec("ROLLBACK");
    EXPECT_EQ(files.copies, 1);
    EXPECT_FALSE(fs::exists(copyOf(15)));
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(BackupRunTest, ANetworkPlaceGoneDuringTheCopyIsATargetNotConnected) {
    files.copyError = std::make_error_code(std::errc::not_connected);
    try {
        run();
        ADD_FAILURE() << "the run did not fail";
    } catch (const TargetNotConnected& e) {
        EXPECT_NE(std::string(e.what()).find("未连接"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(rows().empty());
    EXPECT_FALSE(fs::exists(copyOf(15)));
}

TEST_F(BackupRunTest, ACancelledRunLeavesNothingBehind) {
    std::atomic<bool> cancel{false};
    files.afterCopy = [&] { cancel = true; };
    try {
        RunBackup(ws, settings, PruneAfterRun::No, RunControl{&cancel});
        ADD_FAILURE() << "a cancelled run must not succeed";
    } catch (const BackupCancelled&) {
    }
    EXPECT_FALSE(fs::exists(copyOf(15)));
    EXPECT_EQ(std::distance(fs::directory_iterator(bak), fs::directory_iterator()),
              2);  // the lock file and the job's mark only
    EXPECT_TRUE(rows().empty());
    EXPECT_FALSE(fs::exists(ws.logFile()) && !OperationLog(ws.logFile()).LoadLines().empty());
}

TEST_F(BackupRunTest, RulesThatTogetherLeaveEveryFileOutRefuseTheRun) {
    writeBytes(source / "sub" / "c.dat", "gamma");
    const struct {
        const char* rules;
        const char* named;  // the rules that left something out; none when the run goes on
    } cases[] = {{"?*", "?*"},
                 {"*.txt|sub/", "*.txt|sub/"},
                 {"*.doc|sub/|*.txt", "sub/|*.txt"},
                 {"*.txt|*.dat", "*.txt|*.dat"},
                 {"*.txt", nullptr}};
    for (const auto& c : cases) {
        settings.ExcludeRules = c.rules;
        const RunReport report = RunBackup(ws, settings);
        EXPECT_EQ(report.ran, c.named == nullptr) << c.rules;
        if (c.named != nullptr) {
            ASSERT_TRUE(report.refusal) << c.rules;
            EXPECT_EQ(report.refusal->reason, RefusalReason::Settings);
            EXPECT_EQ(report.refusal->text, rulesLeaveNothingMessage(c.named, settings.SourcePath));
            EXPECT_EQ(ui.messages.back(), report.refusal->text);
            EXPECT_FALSE(fs::exists(copyOf(15)));
        }
    }
    EXPECT_EQ(readBytes(copyOf(15) / "sub" / "c.dat"), "gamma");
    // A folder that cannot be read may hold files: the copy, not the rules, tells.
    files.unlistable = {source / "sub"};
    settings.ExcludeRules = "*.txt";
    runOn(16);
    files.unlistable.clear();
    // Rules that leave out only empty folders leave nothing worth refusing.
    fs::remove_all(source);
    fs::create_directories(source / "sub");
    settings.ExcludeRules = "sub/";
    runOn(17);
}

TEST_F(BackupRunTest, ASecondRunOfTheDayNeverReplacesAPinnedCopy) {
    ASSERT_TRUE(run());
    BackupRecordStore(ws.databaseFile()).setPinned(rows().front().id, true);
    fs::remove(source / "a.txt");
    const std::string text = failure();
    EXPECT_NE(text.find("备份“" + pathToUtf8(copyOf(15)) + "”已永久保留"), std::string::npos)
        << text;
    EXPECT_EQ(readBytes(copyOf(15) / "a.txt"), "alpha");
    EXPECT_EQ(rows().size(), 1u);
    // Once the pin is taken off, the day's copy is replaced as before.
    BackupRecordStore(ws.databaseFile()).setPinned(rows().front().id, false);
    ASSERT_TRUE(run());
    EXPECT_FALSE(fs::exists(copyOf(15) / "a.txt"));
}

TEST_F(BackupRunTest, AnIncompleteRerunKeepsWhatItCouldNotReadFromTheCopyItReplaces) {
    fs::create_directories(source / "sub" / "deep");
    writeBytes(source / "sub" / "deep" / "d.txt", "delta");
    ASSERT_TRUE(run());
    writeBytes(source / "a.txt", "alpha, edited");
    writeBytes(source / "c.txt", "gamma");
    writeBytes(source / "new.txt", "new");
    files.unreadable = {"a.txt", fs::path("sub") / "deep", "new.txt"};
    const RunReport report = RunBackup(ws, settings);
    ASSERT_TRUE(report.ran);
    EXPECT_EQ(report.skipped.size(), 3u);
    EXPECT_EQ(report.carried.size(), 2u);
    // The earlier versions of what could not be read; what the earlier copy lacked stays out.
    EXPECT_EQ(readBytes(copyOf(15) / "a.txt"), "alpha");
    EXPECT_EQ(readBytes(copyOf(15) / "sub" / "deep" / "d.txt"), "delta");
    EXPECT_EQ(readBytes(copyOf(15) / "c.txt"), "gamma");
    EXPECT_FALSE(fs::exists(copyOf(15) / "new.txt"));
    EXPECT_NE(ui.lastStatus().find("3 项未能复制（其中 2 项保留了今天较早备份中的版本）"),
              std::string::npos)
        << ui.lastStatus();
    // The record says which entries are the earlier versions, and the manifest lists them.
    const auto records = rows();
    ASSERT_EQ(records.front().failed.size(), 3u);
    EXPECT_EQ(records.front().carriedOver(), 2u);
    for (const FailedEntry& f : records.front().failed) {
        EXPECT_EQ(f.reason.ends_with(kCarriedOver), f.path != pathToUtf8(source / "new.txt"))
            << f.path;
    }
    std::vector<CopyEntries> copies = jobCopies(ws);
    ASSERT_FALSE(copies.empty());
    EXPECT_TRUE(copies.front().find("a.txt"));
    EXPECT_TRUE(copies.front().find("sub/deep/d.txt"));
}

}  // namespace
}  // namespace vantrel
