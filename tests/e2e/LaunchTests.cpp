// End-to-end tests of the launch itself: brindle.exe is started the way a user
// or a script starts it, with probe.exe (the helper child built beside it) as
// the command. Each test checks from the outside what the launcher promises:
// the exact text on standard error, the exit status, that standard output is
// left to the child, and how long the run took.

#include "Harness.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace e2e {
namespace {

TEST(CommandLineErrors, PrintExactUsageTextAndExitWithOne) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, kNoCommand + kUsage},
        {{L"--"}, kNoCommand + kUsage},
        {{L"--", L""}, kNoCommand + kUsage},
        {{L"--verbose"}, kNoCommand + kUsage},
        {{L"--help"}, kUsage},
        {{L"-h"}, kUsage},
        {{L"--help", L"--", ProbePath(), L"exit", L"0"}, kUsage},
        {{L"--bogus", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: --bogus\n" + kUsage},
        {{L"--Verbose", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: --Verbose\n" + kUsage},
        {{L"--timeout", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: --timeout\n" + kUsage},
        {{L"--max-memory=12X", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Invalid value: --max-memory=12X\n" + kUsage},
        {{L"--report=", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Invalid value: --report=\n" + kUsage},
        // Under --strict a time limit that would read as none is refused.
        {{L"--strict", L"--timeout=abc", L"--", ProbePath(), L"exit", L"0"},
         "[brindle] Invalid value: --timeout=abc\n" + kUsage},
        // A program named without "--" is an option the launcher does not know.
        {{ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: " + Utf8(ProbePath()) + "\n" + kUsage},
        // The option comes back as UTF-8, written here byte by byte: "--v", U+00E9, "rbose".
        {{L"--v\u00e9rbose", L"--", ProbePath(), L"exit", L"0"},
         "[brindle] Unknown option: --v\xC3\xA9rbose\n" + kUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(ComposeCommandLine(L"brindle.exe", c.arguments)));
        const RunResult run = RunBrindle(c.arguments);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, 1u);
    }
}

TEST(VerboseRun, PrintsSummaryStartAndExitCodeAndReturnsChildCode) {
    const RunResult run =
        RunBrindle({L"--verbose", L"--max-processes=abc", L"--timeout=10s", L"--", ProbePath(), L"exit", L"7"});
    EXPECT_EQ(MaskPid(run.err),
              "[brindle] Warning: --max-processes=abc read as 64\n[brindle] Warning: --timeout=10s read as 10\n" +
                  Summary(QuoteProgram(ProbePath()) + L" exit 7", NoSwitches("64", "10")) + StartedAndExited(7));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 7u);
}

TEST(ExitStatus, IsTheChildExitCodeInFull) {
    for (const DWORD code : {0ul, 1ul, 42ul, 256ul, 65537ul, 3000000000ul}) {
        SCOPED_TRACE(code);
        const RunResult run = RunBrindle({L"--", ProbePath(), L"exit", std::to_wstring(code)});
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, code);
    }
}

TEST(NumericOptions, AreReadAsSignedDecimalAndShownInVerboseSummary) {
    struct Case {
        std::wstring option;
        std::string maxProc;
        std::string timeout;
    };
    const std::vector<Case> cases = {
        {L"--max-processes=0", "64", "0"},
        {L"--max-processes=", "64", "0"},
        {L"--max-processes=abc", "64", "0"},
        {L"--max-processes=-1", "4294967295", "0"},
        {L"--max-processes=99999999999", "2147483647", "0"},
        {L"--max-processes=-99999999999", "2147483648", "0"},
        {L"--max-processes=12abc", "12", "0"},
        {L"--timeout=+7", "64", "7"},
        {L"--timeout= 42", "64", "42"},
        {L"--timeout=\uFF11\uFF12", "64", "12"},  // fullwidth digits one, two
        {L"--timeout=\u0663", "64", "3"},         // Arabic-Indic digit three
        {L"--timeout=0x10", "64", "0"},
        {L"--timeout=", "64", "0"},
    };
    const std::vector<std::wstring> child = {ProbePath(), L"exit", L"0"};
    const std::wstring command = QuoteProgram(ProbePath()) + L" exit 0";
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.option));
        const RunResult run = RunBrindle(Concat({L"--verbose", c.option, L"--"}, child));
        // Anything but plain digits is read leniently, and said with the value used.
        const bool timeout = c.option.rfind(L"--timeout=", 0) == 0;
        const std::string lenient = c.option == L"--max-processes=0"
                                        ? ""
                                        : "[brindle] Warning: " + Utf8(c.option) + " read as " +
                                              (timeout ? c.timeout : c.maxProc) + "\n";
        EXPECT_EQ(MaskPid(run.err),
                  lenient + Summary(command, NoSwitches(c.maxProc, c.timeout)) + StartedAndExited(0));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, 0u);
    }
}

TEST(TimeLimit, EndsAChildThatRunsTooLongAndReturnsOne) {
    const RunResult run = RunBrindle({L"--timeout=1", L"--", ProbePath(), L"sleep", L"8000"});
    EXPECT_EQ(run.err, "[brindle] Child process timed out after 1 seconds, terminating\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_GE(run.elapsedMs, 900);
    EXPECT_LT(run.elapsedMs, 5000);
}

// 4294968 s is 4294968000 ms, which wraps to 704 ms in 32 bits: a wrapped limit
// would end the child long before its 1.5 s are up.
TEST(TimeLimit, TooLargeForMillisecondsDoesNotCutTheChildShort) {
    const RunResult run = RunBrindle({L"--timeout=4294968", L"--", ProbePath(), L"sleep", L"1500", L"5"});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 5u);
    EXPECT_GE(run.elapsedMs, 1400);
}

// brindle's own token would not find it either: it is named, and nothing falls back.
TEST(ChildCreation, AMissingProgramIsNamedAndReturnsOne) {
    const RunResult run = RunBrindle({L"--", L"no-such-program-xyz.exe", L"arg"});
    EXPECT_EQ(run.err,
              "[brindle] CreateProcessAsUser failed: 2\n"
              "[brindle] Program not found: no-such-program-xyz.exe\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 1u);
}

TEST(ChildArguments, ArriveExactlyAsGiven) {
    const std::vector<std::wstring> arguments = {
        L"plain",
        L"two words",
        L"tab\there",
        L"say \"hi there\"",
        L"quote\"only",
        LR"(C:\dir with space\)",
        LR"(trailing\)",
        L"",
        L"*",
        L"a?c",
        LR"(a\\"b)",
        LR"(\\server\share)",
        L"caf\u00e9",
        L"\u65e5\u672c",
        L"--verbose",
        L"-h",
        L"--",
        L"",
    };
    const RunResult run = RunBrindle(Concat({L"--", ProbePath(), L"args"}, arguments));
    EXPECT_EQ(run.out, ArgsOutput(arguments));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0u);
}

TEST(ChildArguments, VerboseCommandShowsTheComposedLine) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::wstring composed;  // what follows the program in the Command line
    };
    const std::vector<Case> cases = {
        {{L"one", L"two"}, L" args one two"},
        {{L"two words", L"", LR"(say "hi")", LR"(C:\dir with space\)", LR"(back\slash)"},
         LR"( args "two words" "" "say \"hi\"" "C:\dir with space\\" back\slash)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.composed));
        const RunResult run = RunBrindle(Concat({L"--verbose", L"--", ProbePath(), L"args"}, c.arguments));
        EXPECT_EQ(MaskPid(run.err),
                  Summary(QuoteProgram(ProbePath()) + c.composed, NoSwitches()) + StartedAndExited(0));
        EXPECT_EQ(run.out, ArgsOutput(c.arguments));
        EXPECT_EQ(run.exitCode, 0u);
    }
}

// cmd.exe runs a batch file, and reads its command line by rules of its own: an
// argument that would run a command there is quoted so that it arrives as text, and
// one that cannot be passed safely stops the launch before the batch file runs.
TEST(ChildArguments, ReachABatchFileAsTextOrAreRefused) {
    const TempPath script(L"show.bat");
    ASSERT_TRUE(WriteBytes(script.Get(), "@echo [%1] [%2] [%3] [%4]\r\n"));

    const RunResult quoted = RunBrindle({L"--", script.Get(), L"a b", L"x&echo.INJECTED", L"p|q", L"plain"});
    EXPECT_EQ(quoted.out, "[\"a b\"] [\"x&echo.INJECTED\"] [\"p|q\"] [plain]\r\n");
    EXPECT_EQ(quoted.err, "");
    EXPECT_EQ(quoted.exitCode, 0u);

    for (const std::wstring unsafe : {L"x\"&echo.INJECTED&\"", L"%PATH%"}) {
        SCOPED_TRACE(Utf8(unsafe));
        const RunResult refused = RunBrindle({L"--", script.Get(), L"ok", unsafe});
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, "[brindle] Cannot pass this argument safely to a batch file: " + Utf8(unsafe) + "\n");
        EXPECT_EQ(refused.exitCode, 1u);
    }

    // A batch file that quotes "%~1" itself hands on an argument that ends in a backslash.
    const TempPath tilde(L"tilde.bat");
    ASSERT_TRUE(WriteBytes(tilde.Get(), "@\"" + Utf8(ProbePath()) + "\" args \"%~1\" \"%~2\"\r\n"));
    EXPECT_EQ(RunBrindle({L"--", tilde.Get(), L"\\", L"\\"}).out, ArgsOutput({L"\\", L"\\"}));
}

// A bare name is found as a batch shim on PATH, as npm and yarn are installed, and the
// shim's %* hands the arguments on as given, a trailing backslash included; the same
// shim in the current folder alone is not found.
TEST(ChildArguments, ABatchShimOnPathRunsByItsBareName) {
    const TempPath folder(L"shims", TempPath::Make::Directory);
    const std::wstring shim = folder.Get() + L"\\shimx.cmd";
    ASSERT_TRUE(WriteBytes(shim, "@\"" + Utf8(ProbePath()) + "\" args %*\r\n"));
    wchar_t path[4096] = {};
    GetEnvironmentVariableW(L"PATH", path, 4096);
    const RunResult run = RunBrindle({L"--", L"shimx", L"C:\\Program Files\\", L"x"},
                                     {{L"PATH", folder.Get() + L";" + path}});
    EXPECT_EQ(run.out, ArgsOutput({L"C:\\Program Files\\", L"x"}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0u);

    wchar_t current[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, current);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.Get().c_str()));
    const RunResult here = RunBrindle({L"--", L"shimx"});
    SetCurrentDirectoryW(current);
    EXPECT_EQ(here.err, "[brindle] Program not found: shimx\n");
    EXPECT_EQ(here.exitCode, 1u);
    DeleteFileW(shim.c_str());
}

TEST(ExitStatus, AChildEndedByAnErrorStatusIsNamed) {
    const RunResult run = RunBrindle({L"--", L"cmd.exe", L"/c", L"exit", L"-1073741515"});
    EXPECT_EQ(run.exitCode, 0xC0000135u);
    EXPECT_EQ(run.err, "[brindle] The command ended with status 0xC0000135 (a DLL was not found)\n");
}

}  // namespace
}  // namespace e2e
