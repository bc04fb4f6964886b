#include "engine/OperationLog.h"

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

TEST(OperationLogLine, FormatsDateAndTimeExplicitly) {
    EXPECT_EQ(OperationLog::composeLine(at(2014, 5, 15, 9, 59, 50), "D:\\work\\data",
                                        "E:\\bak\\data_20140515"),
              "140515 9:59:50   D:\\work\\data   成功备份至   E:\\bak\\data_20140515");
    // Midnight keeps an hour digit; the afternoon stays on the 24-hour clock.
    EXPECT_EQ(OperationLog::composeLine(at(2000, 1, 2, 0, 0, 5, 999), "a", "b"),
              "000102 0:00:05   a   成功备份至   b");
    EXPECT_EQ(OperationLog::composeLine(at(2031, 12, 31, 23, 5, 9), "a", "b"),
              "311231 23:05:09   a   成功备份至   b");
}

TEST_F(OperationLogTest, FirstAppendCreatesFolderAndFileInGbk) {
    log.Append("第一行");
    EXPECT_EQ(readBytes(file), utf8ToGbk("第一行") + "\r\n");
    EXPECT_EQ(readBytes(file), "\xB5\xDA\xD2\xBB\xD0\xD0\r\n");
}

TEST_F(OperationLogTest, AppendTerminatesAnUnterminatedLastLine) {
    std::filesystem::create_directories(file.parent_path());
    writeBytes(file, "old");
    log.Append("new");
    EXPECT_EQ(readBytes(file), "old\r\nnew\r\n");

    // A bare LF already ends the line; a dangling CR only needs its LF.
    writeBytes(file, "old\n");
    log.Append("new");
    EXPECT_EQ(readBytes(file), "old\nnew\r\n");
    writeBytes(file, "old\r");
    log.Append("new");
    EXPECT_EQ(readBytes(file), "old\r\nnew\r\n");
}

TEST_F(OperationLogTest, AppendKeepsEarlierBytesEvenWhenTheyAreNotText) {
    // Appending in place never decodes or rewrites what is there.
    std::filesystem::create_directories(file.parent_path());
    const std::string junk("\x80\xFF\x00z\r\n", 6);
    writeBytes(file, junk);
    log.Append("x");
    EXPECT_EQ(readBytes(file), junk + "x\r\n");
}

TEST_F(OperationLogTest, EnsureExistsCreatesOrLeavesUntouched) {
    log.EnsureExists();
    EXPECT_EQ(readBytes(file), "");
    writeBytes(file, "kept");
    log.EnsureExists();
    EXPECT_EQ(readBytes(file), "kept");
}

TEST_F(OperationLogTest, ClearThenAppendLeavesOneLine) {
    log.Append("a");
    log.Append("b");
    log.Clear();
    EXPECT_EQ(readBytes(file), "");
    log.Append("c");
    EXPECT_EQ(log.LoadLines(), std::vector<std::string>{"c"});
}

TEST_F(OperationLogTest, LoadLinesDecodesAndSplitsOnCrLfAndLf) {
    std::filesystem::create_directories(file.parent_path());
    writeBytes(file, utf8ToGbk("甲\r\n乙\n\r\n丙"));
    EXPECT_EQ(log.LoadLines(), (std::vector<std::string>{"甲", "乙", "", "丙"}));
}

TEST_F(OperationLogTest, FailuresNameThePath) {
    try {
        log.LoadLines();
        FAIL() << "a missing log must not read as empty";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find(pathToUtf8(file)), std::string::npos) << e.what();
    }
    // "Log" exists as a file, so neither the folder nor the log can be made.
    writeBytes(dir.path() / "Log", "");
    EXPECT_THROW(log.Append("x"), BackupError);
    EXPECT_THROW(log.EnsureExists(), BackupError);
}

}  // namespace
}  // namespace vantrel
