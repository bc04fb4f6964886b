#include <gtest/gtest.h>

#include <string>

#include "engine/run/CopyPlan.h"
#include "platform/FileOps.h"
#include "platform/FileStat.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::writeBytes;

void writeSize(const fs::path& file, std::size_t bytes, char fill = 'x') {
    writeBytes(file, std::string(bytes, fill));
}

TEST(SpaceRefusal, NamesPruningOnlyWhenItWouldMakeRoom) {
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
        {"a folder", [](EntryStat& e) { e.type = EntryType::Folder; }, 0, false, false},
    };
    for (const auto& c : cases) {
        EntryStat other = base;
        c.change(other);
        EXPECT_EQ(sameForSharing(base, other, c.tolerance, c.owners), c.same) << c.what;
    }
}

TEST(SpaceEstimate, CountsOnlyWhatIsCopiedAndWhatPruningFrees) {
    test::TempDir dir;
    RealFileOps ops;
    const fs::path src = dir / "src", prev = dir / "prev";
    fs::create_directories(src / "sub");
    writeSize(src / "same.bin", 100'000);
    writeSize(src / "sub" / "changed.bin", 50'000);
    fs::copy(src, prev, fs::copy_options::recursive);
    for (const char* name : {"same.bin", "sub/changed.bin"}) {
        fs::last_write_time(prev / name, fs::last_write_time(src / name));
    }
    writeSize(src / "sub" / "changed.bin", 60'000, 'y');

    const auto all = estimateSpace(ops, src, {}, 0, keepsOwners());
    EXPECT_EQ(all.files, 2u);
    EXPECT_EQ(all.folders, 2u);
    // 100,000 and 60,000 bytes in 4 KiB blocks, two folders, 1 MiB, then 1 %.
    const std::uint64_t raw = 102'400 + 61'440 + 2 * 4096 + 1'048'576;
    EXPECT_EQ(all.neededBytes, raw + raw / 100);

    const auto shared = estimateSpace(ops, src, prev, 0, keepsOwners());
    EXPECT_EQ(shared.sharedFiles, 1u);
    EXPECT_EQ(shared.files, 1u);
    EXPECT_EQ(shared.sharedSoleBytes, 102'400u);
    EXPECT_EQ(shared.neededBytes, all.neededBytes - (102'400 + 102'400 / 100));

    // A file with a second link elsewhere frees nothing when one copy goes.
    fs::create_hard_link(prev / "same.bin", dir / "elsewhere.bin");
    EXPECT_EQ(spaceFreedByRemoving(ops, prev), 53'248u + 2 * 4096);
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
              estimateSpace(ops, src, {}, 0, keepsOwners()).neededBytes);
    EXPECT_EQ(estimateFromCount(counted).folders, 3u);
}

}  // namespace
}  // namespace vantrel
