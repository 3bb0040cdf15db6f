#include <gtest/gtest.h>

#include "cli/DecimalNumber.h"

namespace brindle {
namespace {

struct NumberCase {
    std::u16string text;
    std::int32_t expected;
};

class ReadDecimalNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadDecimalNumberTest, ReadsLikeWideStringToLongInBase10) {
    EXPECT_EQ(ReadDecimalNumber(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadDecimalNumberTest,
    ::testing::Values(
        // Plain values, signs and what stops the digits.
        NumberCase{u"", 0}, NumberCase{u"0", 0}, NumberCase{u"10", 10}, NumberCase{u"+7", 7},
        NumberCase{u"-1", -1}, NumberCase{u"10s", 10}, NumberCase{u"abc", 0}, NumberCase{u"0x10", 0},
        NumberCase{u"-", 0}, NumberCase{u"+-5", 0}, NumberCase{u"--5", 0}, NumberCase{u"1 2", 1},
        NumberCase{u"007", 7},
        // Leading white space, ASCII and beyond; other space characters stop the digits.
        NumberCase{u" 42", 42}, NumberCase{u"\t\n\v\f\r 5", 5}, NumberCase{u"\u0085\u00A0" u"6", 6},
        NumberCase{u"\u3000" u"8", 8}, NumberCase{u"\u2000\u200A\u2028\u2029\u202F\u205F\u1680" u"9", 9},
        NumberCase{u"\u200B" u"9", 0}, NumberCase{u"\u00A0-3", -3}, NumberCase{u"- 3", 0},
        // Digits of other scripts, mixed freely with ASCII ones.
        NumberCase{u"\uFF11\uFF12", 12}, NumberCase{u"\u0663", 3}, NumberCase{u"\u06F4" u"2", 42},
        NumberCase{u"\u096F", 9}, NumberCase{u"\u09E6\u09E7", 1}, NumberCase{u"\u0A67", 1}, NumberCase{u"\u0AE8", 2},
        NumberCase{u"\u0B69", 3}, NumberCase{u"\u0C6A", 4}, NumberCase{u"\u0CEB", 5}, NumberCase{u"\u0D6C", 6},
        NumberCase{u"\u0E57", 7}, NumberCase{u"\u0ED8", 8}, NumberCase{u"\u0F29", 9}, NumberCase{u"\u1041", 1},
        NumberCase{u"\u17E2", 2}, NumberCase{u"\u1813", 3},
        // Just outside a digit range is not a digit.
        NumberCase{u"\u065F", 0}, NumberCase{u"\u066A", 0}, NumberCase{u"\uFF1A", 0}, NumberCase{u"\u00B2", 0},
        // Clamping to the signed 32-bit range, however long the digits run.
        NumberCase{u"2147483647", 2147483647}, NumberCase{u"2147483648", 2147483647},
        NumberCase{u"99999999999", 2147483647}, NumberCase{u"-2147483648", -2147483647 - 1},
        NumberCase{u"-2147483649", -2147483647 - 1},
        NumberCase{u"123456789012345678901234567890123456789012345678901234567890", 2147483647},
        NumberCase{u"-99999999999999999999999999", -2147483647 - 1}));

}  // namespace
}  // namespace brindle
