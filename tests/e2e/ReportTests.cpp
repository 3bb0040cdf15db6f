// End-to-end tests of the run report: brindle.exe writes it on every way a run ends
// after its command line, and a script reads it back. Under Wine the job's process
// counts are real, while its CPU times and memory peaks read 0, as Wine reports them.

#include "Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>

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
        EXPECT_EQ(run.out, folder + "\r\n" + folder + "\r\n");
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(report["restrictions"]["scratch"]["applied"], true);
        EXPECT_FALSE(PathExists(std::wstring(folder.begin(), folder.end())));
    }
}

}  // namespace
}  // namespace e2e
