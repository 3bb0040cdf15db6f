#include <gtest/gtest.h>

#include <vector>

#include "cli/ParseArguments.h"

namespace brindle {
namespace {

class CapturedErrors final : public ErrorStream {
public:
    void WriteStandardError(std::u16string_view text) override { text_ += text; }
    const std::u16string& Text() const { return text_; }

private:
    std::u16string text_;
};

struct Parsed {
    bool accepted;
    LaunchOptions options;
    std::u16string errors;
};

Parsed Parse(std::vector<std::u16string> arguments) {
    arguments.insert(arguments.begin(), u"C:\\tools\\brindle.exe");
    std::vector<const char16_t*> argv;
    for (const std::u16string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    Parsed parsed{false, {}, {}};
    CapturedErrors errors;
    parsed.accepted = ParseArguments(static_cast<int>(argv.size()), argv.data(), parsed.options, errors);
    parsed.errors = errors.Text();
    return parsed;
}

const std::u16string kNoCommand = u"[brindle] Error: No command specified after '--'\n";

TEST(ParseArgumentsTest, UsageTextIsExact) {
    EXPECT_EQ(kUsageText,
              u"Usage: brindle.exe [options] -- <command> [args...]\n\nOptions:\n"
              u"  --low-il              Set Low Integrity Level on child process\n"
              u"  --restricted-token    Create Restricted Token (strip admin SIDs)\n"
              u"  --job-object          Assign child process to a Job Object\n"
              u"  --max-processes=N     Max child processes in Job Object (default: 64)\n"
              u"  --writable-dir=DIR    Grant Low IL write access to DIR (repeatable)\n"
              u"  --timeout=SECONDS     Execution timeout in seconds (0 = infinite)\n"
              u"  --verbose             Print debug info to stderr\n"
              u"  --help                Show this help message\n\n"
              u"Further options:\n"
              u"  --strict                   Run the command only if every requested restriction applies\n"
              u"  --report=FILE              Write a JSON report of the run to FILE\n"
              u"  --version                  Print the version and exit\n\nExample:\n"
              u"  brindle.exe --low-il --restricted-token --job-object -- powershell.exe -Command \"Get-Date\"\n");
}

TEST(ParseArgumentsTest, DefaultsHoldWhenOnlyACommandIsGiven) {
    const Parsed parsed = Parse({u"--", u"cmd.exe", u"/c", u"build.bat"});
    ASSERT_TRUE(parsed.accepted);
    EXPECT_EQ(parsed.errors, u"");
    EXPECT_FALSE(parsed.options.lowIL);
    EXPECT_FALSE(parsed.options.restrictedToken);
    EXPECT_FALSE(parsed.options.jobObject);
    EXPECT_FALSE(parsed.options.verbose);
    EXPECT_EQ(parsed.options.maxProc, 64u);
    EXPECT_EQ(parsed.options.timeout, 0u);
    EXPECT_TRUE(parsed.options.writableDirs.empty());
    EXPECT_EQ(parsed.options.command, u"cmd.exe /c build.bat");
}

TEST(ParseArgumentsTest, EverySwitchAndValueIsRead) {
    const Parsed parsed = Parse({u"--low-il", u"--restricted-token", u"--job-object", u"--verbose",
                                 u"--max-processes=5", u"--timeout=60", u"--writable-dir=C:\\out",
                                 u"--low-il", u"--", u"run.exe"});
    ASSERT_TRUE(parsed.accepted);
    EXPECT_TRUE(parsed.options.lowIL);
    EXPECT_TRUE(parsed.options.restrictedToken);
    EXPECT_TRUE(parsed.options.jobObject);
    EXPECT_TRUE(parsed.options.verbose);
    EXPECT_EQ(parsed.options.maxProc, 5u);
    EXPECT_EQ(parsed.options.timeout, 60u);
    EXPECT_EQ(parsed.options.writableDirs, std::vector<std::u16string>{u"C:\\out"});
}

TEST(ParseArgumentsTest, NumbersFollowTheConversionRule) {
    struct Case {
        std::u16string argument;
        std::uint32_t maxProc;
        std::uint32_t timeout;
    };
    const Case cases[] = {
        {u"--max-processes=0", 64, 0},           {u"--max-processes=", 64, 0},
        {u"--max-processes=abc", 64, 0},         {u"--max-processes=-1", 4294967295u, 0},
        {u"--max-processes=99999999999", 2147483647u, 0},
        {u"--max-processes=1", 1, 0},            {u"--timeout=-1", 64, 4294967295u},
        {u"--timeout=", 64, 0},                  {u"--timeout=10s", 64, 10},
        {u"--timeout=+7", 64, 7},                {u"--timeout= 42", 64, 42},
        {u"--timeout=\uFF11\uFF12", 64, 12},     {u"--timeout=\u0663", 64, 3},
        {u"--timeout=0x10", 64, 0},              {u"--timeout=-2147483648", 64, 2147483648u},
    };
    for (const Case& c : cases) {
        const Parsed parsed = Parse({c.argument, u"--", u"x"});
        ASSERT_TRUE(parsed.accepted);
        EXPECT_EQ(parsed.options.maxProc, c.maxProc) << std::string(c.argument.begin(), c.argument.end());
        EXPECT_EQ(parsed.options.timeout, c.timeout) << std::string(c.argument.begin(), c.argument.end());
    }
}

TEST(ParseArgumentsTest, ARepeatedNumberOverridesTheEarlierOne) {
    const Parsed parsed = Parse({u"--timeout=5", u"--max-processes=3", u"--timeout=9", u"--max-processes=0",
                                 u"--", u"x"});
    ASSERT_TRUE(parsed.accepted);
    EXPECT_EQ(parsed.options.timeout, 9u);
    EXPECT_EQ(parsed.options.maxProc, 64u);
}

TEST(ParseArgumentsTest, WritableDirsKeepOrderDuplicatesAndEmptyEntries) {
    const Parsed parsed = Parse({u"--writable-dir=C:\\b", u"--writable-dir=", u"--writable-dir=C:\\b",
                                 u"--writable-dir= spaced ", u"--", u"x"});
    ASSERT_TRUE(parsed.accepted);
    EXPECT_EQ(parsed.options.writableDirs,
              (std::vector<std::u16string>{u"C:\\b", u"", u"C:\\b", u" spaced "}));
}

TEST(ParseArgumentsTest, EverythingAfterTheSeparatorBelongsToTheCommand) {
    EXPECT_EQ(Parse({u"--", u"cmd", u"--verbose"}).options.command, u"cmd --verbose");
    EXPECT_FALSE(Parse({u"--", u"cmd", u"--verbose"}).options.verbose);
    EXPECT_EQ(Parse({u"--", u"a", u"--", u"b"}).options.command, u"a -- b");
    const Parsed help = Parse({u"--", u"tool", u"-h", u"--help"});
    EXPECT_TRUE(help.accepted);
    EXPECT_EQ(help.options.command, u"tool -h --help");
    EXPECT_EQ(help.errors, u"");
    EXPECT_EQ(Parse({u"--", u"C:\\Program Files\\x.exe", u"/q"}).options.command,
              u"\"C:\\Program Files\\x.exe\" /q");
}

TEST(ParseArgumentsTest, HelpPrintsOnlyTheUsageText) {
    for (const std::u16string help : {u"--help", u"-h"}) {
        const Parsed parsed = Parse({help, u"--", u"x"});
        EXPECT_FALSE(parsed.accepted);
        EXPECT_EQ(parsed.errors, kUsageText);
    }
}

TEST(ParseArgumentsTest, UnknownOptionsAreNamedBeforeTheUsageText) {
    const std::u16string unknown[] = {u"--low-ilx", u"--LOW-IL", u"--timeout", u"--max-processes",
                                      u"cmd.exe", u"-", u"", u"--v\u00E9rbose", u"--help=1", u"-H"};
    for (const std::u16string& argument : unknown) {
        const Parsed parsed = Parse({argument, u"--", u"x"});
        EXPECT_FALSE(parsed.accepted);
        EXPECT_EQ(parsed.errors, u"[brindle] Unknown option: " + argument + u"\n" + std::u16string(kUsageText));
    }
}

TEST(ParseArgumentsTest, TheParseStopsAtTheFirstUnknownOptionOrHelpRequest) {
    EXPECT_EQ(Parse({u"--bogus", u"--verbose", u"--other"}).errors,
              u"[brindle] Unknown option: --bogus\n" + std::u16string(kUsageText));
    EXPECT_EQ(Parse({u"-h", u"--bogus"}).errors, kUsageText);
}

TEST(ParseArgumentsTest, AMissingCommandIsAnError) {
    const std::vector<std::vector<std::u16string>> cases = {
        {}, {u"--"}, {u"--verbose"}, {u"--", u""}, {u"--", u"", u""}, {u"--verbose", u"--timeout=5"}};
    for (const auto& arguments : cases) {
        const Parsed parsed = Parse(arguments);
        EXPECT_FALSE(parsed.accepted);
        EXPECT_EQ(parsed.errors, kNoCommand + std::u16string(kUsageText));
    }
}

TEST(ParseArgumentsTest, EmptyArgumentsAroundTheCommandAreKept) {
    EXPECT_EQ(Parse({u"--", u"a", u"", u"b"}).options.command, u"a \"\" b");
    const Parsed emptyProgram = Parse({u"--", u"", u"b"});
    EXPECT_TRUE(emptyProgram.accepted);
    EXPECT_EQ(emptyProgram.options.command, u"\"\" b");
}

// cmd.exe runs a batch file's command line by its own rules: quotes without escapes
// around anything it would read as a command or a separator.
TEST(BatchFileCommandLineTest, ArgumentsAreQuotedForCmdWithoutEscapes) {
    struct Case {
        std::vector<std::u16string> command;
        std::u16string composed;
    };
    const Case cases[] = {
        {{u"C:\\t\\show.bat", u"plain", u"", u"a b", u"tab\tx", u"x&echo.hi", u"p|q", u"<in", u"out>", u"^"},
         u"C:\\t\\show.bat plain \"\" \"a b\" \"tab\tx\" \"x&echo.hi\" \"p|q\" \"<in\" \"out>\" \"^\""},
        {{u"run.cmd", u"(a)", u"a,b", u"a;b", u"a=b", u"C:\\dir\\", u"!x!", u"*"},
         u"run.cmd \"(a)\" \"a,b\" \"a;b\" \"a=b\" C:\\dir\\ !x! *"},
        // The name's case, and the dots and spaces Windows drops from its end, do not matter.
        {{u"C:\\my dir\\Build.CMD", u"x"}, u"\"C:\\my dir\\Build.CMD\" x"},
        {{u"x.Bat. .", u"a&b"}, u"\"x.Bat. .\" \"a&b\""},
        {{u"C:\\a&b\\x.bat"}, u"\"C:\\a&b\\x.bat\""},
        // Anything else keeps the round-trip rule, cmd.exe /c named by the caller included.
        {{u"x.bat.exe", u"a&b", u"q\"t"}, u"x.bat.exe a&b \"q\\\"t\""},
        {{u"cmd.exe", u"/c", u"show.bat", u"a&b"}, u"cmd.exe /c show.bat a&b"},
        {{u"batch", u"a b"}, u"batch \"a b\""},
    };
    for (const Case& c : cases) {
        std::vector<std::u16string> arguments{u"--"};
        arguments.insert(arguments.end(), c.command.begin(), c.command.end());
        const Parsed parsed = Parse(arguments);
        EXPECT_TRUE(parsed.accepted);
        EXPECT_EQ(parsed.errors, u"");
        EXPECT_EQ(parsed.options.command, c.composed);
    }
}

TEST(BatchFileCommandLineTest, WhatCmdCannotBeGivenSafelyEndsTheParseWithItsLine) {
    const std::vector<std::u16string> unsafe[] = {
        {u"show.bat", u"x\"&echo.INJECTED&\""},
        {u"show.bat", u"ok", u"%PATH%"},
        {u"show.bat", u"50%"},
        {u"show.cmd", u"line\rbreak"},
        {u"show.cmd", u"line\nbreak"},
        {u"C:\\100%\\show.bat"},
    };
    for (const auto& command : unsafe) {
        std::vector<std::u16string> arguments{u"--verbose", u"--"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const Parsed parsed = Parse(arguments);
        EXPECT_FALSE(parsed.accepted);
        EXPECT_EQ(parsed.errors,
                  u"[brindle] Cannot pass this argument safely to a batch file: " + command.back() + u"\n");
    }
}

}  // namespace
}  // namespace brindle
