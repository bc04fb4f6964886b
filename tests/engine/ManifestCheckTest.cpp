#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "engine/Texts.h"
#include "engine/manifest/FileHash.h"
#include "engine/manifest/ManifestCheck.h"
#include "platform/TextCodec.h"
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
    const auto fromRecord = streamOf(recorded);
    const auto onDisk = streamOfTree(files, copy);
    const ManifestDiff streamed =
        compareStreams(*fromRecord, *onDisk,
                       [&copy](const std::string& p) { return hashFile(copy / pathFromUtf8(p)); });
    EXPECT_EQ(streamed.changed, diff.changed);
    EXPECT_EQ(streamed.missing, diff.missing);
    EXPECT_EQ(streamed.extra, diff.extra);
}

// Each tampering with a copy of a.txt, sub/ and sub/b.txt, and what a check finds.
TEST(ManifestCheck, PermissionBitsOwnersAndContentsWhereHashedAreChecked) {
    const bool root = ::geteuid() == 0;
    const struct {
        const char* what;
        bool hashed;  // whether the manifest holds the files' hashes
        bool needsRoot;
        void (*tamper)(const fs::path& copy);
        const char* changed;  // "" when the check finds the copy intact
        const char* why;
        std::size_t unchecked;
    } cases[] = {
        {"file mode", true, false,
         [](const fs::path& c) { fs::permissions(c / "a.txt", fs::perms(0600)); }, "a.txt",
         "权限不同（清单记录 0644，现为 0600）", 0},
        {"folder mode", true, false,
         [](const fs::path& c) { fs::permissions(c / "sub", fs::perms(0700)); }, "sub",
         "权限不同（清单记录 0755，现为 0700）", 0},
        {"owner", true, true,
         [](const fs::path& c) { ASSERT_EQ(::chown((c / "a.txt").c_str(), 65534, 65534), 0); },
         "a.txt", "所有者不同（清单记录 0:0，现为 65534:65534）", 0},
        {"contents, hashed", true, false,
         [](const fs::path& c) {
             const auto time = fs::last_write_time(c / "a.txt");
             writeBytes(c / "a.txt", "alphA");
             fs::last_write_time(c / "a.txt", time);
         },
         "a.txt", "内容不同", 0},
        {"contents, not hashed", false, false,
         [](const fs::path& c) {
             const auto time = fs::last_write_time(c / "a.txt");
             writeBytes(c / "a.txt", "alphA");
             fs::last_write_time(c / "a.txt", time);
         },
         "", "", 2},
        {"size, not hashed", false, false,
         [](const fs::path& c) { writeBytes(c / "a.txt", "alpha and more"); }, "a.txt",
         "大小不同，修改时间不同", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root) {
            continue;  // only root may give a file away
        }
        test::TempDir dir;
        RealFileOps files;
        const fs::path copy = dir / "copy";
        fs::create_directories(copy / "sub");
        writeBytes(copy / "a.txt", "alpha");
        writeBytes(copy / "sub" / "b.txt", "beta");
        fs::permissions(copy / "a.txt", fs::perms(0644));
        fs::permissions(copy / "sub", fs::perms(0755));
        Manifest recorded = manifestOfTree(files, copy);
        for (ManifestEntry& e : recorded) {
            if (!c.hashed && e.type == 'f') {
                e.hash.clear();
            }
        }
        c.tamper(copy);
        const ManifestDiff diff =
            compareManifests(recorded, manifestOfTree(files, copy, &recorded));
        EXPECT_EQ(diff.changed, std::string(c.changed).empty()
                                    ? std::vector<std::string>{}
                                    : std::vector<std::string>{c.changed});
        EXPECT_EQ(diff.changedWhy, std::string(c.why).empty() ? std::vector<std::string>{}
                                                              : std::vector<std::string>{c.why});
        EXPECT_EQ(diff.contentsUnchecked, c.unchecked);

        // Streamed as verify does, the copy walked on disk and hashed where the record asks:
        // the same findings.
        const auto fromRecord = streamOf(recorded);
        const auto onDisk = streamOfTree(files, copy);
        std::size_t entries = 0;
        const ManifestDiff streamed = compareStreams(
            *fromRecord, *onDisk,
            [&copy](const std::string& p) { return hashFile(copy / pathFromUtf8(p)); }, &entries);
        EXPECT_EQ(streamed.changed, diff.changed);
        EXPECT_EQ(streamed.changedWhy, diff.changedWhy);
        EXPECT_EQ(streamed.contentsUnchecked, diff.contentsUnchecked);
        EXPECT_TRUE(streamed.missing.empty() && streamed.extra.empty());
        EXPECT_EQ(entries, recorded.size());
    }
}

TEST(ManifestCheck, SummariesSayWhatTheCopyIs) {
    VerifyResult intact;
    intact.copy =
        BackupRecord{1, "/bak/data_20140515", "2014-05-15", {{"a.txt", "denied"}}, "", false, {}};
    intact.recordedEntries = 3;
    EXPECT_EQ(intact.summary(),
              "备份完好：/bak/data_20140515（3 项）；但这是不完整的备份，1 项未能复制");
    VerifyResult odd;
    odd.copy = BackupRecord{2, "/bak/x\ny_20140515", "2014-05-15", {}, "", false, {}};
    odd.diff.changed = {"a"};
    EXPECT_EQ(odd.summary().find('\n'), std::string::npos) << odd.summary();
    VerifyResult unhashed = intact;
    unhashed.copy->failed.clear();
    unhashed.diff.contentsUnchecked = 2;
    EXPECT_EQ(unhashed.summary(),
              "备份完好：/bak/data_20140515（3 项）；此备份没有记录文件内容的校验值，2 "
              "个文件只核对了大小、修改时间、权限和所有者，未核对内容");
}

}  // namespace
}  // namespace vantrel
