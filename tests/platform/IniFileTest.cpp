#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using test::readBytes;
using test::TempDir;
using test::writeBytes;

class IniFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path file = dir / "config.ini";
};

TEST_F(IniFileTest, ReadsWithPrivateProfileRules) {
    writeBytes(file,
               "; comment=not a key\r\n"
               "top=ignored\r\n"
               " [ Main ] \r\n"
               "  Name  =  spaced value  \r\n"
               "quoted=\"  inside  \"\r\n"
               "half=\"open\r\n"
               "eq=a=b\r\n"
               "[other]\r\n"
               "name=second\r\n");
    IniFile ini(file);
    EXPECT_TRUE(ini.existed());
    EXPECT_EQ(ini.read("main", "NAME"), "spaced value");
    EXPECT_EQ(ini.read(" MAIN ", " name "), "spaced value");
    EXPECT_EQ(ini.read("main", "quoted"), "  inside  ");
    EXPECT_EQ(ini.read("main", "half"), "\"open");
    EXPECT_EQ(ini.read("main", "eq"), "a=b");
    EXPECT_EQ(ini.read("main", "top"), "");
    EXPECT_EQ(ini.read("main", "; comment"), "");
    EXPECT_EQ(ini.read("other", "name"), "second");
    EXPECT_EQ(ini.read("missing", "name"), "");
}

TEST_F(IniFileTest, MissingFileReadsEmptyAndNewSectionKeepsWriteOrder) {
    IniFile ini(file);
    EXPECT_FALSE(ini.existed());
    EXPECT_EQ(ini.read("备份设置", "备份个数"), "");
    ini.write("备份设置", "b", "2");
    ini.write("备份设置", "a", "1");
    ini.write("备份设置", "备份频率", "星期三;星期六 ;");
    ini.save();
    EXPECT_EQ(readBytes(file),
              utf8ToGbk("[备份设置]\r\nb=2\r\na=1\r\n备份频率=星期三;星期六 ;\r\n"));
}

TEST_F(IniFileTest, GbkFileRewrittenInPlaceKeepingOtherLinesByteForByte) {
    // The second line's bytes are not GB18030 at all; it must survive untouched.
    const std::string before =
        "; " + utf8ToGbk("说明") + "\r\n" + "junk=\xFF\xFE\r\n" + "[" + utf8ToGbk("备份设置") +
        "]\r\n" + utf8ToGbk("备份文件源地址=D:\\旧") + "\r\n" + utf8ToGbk("备份个数 = 3") + "\r\n" +
        "\r\n" + "[Other]\r\n" + "Key=Value\r\n";
    writeBytes(file, before);
    IniFile ini(file);
    EXPECT_EQ(ini.read("备份设置", "备份文件源地址"), "D:\\旧");
    ini.write("备份设置", "备份文件源地址", "E:\\新目录");
    ini.write("备份设置", "定时时刻", "9:30:00");
    ini.write("other", "added", "x");
    ini.save();
    const std::string expected =
        "; " + utf8ToGbk("说明") + "\r\n" + "junk=\xFF\xFE\r\n" + "[" + utf8ToGbk("备份设置") +
        "]\r\n" + utf8ToGbk("备份文件源地址=E:\\新目录") + "\r\n" + utf8ToGbk("备份个数 = 3") +
        "\r\n" + utf8ToGbk("定时时刻=9:30:00") + "\r\n" + "\r\n" + "[Other]\r\n" + "Key=Value\r\n" +
        "added=x\r\n";
    EXPECT_EQ(readBytes(file), expected);
    EXPECT_EQ(IniFile(file).read("备份设置", "定时时刻"), "9:30:00");
}

TEST_F(IniFileTest, Utf8FileStaysUtf8WithItsBomAndLineEndings) {
    writeBytes(file, "\xEF\xBB\xBF[备份设置]\n备份文件源地址=/home/用户/数据");
    IniFile ini(file);
    EXPECT_EQ(ini.read("备份设置", "备份文件源地址"), "/home/用户/数据");
    ini.write("备份设置", "备份个数", "5");
    ini.save();
    EXPECT_EQ(readBytes(file),
              "\xEF\xBB\xBF[备份设置]\n备份文件源地址=/home/用户/数据\n备份个数=5\n");

    writeBytes(file, "[备份设置]\r\n备份个数=2\r\n");  // UTF-8 without a mark
    IniFile plain(file);
    plain.write("备份设置", "备份频率", "星期一;");
    plain.save();
    EXPECT_EQ(readBytes(file), "[备份设置]\r\n备份个数=2\r\n备份频率=星期一;\r\n");
}

TEST_F(IniFileTest, ValueReadsBackAsAtMost2047BytesOnACharacterBoundary) {
    // 2046 ASCII bytes then a two-byte GBK character: the character does not fit.
    writeBytes(file, "[s]\r\nk=" + std::string(2046, 'a') + utf8ToGbk("中文") + "\r\n");
    EXPECT_EQ(IniFile(file).read("s", "k"), std::string(2046, 'a'));
    writeBytes(file, "[s]\r\nk=" + std::string(3000, 'b') + "\r\n");
    EXPECT_EQ(IniFile(file).read("s", "k"), std::string(2047, 'b'));
}

TEST_F(IniFileTest, LineBreakInValueIsRefused) {
    IniFile ini(file);
    EXPECT_THROW(ini.write("s", "k", "a\r\n[evil]\r\nk=b"), std::runtime_error);
}

TEST_F(IniFileTest, FailedSaveLeavesTheOldFileAndNoTemporaryFile) {
    writeBytes(file, "[s]\r\nk=old\r\n");
    IniFile ini(file);
    ini.write("s", "k", "new");

    std::filesystem::permissions(
        file, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_THROW(ini.save(), std::runtime_error);
    EXPECT_EQ(readBytes(file), "[s]\r\nk=old\r\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);

    // A folder standing where the file should be.
    const auto folder = dir / "folder.ini";
    IniFile intoFolder(folder);
    std::filesystem::create_directory(folder);
    intoFolder.write("s", "k", "v");
    EXPECT_THROW(intoFolder.save(), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    IniFile missingFolder(dir / "no" / "config.ini");
    missingFolder.write("s", "k", "v");
    try {
        missingFolder.save();
        FAIL() << "save into a missing folder succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("config.ini"), std::string::npos) << e.what();
    }

    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2);  // config.ini and folder.ini only
}

}  // namespace
}  // namespace vantrel
