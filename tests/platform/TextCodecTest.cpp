#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantrel {
namespace {

TEST(TextCodec, CommonChineseRoundTripsThroughGbkBytes) {
    // The GBK bytes of "文件备份" as a GBK editor saves them.
    const std::string gbk = "\xCE\xC4\xBC\xFE\xB1\xB8\xB7\xDD";
    EXPECT_EQ(gbkToUtf8(gbk), "文件备份");
    EXPECT_EQ(utf8ToGbk("文件备份"), gbk);
    EXPECT_EQ(utf8ToGbk("D:\\备份\\a.txt"), "D:\\\xB1\xB8\xB7\xDD\\a.txt");
    EXPECT_EQ(gbkToUtf8(""), "");
    EXPECT_EQ(utf8ToGbk("plain ascii 123"), "plain ascii 123");
}

TEST(TextCodec, CharacterOutsideGbkSurvivesAsFourByteGb18030) {
#ifdef _WIN32
    if (!IsValidCodePage(54936)) {
        GTEST_SKIP() << "code page 54936 (GB18030) is missing (Wine 8 lacks it); the codec "
                        "falls back to GBK's 936, which has no four-byte characters";
    }
#endif
    // U+20000 has no GBK code; GB18030 gives it four bytes.
    const std::string text = "𠀀与中";
    const std::string bytes = utf8ToGbk(text);
    EXPECT_EQ(bytes.substr(0, 4), "\x95\x32\x82\x36");
    EXPECT_EQ(gbkToUtf8(bytes), text);
}

TEST(TextCodec, MalformedInputIsRejected) {
    EXPECT_THROW(gbkToUtf8("abc\x81"), std::runtime_error);       // lead byte cut off
    EXPECT_THROW(gbkToUtf8("\x81\x7F"), std::runtime_error);      // not a trail byte
    EXPECT_THROW(utf8ToGbk("\xC0\x80"), std::runtime_error);      // overlong NUL
    EXPECT_THROW(utf8ToGbk("\xE4\xB8"), std::runtime_error);      // truncated sequence
    EXPECT_THROW(utf8ToGbk("\xED\xA0\x80"), std::runtime_error);  // surrogate

    EXPECT_TRUE(isValidUtf8("备份 ok 𠀀 \xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong '/'
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xCE\xC4\xBC\xFE"));  // GBK bytes
}

TEST(TextCodec, PathNamesAreUtf8OnDisk) {
    test::TempDir dir;
    const std::filesystem::path file = dir.path() / pathFromUtf8("备份_20140515.txt");
    test::writeBytes(file, "x");
    std::string listed;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        listed = pathToUtf8(e.path().filename());
    }
    EXPECT_EQ(listed, "备份_20140515.txt");
}

}  // namespace
}  // namespace vantrel
