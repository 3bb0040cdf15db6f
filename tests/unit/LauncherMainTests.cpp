#include <algorithm>
#include <cstring>

#include "LaunchScenario.h"
#include "cli/ParseArguments.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

using LaunchSequenceTest = LaunchScenario;

const std::u16string kFallingBack = u"[brindle] Falling back to CreateProcessW (no privilege reduction)\n";
const std::u16string kHint =
    u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.\n";

TEST_F(LaunchSequenceTest, ThePlainLaunchRunsTheChildWithTheOwnTokenAndReturnsItsExitCode) {
    EXPECT_EQ(Run({u"--", u"seven.exe", u"a b", u"c"}), 7u);
    EXPECT_EQ(fake.StandardError(), u"");

    ASSERT_NE(fake.FindToken("own token"), nullptr);
    EXPECT_EQ(fake.FindToken("own token")->openedWithAccess, 0xF01FFu);
    ASSERT_EQ(fake.Creations().size(), 1u);
    const FakeCreation& creation = fake.Creations()[0];
    EXPECT_EQ(creation.api, "CreateProcessAsUserW");
    EXPECT_EQ(creation.tokenLabel, "own token");
    EXPECT_FALSE(creation.applicationNameGiven);
    EXPECT_EQ(creation.commandLine, u"seven.exe \"a b\" c");
    EXPECT_FALSE(creation.securityAttributesGiven);
    EXPECT_EQ(creation.inheritHandles, TRUE);
    EXPECT_EQ(creation.creationFlags, 0x204u);
    EXPECT_FALSE(creation.environmentGiven);
    EXPECT_FALSE(creation.currentDirectoryGiven);
    EXPECT_EQ(fake.WaitLimits(), std::vector<DWORD>{INFINITE});
}

TEST_F(LaunchSequenceTest, TheStartupRecordCarriesOnlyItsSizeTheFlagAndTheStandardHandles) {
    Run({u"--", u"child.exe"});
    ASSERT_EQ(fake.Creations().size(), 1u);
    STARTUPINFOW expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.cb = 104;
    expected.dwFlags = STARTF_USESTDHANDLES;
    expected.hStdInput = FakePlatform::kStdInput;
    expected.hStdOutput = FakePlatform::kStdOutput;
    expected.hStdError = FakePlatform::kStdError;
    EXPECT_EQ(std::memcmp(&fake.Creations()[0].startup, &expected, sizeof(expected)), 0);
}

TEST_F(LaunchSequenceTest, TheChildIsResumedTheThreadClosedAndHandlesReleasedInOrder) {
    Run({u"--", u"child.exe"});
    const std::vector<std::string>& calls = fake.Calls();
    const auto resume = std::find(calls.begin(), calls.end(), "ResumeThread");
    ASSERT_NE(resume, calls.end());
    ASSERT_NE(resume + 1, calls.end());
    EXPECT_EQ(*(resume + 1), "CloseHandle(thread)");
    EXPECT_EQ(*(resume + 2), "WaitForSingleObject");
    EXPECT_EQ(fake.CloseOrder(), (std::vector<std::string>{"query token", "child token", "thread", "process", "own token"}));
}

TEST_F(LaunchSequenceTest, VerboseRunPrintsTheSummaryThenStartAndExit) {
    EXPECT_EQ(Run({u"--verbose", u"--max-processes=abc", u"--timeout=10s", u"--writable-dir=C:\\missing",
                   u"--", u"seven.exe", u"x"}),
              7u);
    const std::vector<std::u16string> expected = {
        // Values read leniently are said first, in command-line order, with what they were read as.
        u"[brindle] Warning: --max-processes=abc read as 64\n",
        u"[brindle] Warning: --timeout=10s read as 10\n",
        u"[brindle] Command: seven.exe x\n",
        u"[brindle] Options: lowIL=0 restrictedToken=0 jobObject=0 maxProc=64 timeout=10\n",
        u"[brindle] Writable dirs: 1\n",
    };
    const std::vector<std::u16string> lines = Lines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::u16string>(lines.begin(), lines.begin() + 5), expected);
    EXPECT_EQ(lines[lines.size() - 2], u"[brindle] Child process started (PID=4004)\n");
    EXPECT_EQ(lines.back(), u"[brindle] Child process exited with code 7\n");
    EXPECT_EQ(fake.WaitLimits(), std::vector<DWORD>{10000});
}

TEST_F(LaunchSequenceTest, TheSummaryShowsEverySwitch) {
    Run({u"--verbose", u"--low-il", u"--restricted-token", u"--job-object", u"--max-processes=3", u"--",
         u"child.exe"});
    ASSERT_GE(Lines().size(), 2u);
    EXPECT_EQ(Lines()[1], u"[brindle] Options: lowIL=1 restrictedToken=1 jobObject=1 maxProc=3 timeout=0\n");
}

TEST_F(LaunchSequenceTest, ABadCommandLineEndsTheRunBeforeAnyWindowsCall) {
    EXPECT_EQ(Run({u"--verbose", u"--bogus", u"--", u"child.exe"}), 1u);
    EXPECT_EQ(fake.StandardError(), u"[brindle] Unknown option: --bogus\n" + std::u16string(kUsageText));
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{});
    EXPECT_EQ(Run({}), 1u);
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{});
    EXPECT_EQ(Run({u"--verbose", u"--", u"show.bat", u"%TEMP%"}), 1u);
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{});
}

TEST_F(LaunchSequenceTest, AnUnreadableOwnTokenEndsTheRunAfterTheSummary) {
    fake.Fail("OpenProcessToken", ERROR_ACCESS_DENIED, 2);  // the first reads brindle's user
    EXPECT_EQ(Run({u"--verbose", u"--", u"child.exe"}), 1u);
    const std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], u"[brindle] Command: child.exe\n");
    EXPECT_EQ(lines[3], u"[brindle] OpenProcessToken failed: 5\n");
    EXPECT_TRUE(fake.Creations().empty());
}

TEST_F(LaunchSequenceTest, RefusedTokenFallsBackToCreateProcessWithTheHintFor1314) {
    fake.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(Run({u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(Lines(), (std::vector<std::u16string>{u"[brindle] CreateProcessAsUser failed: 1314\n", kHint,
                                                    kFallingBack}));
    ASSERT_EQ(fake.Creations().size(), 2u);
    const FakeCreation& first = fake.Creations()[0];
    const FakeCreation& second = fake.Creations()[1];
    EXPECT_EQ(second.api, "CreateProcessW");
    EXPECT_FALSE(second.applicationNameGiven);
    EXPECT_EQ(second.commandBuffer, first.commandBuffer);  // one writable copy serves both attempts
    EXPECT_EQ(second.commandLine, u"seven.exe");
    EXPECT_FALSE(second.securityAttributesGiven);
    EXPECT_EQ(second.inheritHandles, TRUE);
    EXPECT_EQ(second.creationFlags, 0x204u);
    EXPECT_FALSE(second.environmentGiven);
    EXPECT_FALSE(second.currentDirectoryGiven);
    EXPECT_EQ(std::memcmp(&second.startup, &first.startup, sizeof(STARTUPINFOW)), 0);
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "own token");
}

TEST_F(LaunchSequenceTest, OtherCreationErrorsFallBackWithoutTheHint) {
    fake.Fail("CreateProcessAsUserW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({u"--", u"child.exe"}), 0u);
    EXPECT_EQ(Lines(), (std::vector<std::u16string>{u"[brindle] CreateProcessAsUser failed: 5\n", kFallingBack}));
}

TEST_F(LaunchSequenceTest, WhenBothCreationsFailTheRunEndsWithStatusOne) {
    fake.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);
    fake.Fail("CreateProcessW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({u"--verbose", u"--", u"child.exe"}), 1u);
    const std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::u16string>(lines.begin() + 3, lines.end()),
              (std::vector<std::u16string>{u"[brindle] CreateProcessAsUser failed: 1314\n", kHint, kFallingBack,
                                           u"[brindle] CreateProcessW also failed: 5\n"}));
    EXPECT_EQ(fake.CountCalls("WaitForSingleObject"), 0u);
    EXPECT_EQ(fake.CloseOrder(), (std::vector<std::string>{"query token", "own token"}));
}

// brindle's own token would not find it either: it is named, and nothing falls back.
TEST_F(LaunchSequenceTest, AMissingProgramIsNamedWithoutAFallback) {
    for (const DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}) {
        FakePlatform scenario;
        scenario.Fail("CreateProcessAsUserW", error);
        EXPECT_EQ(Launch(scenario, {u"--", u"C:\\no such\\tool.exe", u"x"}), 1u);
        EXPECT_EQ(scenario.ErrorLines(),
                  (std::vector<std::u16string>{u"[brindle] CreateProcessAsUser failed: " + Decimal(error) + u"\n",
                                               u"[brindle] Program not found: C:\\no such\\tool.exe\n"}));
        EXPECT_EQ(scenario.CountCalls("CreateProcessW"), 0u);
    }
}

// At the deadline the whole job is ended, so nothing the child started outlives it;
// brindle then gives the child up to 5 s to be gone.
TEST_F(LaunchSequenceTest, AtTheDeadlineTheChildOrItsWholeJobIsEndedAndAwaited) {
    struct Case {
        std::vector<std::u16string> options;
        bool failJobTermination;
        std::size_t jobTerminations;
        std::size_t processTerminations;
    };
    const Case cases[] = {
        {{u"--timeout=3"}, false, 0, 1},
        {{u"--timeout=3", u"--job-object"}, false, 1, 0},
        {{u"--timeout=3", u"--job-object"}, true, 1, 1},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"hang.exe", FakeProgram{0, true});
        if (c.failJobTermination) {
            scenario.Fail("TerminateJobObject", ERROR_ACCESS_DENIED);
        }
        std::vector<std::u16string> args = c.options;
        args.insert(args.end(), {u"--", u"hang.exe"});
        EXPECT_EQ(Launch(scenario, args), 1u);
        EXPECT_EQ(scenario.StandardError(), u"[brindle] Child process timed out after 3 seconds, terminating\n");
        // With a job its port is read, for 100 ms at most, and the child looked at after each read.
        const bool job = c.jobTerminations != 0;
        std::vector<DWORD> waits = scenario.WaitLimits();
        ASSERT_FALSE(waits.empty());
        EXPECT_EQ(waits.back(), 5000u);
        waits.pop_back();
        EXPECT_EQ(waits, job ? std::vector<DWORD>(waits.size(), 0) : std::vector<DWORD>{3000});
        const std::vector<DWORD>& reads = scenario.PortWaits();
        EXPECT_EQ(reads.empty(), !job);
        EXPECT_TRUE(std::all_of(reads.begin(), reads.end(), [](DWORD read) { return read <= 100; }));
        EXPECT_EQ(scenario.CountCalls("TerminateJobObject"), c.jobTerminations);
        EXPECT_EQ(scenario.CountCalls("TerminateProcess"), c.processTerminations);
        ASSERT_EQ(scenario.Processes().size(), 1u);
        EXPECT_EQ(scenario.Processes()[0].terminatedWith, std::optional<UINT>{1});
        if (c.jobTerminations != 0 && !c.failJobTermination) {
            ASSERT_EQ(scenario.Jobs().size(), 1u);
            EXPECT_EQ(scenario.Jobs()[0].terminatedWith, std::optional<UINT>{1});
        }
        EXPECT_EQ(scenario.CountCalls("GetExitCodeProcess"), job ? 1u : 0u);  // for the job's list alone
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

// A child that cannot be resumed would never run, and the wait for it never end.
TEST_F(LaunchSequenceTest, AChildThatCannotBeResumedIsEndedAndTheRunFails) {
    fake.Fail("ResumeThread", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({u"--verbose", u"--job-object", u"--", u"seven.exe"}), 1u);
    const std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], u"[brindle] Verified: job, uiRestrictions\n");
    EXPECT_EQ(lines[5], u"[brindle] ResumeThread failed: 5\n");
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_FALSE(fake.Processes()[0].resumed);
    EXPECT_EQ(fake.Processes()[0].terminatedWith, std::optional<UINT>{1});
    EXPECT_EQ(fake.WaitLimits(), std::vector<DWORD>{5000});
    EXPECT_EQ(fake.CountCalls("GetExitCodeProcess"), 0u);
    EXPECT_EQ(fake.CloseOrder(),
              (std::vector<std::string>{"query token", "child token", "thread", "process", "job", "port", "own token"}));
}

// A reduced token that Windows refuses is never replaced by brindle's own, but for the
// missing privilege to assign it: a program that demands elevation (740), or one planted
// where the reduced token may not run it (5), would get the very rights it withheld.
TEST_F(LaunchSequenceTest, AReducedTokenIsReplacedByTheOwnOnlyForTheMissingPrivilege) {
    const auto failed = [](DWORD e) { return u"[brindle] CreateProcessAsUser failed: " + Decimal(e) + u"\n"; };
    const std::u16string refused =
        u"[brindle] The command requires elevation; not falling back to brindle's own token\n";
    const auto notFallingBack = [](DWORD e) {
        return u"[brindle] Not falling back to brindle's own token after error " + Decimal(e) + u"\n";
    };
    const std::u16string hint =
        u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.\n";
    const std::u16string lowFallback = u"[brindle] Failed to set Low IL, falling back to normal integrity\n";
    const std::u16string failedToken = u"[brindle] SetTokenInformation(TokenIntegrityLevel) failed: 5\n";
    struct Case {
        std::vector<std::u16string> options;
        std::string failing;  // an operation made to fail with 5 besides the creation
        DWORD creationError;  // what creation with the prepared token fails with; 0: what the program demands
        std::vector<std::u16string> lines;
        DWORD exitStatus;
    };
    const Case cases[] = {
        {{u"--restricted-token"}, "", 0, {failed(740), refused}, 1},
        {{u"--low-il"}, "", 0, {failed(740), refused}, 1},
        {{u"--restricted-token", u"--low-il", u"--job-object"}, "", 0, {failed(740), refused}, 1},
        {{u"--restricted-token"}, "", ERROR_ACCESS_DENIED, {failed(5), notFallingBack(5)}, 1},
        {{u"--low-il"}, "", ERROR_FILE_NOT_FOUND, {failed(2), u"[brindle] Program not found: admin.exe\n"}, 1},
        // Not a strict refusal: no Strict line follows.
        {{u"--strict", u"--low-il"}, "", ERROR_ACCESS_DENIED, {failed(5), notFallingBack(5)}, 1},
        {{u"--restricted-token"}, "", ERROR_PRIVILEGE_NOT_HELD, {failed(1314), hint, kFallingBack}, 7},
        // An unlabelled duplicate is the caller's own rights: the fallback stays.
        {{u"--low-il"}, "SetTokenInformation", ERROR_ELEVATION_REQUIRED,
         {failedToken, lowFallback, failed(740), kFallingBack}, 7},
        {{}, "", ERROR_ELEVATION_REQUIRED, {failed(740), kFallingBack}, 7},
        {{}, "", ERROR_ACCESS_DENIED, {failed(5), kFallingBack}, 7},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"admin.exe", FakeProgram{7, false, true});
        if (!c.failing.empty()) {
            scenario.Fail(c.failing, ERROR_ACCESS_DENIED);
        }
        if (c.creationError != 0) {
            scenario.Fail("CreateProcessAsUserW", c.creationError);
        }
        std::vector<std::u16string> args = c.options;
        args.insert(args.end(), {u"--", u"admin.exe"});
        EXPECT_EQ(Launch(scenario, args), c.exitStatus);
        EXPECT_EQ(scenario.ErrorLines(), c.lines);
        EXPECT_EQ(scenario.CountCalls("CreateProcessW"), c.exitStatus == 1 ? 0u : 1u);
        EXPECT_EQ(scenario.Processes().size(), c.exitStatus == 1 ? 0u : 1u);
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

TEST_F(LaunchSequenceTest, TheWaitLimitNeverWrapsAndZeroMeansNoLimit) {
    const std::pair<std::u16string, DWORD> cases[] = {
        {u"--timeout=0", INFINITE},
        {u"--timeout=1", 1000},
        {u"--timeout=4294967", 4294967000u},
        {u"--timeout=4294968", 0xFFFFFFFEu},
        {u"--timeout=-1", 0xFFFFFFFEu},
        {u"--timeout=2147483647", 0xFFFFFFFEu},
    };
    for (const auto& [argument, limit] : cases) {
        const std::size_t before = fake.WaitLimits().size();
        Run({argument, u"--", u"child.exe"});
        ASSERT_EQ(fake.WaitLimits().size(), before + 1);
        EXPECT_EQ(fake.WaitLimits().back(), limit);
    }
}

TEST_F(LaunchSequenceTest, AFailedWaitIsReportedWithItsCode) {
    fake.FailWaitWith(WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_EQ(Run({u"--verbose", u"--", u"seven.exe"}), 1u);
    ASSERT_FALSE(Lines().empty());
    EXPECT_EQ(Lines().back(), u"[brindle] WaitForSingleObject failed: 6\n");
    EXPECT_EQ(fake.CountCalls("GetExitCodeProcess"), 0u);
}

TEST_F(LaunchSequenceTest, AnyOtherWaitResultIsAFailedWait) {
    constexpr DWORD kWaitAbandoned = 0x80;
    fake.FailWaitWith(kWaitAbandoned, 0);
    EXPECT_EQ(Run({u"--", u"seven.exe"}), 1u);
    EXPECT_EQ(fake.StandardError(), u"[brindle] WaitForSingleObject failed: 0\n");
}

}  // namespace
}  // namespace brindle::testing
