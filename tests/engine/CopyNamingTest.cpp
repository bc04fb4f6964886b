#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/run/CopyNaming.h"
#include "tests/support/FakeClock.h"

namespace vantrel {
namespace {

using test::at;

TEST(TargetPath, IsTargetFolderOneSeparatorNameAndDate) {
    const char* cases[][3] = {
        {"/work/data", "/bak/", "/bak/data_20140505"},   // one separator where the folder has it
        {"/work/data//", "/bak", "/bak/data_20140505"},  // the folder's name, not its separator
        {"/", "/bak", "/bak/_20140505"},
        {"/a    ", "/b", "/b/a_20140505"},     // the tail is cut to the trimmed length...
        {"  数据", "/b", "/b/  数_20140505"},  // ...on a character boundary
#ifdef _WIN32
        {"D:\\work\\data", "E:\\", "E:\\data_20140505"},
        {"D:\\work\\data\\", "E:\\bak", "E:\\bak\\data_20140505"},
        {"D:\\", "E:\\bak", "E:\\bak\\_20140505"},
        {"data", "bak", "bak\\data_20140505"},  // relative, as config.ini may say
#else
        {"data", "bak", "bak/data_20140505"},
        {"D:\\work\\data", "/b", "/b/D:\\work\\data_20140505"},
#endif
    };
    for (const auto& [from, to, expected] : cases) {
        EXPECT_EQ(makeTargetPath(from, to, at(2014, 5, 5, 23, 59, 59)), expected) << from;
    }
    EXPECT_EQ(copyStem("/work/data/"), "data");
}

TEST(CopyNames, AreParsedByTheirLastNineBytesOnly) {
    const struct {
        const char* text;
        const char* stem;  // null: not a copy's name
    } cases[] = {
        {"data_20140515", "data"},
        {"/bak/数据_20140515", "/bak/数据"},
        {"_20140515", ""},
        {"data_2014051", nullptr},
        {"data_2014051x", nullptr},
        {"data-20140515", nullptr},
        {"data_20140515.new", nullptr},
    };
    for (const auto& c : cases) {
        const auto parsed = parseCopyName(c.text);
        EXPECT_EQ(parsed ? std::optional<std::string>(parsed->stem) : std::nullopt,
                  c.stem ? std::optional<std::string>(c.stem) : std::nullopt)
            << c.text;
    }
    EXPECT_TRUE(isCopyOf("data_20140515", "data"));
    EXPECT_FALSE(isCopyOf("data_20140515", "dat"));
    EXPECT_FALSE(isCopyOf("olddata_20140515", "data"));
}

TEST(CopyNames, OnePathKeyForEverySpellingOfAPlace) {
    EXPECT_EQ(pathKey("/bak/data/"), pathKey("/bak/./x/../data"));
    EXPECT_NE(pathKey("/bak/data"), pathKey("/bak/database"));
    EXPECT_TRUE(isWithin("/src/bak/", "/src"));
    EXPECT_TRUE(isWithin("/src", "/src/"));
    EXPECT_TRUE(isWithin("/a", "/"));
    EXPECT_FALSE(isWithin("/srcx/bak", "/src"));
#ifdef _WIN32
    EXPECT_EQ(pathKey("C:\\Bak\\Data"), pathKey("c:/bak/data/"));
#endif
}

}  // namespace
}  // namespace vantrel
