#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "engine/BackupError.h"
#include "engine/BackupRecordStore.h"
#include "engine/BackupRun.h"
#include "engine/CopyPlan.h"
#include "engine/Manifest.h"
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

TEST(SpaceText, SizesAndRefusals) {
    const struct {
        std::uint64_t bytes;
        const char* text;
    } sizes[] = {{0, "0.0 MB"},
                 {860'158'771, "820.3 MB"},
                 {1'073'700'000, "1.0 GB"},  // 1023.96 MB rounds up to the next unit
                 {1'610'612'736, "1.5 GB"}};
    for (const auto& row : sizes) {
        EXPECT_EQ(formatSize(row.bytes), row.text) << row.bytes;
    }

    constexpr std::uint64_t kMB = 1024 * 1024;
    EXPECT_FALSE(spaceRefusal(100 * kMB, 100 * kMB, 0, 0));
    EXPECT_EQ(spaceRefusal(1536 * kMB, 200 * kMB, 0, 0).value(),
              "目标磁盘空间不足：需要约 1.5 GB，可用 200.0 MB");
    // Pruning is named only when it would make room.
    EXPECT_EQ(spaceRefusal(300 * kMB, 200 * kMB, 2, 50 * kMB).value(),
              "目标磁盘空间不足：需要约 300.0 MB，可用 200.0 MB");
    EXPECT_EQ(spaceRefusal(300 * kMB, 200 * kMB, 2, 150 * kMB).value(),
              "目标磁盘空间不足：需要约 300.0 MB，可用 200.0 MB；删除将被清理的 2 个旧备份可释放约 "
              "150.0 MB");
}

TEST(SharingMatch, EveryFieldMustAgree) {
    EntryStat base;
    base.size = 10;
    base.mtimeNs = 5'000'000'000;
    base.permissions = 0644;
    base.owner = 1000;
    base.group = 1000;
    const struct {
        const char* what;
        void (*change)(EntryStat&);
        std::int64_t tolerance;
        bool owners;
        bool same;
    } cases[] = {
        {"identical", [](EntryStat&) {}, 0, true, true},
        {"size", [](EntryStat& e) { e.size = 11; }, 0, false, false},
        {"one nanosecond", [](EntryStat& e) { e.mtimeNs += 1; }, 0, false, false},
        {"within 2 s", [](EntryStat& e) { e.mtimeNs += 1'999'999'999; }, 2'000'000'000, false,
         true},
        {"beyond 2 s", [](EntryStat& e) { e.mtimeNs -= 2'000'000'001; }, 2'000'000'000, false,
         false},
        {"permissions", [](EntryStat& e) { e.permissions = 0600; }, 0, false, false},
        {"owner as root", [](EntryStat& e) { e.owner = 0; }, 0, true, false},
        {"owner otherwise", [](EntryStat& e) { e.owner = 0; }, 0, false, true},
        {"a folder", [](EntryStat& e) { e.type = EntryStat::Type::Folder; }, 0, false, false},
    };
    for (const auto& c : cases) {
        EntryStat other = base;
        c.change(other);
        EXPECT_EQ(sameForSharing(base, other, c.tolerance, c.owners), c.same) << c.what;
    }
}

TEST(SpaceEstimate, CountsOnlyWhatIsCopiedAndWhatPruningFrees) {
    test::TempDir dir;
    const fs::path src = dir / "src", prev = dir / "prev";
    fs::create_directories(src / "sub");
    writeSize(src / "same.bin", 100'000);
    writeSize(src / "sub" / "changed.bin", 50'000);
    fs::copy(src, prev, fs::copy_options::recursive);
    for (const char* name : {"same.bin", "sub/changed.bin"}) {
        fs::last_write_time(prev / name, fs::last_write_time(src / name));
    }
    writeSize(src / "sub" / "changed.bin", 60'000, 'y');

    const auto all = estimateSpace(src, {}, 0, keepsOwners());
    EXPECT_EQ(all.files, 2u);
    EXPECT_EQ(all.folders, 2u);
    // 100,000 and 60,000 bytes in 4 KiB blocks, two folders, 1 MiB, then 1 %.
    const std::uint64_t raw = 102'400 + 61'440 + 2 * 4096 + 1'048'576;
    EXPECT_EQ(all.neededBytes, raw + raw / 100);

    const auto shared = estimateSpace(src, prev, 0, keepsOwners());
    EXPECT_EQ(shared.sharedFiles, 1u);
    EXPECT_EQ(shared.files, 1u);
    EXPECT_EQ(shared.sharedSoleBytes, 102'400u);
    EXPECT_EQ(shared.neededBytes, all.neededBytes - (102'400 + 102'400 / 100));

    // A file with a second link elsewhere frees nothing when one copy goes.
    fs::create_hard_link(prev / "same.bin", dir / "elsewhere.bin");
    EXPECT_EQ(spaceFreedByRemoving(prev), 53'248u + 2 * 4096);
}

TEST(SpaceEstimate, FromTheCountAsFromItsOwnWalk) {
    test::TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directories(src / "a" / "b");
    writeSize(src / "one.bin", 100'000);
    writeSize(src / "a" / "b" / "two.bin", 8192);
    fs::create_symlink("one.bin", src / "link");
    RealFileOps ops;
    TreeSize counted;
    ASSERT_TRUE(ops.measureTree(src, counted).ok());
    EXPECT_EQ(estimateFromCount(counted).neededBytes,
              estimateSpace(src, {}, 0, keepsOwners()).neededBytes);
    EXPECT_EQ(estimateFromCount(counted).folders, 3u);
}

TEST(LinkProbe, FindsLinksAndLeavesNothingBehind) {
    test::TempDir dir;
    const auto support = probeLinks(dir.path(), ".probe");
    EXPECT_TRUE(support.hardLinks);
    EXPECT_EQ(support.timeToleranceNs, 0);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_THROW(probeLinks(dir / "missing", ".probe"), std::system_error);
}

class ManifestTest : public ::testing::Test {
protected:
    ManifestTest() {
        fs::create_directories(copy / "sub");
        writeBytes(copy / "a.txt", "alpha");
        writeBytes(copy / "sub" / "b.txt", "beta");
        fs::create_symlink("a.txt", copy / "link");
    }
    // A record database with rows for two copies, 1 and 2.
    fs::path twoRows() {
        BackupRecordStore::CreateIfMissing(db);
        BackupRecordStore store(db);
        store.Add("/bak/a_20140515", std::chrono::year_month_day{});
        store.Add("/bak/a_20140516", std::chrono::year_month_day{});
        return db;
    }
    std::int64_t count(std::string_view sql) {
        Database raw(db, Database::Mode::OpenExisting);
        auto stmt = raw.prepare(sql);
        return stmt.step() ? stmt.columnInt(0) : -1;
    }
    std::string blobOf(std::int64_t id) {
        Database raw(db, Database::Mode::OpenExisting);
        auto stmt = raw.prepare("SELECT entries FROM vantrel_manifest WHERE copy_id = :id");
        stmt.bind("id", id);
        return stmt.step() ? stmt.columnBlob(0) : "(none)";
    }
    void storeBlob(std::int64_t id, std::string_view blob) {
        Database raw(db, Database::Mode::OpenExisting);
        auto stmt = raw.prepare(
            "INSERT OR REPLACE INTO vantrel_manifest (copy_id, entries) VALUES (:id, :blob)");
        stmt.bind("id", id);
        stmt.bindBlob("blob", blob);
        stmt.step();
    }

    test::TempDir dir;
    fs::path copy = dir / "copy";
    fs::path db = dir / "wenjianming.mdb";
};

TEST_F(ManifestTest, FindsAFlippedByteADeletedFileAndAnAddedOne) {
    const Manifest recorded = manifestOfTree(copy);
    ASSERT_EQ(recorded.size(), 5u);  // the top, a.txt, link, sub, sub/b.txt
    EXPECT_TRUE(compareManifests(recorded, manifestOfTree(copy)).intact());

    // Same size and time: only the contents tell.
    const auto time = fs::last_write_time(copy / "a.txt");
    writeBytes(copy / "a.txt", "alphA");
    fs::last_write_time(copy / "a.txt", time);
    fs::remove(copy / "sub" / "b.txt");
    writeBytes(copy / "sub" / "new.txt", "new");
    const ManifestDiff diff = compareManifests(recorded, manifestOfTree(copy));
    EXPECT_EQ(diff.changed, std::vector<std::string>{"a.txt"});
    EXPECT_EQ(diff.missing, std::vector<std::string>{"sub/b.txt"});
    EXPECT_EQ(diff.extra, std::vector<std::string>{"sub/new.txt"});
}

TEST_F(ManifestTest, StoreKeepsOneManifestPerRowAndDropsItWithTheRow) {
    BackupRecordStore store(twoRows());
    ManifestStore manifests(db);
    const auto first = manifests.rowOf("/bak/a_20140515").value();
    const auto second = manifests.rowOf("/bak/a_20140516").value();
    EXPECT_FALSE(manifests.rowOf("/bak/other"));
    const Manifest m = manifestOfTree(copy);
    manifests.save(first, m);
    manifests.save(first, m);  // saved again: replaced, not doubled
    manifests.save(second, m);
    EXPECT_EQ(manifests.load(first).value(), m);

    test::FaultyFileOps files;
    store.PruneBackups(1.0, files, {dir / "bak", "a"});
    EXPECT_FALSE(manifests.load(first));
    EXPECT_EQ(manifests.load(second).value(), m);
    EXPECT_EQ(count("SELECT count(*) FROM vantrel_manifest"), 1);
}

TEST_F(ManifestTest, StoreKeepsEveryFieldExactlyAndSortsWhatItIsGiven) {
    ManifestStore manifests(twoRows());
    const Manifest m = {
        {"", 'd', 0, -1, ""},  // the top, a time before 1970
        {"a", 'f', UINT64_MAX, INT64_MIN, "0123456789abcdef0123456789abcdef"},
        {"a/b", 'l', 0, INT64_MAX, "../目标 b"},
        {"a/bc", 'f', std::uint64_t{1} << 40, 1'400'000'000'123'456'789, ""},  // unread
        {"a/bc/d", 's', 0, 0, ""},
        {"a/bc/e", 'f', 3, 7, "ABCDEF"},  // not lowercase hex: kept as text
        {"a/bc/f", 'f', 3, 7, "abc"},
        {"数据", 'd', 0, 999'999'999, ""},
        {"数据/文件.txt", 'f', 127, 128, "ffffffffffffffffffffffffffffffff"},
    };
    manifests.save(1, m);
    EXPECT_EQ(manifests.load(1).value(), m);
    manifests.save(2, Manifest(m.rbegin(), m.rend()));
    EXPECT_EQ(manifests.load(2).value(), m);
    manifests.save(2, {});  // saved, if empty: not "made without one"
    EXPECT_EQ(manifests.load(2).value(), Manifest{});
}

// Databases keep these bytes: a change to the encoding must still read them.
TEST_F(ManifestTest, TheStoredFormatStaysReadable) {
    ManifestStore manifests(twoRows());
    const Manifest m = {{"", 'd', 0, 5, ""}, {"a", 'f', 3, -2, "ab"}};
    // Format 1, two entries: "" d, size 0, time zigzag(5), no hash; then "a" sharing nothing
    // with "", f, size 3, time zigzag(-2), one packed hash byte; then the checksum.
    const std::string blob(
        "\x01\x02"
        "\x00\x00"
        "d\x00\x0a\x00"
        "\x00\x01"
        "af\x03\x03\x03\xab"
        "\x57\x3d\x4c\x36\x0e\x60\x33\xfd",
        24);
    storeBlob(1, blob);
    EXPECT_EQ(manifests.load(1).value(), m);
    manifests.save(2, m);
    EXPECT_EQ(blobOf(2), blob);
}

TEST_F(ManifestTest, ManifestsInTheOldTableStillLoadUntilSavedAgain) {
    ManifestStore manifests(twoRows());
    // As an earlier version wrote them: one row per entry, in no particular order.
    Database(db, Database::Mode::OpenExisting)
        .exec(
            "INSERT INTO manifest (copy_id, path, type, size, mtime_ns, hash) VALUES "
            "(1, '子/a.txt', 'f', 5, -5, '0123456789abcdef0123456789abcdef'), "
            "(1, '', 'd', 0, -5, '')");
    const Manifest old = {{"", 'd', 0, -5, ""},
                          {"子/a.txt", 'f', 5, -5, "0123456789abcdef0123456789abcdef"}};
    EXPECT_EQ(manifests.load(1).value(), old);
    EXPECT_FALSE(manifests.load(2));

    const Manifest now = manifestOfTree(copy);
    manifests.save(1, now);
    EXPECT_EQ(count("SELECT count(*) FROM manifest"), 0);
    EXPECT_EQ(manifests.load(1).value(), now);
}

TEST_F(ManifestTest, ADamagedBlobIsReportedNeverTrusted) {
    ManifestStore manifests(twoRows());
    const Manifest m = {{"", 'd', 0, 1, ""},
                        {"a.txt", 'f', 300, -70'000, "0123456789abcdef0123456789abcdef"},
                        {"ab", 'l', 0, 2, "a.txt"}};
    manifests.save(1, m);
    const std::string good = blobOf(1);
    const auto damaged = [&](const std::string& blob) {
        storeBlob(1, blob);
        try {
            manifests.load(1);
            return false;
        } catch (const BackupError& e) {
            EXPECT_NE(std::string_view(e.what()).find("中的备份清单已损坏（备份记录 1）"),
                      std::string_view::npos)
                << e.what();
            return true;
        }
    };
    // Cut anywhere, one byte changed anywhere (the format, a count, a length, the checksum),
    // or one byte more: each is damage.
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_TRUE(damaged(good.substr(0, size))) << "cut to " << size;
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (const unsigned char flip : {0x01, 0x80, 0xFF}) {
            std::string blob = good;
            blob[at] = static_cast<char>(blob[at] ^ flip);
            EXPECT_TRUE(damaged(blob)) << "byte " << at << " ^ " << int{flip};
        }
    }
    EXPECT_TRUE(damaged(good + '\0'));
    EXPECT_TRUE(damaged("\x01\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"));  // 2^64-1 entries
    storeBlob(1, good);
    EXPECT_EQ(manifests.load(1).value(), m);
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

TEST_F(ShareRunTest, ADamagedPreviousManifestCostsOnlyTheHashesItWouldHaveSaved) {
    ASSERT_TRUE(runOn(15).ran);
    Database(ws.databaseFile(), Database::Mode::OpenExisting)
        .exec("UPDATE vantrel_manifest SET entries = substr(entries, 1, 10)");
    const RunReport second = runOn(16);
    ASSERT_TRUE(second.ran);
    EXPECT_EQ(second.shared, 2u);  // sharing goes by the previous copy, not its manifest
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_NE(ui.messages.back().find("中的备份清单已损坏"), std::string::npos)
        << ui.messages.back();
    ManifestStore manifests(ws.databaseFile());
    const auto id = manifests.rowOf(pathToUtf8(copyOf(16))).value();
    EXPECT_TRUE(compareManifests(manifests.load(id).value(), manifestOfTree(copyOf(16))).intact());
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
                    (name[0] == '.' && fs::file_size(entry.path()) == 0))
            << name;  // the run's lock files aside
    }
    EXPECT_EQ(BackupRecordStore(ws.databaseFile()).List().size(), 2u);

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
        EXPECT_TRUE(
            compareManifests(manifests.load(id).value(), manifestOfTree(copyOf(day))).intact())
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
    int probes = 0;
    CopyPlan plan(ws, settings, source, copyOf(16), false, [&](const fs::path&, const fs::path&) {
        ++probes;
        return LinkSupport{false, 0};
    });
    plan.prepare();
    EXPECT_EQ(probes, 1);
    EXPECT_TRUE(plan.sharingUnsupported());
    EXPECT_TRUE(plan.options().shareFrom.empty());
    EXPECT_EQ(ui.messages, std::vector<std::string>{std::string(kSharingUnsupported)});
    EXPECT_EQ(plan.estimate().files, 2u);  // nothing counted as shared

    CopyPlan real(ws, settings, source, copyOf(16), false);
    real.prepare();
    EXPECT_EQ(real.sharedFrom(), copyOf(15));
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
