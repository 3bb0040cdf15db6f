#include "LaunchScenario.h"

namespace brindle::testing {
namespace {

using RestrictedTokenTest = LaunchScenario;
using LowIntegrityTest = LaunchScenario;

const std::u16string kCreated =
    u"[brindle] Created restricted token (admin SIDs deny-only, privileges stripped)\n";
const std::u16string kRestrictedFallback =
    u"[brindle] Failed to create restricted token, falling back to normal token\n";
const std::u16string kLabelled = u"[brindle] Set token to Low Integrity Level\n";
const std::u16string kLowFallback = u"[brindle] Failed to set Low IL, falling back to normal integrity\n";

constexpr DWORD kAdministratorsEnabled = 0xF;  // mandatory, enabled by default, enabled, owner

// The lines between the verbose summary and the started line.
std::vector<std::u16string> StepLines(const std::vector<std::u16string>& lines) {
    if (lines.size() < 5) {
        return {};
    }
    return std::vector<std::u16string>(lines.begin() + 3, lines.end() - 2);
}

TEST_F(RestrictedTokenTest, AnEnabledAdministratorsGroupBecomesDenyOnly) {
    fake.SetOwnGroups({{"S-1-1-0", 0x7}, {"S-1-5-32-544", kAdministratorsEnabled}, {"S-1-5-5-0-99", 0xC0000007}});
    EXPECT_EQ(Run({u"--verbose", u"--restricted-token", u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(StepLines(Lines()), (std::vector<std::u16string>{kCreated, u"[brindle] Verified: restrictedToken\n"}));

    const FakePlatform::Token* token = fake.FindToken("restricted token");
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->restrictionFlags, DISABLE_MAX_PRIVILEGE);
    EXPECT_EQ(token->disabledSids, std::vector<std::string>{"S-1-5-32-544"});
    EXPECT_EQ(token->disabledSidAttributes, std::vector<DWORD>{0});
    EXPECT_FALSE(token->privilegeOrRestrictListGiven);
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "restricted token");
    EXPECT_EQ(fake.CloseOrder(),
              (std::vector<std::string>{"query token", "child token", "query token", "token to close", "thread", "process",
                                        "restricted token", "own token"}));
}

// A group left as it is but not deny-only is still the child's: the read-back says so.
TEST_F(RestrictedTokenTest, GroupsThatCannotGrantAreNeverDisabledButTheTokenIsStillMade) {
    const std::u16string kept = u"[brindle] Warning: the child's token keeps the Administrators group\n";
    const std::u16string verified = u"[brindle] Verified: restrictedToken\n";
    const std::vector<std::pair<std::vector<FakeGroup>, std::u16string>> sources = {
        {{{"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}}, verified},
        {{{"S-1-5-32-544", kAdministratorsEnabled | SE_GROUP_LOGON_ID}}, kept},
        {{{"S-1-5-32-544", 0x80000000}}, kept},  // one of the two logon-identifier bits is enough
        {{{"S-1-5-32-544", SE_GROUP_INTEGRITY}}, kept},
        {{{"S-1-1-0", 0x7}, {"S-1-5-32-545", 0x7}}, verified},  // no Administrators group at all
        {{}, verified},
    };
    for (const auto& [groups, readBack] : sources) {
        FakePlatform scenario;
        scenario.AddProgram(u"child.exe", {});
        scenario.SetOwnGroups(groups);
        const std::u16string args[] = {u"brindle.exe", u"--verbose", u"--restricted-token", u"--", u"child.exe"};
        const char16_t* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4].c_str()};
        EXPECT_EQ(LauncherMain(5, argv, scenario), 0u);
        const FakePlatform::Token* token = scenario.FindToken("restricted token");
        ASSERT_NE(token, nullptr);
        EXPECT_TRUE(token->disabledSids.empty());
        EXPECT_FALSE(token->disableListGiven);  // no list at all when nothing is disabled
        EXPECT_EQ(StepLines(scenario.ErrorLines()), (std::vector<std::u16string>{kCreated, readBack}));
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

TEST_F(RestrictedTokenTest, EveryFailureFallsBackToTheOwnTokenWithItsMessage) {
    struct Case {
        std::string operation;
        int callNumber;
        DWORD error;
        std::vector<std::u16string> lines;
    };
    const Case cases[] = {
        // The first two queries read brindle's user, to close its own process.
        {"GetTokenInformation", 3, ERROR_INVALID_PARAMETER,
         {u"[brindle] GetTokenInformation(TokenGroups) size query failed: 87\n", kRestrictedFallback}},
        {"GetTokenInformation", 4, ERROR_ACCESS_DENIED,
         {u"[brindle] GetTokenInformation(TokenGroups) failed: 5\n", kRestrictedFallback}},
        // Without the Administrators SID no group would match: a token that disables
        // nothing is not made.
        {"AllocateAndInitializeSid", 1, ERROR_NOT_ENOUGH_MEMORY,
         {u"[brindle] AllocateAndInitializeSid failed: 8\n", kRestrictedFallback}},
        // The code comes from the failed call itself, not from the SID release after it.
        {"CreateRestrictedToken", 1, ERROR_PRIVILEGE_NOT_HELD,
         {u"[brindle] CreateRestrictedToken failed: 1314\n", kRestrictedFallback}},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"child.exe", {});
        scenario.Fail(c.operation, c.error, c.callNumber);
        const std::u16string args[] = {u"brindle.exe", u"--restricted-token", u"--", u"child.exe"};
        const char16_t* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str()};
        EXPECT_EQ(LauncherMain(4, argv, scenario), 0u) << c.operation;
        EXPECT_EQ(scenario.ErrorLines(), c.lines) << c.operation;
        EXPECT_EQ(scenario.FindToken("restricted token"), nullptr);
        ASSERT_EQ(scenario.Processes().size(), 1u);
        EXPECT_EQ(scenario.Processes()[0].tokenLabel, "own token");
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{}) << c.operation;
    }
}

TEST_F(RestrictedTokenTest, ARefusedRestrictedTokenHintsAtTheOptionAndRunsTheChildWithTheOwnToken) {
    fake.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(Run({u"--restricted-token", u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(Lines(), (std::vector<std::u16string>{
                           u"[brindle] CreateProcessAsUser failed: 1314\n",
                           u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without "
                           u"--restricted-token.\n",
                           u"[brindle] Falling back to CreateProcessW (no privilege reduction)\n"}));
    ASSERT_EQ(fake.Creations().size(), 2u);
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.Creations()[0].tokenLabel, "restricted token");
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "own token");
}

TEST_F(LowIntegrityTest, AloneItLabelsADuplicateOfTheOwnToken) {
    EXPECT_EQ(Run({u"--low-il", u"--", u"child.exe"}), 0u);
    EXPECT_EQ(fake.StandardError(), u"");

    const FakePlatform::Token* duplicate = fake.FindToken("duplicate token");
    ASSERT_NE(duplicate, nullptr);
    EXPECT_EQ(duplicate->duplicateAccess, 0xF01FFu);
    EXPECT_EQ(duplicate->impersonationLevel, SecurityImpersonation);
    EXPECT_EQ(duplicate->tokenType, TokenPrimary);
    EXPECT_FALSE(duplicate->duplicateAttributesGiven);
    EXPECT_EQ(duplicate->integrityLabel, "S-1-16-4096");
    EXPECT_EQ(duplicate->integrityLabelAttributes, SE_GROUP_INTEGRITY);
    EXPECT_EQ(duplicate->integrityLabelLength, 16u + 12u);  // the record, then the SID's length
    ASSERT_NE(fake.FindToken("own token"), nullptr);
    EXPECT_EQ(fake.FindToken("own token")->integrityLabel, "S-1-16-12288");  // the launcher's own is untouched

    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "duplicate token");
    EXPECT_EQ(fake.CloseOrder(),
              (std::vector<std::string>{"query token", "child token", "query token", "token to close", "thread", "process",
                                        "duplicate token", "own token"}));
}

TEST_F(LowIntegrityTest, WithARestrictedTokenTheRestrictedTokenItselfIsLabelled) {
    EXPECT_EQ(Run({u"--verbose", u"--restricted-token", u"--low-il", u"--", u"child.exe"}), 0u);
    EXPECT_EQ(StepLines(Lines()), (std::vector<std::u16string>{kCreated, kLabelled,
                                                               u"[brindle] Verified: restrictedToken, lowIntegrity\n"}));
    EXPECT_EQ(fake.CountCalls("DuplicateTokenEx"), 0u);
    ASSERT_NE(fake.FindToken("restricted token"), nullptr);
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.FindToken("restricted token")->integrityLabel, "S-1-16-4096");
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "restricted token");
}

TEST_F(LowIntegrityTest, AfterAFailedRestrictedTokenADuplicateIsLabelled) {
    fake.Fail("CreateRestrictedToken", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({u"--verbose", u"--restricted-token", u"--low-il", u"--", u"child.exe"}), 0u);
    EXPECT_EQ(StepLines(Lines()), (std::vector<std::u16string>{u"[brindle] CreateRestrictedToken failed: 5\n",
                                                               kRestrictedFallback, kLabelled,
                                                               u"[brindle] Verified: lowIntegrity\n"}));
    ASSERT_NE(fake.FindToken("duplicate token"), nullptr);
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.FindToken("duplicate token")->integrityLabel, "S-1-16-4096");
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "duplicate token");
}

TEST_F(LowIntegrityTest, AFailedDuplicationEndsTheRunWithoutAChild) {
    fake.Fail("DuplicateTokenEx", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({u"--low-il", u"--writable-dir=C:\\x", u"--", u"child.exe"}), 1u);
    EXPECT_EQ(fake.StandardError(), u"[brindle] DuplicateTokenEx failed: 5\n");
    EXPECT_TRUE(fake.Creations().empty());
    EXPECT_EQ(fake.CountCalls("GetFileAttributesW"), 0u);
    EXPECT_EQ(fake.CloseOrder(), (std::vector<std::string>{"query token", "own token"}));
}

TEST_F(LowIntegrityTest, LabelFailuresLeaveTheChildAtNormalLevelWithTheSameToken) {
    struct Case {
        std::vector<std::u16string> options;
        std::string operation;
        int callNumber;
        DWORD error;
        std::u16string message;
        std::string childToken;
    };
    const Case cases[] = {
        {{u"--low-il"}, "AllocateAndInitializeSid", 1, ERROR_NOT_ENOUGH_MEMORY,
         u"[brindle] AllocateAndInitializeSid failed: 8\n", "duplicate token"},
        // The code comes from the failed call itself, not from the SID release after it.
        {{u"--low-il"}, "SetTokenInformation", 1, ERROR_PRIVILEGE_NOT_HELD,
         u"[brindle] SetTokenInformation(TokenIntegrityLevel) failed: 1314\n", "duplicate token"},
        // The first SID is the Administrators group of the restricted token.
        {{u"--low-il", u"--restricted-token"}, "AllocateAndInitializeSid", 2, ERROR_NOT_ENOUGH_MEMORY,
         u"[brindle] AllocateAndInitializeSid failed: 8\n", "restricted token"},
        {{u"--low-il", u"--restricted-token"}, "SetTokenInformation", 1, ERROR_ACCESS_DENIED,
         u"[brindle] SetTokenInformation(TokenIntegrityLevel) failed: 5\n", "restricted token"},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.Fail(c.operation, c.error, c.callNumber);
        std::vector<std::u16string> args = {u"brindle.exe"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {u"--", u"seven.exe"});
        std::vector<const char16_t*> argv;
        for (const auto& arg : args) {
            argv.push_back(arg.c_str());
        }
        EXPECT_EQ(LauncherMain(static_cast<int>(argv.size()), argv.data(), scenario), 7u);
        EXPECT_EQ(scenario.ErrorLines(), (std::vector<std::u16string>{c.message, kLowFallback}));
        ASSERT_EQ(scenario.Processes().size(), 1u);
        EXPECT_EQ(scenario.Processes()[0].tokenLabel, c.childToken);
        ASSERT_NE(scenario.FindToken(c.childToken), nullptr);
        EXPECT_EQ(scenario.FindToken(c.childToken)->integrityLabel, "S-1-16-12288");
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace brindle::testing
