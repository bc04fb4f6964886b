#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "engine/BackupError.h"
#include "engine/manifest/ManifestCheck.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/BackupRun.h"
#include "engine/run/CopyPlan.h"
#include "platform/Database.h"
#include "platform/FileStat.h"
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

std::uint64_t inodeOf(const fs::path& p) {
    return fileIdOf(p).value().inode;
}

void writeSize(const fs::path& file, std::size_t bytes, char fill = 'x') {
    writeBytes(file, std::string(bytes, fill));
}

// Runs of one job on real folders, one day after another.
class ShareRunTest : public ::testing::Test {
protected:
    ShareRunTest() {
        fs::create_directories(work);
        fs::create_directories(source / "sub");
        fs::create_directories(bak);
        writeBytes(source / "same.txt", "unchanged");
        writeBytes(source / "sub" / "edit.txt", "first");
        settings.ShareUnchanged = true;
    }
    RunReport runOn(unsigned day, PruneAfterRun prune = PruneAfterRun::No) {
        clock.set(at(2014, 5, day, 10, 0, 0));
        return RunBackup(ws, settings, prune);
    }
    std::string refusalOn(unsigned day, PruneAfterRun prune = PruneAfterRun::No) {
        try {
            runOn(day, prune);
            return "the run did not fail";
        } catch (const BackupError& e) {
            return e.what();
        }
    }
    fs::path copyOf(unsigned day) const { return bak / ("data_201405" + std::to_string(day)); }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path bak = dir / "bak";
    fs::path source = dir / "data";
    test::FakeClock clock;
    test::FakeUi ui;
    test::FaultyFileOps files;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings{pathToUtf8(source), pathToUtf8(bak), {}, {}, {}};
};

// Detaches what a test mounted, however it ends.
struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
};

TEST_F(ShareRunTest, ACopyMadeWithoutSharingCarriesHashesAndIsSharedFrom) {
    settings.ShareUnchanged = false;
    ASSERT_TRUE(runOn(15).ran);
    const VerifyResult hashed = verifyCopy(ws, "20140515");
    EXPECT_TRUE(hashed.intact()) << hashed.summary();
    EXPECT_EQ(hashed.diff.contentsUnchecked, 0u);
    // The hashes made while copying vouch for the copy: the first sharing run links.
    settings.ShareUnchanged = true;
    EXPECT_EQ(runOn(16).shared, 2u);
    EXPECT_EQ(verifyCopy(ws, "20140516").diff.contentsUnchecked, 0u);
}

TEST_F(ShareRunTest, ADamagedPreviousManifestLinksNothingAndTheNewCopyIsIntact) {
    ASSERT_TRUE(runOn(15).ran);
    Database(ws.databaseFile(), Database::Mode::OpenExisting)
        .exec("UPDATE vantrel_manifest SET entries = substr(entries, 1, 10)");
    const RunReport second = runOn(16);
    ASSERT_TRUE(second.ran);
    EXPECT_EQ(second.shared, 0u);  // no trusted record of the source: every file is copied
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_NE(ui.messages.back().find("中的备份清单已损坏"), std::string::npos)
        << ui.messages.back();
    ManifestStore manifests(ws.databaseFile());
    const auto id = manifests.rowOf(pathToUtf8(copyOf(16))).value();
    EXPECT_TRUE(
        compareManifests(manifests.load(id).value(), manifestOfTree(files, copyOf(16))).intact());
}

TEST_F(ShareRunTest, TooLittleSpaceRefusesBeforeWritingAndNamesWhatPruningWouldFree) {
    if (::mount("tmpfs", bak.c_str(), "tmpfs", 0, "size=8m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const Unmount unmount{bak};
    settings.ShareUnchanged = false;
    writeSize(source / "big.bin", 3 * 1024 * 1024);
    ASSERT_TRUE(runOn(15).ran);
    ASSERT_TRUE(runOn(16).ran);  // 6 of 8 MB used now

    writeSize(source / "big.bin", 4 * 1024 * 1024, 'z');
    const std::string refusal = refusalOn(17);
    EXPECT_EQ(refusal.rfind("目标磁盘空间不足：需要约 5.", 0), 0u) << refusal;
    EXPECT_EQ(refusal.find("删除"), std::string::npos) << "nothing would be pruned";
    EXPECT_FALSE(fs::exists(copyOf(17)));
    for (const auto& entry : fs::directory_iterator(bak)) {
        const std::string name = pathToUtf8(entry.path().filename());
        EXPECT_TRUE(name == "data_20140515" || name == "data_20140516" ||
                    (name[0] == '.' && fs::file_size(entry.path()) == 0) || name.ends_with(".mark"))
            << name;  // the run's lock files and the job's mark aside
    }
    EXPECT_EQ(BackupRecordStore(ws.databaseFile()).list().size(), 2u);

    settings.KeepCount = 1;
    const std::string withPrune = refusalOn(17, PruneAfterRun::IfKeepCountSet);
    EXPECT_NE(withPrune.find("；删除将被清理的 2 个旧备份可释放约 6.0 MB"), std::string::npos)
        << withPrune;
    // Pruning waits for a copy that succeeded.
    EXPECT_TRUE(fs::exists(copyOf(15)) && fs::exists(copyOf(16)));
}

TEST_F(ShareRunTest, UnchangedFilesAreOneFileInBothCopiesAndSurvivePruning) {
    ASSERT_TRUE(runOn(15).ran);
    writeBytes(source / "sub" / "edit.txt", "second");
    const RunReport second = runOn(16);
    EXPECT_EQ(second.shared, 1u);
    EXPECT_EQ(second.shareFallbacks, 0u);
    EXPECT_EQ(inodeOf(copyOf(15) / "same.txt"), inodeOf(copyOf(16) / "same.txt"));
    EXPECT_NE(inodeOf(copyOf(15) / "sub" / "edit.txt"), inodeOf(copyOf(16) / "sub" / "edit.txt"));
    EXPECT_EQ(readBytes(copyOf(16) / "sub" / "edit.txt"), "second");

    // Each copy's manifest describes it; the shared file's hash came from the first one.
    ManifestStore manifests(ws.databaseFile());
    for (unsigned day : {15u, 16u}) {
        const auto id = manifests.rowOf(pathToUtf8(copyOf(day))).value();
        EXPECT_TRUE(compareManifests(manifests.load(id).value(), manifestOfTree(files, copyOf(day)))
                        .intact())
            << day;
    }

    // Pruning the copies it shares with leaves the shared file whole in the one kept.
    const auto sharedInode = inodeOf(copyOf(16) / "same.txt");
    settings.KeepCount = 1;
    ASSERT_TRUE(runOn(17, PruneAfterRun::IfKeepCountSet).ran);
    EXPECT_EQ(inodeOf(copyOf(17) / "same.txt"), sharedInode);
    EXPECT_FALSE(fs::exists(copyOf(15)) || fs::exists(copyOf(16)));
    EXPECT_EQ(readBytes(copyOf(17) / "same.txt"), "unchanged");
}

// A target folder reached through another name is the same folder for sharing as it is for
// pruning.
TEST_F(ShareRunTest, ATargetReachedThroughALinkSharesWithTheCopiesMadeThere) {
    ASSERT_TRUE(runOn(15).ran);
    fs::create_directory_symlink(bak, dir / "alias");
    settings.TargetFolder = pathToUtf8(dir / "alias");
    const RunReport report = runOn(16);
    ASSERT_TRUE(report.ran);
    EXPECT_EQ(report.shared, 2u);
    EXPECT_EQ(inodeOf(copyOf(15) / "same.txt"), inodeOf(copyOf(16) / "same.txt"));
}

TEST_F(ShareRunTest, LinksRefusedByTheTargetAreCopiedAndCounted) {
    ASSERT_TRUE(runOn(15).ran);
    // The previous copy on a mount of its own: every link from it fails as across devices.
    if (::mount(copyOf(15).c_str(), copyOf(15).c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    const Unmount unmount{copyOf(15)};
    const RunReport report = runOn(16);
    EXPECT_TRUE(report.ran && !report.incomplete());
    EXPECT_EQ(report.shared, 0u);
    EXPECT_EQ(report.shareFallbacks, 2u);
    EXPECT_EQ(report.copied.files, 2u);
    EXPECT_NE(inodeOf(copyOf(15) / "same.txt"), inodeOf(copyOf(16) / "same.txt"));
    EXPECT_EQ(readBytes(copyOf(16) / "same.txt"), "unchanged");
}

TEST_F(ShareRunTest, ATargetWithoutLinksIsSaidOnceAndCopiesEverything) {
    ASSERT_TRUE(runOn(15).ran);
    clock.set(at(2014, 5, 16, 10, 0, 0));
    files.linkSupport = LinkSupport{false, 0};
    const auto records = openRecords(ws);
    CopyPlan plan(ws, *records, settings, resolveRun(ws, settings, clock.now()).target, false);
    plan.prepare();
    EXPECT_EQ(files.probes, 1);
    EXPECT_TRUE(plan.sharingUnsupported());
    EXPECT_TRUE(plan.options().shareFrom.empty());
    EXPECT_EQ(ui.messages, std::vector<std::string>{std::string(kSharingUnsupported)});
    EXPECT_EQ(plan.estimate().files, 2u);  // nothing counted as shared

    files.linkSupport.reset();
    CopyPlan real(ws, *records, settings, resolveRun(ws, settings, clock.now()).target, false);
    real.prepare();
    EXPECT_EQ(real.sharedFrom(), copyOf(15));
}

// Sets the modification time of `file` to `seconds` and `nanos`.
void setTime(const fs::path& file, std::time_t seconds, long nanos) {
    const timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// Edits that leave size and modification time as the target keeps them: on ext4 with small
// inodes (whole seconds), a rewrite within the second, a rewrite with its time set back, new
// extended attributes. Each reaches the next copy as a new file.
TEST_F(ShareRunTest, EditsTheTargetsTimesCannotShowAreCopiedNotLinked) {
    const fs::path image = dir / "ext4.img";
    const std::string make = "truncate -s 16M '" + image.string() + "' && mkfs.ext4 -q -I 128 '" +
                             image.string() + "' >/dev/null 2>&1 && mount -o loop '" +
                             image.string() + "' '" + bak.string() + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        GTEST_SKIP() << "cannot make and mount an ext4 image here";
    }
    const Unmount unmount{bak};
    ASSERT_EQ(probeLinks(bak, ".probe").timeToleranceNs, 1'000'000'000);
    for (const char* name : {"second.txt", "back.txt", "xattr.txt"}) {
        writeBytes(source / name, "old");
        setTime(source / name, 1'400'000'000, 100'000'000);
    }
    ASSERT_TRUE(runOn(15).ran);

    writeBytes(source / "second.txt", "new");
    setTime(source / "second.txt", 1'400'000'000, 900'000'000);  // the same whole second
    writeBytes(source / "back.txt", "new");
    setTime(source / "back.txt", 1'400'000'000, 100'000'000);  // as before, to the nanosecond
    const bool xattrs = ::setxattr((source / "xattr.txt").c_str(), "user.tag", "v", 1, 0) == 0;
    const RunReport second = runOn(16);
    ASSERT_TRUE(second.ran);
    EXPECT_EQ(readBytes(copyOf(16) / "second.txt"), "new");
    EXPECT_EQ(readBytes(copyOf(16) / "back.txt"), "new");
    EXPECT_EQ(inodeOf(copyOf(15) / "same.txt"), inodeOf(copyOf(16) / "same.txt"));
    if (xattrs) {
        char value[4] = {};
        EXPECT_EQ(::getxattr((copyOf(16) / "xattr.txt").c_str(), "user.tag", value, 4), 1);
        EXPECT_EQ(second.shared, 2u);  // same.txt and sub/edit.txt
    }
}

// Bit rot in a copy: a check finds it, names the copies that hold the same file, and the
// next run copies the file from the source instead of linking the damage forward.
TEST_F(ShareRunTest, ADamagedFileIsNeverLinkedAgain) {
    ASSERT_TRUE(runOn(15).ran);
    ASSERT_TRUE(runOn(16).ran);
    const fs::path rotten = copyOf(16) / "same.txt";
    ASSERT_EQ(inodeOf(copyOf(15) / "same.txt"), inodeOf(rotten));
    struct stat before;
    ASSERT_EQ(::stat(rotten.c_str(), &before), 0);
    writeBytes(rotten, "unchAnged");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, rotten.c_str(), times, 0), 0);

    const VerifyResult check = verifyCopy(ws, "20140516");
    EXPECT_EQ(check.diff.changed, std::vector<std::string>{"same.txt"});
    EXPECT_EQ(check.sharedWith, std::vector<std::string>{pathToUtf8(copyOf(15))});
    EXPECT_NE(check.summary().find(pathToUtf8(copyOf(15))), std::string::npos);

    const RunReport next = runOn(17);
    ASSERT_TRUE(next.ran);
    EXPECT_EQ(readBytes(copyOf(17) / "same.txt"), "unchanged");
    EXPECT_NE(inodeOf(copyOf(17) / "same.txt"), inodeOf(rotten));
    EXPECT_TRUE(verifyCopy(ws, "20140517").intact());
}

TEST_F(ShareRunTest, OnAFatImageEverythingIsCopiedAndTheRunSucceeds) {
    const fs::path image = dir / "fat.img";
    const std::string make = "truncate -s 16M '" + image.string() + "' && mkfs.vfat '" +
                             image.string() + "' >/dev/null 2>&1 && mount -o loop '" +
                             image.string() + "' '" + bak.string() + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        GTEST_SKIP() << "cannot make and mount a FAT image here";
    }
    const Unmount unmount{bak};
    const auto support = probeLinks(bak, ".probe");
    EXPECT_FALSE(support.hardLinks);
    EXPECT_EQ(support.timeToleranceNs, 2'000'000'000);

    ASSERT_TRUE(runOn(15).ran);
    const RunReport second = runOn(16);
    EXPECT_TRUE(second.ran && second.sharingUnsupported);
    EXPECT_EQ(second.copied.files, 2u);
    EXPECT_EQ(second.shared, 0u);
    EXPECT_EQ(ui.messages, std::vector<std::string>{std::string(kSharingUnsupported)});
    EXPECT_EQ(readBytes(copyOf(16) / "same.txt"), "unchanged");
}

}  // namespace
}  // namespace vantrel
