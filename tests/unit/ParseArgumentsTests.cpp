#include <gtest/gtest.h>

#include <vector>

#include "cli/ParseArguments.h"

namespace brindle {
namespace {

class CapturedErrors final : public ErrorStream {
public:
    void WriteError(std::u16string_view text) override { text_ += text; }
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
              u"  --max-memory=SIZE          Limit the committed memory of the whole job\n"
              u"  --max-process-memory=SIZE  Limit the committed memory of each process\n"
              u"  --cpu-rate=PERCENT         Cap the job's CPU use at PERCENT (1-100)\n"
              u"  --cpu-time=SECONDS         Limit the job's total user-mode CPU time\n"
              u"  --std-handles-only         Pass only standard input, output and error to the child\n"
              u"  --clear-env                Start the child with a minimal environment\n"
              u"  --keep-env=NAME            With --clear-env, keep NAME (repeatable)\n"
              u"  --set-env=NAME=VALUE       Set NAME for the child (repeatable)\n"
              u"  --unset-env=NAME           Remove NAME for the child (repeatable)\n"
              u"  --private-console          Give the child a console of its own\n"
              u"  --scratch                  Give the child a fresh TEMP folder, removed after the run\n"
              u"  --wrapper-exit-codes       Exit 124-127 when brindle, not the command, ends the run\n"
              u"  --check                    Try each protection on this machine and print what holds\n"
              u"  --version                  Print the version and exit\n"
              u"  Memory and CPU limits imply --job-object. SIZE: bytes, or a number ending in K, M or G.\n\n"
              u"Example:\n"
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

// Job limits are read strictly: a value that is not exactly a number in range (with a
// K, M or G suffix for sizes) is refused, never read as a smaller limit or none; and an
// environment variable's name is never empty and holds no "=".
TEST(ParseArgumentsTest, ValuedOptionsAreReadStrictlyAndJobLimitsAskForTheJob) {
    struct Accepted {
        std::u16string argument;
        std::uint64_t LaunchOptions::*size;
        std::uint64_t value;
    };
    const Accepted sizes[] = {
        {u"--max-memory=512M", &LaunchOptions::maxMemory, 536870912},
        {u"--max-memory=1", &LaunchOptions::maxMemory, 1},
        {u"--max-memory=007k", &LaunchOptions::maxMemory, 7168},
        {u"--max-memory=18446744073709551615", &LaunchOptions::maxMemory, 18446744073709551615u},
        {u"--max-memory=17179869183g", &LaunchOptions::maxMemory, 18446744072635809792u},
        {u"--max-process-memory=256M", &LaunchOptions::maxProcessMemory, 268435456},
        {u"--max-process-memory=2G", &LaunchOptions::maxProcessMemory, 2147483648u},
        {u"--cpu-time=60", &LaunchOptions::cpuTime, 60},
        {u"--cpu-time=922337203685", &LaunchOptions::cpuTime, 922337203685},
    };
    for (const Accepted& c : sizes) {
        const Parsed parsed = Parse({c.argument, u"--", u"x"});
        EXPECT_TRUE(parsed.accepted);
        EXPECT_EQ(parsed.options.*c.size, c.value);
        EXPECT_TRUE(parsed.options.jobObject);
    }
    for (const auto& [argument, percent] : {std::pair{u"--cpu-rate=1", 1u}, {u"--cpu-rate=100", 100u},
                                            {u"--cpu-rate=050", 50u}}) {
        const Parsed parsed = Parse({argument, u"--", u"x"});
        EXPECT_TRUE(parsed.accepted);
        EXPECT_EQ(parsed.options.cpuRate, percent);
        EXPECT_TRUE(parsed.options.jobObject);
    }
    const std::u16string invalid[] = {
        u"--max-memory=", u"--max-memory=0", u"--max-memory=0K", u"--max-memory=12X", u"--max-memory=1KB",
        u"--max-memory=-1", u"--max-memory=+1", u"--max-memory= 1", u"--max-memory=1 ", u"--max-memory=K",
        u"--max-memory=18446744073709551616", u"--max-memory=17179869184G", u"--max-memory=\uFF11",
        u"--max-process-memory=1.5G", u"--cpu-rate=0", u"--cpu-rate=101", u"--cpu-rate=50%", u"--cpu-rate=",
        u"--cpu-time=0", u"--cpu-time=922337203686", u"--cpu-time=60s", u"--keep-env=", u"--keep-env=A=B",
        u"--set-env=A", u"--set-env==x", u"--set-env=", u"--unset-env=", u"--unset-env=A=B",
    };
    for (const std::u16string& argument : invalid) {
        const Parsed parsed = Parse({argument, u"--verbose", u"--", u"x"});
        EXPECT_FALSE(parsed.accepted);
        EXPECT_EQ(parsed.errors, u"[brindle] Invalid value: " + argument + u"\n" + std::u16string(kUsageText));
    }
}

// Under --strict the time and process limits are read strictly too, so that a value
// the lenient rule turns into "no limit" cannot pass unseen.
TEST(ParseArgumentsTest, StrictReadsTheTimeAndProcessLimitsStrictly) {
    struct Case {
        std::vector<std::u16string> arguments;  // before "--", "x"
        std::u16string refused;                 // the argument named; empty when accepted
        std::u16string said = u"";              // when accepted: what was read silently before
    };
    const Case cases[] = {
        {{u"--strict", u"--timeout=abc"}, u"--timeout=abc"},
        {{u"--strict", u"--timeout=10s"}, u"--timeout=10s"},
        {{u"--strict", u"--timeout=-1"}, u"--timeout=-1"},
        {{u"--strict", u"--timeout= 5"}, u"--timeout= 5"},
        {{u"--strict", u"--timeout=\uFF15"}, u"--timeout=\uFF15"},
        {{u"--strict", u"--timeout=2147483648"}, u"--timeout=2147483648"},
        {{u"--strict", u"--max-processes="}, u"--max-processes="},
        // Checked once the options are read, in command-line order, wherever --strict stands.
        {{u"--timeout=abc", u"--strict"}, u"--timeout=abc"},
        {{u"--strict", u"--max-processes=x", u"--timeout=y"}, u"--max-processes=x"},
        {{u"--strict", u"--timeout=0", u"--timeout=007", u"--max-processes=2147483647"}, u""},
        // Without --strict the lenient reading stands, and is said with the value used.
        {{u"--timeout=abc", u"--max-processes=-1", u"--timeout=5", u"--max-processes=0"},
         u"",
         u"[brindle] Warning: --timeout=abc read as 0\n[brindle] Warning: --max-processes=-1 read as 4294967295\n"},
        {{u"--keep-env=A", u"--keep-env=B"}, u"", u"[brindle] Warning: --keep-env has no effect without --clear-env\n"},
        {{u"--keep-env=A", u"--clear-env"}, u""},
    };
    for (const Case& c : cases) {
        std::vector<std::u16string> arguments = c.arguments;
        arguments.insert(arguments.end(), {u"--", u"x"});
        const Parsed parsed = Parse(arguments);
        EXPECT_EQ(parsed.accepted, c.refused.empty()) << std::string(c.refused.begin(), c.refused.end());
        EXPECT_EQ(parsed.errors, c.refused.empty()
                                     ? c.said
                                     : u"[brindle] Invalid value: " + c.refused + u"\n" + std::u16string(kUsageText));
    }
    // An option that ends the parse is reported as before, and --strict after "--" is the command's.
    EXPECT_EQ(Parse({u"--strict", u"--timeout=abc", u"--bogus", u"--", u"x"}).errors,
              u"[brindle] Unknown option: --bogus\n" + std::u16string(kUsageText));
    EXPECT_TRUE(Parse({u"--timeout=abc", u"--", u"x", u"--strict"}).accepted);
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
        {{u"run.cmd", u"(a)", u"a,b", u"a;b", u"a=b", u"C:\\dir\\", u"!x!", u"*", u"v\vf\f"},
         u"run.cmd \"(a)\" \"a,b\" \"a;b\" \"a=b\" \"C:\\dir\\\\\" !x! * \"v\vf\f\""},
        {{u"x.bat", u"\\", u"\\", u"a\\b"}, u"x.bat \"\\\\\" \"\\\\\" a\\b"},
        // The name's case, and the dots and spaces Windows drops from its end, do not matter.
        {{u"C:\\my dir\\Build.CMD", u"x"}, u"\"C:\\my dir\\Build.CMD\" x"},
        {{u"x.Bat. .", u"a&b"}, u"\"x.Bat. .\" \"a&b\""},
        {{u"C:\\a&b\\x.bat"}, u"\"C:\\a&b\\x.bat\""},
        // Backslashes before a closing quote are doubled, so that %* hands them on as given.
        {{u"x.bat", u"C:\\Program Files\\", u"a b\\\\", u"a\\ b"},
         u"x.bat \"C:\\Program Files\\\\\" \"a b\\\\\\\\\" \"a\\ b\""},
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
