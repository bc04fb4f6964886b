#include "engine/records/OperationLog.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::at;
using test::readBytes;
using test::writeBytes;

class OperationLogTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::filesystem::path file = dir.path() / "Log" / "FileBackupLog.log";
    OperationLog log{file};
};

TEST(OperationLogLine, HasAFixedDateAndTwentyFourHourTime) {
    EXPECT_EQ(OperationLog::composeLine(at(2000, 1, 2, 0, 0, 5, 999), "a", "b"),
              "000102 0:00:05   a   成功备份至   b");
    EXPECT_EQ(OperationLog::composeLine(at(2031, 12, 31, 23, 5, 9), "a", "b"),
              "311231 23:05:09   a   成功备份至   b");
}

TEST_F(OperationLogTest, AppendsInPlaceEndingAnUnterminatedLastLine) {
    const std::string line = "\xB5\xDA\xD2\xBB\xD0\xD0\r\n";  // "第一行" in GBK
    const std::pair<std::string, std::string> cases[] = {
        {"old", "old\r\n"},
        {"old\n", "old\n"},
        {"old\r", "old\r\n"},
        {std::string("\x80\xFF\x00z\r\n", 6), std::string("\x80\xFF\x00z\r\n", 6)}};
    log.Append("第一行");  // makes the missing folder and file
    EXPECT_EQ(readBytes(file), line);
    for (const auto& [before, kept] : cases) {
        writeBytes(file, before);
        log.Append("第一行");
        EXPECT_EQ(readBytes(file), kept + line);
    }
}

TEST_F(OperationLogTest, EnsureKeepsAndLoadSplitsEveryLineEnd) {
    log.EnsureExists();
    EXPECT_EQ(readBytes(file), "");
    writeBytes(file, utf8ToGbk("甲\r\n乙\n\r\n丙"));
    log.EnsureExists();
    EXPECT_EQ(log.LoadLines(), (std::vector<std::string>{"甲", "乙", "", "丙"}));
}

TEST_F(OperationLogTest, ATornOrUndecodableLineNeverHidesTheOthers) {
    const std::string good =
        utf8ToGbk("140515 9:59:50   /源/数据   成功备份至   /bak/数据_20140515");
    // A stray lead byte, a byte no text has, and a last line cut inside a character.
    std::filesystem::create_directories(file.parent_path());
    writeBytes(file,
               good + "\r\n" + good.substr(0, 20) + "\xB1\r\n\xFF" + "ok\r\n" + good.substr(0, 19));
    log.Append("next");
    const auto lines = log.LoadLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], gbkToUtf8(good));
    EXPECT_EQ(lines[1], gbkToUtf8(good.substr(0, 20)) + "\xEF\xBF\xBD");
    EXPECT_EQ(lines[2], "\xEF\xBF\xBDok");
    EXPECT_EQ(lines[3], gbkToUtf8(good.substr(0, 18)) + "\xEF\xBF\xBD");
    EXPECT_EQ(lines[4], "next");
    EXPECT_TRUE(log.hasLineAfter(log.size() - 6, "next"));
    EXPECT_FALSE(log.hasLineAfter(log.size(), "next"));
}

TEST_F(OperationLogTest, FailuresNameThePath) {
    try {
        log.LoadLines();
        ADD_FAILURE() << "a missing log must not read as empty";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find(pathToUtf8(file)), std::string::npos) << e.what();
    }
    writeBytes(file.parent_path(), "");  // "Log" is a file: neither folder nor log can be made
    EXPECT_THROW(log.Append("x"), BackupError);
    EXPECT_THROW(log.EnsureExists(), BackupError);
}

}  // namespace
}  // namespace vantrel
