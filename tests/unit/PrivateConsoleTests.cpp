// --private-console: the child runs on a hidden console of its own, its standard streams
// three pipes that brindle relays on threads of its own, created with brindle's
// protected thread DACL; an interrupt at brindle's console ends the job.
#include <nlohmann/json.hpp>

#include <functional>

#include "LaunchScenario.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

using PrivateConsoleTest = LaunchScenario;

const std::u16string kStrict =
    u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n";

TEST_F(PrivateConsoleTest, TheChildGetsOnlyItsPipesAndEverythingIsRelayedBeforeTheRunReturns) {
    fake.AddProgram(u"talk.exe", FakeProgram{7, false, false, "out\nput", "errors"});
    fake.SetStandardInput("typed", false);
    fake.WriteNothingAfter(0);  // a write of nothing is not the end of the child's output
    EXPECT_EQ(Run({u"--report=r.json", u"--private-console", u"--std-handles-only", u"--", u"talk.exe"}), 7u);
    EXPECT_EQ(fake.StandardError(), u"");
    EXPECT_EQ(fake.RelayedOutput(), "out\nput");
    EXPECT_EQ(fake.RelayedErrors(), "errors");
    EXPECT_EQ(fake.ChildInput(), "typed");

    ASSERT_EQ(fake.Creations().size(), 1u);
    const FakeCreation& creation = fake.Creations()[0];
    EXPECT_EQ(creation.creationFlags & CREATE_NO_WINDOW, CREATE_NO_WINDOW);
    const std::vector<HANDLE> streams{creation.startup.hStdInput, creation.startup.hStdOutput,
                                      creation.startup.hStdError};
    EXPECT_EQ(creation.handleList, streams);
    for (HANDLE brindles : {FakePlatform::kStdInput, FakePlatform::kStdOutput, FakePlatform::kStdError}) {
        EXPECT_EQ(std::count(streams.begin(), streams.end(), brindles), 0);
    }
    ASSERT_EQ(fake.ThreadDacls().size(), 3u);
    for (const std::vector<BYTE>& dacl : fake.ThreadDacls()) {
        EXPECT_EQ(dacl, fake.Dacls().at(FakePlatform::kCurrentThread));
    }
    const nlohmann::json report = nlohmann::json::parse(fake.Files().at(u"r.json"));
    EXPECT_EQ(report["restrictions"]["privateConsole"]["applied"], true);
    EXPECT_EQ(report["restrictions"]["stdHandlesOnly"]["applied"], true);
    EXPECT_EQ(fake.CountCalls("SetConsoleCtrlHandler(add)"), 1u);
}

// Output is copied for 2 s after the child's end while a grandchild holds the pipes open,
// then the output relays still waiting are cancelled. An interrupt meanwhile ends the job,
// and with it what holds the pipes.
TEST(PrivateConsoleEndTest, RelaysThatWouldWaitForeverAreCancelledOrEndedByAnInterruptAndJoined) {
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "interrupted" : "");
        FakePlatform scenario;
        scenario.AddProgram(u"parent.exe", FakeProgram{3, false, false, "before", "", true});
        if (interrupted) {
            scenario.InterruptWhileWaiting(CTRL_C_EVENT);
        }
        // With a job, the relays are joined before its figures are read and it is closed.
        EXPECT_EQ(Launch(scenario, {u"--private-console", u"--job-object", u"--", u"parent.exe"}), 3u);
        EXPECT_EQ(scenario.RelayedOutput(), "before");
        const std::vector<DWORD> waits = scenario.WaitLimits();
        // The grace is spent once; an interrupt ends the first wait at once, and the next may still take it all.
        EXPECT_EQ(std::count(waits.begin(), waits.end(), 2000u), interrupted ? 2 : 1);
        EXPECT_EQ(scenario.CountCalls("CancelSynchronousIo"), interrupted ? 0u : 2u);
        ASSERT_EQ(scenario.Jobs().size(), 1u);
        EXPECT_EQ(scenario.Jobs()[0].terminatedWith, interrupted ? std::optional<UINT>{0xC000013A} : std::nullopt);
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

// A child refused before it runs, or that shares brindle's console after all, gets none of
// brindle's input through a relay: it stays for whoever reads it next.
TEST(PrivateConsoleInputTest, NoneOfBrindlesInputIsTakenForAChildThatNeverRunsOnItsConsole) {
    const std::pair<std::vector<std::u16string>, std::function<void(FakePlatform&)>> cases[] = {
        {{u"--strict", u"--low-il"}, [](FakePlatform& f) { f.Tell(FakePlatform::Lie::Token); }},
        {{},
         [](FakePlatform& f) {
             f.Fail("CreateProcessAsUserW", ERROR_ACCESS_DENIED);
             f.Fail("CreateProcessW", ERROR_ACCESS_DENIED);  // and the fall back
         }},
        {{}, [](FakePlatform& f) { f.Fail("CreateThread", ERROR_ACCESS_DENIED, 3); }}};
    for (const auto& [options, arrange] : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.SetStandardInput("typed", false);
        arrange(scenario);
        std::vector<std::u16string> args = options;
        args.insert(args.end(), {u"--private-console", u"--", u"seven.exe"});
        Launch(scenario, args);
        EXPECT_EQ(scenario.StandardInputLeft(), "typed") << EncodeUtf8(args.front());
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

// brindle's console is read only once a whole line waits there, and a pipe only once it
// holds bytes, so the relay never leaves a read of its input pending: it stops without a
// cancel, and what is left on a console belongs to the caller.
TEST(PrivateConsoleInputTest, TheConsoleIsReadLineByLineAnOpenPipeAsItFillsAndNothingIsCancelled) {
    const std::tuple<bool, std::string, std::string> cases[] = {
        {false, "", ""}, {false, "partial", ""}, {false, "ls\n", "ls\n"}, {true, "", ""}, {true, "data", "data"}};
    for (const auto& [pipe, typed, childGets] : cases) {
        SCOPED_TRACE(typed + (pipe ? " pipe" : " console"));
        FakePlatform console;
        console.AddProgram(u"seven.exe", FakeProgram{7, false});
        if (pipe) {
            console.SetStandardInputOpenPipe(typed);
        } else {
            console.SetStandardInput(typed, true);
        }
        EXPECT_EQ(Launch(console, {u"--private-console", u"--", u"seven.exe"}), 7u);
        EXPECT_EQ(console.ChildInput(), childGets);
        EXPECT_EQ(console.CountCalls("CancelSynchronousIo"), 0u);
        EXPECT_EQ(console.Problems(), std::vector<std::string>{});
    }
}

// Output and errors that go to one place reach it in the child's order: one pipe for both.
TEST_F(PrivateConsoleTest, OutputAndErrorsBoundForOnePlaceShareOnePipe) {
    fake.AddProgram(u"talk.exe", FakeProgram{7, false, false, "out\n", "errors"});
    fake.SetStandardHandle(STD_ERROR_HANDLE, FakePlatform::kStdOutput, HANDLE_FLAG_INHERIT);
    EXPECT_EQ(Run({u"--private-console", u"--", u"talk.exe"}), 7u);
    ASSERT_EQ(fake.Creations().size(), 1u);
    const STARTUPINFOW& startup = fake.Creations()[0].startup;
    EXPECT_EQ(startup.hStdOutput, startup.hStdError);
    EXPECT_EQ(fake.Creations()[0].handleList, (std::vector<HANDLE>{startup.hStdInput, startup.hStdOutput}));
    EXPECT_EQ(fake.RelayedOutput(), "out\nerrors");
}

TEST(PrivateConsoleInterruptTest, EndsTheJobOrTheChildAndTheRunFinishes) {
    for (const auto& [job, event] : {std::pair{true, CTRL_C_EVENT}, {false, CTRL_C_EVENT}, {true, CTRL_BREAK_EVENT},
                                     {false, CTRL_BREAK_EVENT}}) {
        SCOPED_TRACE(std::to_string(event) + (job ? " job" : ""));
        FakePlatform scenario;
        scenario.AddProgram(u"hang.exe", FakeProgram{0, true});
        scenario.InterruptWhileWaiting(event);
        std::vector<std::u16string> args{u"--private-console", u"--report=r.json", u"--", u"hang.exe"};
        if (job) {
            args.insert(args.begin(), u"--job-object");
        }
        EXPECT_EQ(Launch(scenario, args), 0xC000013Au);
        ASSERT_EQ(scenario.Processes().size(), 1u);
        EXPECT_EQ(scenario.Processes()[0].terminatedWith, std::optional<UINT>{0xC000013A});
        EXPECT_EQ(scenario.CountCalls("TerminateProcess"), job ? 0u : 1u);
        const nlohmann::json report = nlohmann::json::parse(scenario.Files().at(u"r.json"));
        EXPECT_EQ(report["outcome"], "interrupted");  // by brindle, not by a fault of the child's
        EXPECT_EQ(report["childExitCode"], 0xC000013A);
        EXPECT_EQ(report["message"], nullptr);
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});  // the handler is removed again
        // Not before the final report: a second interrupt would cut it off.
        const std::vector<std::string>& calls = scenario.Calls();
        EXPECT_LT(std::find(calls.rbegin(), calls.rend(), "SetConsoleCtrlHandler(remove)"),
                  std::find(calls.rbegin(), calls.rend(), "MoveFileExW"));
    }
}

TEST(PrivateConsoleFailureTest, SharesBrindlesConsoleWithAWarningOrUnderStrictRefuses) {
    const std::pair<std::string, int> failures[] = {
        {"CreatePipe", 1},     {"CreatePipe", 3},        {"SetHandleInformation", 2},
        {"InitializeSecurityDescriptor", 1},            {"SetSecurityDescriptorDacl", 1},
        {"CreateThread", 1},   {"CreateThread", 3},      {"UpdateProcThreadAttribute", 1},
        {"CreateEventW", 1}};
    for (const auto& [operation, call] : failures) {
        for (const bool strict : {false, true}) {
            SCOPED_TRACE(operation + "#" + std::to_string(call) + (strict ? " strict" : ""));
            FakePlatform scenario;
            scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
            scenario.Fail(operation, ERROR_ACCESS_DENIED, call);
            std::vector<std::u16string> args{u"--private-console", u"--", u"seven.exe"};
            std::vector<std::u16string> lines{
                u"[brindle] Warning: could not give the child a console of its own: 5\n"};
            if (operation == "UpdateProcThreadAttribute") {
                lines.insert(lines.begin(), u"[brindle] UpdateProcThreadAttribute(HandleList) failed: 5\n");
            }
            if (strict) {
                args.insert(args.begin(), u"--strict");
                lines.push_back(kStrict);
            }
            EXPECT_EQ(Launch(scenario, args), strict ? 1u : 7u);
            EXPECT_EQ(scenario.ErrorLines(), lines);
            ASSERT_EQ(scenario.Creations().size(), strict ? 0u : 1u);
            if (!strict) {
                EXPECT_EQ(scenario.Creations()[0].creationFlags & CREATE_NO_WINDOW, 0u);
                EXPECT_EQ(scenario.Creations()[0].startup.hStdOutput, FakePlatform::kStdOutput);
            }
            EXPECT_EQ(scenario.CountCalls("SetConsoleCtrlHandler(add)"), 0u);
            EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
        }
    }
}

}  // namespace
}  // namespace brindle::testing
