#include "runtime/text.h"
#include "support/german_locale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace mirl {
namespace {

// The texts of a German desktop session must be those of any other: the status shows "MB/s: 2.50",
// not "2," (the locale's decimal comma once cut the rounding short).
TEST(Text, NumbersAreTheSameUnderAGermanLocale) {
    const auto texts = [] {
        std::vector<std::string> all = {FloatToText(2.5f, 2),  FloatToText(943.0f, 2),   FloatToText(0.0f, 2),
                                        FloatToText(1.5f, 0),  FloatToText(-35.125f, 2), FloatToText(0.1f, -1),
                                        FloatToText(1e30f, 3), IntToText(-1234567),      IntToText(FloatToInt(2.5))};
        return all;
    };
    const std::vector<std::string> inC = texts();
    const test::GermanLocale german;
    ASSERT_TRUE(german.Active()) << german.WhyNot();
    const std::vector<std::string> inGerman = texts();
    EXPECT_EQ(inGerman, inC);
    EXPECT_EQ(inGerman[0], "2.50");
    EXPECT_EQ(inGerman[1], "943.00");
    EXPECT_EQ(inGerman[2], "0.00");
    EXPECT_EQ(inGerman[3], "2");
    EXPECT_EQ(inGerman[5], "0.1000000015");
    EXPECT_EQ(inGerman[7], "-1234567");
}

TEST(Text, IntToTextCoversTheWholeRange) {
    EXPECT_EQ(IntToText(0), "0");
    EXPECT_EQ(IntToText(-1), "-1");
    EXPECT_EQ(IntToText(4294967296), "4294967296");
    EXPECT_EQ(IntToText(INT32_MIN), "-2147483648");
    EXPECT_EQ(IntToText(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(IntToText(INT64_MAX), "9223372036854775807");
}

TEST(Text, FloatToTextRoundsTheExactValueHalfAwayFromZero) {
    EXPECT_EQ(FloatToText(0.0f, 2), "0.00");
    EXPECT_EQ(FloatToText(-0.0f, 2), "0.00");
    EXPECT_EQ(FloatToText(-0.0f, 0), "0");
    // 1.005f is 1.00499999523..., below the half; 1.125 and 35.125 are exact halves.
    EXPECT_EQ(FloatToText(1.005f, 2), "1.00");
    EXPECT_EQ(FloatToText(1.125f, 2), "1.13");
    EXPECT_EQ(FloatToText(35.125f, 2), "35.13");
    EXPECT_EQ(FloatToText(-35.125f, 2), "-35.13");
    EXPECT_EQ(FloatToText(0.1f, 2), "0.10");
    EXPECT_EQ(FloatToText(1234.5f, 0), "1235");
    EXPECT_EQ(FloatToText(-2.5f, 0), "-3");
    EXPECT_EQ(FloatToText(0.5f, 0), "1");
    EXPECT_EQ(FloatToText(2.5f, 0), "3");
    // Carries through nines, past the sign and the point.
    EXPECT_EQ(FloatToText(9.995f, 2), "9.99"); // 9.99499988...
    EXPECT_EQ(FloatToText(9.9951f, 2), "10.00");
    EXPECT_EQ(FloatToText(-99.5f, 0), "-100");
    EXPECT_EQ(FloatToText(0.375f, 2), "0.38");
    EXPECT_EQ(FloatToText(-0.375f, 2), "-0.38");
    EXPECT_EQ(FloatToText(-0.001f, 2), "-0.00");
    // Values a float holds only approximately keep their true expansion.
    EXPECT_EQ(FloatToText(16777217.0f, 0), "16777216");
    EXPECT_EQ(FloatToText(0.1f, 12), "0.100000001490");
    EXPECT_EQ(FloatToText(3.4028235e38f, 0), "340282346638528859811704183484516925440");
    // The smallest denormal has 149 significant fraction digits; rounding at the 149th.
    EXPECT_EQ(FloatToText(std::numeric_limits<float>::denorm_min(), 149).substr(0, 48),
              "0.0000000000000000000000000000000000000000000014");
    EXPECT_EQ(FloatToText(std::numeric_limits<float>::denorm_min(), 45),
              "0.000000000000000000000000000000000000000000001");
    // Decimals are clamped to 0 ... 512.
    EXPECT_EQ(FloatToText(2.5f, -7), "3");
    EXPECT_EQ(FloatToText(1.0f, 600).size(), std::string("1.").size() + 512);
    EXPECT_EQ(FloatToText(1.0f, 512).size(), std::string("1.").size() + 512);
}

TEST(Text, FloatToTextWithTenDecimalsDropsTrailingZeros) {
    EXPECT_EQ(FloatToText(2.5f, -1), "2.5");
    EXPECT_EQ(FloatToText(3.0f, -1), "3");
    EXPECT_EQ(FloatToText(0.1f, -1), "0.1000000015");
    EXPECT_EQ(FloatToText(-0.0f, -1), "0");
    EXPECT_EQ(FloatToText(-1.25f, -1), "-1.25");
    EXPECT_EQ(FloatToText(100.0f, -1), "100");
}

TEST(Text, FloatToTextNamesInfinitiesAndNaN) {
    for (int decimals : {-1, 0, 2, 600}) {
        EXPECT_EQ(FloatToText(std::numeric_limits<float>::infinity(), decimals), "+Infinity");
        EXPECT_EQ(FloatToText(-std::numeric_limits<float>::infinity(), decimals), "-Infinity");
        EXPECT_EQ(FloatToText(std::numeric_limits<float>::quiet_NaN(), decimals), "NaN");
        EXPECT_EQ(FloatToText(-std::numeric_limits<float>::quiet_NaN(), decimals), "NaN");
    }
}

TEST(Text, FloatArithmeticHelpers) {
    EXPECT_EQ(FloatMod(125.0f, 60.0f), 5.0f);
    EXPECT_EQ(FloatMod(-125.0f, 60.0f), -5.0f);
    EXPECT_EQ(FloatMod(59.0f, 60.0f), 59.0f);
    EXPECT_EQ(FloatMod(7200.0f, 60.0f), 0.0f);
    EXPECT_EQ(FloatMod(5.5f, 2.0f), 1.5f);

    EXPECT_EQ(FloatToInt(0.5), 0);
    EXPECT_EQ(FloatToInt(1.5), 2);
    EXPECT_EQ(FloatToInt(2.5), 2);
    EXPECT_EQ(FloatToInt(3.5), 4);
    EXPECT_EQ(FloatToInt(-2.5), -2);
    EXPECT_EQ(FloatToInt(-0.4), 0);
    EXPECT_EQ(FloatToInt(2.4999), 2);
    EXPECT_EQ(FloatToInt(5e9), 5000000000);
}

TEST(Text, TextHelpersClampCountsAndPositions) {
    EXPECT_EQ(TextLeft("C:\\Temp", 3), "C:\\");
    EXPECT_EQ(TextRight("C:\\", 1), "\\");
    EXPECT_EQ(TextLeft("abc", 10), "abc");
    EXPECT_EQ(TextRight("abc", 10), "abc");
    EXPECT_EQ(TextLeft("abc", -1), "");
    EXPECT_EQ(TextRight("abc", -1), "");

    EXPECT_EQ(TextFind("LORU", "L", 1), 1);
    EXPECT_EQ(TextFind("LO", "U", 1), 0);
    EXPECT_EQ(TextFind("LORU", "L", 5), 0);
    EXPECT_EQ(TextFind("LORU", "U", 4), 4);
    EXPECT_EQ(TextFind("LORULO", "LO", 2), 5);
    EXPECT_EQ(TextFind("LORU", "O", -3), 2);
    EXPECT_EQ(TextFind("LORU", "", 1), 0);
    EXPECT_EQ(TextFind("", "L", 1), 0);
    EXPECT_EQ(TextFind("LORU", "l", 1), 0);

    EXPECT_EQ(TextReplace("a\r\nb\r\n", "\r\n", "|"), "a|b|");
    EXPECT_EQ(TextReplace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(TextReplace("abc", "", "x"), "abc");
    EXPECT_EQ(TextReplace("abc", "b", ""), "ac");
    EXPECT_EQ(TextReplace("xx", "x", "xx"), "xxxx");

    EXPECT_EQ(TextSpaces(3), "   ");
    EXPECT_EQ(TextSpaces(0), "");
    EXPECT_EQ(TextSpaces(-2), "");
    EXPECT_EQ(TextSpaces(140).size(), 140u);

    EXPECT_EQ(TextUpper("lrtb-x1"), "LRTB-X1");
    // Windows-1252: ä ö ü é š œ ž ÿ, and ß and ÷ unchanged.
    EXPECT_EQ(TextUpper("\xE4\xF6\xFC\xE9\x9A\x9C\x9E\xFF\xDF\xF7"), "\xC4\xD6\xDC\xC9\x8A\x8C\x8E\x9F\xDF\xF7");
}

} // namespace
} // namespace mirl
