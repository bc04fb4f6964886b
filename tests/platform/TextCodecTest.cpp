#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantrel {
namespace {

TEST(TextCodec, GbkBytesRoundTripAndMalformedInputIsRejected) {
    EXPECT_EQ(gbkToUtf8("\xCE\xC4\xBC\xFE\xB1\xB8\xB7\xDD"), "文件备份");
    EXPECT_EQ(utf8ToGbk("D:\\备份\\a.txt"), "D:\\\xB1\xB8\xB7\xDD\\a.txt");
    EXPECT_EQ(gbkToUtf8(""), "");
    for (const char* bad : {"abc\x81", "\x81\x7F"}) {  // lead byte cut off; not a trail byte
        EXPECT_THROW(gbkToUtf8(bad), std::runtime_error) << bad;
    }
    // Overlong, truncated, surrogate, past U+10FFFF, GBK bytes.
    for (const char* bad :
         {"\xC0\x80", "\xE4\xB8", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xCE\xC4"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
        EXPECT_THROW(utf8ToGbk(bad), std::runtime_error) << bad;
    }
    EXPECT_TRUE(isValidUtf8("备份 ok 𠀀 \xF4\x8F\xBF\xBF"));
}

TEST(TextCodec, CharacterOutsideGbkSurvivesAsFourByteGb18030) {
#ifdef _WIN32
    if (!IsValidCodePage(54936)) {
        GTEST_SKIP() << "code page 54936 (GB18030) is missing; 936 has no four-byte characters";
    }
#endif
    EXPECT_EQ(utf8ToGbk("𠀀与"), "\x95\x32\x82\x36\xD3\xEB");
    EXPECT_EQ(gbkToUtf8("\x95\x32\x82\x36\xD3\xEB"), "𠀀与");
}

}  // namespace
}  // namespace vantrel
