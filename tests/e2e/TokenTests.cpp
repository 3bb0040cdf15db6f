// End-to-end tests of the token the child receives: --restricted-token makes
// the child's membership of Administrators deny-only, and --low-il labels the
// child's token Low. probe.exe reports the groups of the token it runs with.
//
// Wine accepts the Low label on the token, yet the child still reports High
// integrity, and it takes no privilege from a restricted child: those checks expect
// Windows' result on Windows and Wine's under Wine.

#include "Harness.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace e2e {
namespace {

const std::string kAdministrators = "S-1-5-32-544";

const std::string kRestrictedLine =
    "[brindle] Created restricted token (admin SIDs deny-only, privileges stripped)\n";
const std::string kLowLine = "[brindle] Set token to Low Integrity Level\n";

// The groups that probe.exe prints in "groups" mode, one "<SID> 0x<attributes>"
// a line, by SID. A line of any other form fails the test.
std::map<std::string, DWORD> ParseGroups(const std::string& out) {
    std::map<std::string, DWORD> groups;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line in the probe's groups: " << out.substr(start);
            break;
        }
        const std::string line = out.substr(start, end - start);
        start = end + 1;

        const size_t space = line.find(' ');
        const std::string hex = space == std::string::npos ? std::string() : line.substr(space + 1);
        char* parsedTo = nullptr;
        const unsigned long attributes = hex.size() > 2 ? std::strtoul(hex.c_str() + 2, &parsedTo, 16) : 0;
        if (line.compare(0, 2, "S-") != 0 || hex.compare(0, 2, "0x") != 0 || parsedTo == nullptr ||
            *parsedTo != '\0') {
            ADD_FAILURE() << "malformed line in the probe's groups: " << line;
            continue;
        }
        groups[line.substr(0, space)] = static_cast<DWORD>(attributes);
    }
    return groups;
}

// The groups other than Administrators and the integrity label, which is a
// group of its own on Windows and changes with --low-il.
std::map<std::string, DWORD> OtherGroups(std::map<std::string, DWORD> groups) {
    groups.erase(kAdministrators);
    for (auto group = groups.begin(); group != groups.end();) {
        group = (group->second & SE_GROUP_INTEGRITY) != 0 ? groups.erase(group) : std::next(group);
    }
    return groups;
}

TEST(RestrictedToken, MakesOnlyTheAdministratorsGroupDenyOnlyForTheChild) {
    const RunResult plain = RunBrindle({L"--", ProbePath(), L"groups"});
    ASSERT_EQ(plain.err, "");
    ASSERT_EQ(plain.exitCode, 0u);
    const std::map<std::string, DWORD> plainGroups = ParseGroups(plain.out);
    ASSERT_EQ(plainGroups.count(kAdministrators), 1u) << plain.out;
    EXPECT_EQ(plainGroups.at(kAdministrators) & SE_GROUP_USE_FOR_DENY_ONLY, 0u) << plain.out;

    struct Case {
        std::vector<std::wstring> options;
        bool denyOnly;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{L"--restricted-token"}, true, ElevatedWarning()},
        // The Low label goes on the restricted token itself, which the child receives.
        {{L"--restricted-token", L"--low-il"}, true, ""},
        {{L"--low-il"}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(ComposeCommandLine(L"brindle.exe", c.options)));
        const RunResult run = RunBrindle(Concat(c.options, {L"--", ProbePath(), L"groups"}));
        const bool restricted = c.options[0] == L"--restricted-token";
        EXPECT_EQ(run.err, c.err + ReadBackLines(c.options.back() == L"--low-il", restricted, 0));
        EXPECT_EQ(run.exitCode, 0u);
        const std::map<std::string, DWORD> groups = ParseGroups(run.out);
        ASSERT_EQ(groups.count(kAdministrators), 1u) << run.out;
        EXPECT_EQ((groups.at(kAdministrators) & SE_GROUP_USE_FOR_DENY_ONLY) != 0, c.denyOnly) << run.out;
        EXPECT_EQ(OtherGroups(groups), OtherGroups(plainGroups)) << run.out;
    }
}

// Only Windows shows the child at Low integrity; Wine leaves it at High.
TEST(TokenSteps, ALowChildRunsAtLowIntegrity) {
    const RunResult run = RunBrindle({L"--low-il", L"--", ProbePath(), L"integrity"});
    EXPECT_EQ(run.err, ReadBackLines(true, false, 0));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, UnderWine() ? "S-1-16-12288\n" : "S-1-16-4096\n");
}

// Only Windows removes the privileges; under Wine the child keeps them all, the one
// it must keep among them.
TEST(TokenSteps, ARestrictedChildHoldsNoPrivilegeButChangeNotify) {
    const RunResult run = RunBrindle({L"--restricted-token", L"--", ProbePath(), L"privileges"});
    EXPECT_EQ(run.err, ElevatedWarning() + ReadBackLines(false, true, 0));
    EXPECT_EQ(run.exitCode, 0u);
    if (UnderWine()) {
        EXPECT_NE(run.out.find("SeChangeNotifyPrivilege\n"), std::string::npos) << run.out;
    } else {
        EXPECT_EQ(run.out, "SeChangeNotifyPrivilege\n");
    }
}

TEST(TokenSteps, VerboseRunReportsEachStepInLaunchOrder) {
    const std::vector<VerboseSteps> cases = {
        {{L"--verbose", L"--restricted-token", L"--low-il"},
         "lowIL=1 restrictedToken=1 jobObject=0 maxProc=64 timeout=0",
         kRestrictedLine + kLowLine + ReadBackLines(true, true, 0, true)},
        // The order on the command line does not change the order of the steps.
        {{L"--low-il", L"--verbose", L"--restricted-token"},
         "lowIL=1 restrictedToken=1 jobObject=0 maxProc=64 timeout=0",
         kRestrictedLine + kLowLine + ReadBackLines(true, true, 0, true)},
        {{L"--verbose", L"--restricted-token"}, "lowIL=0 restrictedToken=1 jobObject=0 maxProc=64 timeout=0",
         kRestrictedLine + ElevatedWarning() + ReadBackLines(false, true, 0, true)},
        {{L"--verbose", L"--low-il"}, "lowIL=1 restrictedToken=0 jobObject=0 maxProc=64 timeout=0",
         kLowLine + ReadBackLines(true, false, 0, true)},
    };
    ExpectVerboseSteps(cases);
}

TEST(TokenSteps, QuietRunPrintsNothingAndReturnsTheChildCode) {
    const std::vector<std::vector<std::wstring>> optionSets = {
        {L"--restricted-token", L"--low-il"},
        {L"--restricted-token"},
        {L"--low-il"},
    };
    for (const std::vector<std::wstring>& options : optionSets) {
        SCOPED_TRACE(Utf8(ComposeCommandLine(L"brindle.exe", options)));
        const RunResult run = RunBrindle(Concat(options, {L"--", ProbePath(), L"exit", L"3"}));
        // Only --restricted-token without --low-il leaves an elevated caller's child at High integrity.
        const bool restricted = options[0] == L"--restricted-token";
        const bool low = options.back() == L"--low-il";
        EXPECT_EQ(run.err, (restricted && !low ? ElevatedWarning() : "") + ReadBackLines(low, restricted, 0));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, 3u);
    }
}

}  // namespace
}  // namespace e2e
