#include <gtest/gtest.h>

#include "engine/manifest/CopyListing.h"
#include "engine/places/TargetMark.h"
#include "engine/restore/FileVersions.h"
#include "engine/run/BackupJob.h"
#include "engine/run/BackupRun.h"
#include "engine/run/CopySlot.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::writeBytes;

// Volumes as Windows names them, for a disk that moves from one drive letter to another.
class FakeVolumes final : public Volumes {
public:
    std::optional<VolumeIdentity> volumeOf(const fs::path& path) override {
        return VolumeIdentity{"\\\\?\\Volume{0f1e2d3c}\\", "1A2B3C4D", path.filename()};
    }
    std::optional<fs::path> rootOf(std::string_view guid) override {
        return guid == "\\\\?\\Volume{0f1e2d3c}\\" ? root : std::nullopt;
    }
    std::optional<fs::path> networkPathOf(const fs::path& path) override {
        return path.root_name() == "Z:" ? std::optional<fs::path>("//nas/backup") : std::nullopt;
    }
    std::optional<fs::path> root;  // where the disk is mounted now; none: unplugged
};

class JobPlacesTest : public ::testing::Test {
protected:
    JobPlacesTest() {
        fs::create_directories(work);
        fill(sourceA, "a", 24);
    }
    static void fill(const fs::path& folder, const std::string& prefix, int count) {
        fs::create_directories(folder);
        for (int i = 0; i < count; ++i) {
            writeBytes(folder / (prefix + std::to_string(i) + ".txt"), prefix);
        }
    }
    RunReport runOn(unsigned day, PruneAfterRun prune = PruneAfterRun::No) {
        clock.set(at(2014, 5, day, 9, 59, 50));
        RunControl control;
        control.volumes = &volumes;
        return RunBackup(ws, settings, prune, control);
    }
    fs::path copyOf(unsigned day) const {
        return bak / pathFromUtf8("数据_201405" + std::to_string(day));
    }
    std::string refusalOn(unsigned day) {
        try {
            runOn(day);
        } catch (const TargetNotConnected& e) {
            return e.what();
        }
        return "the run was not refused";
    }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path bak = dir / "bak";
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 50)};
    test::FakeUi ui;
    RealFileOps files;
    FakeVolumes volumes;
    Workspace ws{work, files, clock, ui};
    fs::path sourceA = (dir / "a/数据").make_preferred();
    fs::path sourceB = (dir / "b/数据").make_preferred();
    TBackupSettings settings{pathToUtf8(sourceA), pathToUtf8(bak), {}, {}, 1.0};
};

TEST_F(JobPlacesTest, CopiesOfAFormerSourceAreNeverThisSourcesHistory) {
    ASSERT_TRUE(runOn(15).ran);
    // Another folder of the same name: only its record tells its copies apart.
    fill(sourceB, "b", 3);
    settings.SourcePath = pathToUtf8(sourceB);
    const RunReport report = runOn(16, PruneAfterRun::IfKeepCountSet);
    ASSERT_TRUE(report.ran);
    EXPECT_FALSE(report.massChange) << *report.massChange;
    ASSERT_TRUE(report.changes);
    EXPECT_EQ(report.changes->filesDeleted, 0u);
    EXPECT_EQ(report.changes->added, 3u);
    // Kept and listed as a former folder's copy; never restored into this source.
    EXPECT_TRUE(fs::exists(copyOf(15) / "a0.txt"));
    const auto listed = listCopies(ws, settings);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_FALSE(listed[0].elsewhere);
    EXPECT_TRUE(listed[1].elsewhere);
    EXPECT_TRUE(versionsOf(ws, settings, "a0.txt").empty());
    EXPECT_EQ(versionsOf(ws, settings, "b0.txt").size(), 1u);
}

TEST_F(JobPlacesTest, RowsFromBeforeSourcesWereRecordedMatchByTheCopysName) {
    ASSERT_TRUE(runOn(15).ran);
    Database(ws.databaseFile(), Database::Mode::OpenExisting)
        .exec("DELETE FROM vantrel_copy_source");
    settings.SourcePath = pathToUtf8(sourceB);  // same name: taken as this source's, as before
    EXPECT_EQ(versionsOf(ws, settings, "a0.txt").size(), 1u);
    fill(dir / "c", "c", 1);
    settings.SourcePath = pathToUtf8(dir / "c");  // another name: a former folder's
    EXPECT_TRUE(versionsOf(ws, settings, "a0.txt").empty());
    EXPECT_TRUE(listCopies(ws, settings).front().elsewhere);
}

TEST_F(JobPlacesTest, FoldersWrittenRelativeOrWithATrailingSeparatorNameTheCopyAfterTheFolder) {
    fill(work / "data", "w", 1);
    settings.SourcePath = "data/";
    settings.TargetFolder = "bak";
    ASSERT_TRUE(runOn(15).ran);
    EXPECT_TRUE(fs::exists(work / "bak" / "data_20140515" / "w0.txt"));
    EXPECT_EQ(listCopies(ws, settings).front().record.path,
              pathToUtf8(fs::path("bak") / "data_20140515"));
    EXPECT_FALSE(listCopies(ws, settings).front().elsewhere);

    // A target above the job's folder is recorded with ".."; its copy is read like the first.
    settings.TargetFolder = "../bak";
    ASSERT_TRUE(runOn(16).ran);
    EXPECT_EQ(versionsOf(ws, settings, "w0.txt").size(), 2u);
}

TEST_F(JobPlacesTest, ATargetWithoutTheJobsMarkIsNotConnectedAndNothingIsMade) {
    BackupJob job{ws};
    ASSERT_FALSE(job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual)).error);
    const fs::path mark = markFile(bak, jobKey(files, work));
    ASSERT_TRUE(fs::exists(mark));

    // Unplugged: nothing is made where the disk was, and status keeps the records' copy.
    fs::rename(bak, dir / "unplugged");
    std::string refusal = refusalOn(16);
    EXPECT_NE(refusal.find("未连接"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find(pathToUtf8(bak)), std::string::npos) << refusal;
    EXPECT_FALSE(fs::exists(bak));
    const JobHealth health = job.health(settings);
    EXPECT_NE(health.reason.find("未连接"), std::string::npos) << health.reason;
    EXPECT_NE(health.lastCompleteLine(clock.now()), "上次完整备份：无");

    // An empty mount point, or another disk, in its place.
    fs::create_directories(bak);
    refusal = refusalOn(16);
    EXPECT_NE(refusal.find("未连接"), std::string::npos) << refusal;
    EXPECT_TRUE(fs::is_empty(bak));

    // Back, from before marks existed: its recorded copy makes it the job's own again.
    fs::remove(bak);
    fs::rename(dir / "unplugged", bak);
    fs::remove(mark);
    ASSERT_TRUE(runOn(16).ran);
    EXPECT_TRUE(fs::exists(mark));
    EXPECT_TRUE(job.health(settings).reason.empty()) << job.health(settings).reason;
}

TEST_F(JobPlacesTest, AMarkedDiskUnderAnotherDriveLetterIsFoundByItsVolume) {
    ASSERT_TRUE(runOn(15).ran);
    fs::create_directories(dir / "G");
    fs::rename(bak, dir / "G" / "bak");
    EXPECT_NE(refusalOn(16).find("未连接"), std::string::npos);  // not plugged in yet
    volumes.root = dir / "G";
    ASSERT_TRUE(runOn(16).ran);
    EXPECT_TRUE(fs::exists(dir / "G" / "bak" / pathFromUtf8("数据_20140516") / "a0.txt"));
    EXPECT_FALSE(fs::exists(bak));
}

TEST_F(JobPlacesTest, WhenTheDiskComesBackTheRunItMissedIsMadeAtTheNextTick) {
    settings.Days.fill(true);
    settings.RunTime = {10, 0, 0};
    settings.CatchUpMissed = true;
    BackupJob job{ws};
    ASSERT_FALSE(job.execute(settings, RunRequest::forTrigger(RunTrigger::Manual)).error);
    fs::rename(bak, dir / "unplugged");
    clock.set(at(2014, 5, 16, 9, 0, 0));
    job.startTimetable();
    clock.set(at(2014, 5, 16, 9, 59, 50));
    const auto due = job.isDue(settings);
    ASSERT_TRUE(due);
    const RunResult refused = job.execute(settings, *due);
    EXPECT_TRUE(refused.error);
    job.finished(refused);
    clock.advanceSeconds(1);
    EXPECT_FALSE(job.isDue(settings));
    fs::rename(dir / "unplugged", bak);
    clock.advanceSeconds(1);
    const auto back = job.isDue(settings);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->trigger, RunTrigger::CatchUp);
    EXPECT_FALSE(job.execute(settings, *back).error);
    EXPECT_TRUE(fs::exists(copyOf(16)));
}

TEST(NetworkDrive, AMappedLetterIsWarnedOfWithItsNetworkPath) {
    FakeVolumes volumes;
    EXPECT_FALSE(networkDriveWarning("/bak", volumes));
#ifdef _WIN32
    const auto warning = networkDriveWarning("Z:\\bak", volumes);
    ASSERT_TRUE(warning);
    EXPECT_NE(warning->find("//nas/backup"), std::string::npos) << *warning;
#endif
}

}  // namespace
}  // namespace vantrel
