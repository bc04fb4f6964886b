#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "engine/Texts.h"
#include "tests/support/FakeClock.h"

namespace vantrel {
namespace {

using test::at;

TEST(Texts, SizesInTheirUnitRoundedAsPrinted) {
    const struct {
        std::uint64_t bytes;
        SizeUnit smallest;
        const char* text;
    } sizes[] = {{0, SizeUnit::B, "0 B"},
                 {1023, SizeUnit::B, "1023 B"},
                 {1024, SizeUnit::B, "1.0 KB"},
                 {1'048'560, SizeUnit::B, "1.0 MB"},  // 1023.98 KB rounds up to the next unit
                 {3'650'722'201, SizeUnit::B, "3.4 GB"},
                 {0, SizeUnit::MB, "0.0 MB"},
                 {860'158'771, SizeUnit::MB, "820.3 MB"},
                 {1'073'700'000, SizeUnit::MB, "1.0 GB"},
                 {1'610'612'736, SizeUnit::MB, "1.5 GB"}};
    for (const auto& row : sizes) {
        EXPECT_EQ(sizeText(row.bytes, row.smallest), row.text) << row.bytes;
    }
}

TEST(Texts, NamesWithControlCharactersStayOnOneLine) {
    EXPECT_EQ(escapedName("a\nb\tc\x7f"), "a\\x0ab\\x09c\\x7f");
    EXPECT_EQ(escapedName("D:\\备份\\数据_20140515"), "D:\\备份\\数据_20140515");
    // Bytes that are not UTF-8 (报告 in GBK, a character cut short) and C1 controls.
    EXPECT_EQ(escapedName("\xb1\xa8\xb8\xe6.doc"), "\\xb1\\xa8\\xb8\\xe6.doc");
    EXPECT_EQ(escapedName("a\xc2\x9b"
                          "2J\xe6\x8a"),
              "a\\xc2\\x9b2J\\xe6\\x8a");
    EXPECT_EQ(escapedName("𠀀é"), "𠀀é");
}

TEST(Texts, DurationsAndDates) {
    using std::chrono::milliseconds;
    EXPECT_EQ(durationText(milliseconds(7'999)), "7 秒");
    EXPECT_EQ(durationText(milliseconds(125'000)), "2 分 5 秒");
    EXPECT_EQ(durationText(milliseconds(3'785'000)), "1 小时 3 分");

    const LocalTime when = at(2014, 5, 5, 9, 3, 7);
    EXPECT_EQ(dateDigits(when), "20140505");
    EXPECT_EQ(dateText(when), "2014-05-05");
    EXPECT_EQ(dateTextOfDigits("20140505"), "2014-05-05");
    EXPECT_EQ(formatLocalTime(when), "2014-05-05 09:03:07");
    EXPECT_EQ(parseLocalTime(formatLocalTime(when)), when);
    EXPECT_FALSE(parseLocalTime("2014-02-30 09:03:07"));
    EXPECT_FALSE(parseLocalTime("2014-05-05 09:03:07x"));
}

TEST(Texts, ProgressShowsShareDoneAndTimeLeft) {
    const struct {
        CopyProgress done;
        TreeSize total;
        int elapsedMs;
        const char* status;
        int permille;
        const char* left;
    } cases[] = {
        {{5, 256 * 1024},
         {20, 0, 1024 * 1024, 0},
         10000,
         "文件备份中…… 5/20 个文件，256.0 KB/1.0 MB",
         250,
         "剩余约 30 秒"},
        // Too early to tell the time left.
        {{1, 1000}, {20, 0, 4000, 0}, 1000, "文件备份中…… 1/20 个文件，1000 B/3.9 KB", 250, ""},
        // Empty files count by files.
        {{3, 0}, {4, 0, 0, 0}, 6000, "文件备份中…… 3/4 个文件，0 B/0 B", 750, "剩余约 2 秒"},
        // No total: neither share nor time left.
        {{7, 2048}, {}, 5000, "文件备份中…… 7 个文件，2.0 KB", -1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progressStatus(c.done, c.total), c.status);
        EXPECT_EQ(progressPermille(c.done, c.total), c.permille) << c.status;
        EXPECT_EQ(timeLeftText(c.done, c.total, std::chrono::milliseconds(c.elapsedMs)), c.left)
            << c.status;
    }
}

}  // namespace
}  // namespace vantrel
