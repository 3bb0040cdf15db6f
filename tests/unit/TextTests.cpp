#include <gtest/gtest.h>

#include "platform/Text.h"
#include "report/Json.h"

namespace brindle {
namespace {

TEST(DecimalTest, PrintsUnsignedDecimal) {
    EXPECT_EQ(Decimal(0), u"0");
    EXPECT_EQ(Decimal(1314), u"1314");
    EXPECT_EQ(Decimal(4294967295u), u"4294967295");
}

TEST(FailedLineTest, NamesTheOperationAndTheCode) {
    EXPECT_EQ(FailedLine(u"OpenProcessToken", 5), u"[brindle] OpenProcessToken failed: 5\n");
}

TEST(EncodeUtf8Test, EncodesEveryLengthOfSequence) {
    EXPECT_EQ(EncodeUtf8(u"plain\n"), "plain\n");
    EXPECT_EQ(EncodeUtf8(u"v\u00E9rbose"), "v\xC3\xA9rbose");
    EXPECT_EQ(EncodeUtf8(u"\u65E5"), "\xE6\x97\xA5");
    EXPECT_EQ(EncodeUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(EncodeUtf8(std::u16string(1, u'\0')), std::string(1, '\0'));
}

TEST(EncodeUtf8Test, UnpairedSurrogatesBecomeTheReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(EncodeUtf8(std::u16string{0xD800}), replacement);
    EXPECT_EQ(EncodeUtf8(std::u16string{0xDC00, u'a'}), replacement + "a");
    EXPECT_EQ(EncodeUtf8(std::u16string{0xD83D, u'x', 0xDE00}), replacement + "x" + replacement);
    EXPECT_EQ(EncodeUtf8(std::u16string{0xDE00, 0xD83D}), replacement + replacement);
}

}  // namespace
// JSON strings: the short escapes, \u00XX for the other control characters, everything
// from U+0020 on as UTF-8, and an unpaired surrogate as its own escape, never U+FFFD.
TEST(JsonStringTest, EscapesWhatJsonRequiresAndKeepsUnpairedSurrogates) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"\b\f\n\r\t\"\\", "\\b\\f\\n\\r\\t\\\"\\\\"},
        {u"\x01\x1F", "\\u0001\\u001f"},
        {u" \x7F/", " \x7F/"},
        {u"a\xD800" u"b", "a\\ud800b"},             // a high surrogate alone
        {u"\xDC00", "\\udc00"},                     // a low surrogate alone
        {u"a\xD83D", "a\\ud83d"},                   // a high surrogate at the end
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},     // a pair is one character
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(JsonString(text), "\"" + expected + "\"");
    }
}

}  // namespace brindle
