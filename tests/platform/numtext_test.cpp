#include "platform/numtext.h"
#include "platform/filltext.h"

#include <gtest/gtest.h>

#include <limits>

using namespace platform;

namespace {

// Runs a test body under a given decimal separator and restores the
// process-wide settings afterwards.
class NumberText : public ::testing::Test {
  protected:
    void TearDown() override { FormatSettings() = saved_; }
    void UseComma() {
        FormatSettings().DecimalSeparator = ',';
        FormatSettings().ThousandSeparator = '.';
    }

  private:
    TFormatSettings saved_ = FormatSettings();
};

constexpr long double Inf = std::numeric_limits<long double>::infinity();
constexpr long double NaN = std::numeric_limits<long double>::quiet_NaN();

struct FixedCase {
    long double value;
    int decimals;
    const char* text;
};

}  // namespace

TEST_F(NumberText, FixedNotationRoundsTheEighteenDigitTextHalfAwayFromZero) {
    const FixedCase cases[] = {
        {45.25L, 1, "45.3"},
        {-45.25L, 1, "-45.3"},
        {0.125L, 2, "0.13"},
        {2.5L, 0, "3"},
        {40.0L, 1, "40.0"},
        {405.4L, 2, "405.40"},
        {0.0L, 4, "0.0000"},
        {0.006L, 2, "0.01"},
        {0.004L, 2, "0.00"},
        {-0.004L, 2, "0.00"},
        {99.75L, 1, "99.8"},
        {999.5L, 0, "1000"},
        {29.96L, 4, "29.9600"},
        {62.510151L, 6, "62.510151"},
        // Typed ties, held just below the tie in binary: their 18-digit text
        // is the tie.
        {45.35L, 1, "45.4"},
        {30.05L, 1, "30.1"},
        {1.15L, 1, "1.2"},
        {2.35L, 1, "2.4"},
        {-2.35L, 1, "-2.4"},
        {1.005L, 2, "1.01"},
        // A computed tie: a reservoir output of 6.25E+01 x 2.161840.
        {62.5L * 2.16184L, 2, "135.12"},
        // A double's 1.005 is 1.00499999999999989 at 18 digits: no tie.
        {1.005, 2, "1.00"},
        // digits beyond the 18th significant one are zeros
        {1234567890.123456789L, 12, "1234567890.123456790000"},
        {1e18L, 0, "1E18"},
        {Inf, 2, "INF"},
        {-Inf, 2, "-INF"},
        {NaN, 2, "NAN"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FloatToStrFixed(c.value, c.decimals), c.text) << static_cast<double>(c.value);
    }
}

TEST_F(NumberText, ExponentTextHasThreeDigitsAndASignedTwoDigitExponent) {
    EXPECT_EQ(FloatToStrExp3(62.510151L), "6.25E+01");
    EXPECT_EQ(FloatToStrExp3(13.1723L), "1.32E+01");
    EXPECT_EQ(FloatToStrExp3(244.258L), "2.44E+02");
    EXPECT_EQ(FloatToStrExp3(0.00123L), "1.23E-03");
    EXPECT_EQ(FloatToStrExp3(9.9951L), "1.00E+01");
    EXPECT_EQ(FloatToStrExp3(-5.0L), "-5.00E+00");
    EXPECT_EQ(FloatToStrExp3(0.0L), "0.00E+00");
    EXPECT_EQ(FloatToStrExp3(1.5e123L), "1.50E+123");
}

TEST_F(NumberText, GeneralTextDropsTrailingZeros) {
    EXPECT_EQ(FloatToStrGeneral(20.0L), "20");
    EXPECT_EQ(FloatToStrGeneral(0.5L), "0.5");
    EXPECT_EQ(FloatToStrGeneral(19.5L), "19.5");
    EXPECT_EQ(FloatToStrGeneral(0.0L), "0");
    EXPECT_EQ(FloatToStrGeneral(-6.0L), "-6");
    EXPECT_EQ(FloatToStrGeneral(static_cast<long double>(0.1f)), "0.100000001490116");
    EXPECT_EQ(FloatToStrGeneral(5.99L), "5.99");
    EXPECT_EQ(FloatToStrGeneral(0.00001L), "0.00001");
    EXPECT_EQ(FloatToStrGeneral(0.000001L), "1E-6");
    EXPECT_EQ(FloatToStrGeneral(123456789012345.0L), "123456789012345");
    EXPECT_EQ(FloatToStrGeneral(1.5e15L), "1.5E15");
}

// A typed 1.2345 is 1.23449999... in binary; its 18-digit text rounds up.
TEST_F(NumberText, SignificantTextRoundsTheWrittenDigits) {
    EXPECT_EQ(FloatToStrSignificant(0.350712L, 4), "0.3507");
    EXPECT_EQ(FloatToStrSignificant(1.2345L, 4), "1.235");
    EXPECT_EQ(FloatToStrSignificant(3.037254725L, 7), "3.037255");
    EXPECT_EQ(FloatToStrSignificant(-0.0982738L, 3), "-0.0983");
    EXPECT_EQ(FloatToStrSignificant(0.99996L, 4), "1");
    EXPECT_EQ(FloatToStrSignificant(0.0L, 4), "0");
}

TEST_F(NumberText, DisplayFormatKeepsFourSignificantDigitsAtMost) {
    const FixedCase cases[] = {
        {12.3456L, 2, "12.35"},    {123.456L, 2, "123.50"},     {0.004L, 2, "0.00"},
        {12345.6L, 2, "1.235E04"}, {-12345.6L, 2, "-1.235E04"}, {10000.0L, 2, "1E04"},
        {40.5L, 1, "40.5"},        {9999.4L, 1, "9999.0"},      {0.12345L, 3, "0.123"},
        {Inf, 2, "INF"},           {-Inf, 2, "-INF"},           {NaN, 2, "NAN"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FloatToDisplay(c.value, c.decimals), c.text) << static_cast<double>(c.value);
    }
}

TEST_F(NumberText, EveryOutputUsesTheLocaleSeparator) {
    UseComma();
    EXPECT_EQ(FloatToStrFixed(45.25L, 1), "45,3");
    EXPECT_EQ(FloatToStrExp3(62.510151L), "6,25E+01");
    EXPECT_EQ(FloatToStrGeneral(19.5L), "19,5");
    EXPECT_EQ(FloatToDisplay(12.3456L, 2), "12,35");
    EXPECT_EQ(FloatToDisplay(12345.6L, 2), "1,235E04");
}

TEST_F(NumberText, TextToNumberIsStrict) {
    EXPECT_EQ(StrToFloat("6.25E+01"), 62.5L);
    EXPECT_EQ(StrToFloat("  -0.5 "), -0.5L);
    EXPECT_EQ(StrToFloat(".5"), 0.5L);
    EXPECT_EQ(StrToFloat("5."), 5.0L);
    EXPECT_EQ(StrToFloat("+1e3"), 1000.0L);
    for (const char* bad : {"", " ", "abc", "1,5", "1.2.3", "1e", "e5", "--1", "1 2", "0x10", "INF",
                            "NAN", "1e99999", "."}) {
        long double v = 7;
        EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
        EXPECT_EQ(v, 7) << bad;
    }
    try {
        StrToFloat("12a");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'12a' is not a valid floating point value");
    }
}

TEST_F(NumberText, TextToNumberReadsTheLocaleSeparatorOnly) {
    UseComma();
    EXPECT_EQ(StrToFloat("29,96"), StrToFloat("29,96"));
    EXPECT_EQ(StrToFloat("0,5"), 0.5L);
    EXPECT_THROW(StrToFloat("0.5"), EConvertError);
    // what is written reads back to the same text
    EXPECT_EQ(FloatToStrExp3(StrToFloat(FloatToStrExp3(62.510151L))), "6,25E+01");
}

TEST_F(NumberText, IntegerTextAcceptsDecimalAndBothHexPrefixes) {
    struct Case {
        const char* text;
        bool ok;
        int value;
    };
    const Case cases[] = {
        {"0", true, 0},           {"-12", true, -12},      {"$1F", true, 31},
        {"0x10", true, 16},       {"$FFFFFFFF", true, -1}, {"2147483647", true, 2147483647},
        {"2147483648", false, 0}, {"", false, 0},          {"$", false, 0},
        {"1.0", false, 0},        {"12a", false, 0},       {" 1", false, 0},
    };
    for (const auto& c : cases) {
        int v = 0;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

// A message's blanks take names the operator typed: a plan or a port named
// with a "%s" in it is shown as named, not filled in once more.
TEST(MessageText, EachBlankTakesTheNextValueAsItIs) {
    struct Case {
        const char* pattern;
        std::initializer_list<std::string> values;
        const char* filled;
    };
    const Case cases[] = {
        {"Port %s gone", {"/dev/ttyUSB0"}, "Port /dev/ttyUSB0 gone"},
        {"%s: %s", {"50%s", "b"}, "50%s: b"},
        {"%s and %s", {"one"}, "one and %s"},
        {"100 % sure %s", {"x", "y"}, "100 % sure x"},
        {"", {}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::FillText(c.pattern, c.values), c.filled) << c.pattern;
}
