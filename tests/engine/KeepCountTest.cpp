#include "engine/rules/KeepCount.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"

namespace vantrel {
namespace {

TEST(KeepCount, AcceptsOnlyKeysThatCanStillMakeANumber) {
    for (const char* text :
         {"", "+", "-", "3", "2.", "2.5", "2,55", ".5", "1e", "1E+", "1e-2", "-0,25e3"}) {
        EXPECT_TRUE(keepCountAccepts(text)) << text;
    }
    for (const char* text : {"a", "3a", "2.555", "1..2", "1.,2", "e", "+e", ".e", "1e2.5", "1e2e3",
                             "++1", "1+", " 3", "3 ", "1 000"}) {
        EXPECT_FALSE(keepCountAccepts(text)) << text;
    }
}

TEST(KeepCount, ParsesDecimalCommaSignsAndExponentsAndNamesBadText) {
    EXPECT_EQ(parseKeepCount("  "), std::nullopt);
    const std::pair<const char*, double> cases[] = {{"+", 0},     {" 3 ", 3},    {"+4", 4},
                                                    {"2,5", 2.5}, {"2.", 2},     {".5", 0.5},
                                                    {"-1", -1},   {"1.5e1", 15}, {"25E-1", 2.5}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(parseKeepCount(text), value) << text;
    }
    for (const char* text : {"abc", "1e", "3x", "1e999", "0x10", "inf", "nan", ".", "1 2"}) {
        try {
            parseKeepCount(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const BackupError& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}

TEST(KeepCount, CommitShowsTheShortestFormAndRaisesTypedValuesBelowOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},   {"3.00", "3"}, {"2,50", "2.5"}, {"2.25", "2.25"}, {"1234567", "1234567"},
        {"0", "1"}, {"0.5", "1"},  {"-7", "1"},     {"+", "1"},       {"1e1", "10"}};
    for (const auto& [typed, shown] : cases) {
        EXPECT_EQ(commitKeepCount(typed), shown) << typed;
    }
    EXPECT_EQ(formatKeepCount(-0.0), "0");
    EXPECT_EQ(formatKeepCount(2.999), "3");
    EXPECT_THROW(commitKeepCount("1e"), BackupError);
}

}  // namespace
}  // namespace vantrel
