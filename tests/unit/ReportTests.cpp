// --report=FILE and --version: the run report is read back with a real JSON parser,
// for every way a run can end; how it reaches the disk is checked call by call.
#include <nlohmann/json.hpp>

#include <functional>

#include "LaunchScenario.h"
#include "cli/ParseArguments.h"
#include "platform/Text.h"
#include "version.h"

namespace brindle::testing {
namespace {

using Json = nlohmann::json;
using ReportTest = LaunchScenario;

const std::u16string kReport = u"C:\\out\\r.json";

Json Restriction(bool requested, bool applied, Json error = nullptr, Json verified = nullptr) {
    return {{"requested", requested}, {"applied", applied}, {"error", error}, {"verified", verified}};
}

// Applied, and read back from the child's token or job as it was set.
Json Verified() { return Restriction(true, true, nullptr, true); }

Json NotRequested() { return Restriction(false, false); }

class ReportScenario : public LaunchScenario {
protected:
    // Runs with --report=<kReport> first and returns the report as parsed.
    Json RunReported(std::vector<std::u16string> arguments) {
        arguments.insert(arguments.begin(), u"--report=" + kReport);
        status = Run(arguments);
        const auto file = fake.Files().find(kReport);
        if (file == fake.Files().end()) {
            ADD_FAILURE() << "no report was written";
            return Json();
        }
        EXPECT_EQ(file->second.back(), '\n');
        return Json::parse(file->second);
    }

    DWORD status = 0;
};

TEST_F(ReportScenario, AnExitedChildInAJobIsReportedWithEveryKeyInOrder) {
    fake.AddPath(u"C:\\a", FILE_ATTRIBUTE_DIRECTORY);
    const Json report = RunReported({u"--restricted-token", u"--job-object", u"--writable-dir=C:\\a",
                                     u"--writable-dir=C:\\gone", u"--", u"seven.exe", u"x y"});
    EXPECT_EQ(status, 7u);
    // nlohmann's object sorts its keys: the written order is checked on the text.
    const std::string text = fake.Files().at(kReport);
    std::size_t previous = 0;
    for (const char* key : {"{\"brindle\"", "\"command\"", "\"outcome\"", "\"exitCode\"", "\"childExitCode\"",
                            "\"elapsedMs\"", "\"childToken\"", "\"restrictions\"", "\"directories\"", "\"job\"",
                            "\"program\"", "\"limits\"", "\"scratch\"", "\"processes\"", "\"limitsReached\"", "\"message\"", "\"startedAt\"",
                            "\"endedAt\"", "\"child\"", "\"scratchRemoved\""}) {
        previous = text.find(key, previous);
        ASSERT_NE(previous, std::string::npos) << key;
    }
    EXPECT_EQ(report.size(), 20u);
    EXPECT_EQ(report["message"], nullptr);
    EXPECT_EQ(report["startedAt"], "2026-12-09T00:16:40.000Z");
    EXPECT_EQ(report["endedAt"], "2026-12-09T00:16:40.250Z");  // the clock starts at 1 000 s; the child ran for kChildRunMs
    EXPECT_EQ(report["scratchRemoved"], nullptr);
    EXPECT_EQ(report["brindle"], BRINDLE_VERSION_TEXT);
    EXPECT_EQ(report["command"], "seven.exe \"x y\"");
    EXPECT_EQ(report["outcome"], "exited");
    EXPECT_EQ(report["exitCode"], 7);
    EXPECT_EQ(report["childExitCode"], 7);
    EXPECT_EQ(report["elapsedMs"], FakePlatform::kChildRunMs);
    EXPECT_EQ(report["childToken"], "restricted");
    EXPECT_EQ(report["restrictions"], (Json{{"restrictedToken", Verified()},
                                            {"lowIntegrity", NotRequested()},
                                            {"job", Verified()},
                                            {"uiRestrictions", Verified()},
                                            {"cpuRate", NotRequested()},
                                            {"stdHandlesOnly", NotRequested()},
                                            {"environment", NotRequested()},
                                            {"privateConsole", NotRequested()},
                                            {"scratch", NotRequested()},
                                            {"ownProcess", Restriction(true, true)}}));
    EXPECT_EQ(report["directories"],
              (Json::array({{{"path", "C:\\a"}, {"source", "command line"}, {"result", "granted"}, {"error", nullptr}},
                            {{"path", "C:\\gone"}, {"source", "command line"}, {"result", "missing"}, {"error", 2}}})));
    EXPECT_EQ(report["program"], nullptr);
    EXPECT_EQ(report["scratch"], nullptr);
    EXPECT_EQ(report["limits"], (Json{{"timeoutSeconds", nullptr}, {"maxProcesses", 64}, {"maxMemory", nullptr},
                                      {"maxProcessMemory", nullptr}, {"cpuRate", nullptr},
                                      {"cpuTimeSeconds", nullptr}}));
    EXPECT_EQ(report["processes"], (Json::array({{{"pid", FakePlatform::ProcessId(1)},
                                                  {"image", "C:\\Windows\\System32\\seven.exe"},
                                                  {"exitCode", 7}}})));
    EXPECT_EQ(report["limitsReached"], Json::array());
    EXPECT_EQ(report["child"], (Json{{"pid", FakePlatform::ProcessId(1)}, {"integrity", "High"},
                                     {"administrators", "deny-only"}, {"privileges", 0}}));
    EXPECT_EQ(report["job"], (Json{{"totalProcesses", 1},
                                   {"activeProcesses", 0},
                                   {"peakProcessMemory", FakePlatform::kPeakProcessMemory},
                                   {"peakJobMemory", FakePlatform::kPeakJobMemory},
                                   {"userTimeMs", 25},
                                   {"kernelTimeMs", 12}}));
}

TEST_F(ReportScenario, EachOutcomeIsReported) {
    struct Case {
        std::string name;
        std::vector<std::u16string> arguments;
        std::function<void(FakePlatform&)> prepare;
        DWORD status;
        Json expected;  // the keys checked, a nested one as "outer/inner"
    };
    const auto nothing = [](FakePlatform&) {};
    const Case cases[] = {
        {"timed out",
         {u"--timeout=3", u"--", u"hang.exe"},
         nothing,
         1,
         {{"outcome", "timed out"}, {"exitCode", 1}, {"childExitCode", nullptr}, {"elapsedMs", 3000},
          {"childToken", "own"}, {"job", nullptr}, {"processes", nullptr}, {"limitsReached", Json::array()}}},
        {"wait failed",
         {u"--", u"seven.exe"},
         [](FakePlatform& f) { f.FailWaitWith(WAIT_FAILED, 6); },
         1,
         {{"outcome", "wait failed"}, {"exitCode", 1}, {"childExitCode", nullptr}}},
        {"own token unreadable",
         {u"--low-il", u"--job-object", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("OpenProcessToken", 5, 2); },
         1,
         {{"outcome", "not started"}, {"elapsedMs", 0}, {"childToken", nullptr}, {"job", nullptr}}},
        {"fallback to the own token",
         {u"--low-il", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("CreateProcessAsUserW", 1314); },
         7,
         {{"outcome", "exited"}, {"childToken", "own"}}},
        {"strict refusal of the job",
         {u"--strict", u"--job-object", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("AssignProcessToJobObject", 5); },
         1,
         {{"outcome", "refused"}, {"childToken", "own"}, {"childExitCode", nullptr}, {"job", nullptr}}},
        // A platform that took the label and ignored it: the child never runs, and the
        // report says what it really had.
        {"strict refusal of a label the child did not get",
         {u"--strict", u"--low-il", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Tell(FakePlatform::Lie::Token); },
         1,
         {{"outcome", "refused"},
          {"restrictions/lowIntegrity", Restriction(true, true, nullptr, false)},
          {"child", {{"pid", FakePlatform::ProcessId(1)}, {"integrity", "High"}, {"administrators", "enabled"},
                     {"privileges", 20}}}}},
        // What the child would have inherited was prepared, and is not applied: no child was created.
        {"strict refusal at creation",
         {u"--strict", u"--low-il", u"--std-handles-only", u"--set-env=A=1", u"--private-console", u"--",
          u"seven.exe"},
         [](FakePlatform& f) { f.Fail("CreateProcessAsUserW", 1314); },
         1,
         {{"outcome", "refused"},
          {"child", nullptr},
          {"restrictions/lowIntegrity", Restriction(true, false, 1314)},
          {"restrictions/privateConsole", Restriction(true, false, 1314)},
          {"restrictions/stdHandlesOnly", Restriction(true, false, 1314)},
          {"restrictions/environment", Restriction(true, false, 1314)}}},
        // A TEMP in LocalLow, where every Low process may plant files, is only ever a Low
        // child's: a token Windows will not assign is never replaced by brindle's own.
        {"a Low child's TEMP never falls back",
         {u"--low-il", u"--scratch", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("CreateProcessAsUserW", 1314); },
         1,
         {{"outcome", "not started"},
          {"message", "Not falling back to brindle's own token after error 1314"},
          {"restrictions/scratch", Restriction(true, false, 1314)},
          {"scratch", "C:\\Users\\user\\AppData\\LocalLow\\brindle-4242-0"}}},
        // The refusal decides the message, not what the clean-up says after it.
        {"a refusal whose scratch folder stays",
         {u"--strict", u"--low-il", u"--scratch", u"--", u"seven.exe"},
         [](FakePlatform& f) {
             f.Tell(FakePlatform::Lie::Token);
             const std::u16string inUse = FakePlatform::kTempFolder + u"brindle-4242-0\\in-use.txt";
             f.AddPath(inUse, FILE_ATTRIBUTE_NORMAL);  // found in the new folder
             f.HoldOpenElsewhere(inUse, ~ULONGLONG{0});
         },
         1,
         {{"outcome", "refused"},
          {"message", "Strict: a requested restriction could not be applied; the command was not run"},
          {"scratchRemoved", false}}},
        // The limits as asked: no process limit without a job, each memory figure its own.
        {"limits without a job",
         {u"--max-processes=5", u"--timeout=30", u"--", u"seven.exe"},
         [](FakePlatform&) {},
         7,
         {{"limits/maxProcesses", nullptr}, {"limits/timeoutSeconds", 30}}},
        {"memory limits",
         {u"--max-memory=2M", u"--max-process-memory=1M", u"--", u"seven.exe"},
         [](FakePlatform&) {},
         7,
         {{"limits/maxMemory", 2097152}, {"limits/maxProcessMemory", 1048576}, {"limits/maxProcesses", 64}}},
        // UI restrictions come with the job: without a job they are not applied either.
        {"no job",
         {u"--job-object", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("CreateJobObjectW", 5); },
         7,
         {{"job", nullptr}, {"restrictions/uiRestrictions", Restriction(true, false, 5)}, {"processes", nullptr}}},
        // The job stays without its port, which is closed and not waited on: what ran in it is not known.
        {"completion port not associated",
         {u"--job-object", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("SetInformationJobObject", 5, 3); },
         7,
         {{"restrictions/job", Verified()}, {"processes", nullptr},
          {"elapsedMs", FakePlatform::kChildRunMs}}},
        {"child not resumed",
         {u"--low-il", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Fail("ResumeThread", 5); },
         1,
         {{"outcome", "not started"}, {"childToken", "duplicate"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.AddProgram(u"hang.exe", FakeProgram{0, true});
        c.prepare(scenario);
        std::vector<std::u16string> args{u"--report=r.json"};
        args.insert(args.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(Launch(scenario, args), c.status);
        const Json report = Json::parse(scenario.Files().at(u"r.json"));
        for (const auto& item : c.expected.items()) {
            EXPECT_EQ(report[Json::json_pointer("/" + item.key())], item.value()) << item.key();
        }
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

// A token that Windows refused is not applied: the report carries the creation's error.
TEST_F(ReportScenario, ATokenTheChildWasNotCreatedWithIsNotApplied) {
    fake.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);
    const Json report = RunReported({u"--restricted-token", u"--low-il", u"--", u"seven.exe"});
    EXPECT_EQ(report["restrictions"]["restrictedToken"], Restriction(true, false, 1314));
    EXPECT_EQ(report["restrictions"]["lowIntegrity"], Restriction(true, false, 1314));
}

TEST_F(ReportScenario, FailedStepsCarryTheirCodes) {
    fake.Fail("SetTokenInformation", 5);
    fake.Fail("SetInformationJobObject", 87, 2);
    fake.Fail("SetInformationJobObject", 87, 3);  // the CPU rate, as Wine refuses it
    fake.Fail("QueryInformationJobObject", 5, 3);  // the limits at the end (after the read-back): the peaks become null
    fake.AddReparsePoint(u"C:\\link", 0xA0000003);
    fake.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", u"C:\\");
    fake.AddPath(u"C:\\", FILE_ATTRIBUTE_DIRECTORY);
    const Json report = RunReported(
        {u"--low-il", u"--cpu-rate=20", u"--writable-dir=C:\\link", u"--", u"seven.exe"});
    EXPECT_EQ(report["restrictions"]["lowIntegrity"], Restriction(true, false, 5));
    EXPECT_EQ(report["restrictions"]["job"], Verified());
    EXPECT_EQ(report["restrictions"]["uiRestrictions"], Restriction(true, false, 87));
    EXPECT_EQ(report["restrictions"]["cpuRate"], Restriction(true, false, 87));
    EXPECT_EQ(report["childToken"], "duplicate");
    EXPECT_EQ(report["directories"][0]["result"], "refused");
    EXPECT_EQ(report["directories"][1], (Json{{"path", "C:\\"}, {"source", "environment"}, {"result", "refused"},
                                              {"error", nullptr}}));
    EXPECT_EQ(report["job"]["totalProcesses"], 1);
    EXPECT_EQ(report["job"]["peakProcessMemory"], nullptr);
    EXPECT_EQ(report["job"]["peakJobMemory"], nullptr);
}

TEST_F(ReportScenario, WhatTheChildInheritsIsReported) {
    fake.Fail("GetEnvironmentStringsW", ERROR_NOT_ENOUGH_MEMORY);
    const Json report = RunReported({u"--std-handles-only", u"--clear-env", u"--", u"seven.exe"});
    EXPECT_EQ(report["restrictions"]["stdHandlesOnly"], Restriction(true, true));
    EXPECT_EQ(report["restrictions"]["environment"], Restriction(true, false, 8));
}

// The report appears whole or not at all: written beside the file under a name made
// anew (a link planted there is deleted, never followed), then moved over the file.
TEST_F(ReportScenario, IsWrittenBesideTheFileAndMovedOverIt) {
    const std::u16string temporary = kReport + u"." + Decimal(FakePlatform::kOwnProcessId) + u".tmp";
    fake.AddFile(temporary, "planted link");
    fake.AddFile(kReport, "the previous report");
    RunReported({u"--", u"seven.exe"});
    EXPECT_EQ(fake.Files().count(temporary), 0u);
    const auto open = std::find_if(fake.FileOpens().begin(), fake.FileOpens().end(),
                                   [&](const FakePlatform::FileOpen& o) { return o.path == temporary; });
    ASSERT_NE(open, fake.FileOpens().end());
    EXPECT_EQ(open->disposition, CREATE_NEW);
    EXPECT_EQ(open->flags & FILE_FLAG_OPEN_REPARSE_POINT, FILE_FLAG_OPEN_REPARSE_POINT);
    EXPECT_EQ(open->shareMode, 0u);
    // The report while the command runs, then the final one.
    ASSERT_EQ(fake.Moves().size(), 2u);
    for (const FakePlatform::Move& move : fake.Moves()) {
        EXPECT_EQ(move.flags, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
}

// Neither the first report nor the final one can be written: it is said once.
TEST(ReportWriteTest, AReportThatCannotBeWrittenIsSaidOnceAndLeavesTheStatusAlone) {
    for (const std::string operation : {"CreateFileW", "WriteFile", "MoveFileExW"}) {
        SCOPED_TRACE(operation);
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.Fail(operation, ERROR_INVALID_FUNCTION, 1);
        scenario.Fail(operation, ERROR_INVALID_FUNCTION, 2);
        EXPECT_EQ(Launch(scenario, {u"--report=NUL", u"--", u"seven.exe"}), 7u);
        EXPECT_EQ(scenario.StandardError(), u"[brindle] Could not write the report to 'NUL': 1\n");
        EXPECT_TRUE(scenario.Files().empty());  // no temporary file is left behind
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

// A reader that holds the report open (5 or 32) keeps it from being replaced for a while:
// the final report is tried again every 100 ms for 2 s, so that a harness does not read
// "running" after the run; the first report, and other errors, are not.
TEST(ReportWriteTest, EachReportOutlastsAReader) {
    const struct {
        DWORD error;
        int firstHeld;  // the first move that fails: 1 is the first report's, 2 the final's
        int heldMoves;
        std::size_t moves;
        std::u16string said;
        std::string outcome;
        bool folder = false;  // a folder stands at the report's path: it never lets go
    } cases[] = {
        {ERROR_SHARING_VIOLATION, 2, 5, 1 + 6, u"", "exited"},
        {ERROR_ACCESS_DENIED, 2, 50, 1 + 21, u"[brindle] Could not write the report to 'r.json': 5\n", "running"},
        {ERROR_INVALID_FUNCTION, 2, 50, 1 + 1, u"[brindle] Could not write the report to 'r.json': 1\n", "running"},
        // The first report waits too: an earlier run's report is never left in place.
        {ERROR_SHARING_VIOLATION, 1, 1, 2 + 1, u"", "exited"},
        {ERROR_ACCESS_DENIED, 1, 50, 1 + 1, u"[brindle] Could not write the report to 'r.json': 5\n", "running",
         true},
    };
    for (const auto& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.AddFile(u"r.json", R"({"outcome": "running"})");
        if (c.folder) {
            scenario.AddPath(u"r.json", FILE_ATTRIBUTE_DIRECTORY);
        }
        for (int move = c.firstHeld; move < c.firstHeld + c.heldMoves; ++move) {
            scenario.Fail("MoveFileExW", c.error, move);
        }
        EXPECT_EQ(Launch(scenario, {u"--report=r.json", u"--", u"seven.exe"}), 7u);
        EXPECT_EQ(scenario.StandardError(), c.said);
        EXPECT_EQ(scenario.CountCalls("MoveFileExW"), c.moves);
        EXPECT_EQ(Json::parse(scenario.Files().at(u"r.json"))["outcome"], c.outcome);
    }
}

// Once --report is read, a bad command line leaves a report of its own, so that a harness
// never reads an earlier run's; --help and --version are not runs and write none.
TEST_F(ReportTest, TheLastReportOptionWinsAndABadCommandLineWritesOneOfItsOwn) {
    Run({u"--report=first.json", u"--report=second.json", u"--", u"child.exe"});
    EXPECT_EQ(fake.Files().count(u"first.json"), 0u);
    EXPECT_EQ(fake.Files().count(u"second.json"), 1u);
    const struct {
        std::vector<std::u16string> arguments;
        DWORD status;
        Json message;  // null: no report
    } cases[] = {
        {{u"--report=bad.json", u"--bogus", u"--", u"child.exe"}, 1, "Unknown option: --bogus"},
        {{u"--wrapper-exit-codes", u"--report=bad.json", u"--bogus"}, 125, "Unknown option: --bogus"},
        // Read after the bad option, the switch has not been read at all.
        {{u"--report=bad.json", u"--bogus", u"--wrapper-exit-codes"}, 1, "Unknown option: --bogus"},
        {{u"--report=bad.json", u"--strict", u"--timeout=0.5", u"--", u"x"}, 1, "Invalid value: --timeout=0.5"},
        {{u"--report=bad.json", u"--"}, 1, "Error: No command specified after '--'"},
        {{u"--report=bad.json", u"--", u"run.bat", u"%x%"}, 1,
         "Cannot pass this argument safely to a batch file: %x%"},
        {{u"--report=bad.json", u"--wrapper-exit-codes", u"--help"}, 1, nullptr},
        {{u"--report=bad.json", u"--version"}, 0, nullptr},
    };
    for (const auto& c : cases) {
        FakePlatform scenario;
        EXPECT_EQ(Launch(scenario, c.arguments), c.status);
        const auto file = scenario.Files().find(u"bad.json");
        ASSERT_EQ(file != scenario.Files().end(), !c.message.is_null()) << c.message;
        if (file != scenario.Files().end()) {
            const Json report = Json::parse(file->second);
            EXPECT_EQ(report["outcome"], "not started");
            EXPECT_EQ(report["command"], "");
            EXPECT_EQ(report["message"], c.message);
            EXPECT_EQ(report["exitCode"], c.status);
            EXPECT_EQ(report["startedAt"], nullptr);
            EXPECT_EQ(report["endedAt"], "2026-12-09T00:16:40.000Z");
        }
    }
}

TEST_F(ReportTest, VersionGoesToStandardOutputAndNothingRuns) {
    EXPECT_EQ(Run({u"--verbose", u"--version", u"--bogus"}), 0u);
    EXPECT_EQ(fake.StandardOutput(), u"brindle " + std::u16string(u"" BRINDLE_VERSION_TEXT) + u"\n");
    EXPECT_EQ(fake.StandardError(), u"");
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{});
    // Parsing stops at the first option that ends it.
    EXPECT_EQ(Run({u"--bogus", u"--version"}), 1u);
    EXPECT_EQ(fake.StandardOutput(), u"brindle " + std::u16string(u"" BRINDLE_VERSION_TEXT) + u"\n");
}

TEST_F(ReportTest, AnEmptyReportFileIsAnInvalidValue) {
    EXPECT_EQ(Run({u"--report=", u"--", u"child.exe"}), 1u);
    EXPECT_EQ(fake.StandardError(), u"[brindle] Invalid value: --report=\n" + std::u16string(kUsageText));
    EXPECT_TRUE(fake.Calls().empty());
}

// brindle's own ends of a run have the codes of the POSIX wrappers, so that a script can
// tell them from the command's; the child's own code, a crash's included, passes through.
TEST(WrapperExitCodesTest, BrindlesOwnEndsSayWhichTheyAre) {
    const auto failing = [](std::string operation, DWORD error, int call = 1) {
        return [operation, error, call](FakePlatform& f) { f.Fail(operation, error, call); };
    };
    const struct {
        std::string name;
        std::vector<std::u16string> arguments;
        std::function<void(FakePlatform&)> prepare;
        DWORD status;
    } cases[] = {
        {"the child's own code", {u"--", u"seven.exe"}, [](FakePlatform&) {}, 7},
        {"a crash", {u"--", u"crash.exe"}, [](FakePlatform&) {}, 0xC0000005},
        {"timed out", {u"--timeout=1", u"--", u"hang.exe"}, [](FakePlatform&) {}, 124},
        {"refused", {u"--strict", u"--low-il", u"--", u"seven.exe"},
         [](FakePlatform& f) { f.Tell(FakePlatform::Lie::Token); }, 125},
        {"failed before creation", {u"--", u"seven.exe"}, failing("OpenProcessToken", 5, 2), 125},
        {"a failed wait", {u"--", u"hang.exe"}, [](FakePlatform& f) { f.FailWaitWith(WAIT_FAILED, 5); }, 125},
        {"found but not started", {u"--low-il", u"--", u"seven.exe"}, failing("CreateProcessAsUserW", 5), 126},
        {"not resumed", {u"--", u"seven.exe"}, failing("ResumeThread", 5), 126},
        {"not found at creation", {u"--", u"seven.exe"}, failing("CreateProcessAsUserW", 3), 127},
        {"not found on PATH", {u"--", u"npm"}, [](FakePlatform&) {}, 127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.AddProgram(u"hang.exe", FakeProgram{0, true});
        scenario.AddProgram(u"crash.exe", FakeProgram{0xC0000005, false});
        c.prepare(scenario);
        std::vector<std::u16string> args{u"--wrapper-exit-codes", u"--report=r.json"};
        args.insert(args.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(Launch(scenario, args), c.status);
        EXPECT_EQ(Json::parse(scenario.Files().at(u"r.json"))["exitCode"], c.status);
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace brindle::testing
