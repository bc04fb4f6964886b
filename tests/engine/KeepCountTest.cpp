#include "engine/KeepCount.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"

namespace vantrel {
namespace {

TEST(KeepCount, AcceptsWhatCanStillBecomeANumber) {
    for (const char* text :
         {"", "+", "-", "3", "12", "2.", "2.5", "2,55", ".5", "1e", "1E+", "1e-2", "-0,25e3"}) {
        EXPECT_TRUE(KeepCountAccepts(text)) << text;
    }
}

TEST(KeepCount, RefusesOtherText) {
    for (const char* text : {"a", "3a", "2.555", "1..2", "1.,2", "e", "+e", ".e", "1e2.5", "1e2e3",
                             "++1", "1+", " 3", "3 ", "1 000"}) {
        EXPECT_FALSE(KeepCountAccepts(text)) << text;
    }
}

TEST(KeepCount, ParsesDecimalCommaSignsAndExponents) {
    EXPECT_EQ(ParseKeepCount(""), std::nullopt);
    EXPECT_EQ(ParseKeepCount("  "), std::nullopt);
    EXPECT_EQ(ParseKeepCount("+"), 0.0);
    EXPECT_EQ(ParseKeepCount("-"), 0.0);
    EXPECT_EQ(ParseKeepCount("3"), 3.0);
    EXPECT_EQ(ParseKeepCount(" 3 "), 3.0);
    EXPECT_EQ(ParseKeepCount("+4"), 4.0);
    EXPECT_EQ(ParseKeepCount("2,5"), 2.5);
    EXPECT_EQ(ParseKeepCount("2."), 2.0);
    EXPECT_EQ(ParseKeepCount(".5"), 0.5);
    EXPECT_EQ(ParseKeepCount("-1"), -1.0);
    EXPECT_EQ(ParseKeepCount("1.5e1"), 15.0);
    EXPECT_EQ(ParseKeepCount("25E-1"), 2.5);
    EXPECT_EQ(ParseKeepCount("0"), 0.0);
}

TEST(KeepCount, RejectsNonNumbersNamingTheText) {
    for (const char* text : {"abc", "1e", "3x", "1e999", "0x10", "inf", "nan", ".", "1 2"}) {
        try {
            ParseKeepCount(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const BackupError& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}

TEST(KeepCount, FormatsInShortestFormWithoutSeparators) {
    EXPECT_EQ(FormatKeepCount(3), "3");
    EXPECT_EQ(FormatKeepCount(2.5), "2.5");
    EXPECT_EQ(FormatKeepCount(2.25), "2.25");
    EXPECT_EQ(FormatKeepCount(0), "0");
    EXPECT_EQ(FormatKeepCount(-0.0), "0");
    EXPECT_EQ(FormatKeepCount(1234567), "1234567");
    EXPECT_EQ(FormatKeepCount(2.999), "3");
}

TEST(KeepCount, CommitRaisesTypedValuesBelowOne) {
    EXPECT_EQ(CommitKeepCount(""), "");
    EXPECT_EQ(CommitKeepCount("3.00"), "3");
    EXPECT_EQ(CommitKeepCount("2,50"), "2.5");
    EXPECT_EQ(CommitKeepCount("0"), "1");
    EXPECT_EQ(CommitKeepCount("0.5"), "1");
    EXPECT_EQ(CommitKeepCount("-7"), "1");
    EXPECT_EQ(CommitKeepCount("+"), "1");
    EXPECT_EQ(CommitKeepCount("1e1"), "10");
    EXPECT_THROW(CommitKeepCount("1e"), BackupError);
}

}  // namespace
}  // namespace vantrel
