// End-to-end tests of the run report: brindle.exe writes it on every way a run ends
// after its command line, and a script reads it back. Under Wine the job's process
// counts are real, while its CPU times and memory peaks read 0, as Wine reports them.

#include "Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace e2e {
namespace {

using Json = nlohmann::json;

// Runs brindle.exe with --report=<a fresh path> before the other arguments, then reads
// the report back; the run's own result goes to `run`.
Json RunReported(const std::vector<std::wstring>& arguments, RunResult& run) {
    const TempPath report(L"report.json");
    run = RunBrindle(Concat({L"--report=" + report.Get()}, arguments));
    return Json::parse(ReadBytes(report.Get()));
}

TEST(Report, AfterTheChildExitsInAJob) {
    RunResult run;
    const Json report = RunReported({L"--job-object", L"--", ProbePath(), L"exit", L"3"}, run);
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_EQ(run.err, ReadBackLines(false, false, kJobFlags));
    EXPECT_EQ(report["outcome"], "exited");
    EXPECT_EQ(report["exitCode"], 3);
    EXPECT_EQ(report["childExitCode"], 3);
    EXPECT_EQ(report["childToken"], "own");
    EXPECT_EQ(report["command"], Utf8(QuoteProgram(ProbePath()) + L" exit 3"));
    // Wine takes the job's limits and does not keep them: the job is not verified there.
    EXPECT_EQ(report["restrictions"]["job"],
              (Json{{"requested", true}, {"applied", true}, {"error", nullptr}, {"verified", !UnderWine()}}));
    EXPECT_EQ(report["child"]["pid"], report["processes"][0]["pid"]);
    EXPECT_GE(report["job"]["totalProcesses"].get<int>(), 1);
    EXPECT_EQ(report["job"]["activeProcesses"], 0);
    EXPECT_EQ(report["directories"], Json::array());
}

// The child's token is read back before it runs: Wine keeps a Low child at High, so under
// --strict the command does not run there; Windows gives it the label, and it runs.
TEST(Report, SaysWhatTheChildReallyGot) {
    RunResult run;
    const Json report = RunReported({L"--strict", L"--low-il", L"--", ProbePath(), L"exit", L"0"}, run);
    EXPECT_EQ(run.err, ReadBackLines(true, false, 0) + (UnderWine() ? kStrictRefusal : ""));
    EXPECT_EQ(run.exitCode, UnderWine() ? 1u : 0u);
    EXPECT_EQ(report["outcome"], UnderWine() ? "refused" : "exited");
    EXPECT_EQ(report["restrictions"]["lowIntegrity"],
              (Json{{"requested", true}, {"applied", true}, {"error", nullptr}, {"verified", !UnderWine()}}));
    EXPECT_EQ(report["child"]["integrity"], UnderWine() ? "High" : "Low");
}

// What a harness reads: every way a run ends leaves a fresh report that says how, never
// an earlier run's, and with --wrapper-exit-codes brindle's own ends have codes of their
// own while the child's code passes through.
TEST(Report, EveryEndLeavesAFreshReportThatSaysHow) {
    const TempPath batch(L"quoted.bat");
    ASSERT_TRUE(WriteBytes(batch.Get(), "@echo off\r\nexit /b 0\r\n"));
    const TempPath missing(L"missing-dir");
    struct Case {
        std::vector<std::wstring> arguments;
        std::string outcome;
        Json message;
        DWORD status;
        DWORD wrapped;  // with --wrapper-exit-codes
    };
    const std::vector<Case> cases = {
        {{L"--bogus", L"--", ProbePath(), L"exit", L"0"}, "not started", "Unknown option: --bogus", 1, 125},
        {{L"--", L"no-such-program-here"}, "not started", "Program not found: no-such-program-here", 1, 127},
        {{L"--", L"C:\\nope\\x.exe"}, "not started", "Program not found: C:\\nope\\x.exe", 1, 127},
        {{L"--", batch.Get(), L"%PATH%"},
         "not started",
         "Cannot pass this argument safely to a batch file: %PATH%",
         1,
         125},
        {{L"--strict", L"--writable-dir=" + missing.Get(), L"--", ProbePath(), L"exit", L"0"},
         "refused",
         "Strict: a requested restriction could not be applied; the command was not run",
         1,
         125},
        {{L"--", ProbePath(), L"exit", L"3221225477"},
         "crashed",
         "The command ended with status 0xC0000005 (access violation)",
         0xC0000005,
         0xC0000005},
        {{L"--timeout=1", L"--", ProbePath(), L"sleep", L"8000"}, "timed out", nullptr, 1, 124},
        // A program named as people type it, found by Windows' own search.
        {{L"--", L"cmd", L"/c", L"exit", L"5"}, "exited", nullptr, 5, 5},
    };
    for (const Case& c : cases) {
        for (const bool wrapper : {false, true}) {
            SCOPED_TRACE(Utf8(ComposeCommandLine(L"brindle.exe", c.arguments)) + (wrapper ? " (wrapped)" : ""));
            const TempPath report(L"verdict.json");
            ASSERT_TRUE(WriteBytes(report.Get(), "an earlier run's report"));
            std::vector<std::wstring> arguments = {L"--report=" + report.Get()};
            if (wrapper) {
                arguments.push_back(L"--wrapper-exit-codes");
            }
            const RunResult run = RunBrindle(Concat(arguments, c.arguments));
            EXPECT_EQ(run.exitCode, wrapper ? c.wrapped : c.status);
            const Json verdict = Json::parse(ReadBytes(report.Get()));
            EXPECT_EQ(verdict["outcome"], c.outcome);
            EXPECT_EQ(verdict["message"], c.message);
            EXPECT_EQ(verdict["exitCode"], run.exitCode);
            // The end is stamped in UTC, on the day the test sees.
            SYSTEMTIME today{};
            GetSystemTime(&today);
            char day[11];
            std::snprintf(day, sizeof(day), "%04u-%02u-%02u", today.wYear, today.wMonth, today.wDay);
            EXPECT_EQ(verdict["endedAt"].get<std::string>().substr(0, 10), day);
        }
    }
}

TEST(Report, AfterTheTimeLimitEndsTheChild) {
    RunResult run;
    const Json report = RunReported({L"--timeout=1", L"--", ProbePath(), L"sleep", L"8000"}, run);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(report["outcome"], "timed out");
    EXPECT_EQ(report["exitCode"], 1);
    EXPECT_EQ(report["childExitCode"], nullptr);
    EXPECT_GE(report["elapsedMs"].get<long long>(), 900);
    EXPECT_LT(report["elapsedMs"].get<long long>(), 5000);
    EXPECT_EQ(report["job"], nullptr);
}

// At the deadline the whole job is ended, the grandchild with the child, before the
// job's figures are read.
TEST(Report, AfterTheTimeLimitEndsTheWholeJob) {
    const TempPath marker(L"marker");
    RunResult run;
    const Json report = RunReported(
        {L"--job-object", L"--timeout=1", L"--", ProbePath(), L"grandchild", marker.Get(), L"8000", L"8000"}, run);
    EXPECT_EQ(report["outcome"], "timed out");
    EXPECT_EQ(report["job"]["totalProcesses"], 2);
    EXPECT_EQ(report["job"]["activeProcesses"], 0);
}

// The job's port reports the child's and the grandchild's starts and ends, with their
// program and exit code, and no limit fires.
TEST(Report, ListsTheProcessesThatRanInTheJob) {
    const TempPath marker(L"marker");
    RunResult run;
    const Json report =
        RunReported({L"--job-object", L"--", ProbePath(), L"grandchild", marker.Get(), L"300", L"1000"}, run);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(report["processes"].size(), 2u);
    for (const Json& process : report["processes"]) {
        EXPECT_EQ(process["image"], Utf8(ProbePath()));
        EXPECT_EQ(process["exitCode"], 0);
    }
    EXPECT_NE(report["processes"][0]["pid"], report["processes"][1]["pid"]);
    EXPECT_EQ(report["limitsReached"], Json::array());
}

// Under --strict the command is not run, and the report says which directory failed and
// why: under Wine an existing directory, whose label Wine refuses (5); on Windows, which
// would grant that one, a missing directory (2).
TEST(Report, AfterAStrictRefusal) {
    const TempPath dir(L"dir", UnderWine() ? TempPath::Make::Directory : TempPath::Make::Nothing);
    RunResult run;
    const Json report =
        RunReported({L"--strict", L"--writable-dir=" + dir.Get(), L"--", ProbePath(), L"args", L"ran"}, run);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(report["outcome"], "refused");
    EXPECT_EQ(report["exitCode"], 1);
    EXPECT_EQ(report["elapsedMs"], 0);
    EXPECT_EQ(report["childToken"], nullptr);
    EXPECT_EQ(report["directories"], (Json::array({{{"path", Utf8(dir.Get())},
                                                     {"source", "command line"},
                                                     {"result", UnderWine() ? "failed" : "missing"},
                                                     {"error", UnderWine() ? 5 : 2}}})));
}

// The child finds TEMP and TMP naming a fresh folder it may fill; after the run the
// folder is gone with everything in it, and the report named it.
TEST(Scratch, TheChildFillsAFreshTempThatIsGoneAfterTheRun) {
    for (const std::wstring option : {L"--job-object", L"--low-il"}) {
        SCOPED_TRACE(Utf8(option));
        RunResult run;
        const Json report = RunReported(
            {L"--scratch", option, L"--", L"cmd.exe", L"/c",
             L"echo %TEMP%&echo %TMP%&mkdir %TEMP%\\d&&echo x>%TEMP%\\d\\f.txt&&attrib +r %TEMP%\\d\\f.txt"},
            run);
        ASSERT_TRUE(report["scratch"].is_string());
        const std::string folder = report["scratch"];
        // In LocalLow only for a token that reads back Low, which Wine's never does.
        EXPECT_EQ(folder.find("LocalLow") != std::string::npos, option == L"--low-il" && !UnderWine()) << folder;
        EXPECT_EQ(run.out, folder + "\r\n" + folder + "\r\n");
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(report["restrictions"]["scratch"]["applied"], true);
        EXPECT_FALSE(PathExists(std::wstring(folder.begin(), folder.end())));
    }
}

}  // namespace
}  // namespace e2e
