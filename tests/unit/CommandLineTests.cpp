#include <gtest/gtest.h>

#include <vector>

#include "ArgvParser.h"
#include "cli/CommandLine.h"

namespace brindle {
namespace {

std::u16string Compose(const std::vector<std::u16string>& arguments) {
    std::u16string command;
    for (const std::u16string& argument : arguments) {
        AppendCommandArgument(command, argument);
    }
    return command;
}

TEST(AppendCommandArgumentTest, SimpleArgumentsAreCopiedUnchanged) {
    EXPECT_EQ(Compose({u"cmd.exe", u"/c", u"build.bat"}), u"cmd.exe /c build.bat");
    EXPECT_EQ(Compose({u"cmd", u"--verbose"}), u"cmd --verbose");
    EXPECT_EQ(Compose({u"a", u"--", u"b"}), u"a -- b");
    EXPECT_EQ(Compose({u"tool", u"*", u"-h", u"C:\\dir\\"}), u"tool * -h C:\\dir\\");
    EXPECT_EQ(Compose({u"x", u"line\nfeed", u"v\vtab"}), u"x line\nfeed v\vtab");
}

TEST(AppendCommandArgumentTest, ProgramIsQuotedOnlyForSpaceOrTabAndNeverEscaped) {
    EXPECT_EQ(Compose({u"C:\\Program Files\\x.exe", u"/q"}), u"\"C:\\Program Files\\x.exe\" /q");
    EXPECT_EQ(Compose({u"a\tb.exe"}), u"\"a\tb.exe\"");
    EXPECT_EQ(Compose({u"C:\\dir with space\\"}), u"\"C:\\dir with space\\\"");
    EXPECT_EQ(Compose({u"odd\"name"}), u"odd\"name");
}

TEST(AppendCommandArgumentTest, EmptyProgramIsWrittenAsEmptyQuotesSoTheNextArgumentIsNotRun) {
    EXPECT_EQ(Compose({u"", u"b"}), u"\"\" b");
}

TEST(AppendCommandArgumentTest, LaterArgumentsAreQuotedByTheWindowsConvention) {
    EXPECT_EQ(Compose({u"a", u"", u"b"}), u"a \"\" b");
    EXPECT_EQ(Compose({u"p", u"two words"}), u"p \"two words\"");
    EXPECT_EQ(Compose({u"p", u"tab\there"}), u"p \"tab\there\"");
    EXPECT_EQ(Compose({u"p", u"say \"hi there\""}), u"p \"say \\\"hi there\\\"\"");
    EXPECT_EQ(Compose({u"p", u"a\"b"}), u"p \"a\\\"b\"");
    EXPECT_EQ(Compose({u"p", u"C:\\dir with space\\"}), u"p \"C:\\dir with space\\\\\"");
    EXPECT_EQ(Compose({u"p", u"a\\\\\"b"}), u"p \"a\\\\\\\\\\\"b\"");
    EXPECT_EQ(Compose({u"p", u"a\\b c"}), u"p \"a\\b c\"");
}

TEST(AppendCommandArgumentTest, EveryArgumentAfterTheProgramRoundTrips) {
    const std::vector<std::vector<std::u16string>> cases = {
        {u"p", u"", u"", u""},
        {u"p", u"\"", u"\\", u"\\\\", u"\\\"", u"\"\\"},
        {u"p", u"C:\\dir with space\\", u"say \"hi there\"", u"trailing\\\\"},
        {u"p", u"  leading and trailing  ", u"\t", u"*", u"?"},
        {u"p", u"a\\\\\"b", u"\\\\server\\share\\", u"\"\"", u"x\"\"y"},
        {u"C:\\Program Files\\p.exe", u"caf\u00E9", u"\u65E5\u672C", u"\U0001F600 emoji"},
    };
    for (const auto& arguments : cases) {
        EXPECT_EQ(testing::SplitCommandLine(Compose(arguments)), arguments);
    }
}

}  // namespace
}  // namespace brindle
