// End-to-end tests of what a hostile child could reach around the reductions. Each
// attack is also made without brindle's protection, so that a test shows the protection
// at work and not a child that cannot attack.

#include "Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>

#include <string>

namespace e2e {
namespace {

// The child knows its parent's process id. Run straight from the test program, which
// leaves its own process as Windows made it, it reads the secret in its parent's
// environment and may duplicate its parent's handles (a job handle among them). Under
// brindle both are refused, although --clear-env kept the secret out of the child's own
// environment; ending brindle stays allowed.
TEST(HostileChild, CannotReadOrDuplicateFromBrindle) {
    const std::wstring secret = L"brindle-secret-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(SetEnvironmentVariableW(L"BRINDLE_TEST_SECRET", secret.c_str()));
    const RunResult control = RunProgram(ProbePath(), {L"parent", secret});
    SetEnvironmentVariableW(L"BRINDLE_TEST_SECRET", nullptr);
    EXPECT_EQ(control.out, "memory found\nduplicate ok\nterminate ok\ntoken ok\n");

    // A child with brindle's own rights gains nothing from its token, which stays open to it.
    const RunResult run = RunBrindle({L"--clear-env", L"--job-object", L"--", ProbePath(), L"parent", secret},
                                     {{L"BRINDLE_TEST_SECRET", secret}});
    EXPECT_EQ(run.out, "memory 5\nduplicate 5\nterminate ok\ntoken ok\n");
    EXPECT_EQ(run.err, ReadBackLines(false, false, kJobFlags));

    // A restricted child could duplicate brindle's token and impersonate it, Administrators
    // enabled: the token is closed to it.
    const RunResult restricted = RunBrindle({L"--restricted-token", L"--", ProbePath(), L"parent", secret});
    EXPECT_EQ(restricted.out, "memory 5\nduplicate 5\nterminate ok\ntoken 5\n");
    EXPECT_EQ(restricted.err, ElevatedWarning() + ReadBackLines(false, true, 0));
}

// A process the command leaves behind that holds the report open keeps the final report
// from replacing "running" for a while: brindle waits up to 2 s for it. Held longer, the
// report stays "running" and brindle says so: the attack itself.
TEST(HostileChild, HoldingTheReportOpenForAWhileDoesNotLeaveItRunning) {
    for (const DWORD heldMs : {1000, 3500}) {
        SCOPED_TRACE(heldMs);
        const TempPath report(L"held.json");
        const RunResult run =
            RunBrindle({L"--report=" + report.Get(), L"--", ProbePath(), L"holder", report.Get(), std::to_wstring(heldMs)});
        EXPECT_EQ(run.exitCode, 0u);
        const bool outlasted = heldMs < 2000;
        EXPECT_EQ(run.err.rfind("[brindle] Could not write the report to '", 0) == 0, !outlasted) << run.err;
        EXPECT_EQ(nlohmann::json::parse(ReadBytes(report.Get()))["outcome"], outlasted ? "exited" : "running");
        Sleep(2000);  // the holder is gone before the report is removed
    }
}

// A process of the user that outlasts the command lets go of a file in the scratch folder
// and at once tries, for 3 s, to rename the folder away and put a decoy in its place, so
// that the run's TEMP would survive and the decoy be deleted. The folder is held from its
// creation to its deletion: the rename never succeeds. The control is the same attack on
// a folder that no one holds.
TEST(HostileChild, CannotSwapTheScratchFolderForADecoy) {
    const TempPath control(L"swapped", TempPath::Make::Directory);
    const std::wstring moved = control.Get() + L".moved";
    EXPECT_EQ(RunProgram(ProbePath(), {L"swap", control.Get(), L"0"}).exitCode, 0u);
    EXPECT_TRUE(PathExists(moved + L"\\held.txt") && PathExists(control.Get() + L"\\decoy.txt"));
    DeleteFileW((moved + L"\\held.txt").c_str());
    DeleteFileW((control.Get() + L"\\decoy.txt").c_str());
    RemoveDirectoryW(moved.c_str());

    const TempPath report(L"swap.json");
    const RunResult run = RunBrindle({L"--scratch", L"--report=" + report.Get(), L"--", ProbePath(), L"swapper", L"1000"});
    EXPECT_EQ(run.exitCode, 0u);
    const nlohmann::json written = nlohmann::json::parse(ReadBytes(report.Get()));
    const std::string named = written["scratch"];
    const std::wstring folder(named.begin(), named.end());
    EXPECT_EQ(written["scratchRemoved"], true);
    Sleep(3500);  // the attacker has given up
    EXPECT_FALSE(PathExists(folder));
    EXPECT_FALSE(PathExists(folder + L".moved"));
}

// The report is in place while the command runs: the command itself reads it.
TEST(HostileChild, FindsTheReportSayingRunningWhileItRuns) {
    const TempPath report(L"running.json");
    ASSERT_TRUE(WriteBytes(report.Get(), "an earlier run's report"));
    const RunResult run = RunBrindle({L"--report=" + report.Get(), L"--", L"cmd.exe", L"/c", L"type", report.Get()});
    EXPECT_EQ(nlohmann::json::parse(run.out)["outcome"], "running");
    EXPECT_EQ(nlohmann::json::parse(ReadBytes(report.Get()))["outcome"], "exited");
}

// On a console of its own the child's streams are pipes brindle relays: its output and
// errors, its exit code and brindle's standard input (a file here) all still pass.
TEST(PrivateConsole, RelaysTheStreamsAndTheExitCode) {
    const RunResult run = RunBrindleWithInput({L"--private-console", L"--", ProbePath(), L"copy-input"}, "piped\nin");
    EXPECT_EQ(run.out, "piped\nin");
    EXPECT_EQ(run.exitCode, 0u);
    const RunResult failing = RunBrindle({L"--private-console", L"--", ProbePath(), L"exit", L"9"});
    EXPECT_EQ(failing.exitCode, 9u);
    const RunResult errors = RunBrindle({L"--private-console", L"--", ProbePath(), L"bogus"});
    EXPECT_EQ(errors.err.substr(0, 13), "probe: usage:");
}

// With 2>&1, or one file opened for each (>>f 2>>f), the child's output and errors reach
// the one place in the order it wrote them.
TEST(PrivateConsole, OutputAndErrorsBoundForOnePlaceKeepTheirOrder) {
    std::string inOrder;
    for (int line = 0; line < 2000; ++line) {
        inOrder += std::to_string(line) + "\n";
    }
    for (const bool reopened : {false, true}) {
        SCOPED_TRACE(reopened ? "the file opened twice" : "one handle duplicated");
        const RunResult run = RunBrindleWithStreams({L"--private-console", L"--", ProbePath(), L"alternate", L"2000"},
                                                    Streams{"", false, true, reopened});
        EXPECT_EQ(run.out, inOrder);
        EXPECT_EQ(run.exitCode, 0u);
    }
}

// A harness that keeps brindle's input an open pipe, and writes nothing, still has
// brindle back within 0.3 s of the child's end.
TEST(PrivateConsole, ReturnsSoonAfterTheChildWhileItsInputStaysOpen) {
    const RunResult run =
        RunBrindleWithStreams({L"--private-console", L"--", ProbePath(), L"stamp"}, Streams{"", true, false});
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const long long afterChildMs = (run.finishedCount - std::stoll(run.out)) * 1000 / frequency.QuadPart;
    EXPECT_LT(afterChildMs, 300);
}

// A grandchild that floods the child's output without end keeps the relay too busy for a
// cancel to reach it: brindle still stops the relay once the 2 s grace is over, and
// returns the child's code without crashing on its way out.
TEST(PrivateConsole, ReturnsAfterItsGraceWhileAGrandchildFloodsTheOutput) {
    const RunResult run = RunBrindle({L"--private-console", L"--", L"cmd", L"/c", L"start", L"", L"/b", ProbePath(),
                                      L"flood", L"100000000", L"100"});
    EXPECT_EQ(run.exitCode, 0u) << run.err.substr(0, 300);
    EXPECT_LT(run.elapsedMs, 5000);
}

}  // namespace
}  // namespace e2e
