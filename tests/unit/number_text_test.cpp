#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "acquisition/number_text.h"

namespace orva {
namespace {

struct LenientCase {
    const char* field;
    double expected;
};

TEST(LenientNumber, ReadsWhatATerminalSendsAndStopsWhereTheNumberEnds) {
    const LenientCase cases[] = {
        {"00012.5", 12.5},   {" -1.75k", -1.75}, {"0012,50", 12},     {"", 0},
        {"WW123", 0},        {"1 2 . 5", 12.5},  {"\t-\n3", -3},      {"1.2.3", 1.2},
        {"1E3", 1000},       {"1d2", 100},       {"2e-1", 0.2},       {"1E", 1},
        {"1E+", 1},          {"&H1F", 31},       {"&hff", 255},       {"&O17", 15},
        {"&O9", 0},          {"&X1", 0},         {"+5", 5},           {"--5", 0},
        {".", 0},            {"-.5", -0.5},      {"5.", 5},           {"kg", 0},
        {"1E-999", 0},       {"0.000", 0},       {"\r12", 0},  // a carriage return is not a blank
    };
    for (const auto& c : cases) EXPECT_EQ(parseLenientNumber(c.field), c.expected) << '"' << c.field << '"';
}

TEST(LenientNumber, TellsWhetherANumberWasFoundAndWhetherTheTextEndedIt) {
    struct Case {
        const char* field;
        bool found;
        bool runsToEnd;
    };
    const Case cases[] = {
        {"12.5", true, true},   {"12 ", true, true},     {"1E", true, true},    {"1E+", true, true},
        {"-", false, true},     {"", false, true},       {"&H", false, true},   {"&H1F", true, true},
        {"12.5kg", true, false}, {"12.5\x03", true, false}, {"12.5\r", true, false}, {"1E3k", true, false},
        {"OL", false, false},   {"W 15.5", false, false}, {"&HG", false, false}, {" . ", false, true},
    };
    for (const auto& c : cases) {
        const LenientReading r = readLenientNumber(c.field);
        EXPECT_EQ(r.found, c.found) << '"' << c.field << '"';
        EXPECT_EQ(r.runsToEnd, c.runsToEnd) << '"' << c.field << '"';
        EXPECT_EQ(r.value, parseLenientNumber(c.field)) << '"' << c.field << '"';
    }
}

TEST(LenientNumber, MagnitudeBeyondTheDoubleRangeIsInfinite) {
    EXPECT_EQ(parseLenientNumber("1E999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parseLenientNumber("-9D9999"), -std::numeric_limits<double>::infinity());
}

TEST(WholeNumber, AcceptsOnlyANumberWithBlanksAround) {
    EXPECT_EQ(parseWholeNumber(" 3 "), 3);
    EXPECT_EQ(parseWholeNumber("2.5"), 2.5);
    EXPECT_EQ(parseWholeNumber("-4"), -4);
    EXPECT_EQ(parseWholeNumber("&H10"), 16);
    EXPECT_FALSE(parseWholeNumber("COM2"));
    EXPECT_FALSE(parseWholeNumber(""));
    EXPECT_FALSE(parseWholeNumber("   "));
    EXPECT_FALSE(parseWholeNumber("3x"));
    EXPECT_FALSE(parseWholeNumber("1 2"));
    EXPECT_FALSE(parseWholeNumber("1E"));
}

TEST(WeightTexts, DisplayTextUsesTheLocaleSeparatorAndFifteenDigits) {
    EXPECT_EQ(displayText(12.5, "."), "12.5");
    EXPECT_EQ(displayText(12.5, ","), "12,5");
    EXPECT_EQ(displayText(-1.75, "."), "-1.75");
    EXPECT_EQ(displayText(0, "."), "0");
    EXPECT_EQ(displayText(-0.0, "."), "0");
    EXPECT_EQ(displayText(999999, "."), "999999");
    EXPECT_EQ(displayText(0.1 + 0.2, "."), "0.3");
    EXPECT_EQ(displayText(0.5, ","), "0,5");
    EXPECT_EQ(displayText(1e20, "."), "1E+20");
    EXPECT_EQ(displayText(123456789012345678.0, ","), "1,23456789012346E+17");
}

TEST(WeightTexts, PropertyTextHasABlankBeforeNonNegativeValuesAndAPoint) {
    EXPECT_EQ(propertyText(12.5), " 12.5");
    EXPECT_EQ(propertyText(0), " 0");
    EXPECT_EQ(propertyText(-0.0), " 0");
    EXPECT_EQ(propertyText(-3.5), "-3.5");
    EXPECT_EQ(propertyText(999.999), " 999.999");
}

TEST(WeightTexts, BothTextsReadBackToTheWeight) {
    for (double w : {12.5, -1.75, 0.001, 999999.0, 123.45, 1e-7, 3.0e15}) {
        EXPECT_DOUBLE_EQ(parseLenientNumber(propertyText(w)), w) << w;
        EXPECT_DOUBLE_EQ(parseLenientNumber(displayText(w, ".")), w) << w;
    }
}

}  // namespace
}  // namespace orva
