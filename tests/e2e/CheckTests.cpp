// End-to-end tests of brindle --check: brindle attacks its own protections on the machine
// where the tests run and must say exactly what holds there. Wine accepts the Low label,
// the privilege removal and the job's limits without enforcing them; Windows enforces all.

#include "Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {
namespace {

struct Expected {
    std::string name;
    std::string result;  // on Windows "holds" wherever Wine's truth differs
    std::string evidence;  // a part of the evidence under Wine
};

bool HasConsole() {
    const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(input);
    return true;
}

// The truth under Wine 8, measured; on Windows every protection holds. brindle shares the
// tests' console; without one (under ctest on Linux) the private console cannot be attacked.
std::vector<Expected> ExpectedChecks() {
    const bool wine = UnderWine();
    const bool console = HasConsole();
    const std::string enforced = wine ? "does not hold" : "holds";
    return {
        {"restricted-token", enforced, "privileges besides SeChangeNotifyPrivilege; Administrators not enabled"},
        {"low-integrity", enforced, "low-integrity.txt"},
        {"own-process", "holds", "PROCESS_VM_READ refused: 5; PROCESS_DUP_HANDLE refused: 5"},
        {"own-token", "holds", "OpenProcessToken(TOKEN_DUPLICATE) refused: 5"},
        {"job-breakaway", "holds", "CreateProcessW(CREATE_BREAKAWAY_FROM_JOB) refused: 5"},
        {"process-limit", enforced, "a second process started in a job limited to one"},
        {"job-end", "holds", "ended with the job"},
        {"memory-limit", enforced, "committed 128 MiB"},
        {"clear-env", "holds", "BRINDLE_CHECK_SECRET absent"},
        {"std-handles-only", "holds", "the checker's event stays unsignalled"},
        {"private-console", console ? "holds" : "not tried", console ? "" : "brindle has no console to attack"},
        {"reads", "allowed", "read 14 bytes"},
        {"network", "allowed", "connected to 127.0.0.1:"},
    };
}

TEST(Check, SaysExactlyWhatHoldsOnThisMachine) {
    const TempPath report(L"check.json");
    const RunResult run = RunBrindle({L"--check", L"--report=" + report.Get()});
    std::istringstream lines(run.out);
    std::string header;
    std::getline(lines, header);
    EXPECT_TRUE(std::regex_match(header, std::regex(R"(brindle \d+\.\d+\.\d+ check on Windows \d+\.\d+\.\d+)"
                                                    R"(( \(elevated\))?( \(Wine [^)]+\))?)")))
        << header;
    EXPECT_EQ(header.find(" (Wine ") != std::string::npos, UnderWine()) << header;
    const nlohmann::json checks = nlohmann::json::parse(ReadBytes(report.Get()))["checks"];
    const std::vector<Expected> expected = ExpectedChecks();
    ASSERT_EQ(checks.size(), expected.size()) << run.out;
    bool allHold = true;
    for (const Expected& probe : expected) {
        SCOPED_TRACE(probe.name);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line.substr(0, 34), (probe.name + std::string(18 - probe.name.size(), ' ')) + probe.result +
                                          std::string(16 - probe.result.size(), ' '));
        const std::string evidence = line.size() > 34 ? line.substr(34) : "";
        if (UnderWine() || probe.result != "holds") {
            EXPECT_NE(evidence.find(probe.evidence), std::string::npos) << evidence;
        }
        const nlohmann::json& check = checks[&probe - expected.data()];
        EXPECT_EQ(check["name"], probe.name);
        EXPECT_EQ(check["result"], probe.result);
        EXPECT_EQ(check["evidence"], evidence);
        allHold = allHold && probe.result != "does not hold";
    }
    EXPECT_FALSE(std::getline(lines, header)) << "a line too many";
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, allHold ? 0u : 1u);
}

// A probe run by hand, under no launch: only the refusal a protection makes counts as the
// protection holding; any other failure means the attack was not made. With no protection
// in the way the attacks succeed, which the controls show: the tests' own process lets its
// child in, and no job limits its memory.
TEST(Check, AProbeCountsOnlyTheRefusalOfItsProtection) {
    const TempPath folder(L"probe-target", TempPath::Make::Directory);
    const struct {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        std::string out;
    } cases[] = {
        {{L"--probe=low-integrity", folder.Get() + L"\\missing"}, 12,
         "CreateFileW in the checker's folder failed: 3\n"},
        // Not Low here, so the file is made (and goes with its handle): the control.
        {{L"--probe=low-integrity", folder.Get()}, 11, "created " + Utf8(folder.Get()) + "\\low-integrity.txt\n"},
        {{L"--probe=own-process"}, 11, "PROCESS_VM_READ granted; PROCESS_DUP_HANDLE granted\n"},
        {{L"--probe=own-token"}, 11, "opened brindle's token for TOKEN_DUPLICATE\n"},
        {{L"--probe=memory-limit"}, 11, "committed 128 MiB\n"},
    };
    for (const auto& probe : cases) {
        SCOPED_TRACE(probe.out);
        const RunResult run = RunBrindle(probe.arguments);
        EXPECT_TRUE(run.out.size() >= probe.out.size() &&
                    run.out.compare(run.out.size() - probe.out.size(), probe.out.size(), probe.out) == 0)
            << run.out;
        EXPECT_EQ(run.exitCode, probe.exitCode);
    }
}

// Wine's GetTempPathW fails for a TMP longer than MAX_PATH: the checker then makes no folder
// (not one beside wherever it was started) and says why.
TEST(Check, MakesNoFolderWithoutATemporaryFolder) {
    if (!UnderWine()) {
        GTEST_SKIP() << "Windows may fall back to another temporary folder";
    }
    const RunResult run = RunBrindle({L"--check"}, {{L"TMP", L"C:\\" + std::wstring(300, L'x')}});
    for (const std::string probe : {"low-integrity     ", "reads             "}) {
        const std::string line = "\n" + probe + "not tried       GetTempPathW failed: 206\n";
        EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    }
}

}  // namespace
}  // namespace e2e
