#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FilePlacer.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::writeBytes;

class FilePlacerTest : public ::testing::Test {
protected:
    FilePlacerTest() {
        writeBytes(from, "contents");
        fs::permissions(from, fs::perms(0444));
        fs::last_write_time(from, fs::file_time_type(std::chrono::seconds(1'700'000'001)));
    }
    test::TempDir dir;
    fs::path from = dir / "from";
    fs::path temp = dir / ".temp";
    RealFilePlacer placer;
};

TEST_F(FilePlacerTest, AFileLeftFromBeforeIsReplacedButALinkIsNeverFollowed) {
    writeBytes(temp, "left by a killed restore");
    fs::permissions(temp, fs::perms(0444));
    ASSERT_TRUE(placer.writeFile(from, temp).ok());
    EXPECT_EQ(readBytes(temp), "contents");
    const auto st = statEntry(temp).value();
    EXPECT_EQ(st.permissions, 0444u);
    EXPECT_EQ(st.mtimeNs, statEntry(from)->mtimeNs);
    EXPECT_NE(fileIdOf(temp)->inode, fileIdOf(from)->inode);

    // A link put where the temporary file goes is replaced, and what it names untouched.
    const fs::path victim = dir / "victim";
    writeBytes(victim, "precious");
    fs::remove(temp);
    fs::create_symlink(victim, temp);
    ASSERT_TRUE(placer.writeFile(from, temp).ok());
    EXPECT_EQ(readBytes(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(temp));
}

TEST_F(FilePlacerTest, PlacingNeverReplacesUnlessAsked) {
    const fs::path to = dir / "to";
    writeBytes(to, "there first");
    ASSERT_TRUE(placer.writeFile(from, temp).ok());
    const FileOpResult refused = placer.place(temp, to, false);
    EXPECT_EQ(refused.error, std::errc::file_exists);
    EXPECT_EQ(readBytes(to), "there first");
    ASSERT_TRUE(placer.place(temp, to, true).ok());
    EXPECT_EQ(readBytes(to), "contents");
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(placer.makeFolder(to, 0755).error, std::errc::file_exists);
}

}  // namespace
}  // namespace vantrel
