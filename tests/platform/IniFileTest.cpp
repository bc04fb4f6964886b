#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::writeBytes;

class IniFileTest : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path file = dir / "config.ini";
};

TEST_F(IniFileTest, ReadsWithPrivateProfileRules) {
    writeBytes(file,
               "; comment=x\r\ntop=ignored\r\n [ Main ] \r\n  Name  =  spaced value  \r\n"
               "quoted=\"  inside  \"\r\nhalf=\"open\r\neq=a=b\r\n[other]\r\nname=2nd\r\n"
               "[s]\r\nlong=" +
                   std::string(2046, 'a') + utf8ToGbk("中文") + "\r\n");
    const struct {
        const char *section, *key, *value;
    } cases[] = {{" MAIN ", " name ", "spaced value"},
                 {"main", "quoted", "  inside  "},
                 {"main", "half", "\"open"},
                 {"main", "eq", "a=b"},
                 {"main", "top", ""},
                 {"other", "name", "2nd"},
                 {"missing", "name", ""}};
    IniFile ini(file);
    for (const auto& c : cases) {
        EXPECT_EQ(ini.read(c.section, c.key), c.value) << c.section << "/" << c.key;
    }
    // At most 2047 bytes, never half a character.
    EXPECT_EQ(ini.read("s", "long"), std::string(2046, 'a'));
    writeBytes(file, "[s]\r\nk=" + std::string(3000, 'b'));
    EXPECT_EQ(IniFile(file).read("s", "k"), std::string(2047, 'b'));
    EXPECT_EQ(IniFile(dir / "none.ini").read("s", "k"), "");
}

TEST_F(IniFileTest, WritesInPlaceKeepingEveryOtherLineByteForByte) {
    const std::string gbkHead =
        "; " + utf8ToGbk("说明") + "\r\njunk=\xFF\xFE\r\n[" + utf8ToGbk("备份设置") + "]\r\n";
    writeBytes(file, gbkHead + utf8ToGbk("备份文件源地址=D:\\旧\r\n备份个数 = 3\r\n") +
                         "\r\n[Other]\r\nKey=Value\r\n");
    IniFile ini(file);
    ini.write("备份设置", "备份文件源地址", "E:\\新目录");
    ini.write("备份设置", "定时时刻", "9:30:00");
    ini.write("other", "added", "x");
    ini.write("新", "b", "2");
    ini.write("新", "a", "星期六 ;");
    ini.save();
    EXPECT_EQ(readBytes(file),
              gbkHead +
                  utf8ToGbk("备份文件源地址=E:\\新目录\r\n备份个数 = 3\r\n定时时刻=9:30:00\r\n") +
                  "\r\n[Other]\r\nKey=Value\r\nadded=x\r\n\r\n" +
                  utf8ToGbk("[新]\r\nb=2\r\na=星期六 ;\r\n"));
    EXPECT_THROW(ini.write("s", "k", "a\r\n[evil]\r\nk=b"), std::runtime_error);
}

TEST_F(IniFileTest, Utf8FileStaysUtf8WithOrWithoutItsMark) {
    for (std::string bom : {"\xEF\xBB\xBF", ""}) {
        writeBytes(file, bom + "[备份设置]\n备份文件源地址=/home/用户");
        IniFile ini(file);
        EXPECT_EQ(ini.read("备份设置", "备份文件源地址"), "/home/用户");
        ini.write("备份设置", "备份个数", "5");
        ini.save();
        EXPECT_EQ(readBytes(file), bom + "[备份设置]\n备份文件源地址=/home/用户\n备份个数=5\n");
    }
}

TEST_F(IniFileTest, FailedSaveLeavesTheOldFileAndNoTemporaryFile) {
    writeBytes(file, "[s]\r\nk=old\r\n");
    IniFile ini(file);
    ini.write("s", "k", "new");
    fs::permissions(file, fs::perms::owner_read);
    EXPECT_THROW(ini.save(), std::runtime_error);
    EXPECT_EQ(readBytes(file), "[s]\r\nk=old\r\n");

    IniFile missingFolder(dir / "no" / "config.ini");
    missingFolder.write("s", "k", "v");
    EXPECT_THROW(missingFolder.save(), std::runtime_error);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vantrel
