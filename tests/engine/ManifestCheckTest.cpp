#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ManifestCheck.h"
#include "engine/Texts.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::writeBytes;

TEST(ManifestCheck, FindsAFlippedByteADeletedFileAndAnAddedOne) {
    test::TempDir dir;
    RealFileOps files;
    const fs::path copy = dir / "copy";
    fs::create_directories(copy / "sub");
    writeBytes(copy / "a.txt", "alpha");
    writeBytes(copy / "sub" / "b.txt", "beta");
    fs::create_symlink("a.txt", copy / "link");
    const Manifest recorded = manifestOfTree(files, copy);
    ASSERT_EQ(recorded.size(), 5u);  // the top, a.txt, link, sub, sub/b.txt
    EXPECT_TRUE(compareManifests(recorded, manifestOfTree(files, copy)).intact());

    // Same size and time: only the contents tell.
    const auto time = fs::last_write_time(copy / "a.txt");
    writeBytes(copy / "a.txt", "alphA");
    fs::last_write_time(copy / "a.txt", time);
    fs::remove(copy / "sub" / "b.txt");
    writeBytes(copy / "sub" / "new.txt", "new");
    const ManifestDiff diff = compareManifests(recorded, manifestOfTree(files, copy));
    EXPECT_EQ(diff.changed, std::vector<std::string>{"a.txt"});
    EXPECT_EQ(diff.missing, std::vector<std::string>{"sub/b.txt"});
    EXPECT_EQ(diff.extra, std::vector<std::string>{"sub/new.txt"});
}

TEST(ManifestCheck, SummariesSayWhatTheCopyIs) {
    VerifyResult intact;
    intact.copy =
        BackupRecord{1, "/bak/data_20140515", "2014-05-15", {{"a.txt", "denied"}}, "", false};
    intact.recordedEntries = 3;
    EXPECT_EQ(intact.summary(),
              "备份完好：/bak/data_20140515（3 项）；但这是不完整的备份，1 项未能复制");
    VerifyResult odd;
    odd.copy = BackupRecord{2, "/bak/x\ny_20140515", "2014-05-15", {}, "", false};
    odd.diff.changed = {"a"};
    EXPECT_EQ(odd.summary().find('\n'), std::string::npos) << odd.summary();
}

}  // namespace
}  // namespace vantrel
