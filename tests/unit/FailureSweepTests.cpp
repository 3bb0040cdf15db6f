// With every reduction asked for, each Windows operation whose result the launcher
// tests is made to fail in turn. Each failure must give its own messages and no
// others, the exit status of its path, a run that goes on or stops as it should, and
// a clean release of every handle and SID.
#include <functional>

#include "LaunchScenario.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

struct Failure {
    std::string operation;
    int callNumber;
};

struct SweepRow {
    std::vector<Failure> failures;
    // The messages, in order, for a failure with error code e.
    std::function<std::vector<std::u16string>(const std::u16string& e)> messages;
    DWORD exitStatus;
    std::string childToken;  // the token the child runs with; empty when no child is created
    bool contained;          // whether the child ends up in a job
    bool resumed = true;     // whether the child was let run
    DWORD onlyWith = 0;      // the row holds only for this error code; 0: for every code
};

const std::u16string kRestrictedFallback =
    u"[brindle] Failed to create restricted token, falling back to normal token\n";
const std::u16string kLowFallback = u"[brindle] Failed to set Low IL, falling back to normal integrity\n";
const std::u16string kFallingBack = u"[brindle] Falling back to CreateProcessW (no privilege reduction)\n";
const std::u16string kHint =
    u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.\n";
const std::u16string kCommandLineDir = u"C:\\out";
const std::u16string kEnvironmentDir = u"C:\\env";

std::u16string Line(const std::u16string& text) { return u"[brindle] " + text + u"\n"; }
std::u16string Warning() { return Line(u"Warning: Failed to grant Low IL write to: " + kCommandLineDir); }
std::vector<std::u16string> Unprotected(const std::u16string& e) {
    return {Line(u"Warning: could not protect brindle's own process: " + e)};
}
// The environment's directory is a cloud-file placeholder: a reparse point whose tag is read.
constexpr DWORD kCloudFileTag = 0x9000001A;

// The calls that close brindle's own process come first: OpenProcessToken,
// GetTokenInformation twice, and an ACL for the process and one for the thread. The
// AllocateAndInitializeSid calls, in launch order: Administrators (restricted token), Low
// label (token), Low label (command-line directory), Low label (environment).
const std::vector<SweepRow>& Rows() {
    static const std::vector<SweepRow> rows = {
        {{{"OpenProcessToken", 1}}, Unprotected, 7, "restricted token", true},
        {{{"GetTokenInformation", 1}}, Unprotected, 7, "restricted token", true},
        {{{"CreateWellKnownSid", 2}}, Unprotected, 7, "restricted token", true},
        {{{"InitializeAcl", 2}}, Unprotected, 7, "restricted token", true},
        {{{"AddAccessAllowedAce", 3}}, Unprotected, 7, "restricted token", true},
        {{{"SetSecurityInfo", 1}}, Unprotected, 7, "restricted token", true},
        {{{"OpenProcessToken", 2}}, [](auto e) { return std::vector{Line(u"OpenProcessToken failed: " + e)}; },
         1, "", false},
        {{{"GetTokenInformation", 3}},
         [](auto e) {
             return std::vector{Line(u"GetTokenInformation(TokenGroups) size query failed: " + e), kRestrictedFallback};
         },
         7, "duplicate token", true},
        {{{"GetTokenInformation", 4}},
         [](auto e) { return std::vector{Line(u"GetTokenInformation(TokenGroups) failed: " + e), kRestrictedFallback}; },
         7, "duplicate token", true},
        {{{"AllocateAndInitializeSid", 1}},
         [](auto e) { return std::vector{Line(u"AllocateAndInitializeSid failed: " + e), kRestrictedFallback}; }, 7,
         "duplicate token", true},
        {{{"CreateRestrictedToken", 1}},
         [](auto e) { return std::vector{Line(u"CreateRestrictedToken failed: " + e), kRestrictedFallback}; }, 7,
         "duplicate token", true},
        {{{"CreateRestrictedToken", 1}, {"DuplicateTokenEx", 1}},
         [](auto e) {
             return std::vector{Line(u"CreateRestrictedToken failed: " + e), kRestrictedFallback,
                                Line(u"DuplicateTokenEx failed: " + e)};
         },
         1, "", false},
        {{{"AllocateAndInitializeSid", 2}},
         [](auto e) { return std::vector{Line(u"AllocateAndInitializeSid failed: " + e), kLowFallback}; }, 7,
         "restricted token", true},
        {{{"SetTokenInformation", 1}},
         [](auto e) {
             return std::vector{Line(u"SetTokenInformation(TokenIntegrityLevel) failed: " + e), kLowFallback};
         },
         7, "restricted token", true},
        {{{"GetFileAttributesW", 1}}, [](auto) { return std::vector{Warning()}; }, 7, "restricted token", true},
        {{{"GetFileAttributesW", 2}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token", true},
        {{{"AllocateAndInitializeSid", 3}},
         [](auto e) { return std::vector{Line(u"AllocateAndInitializeSid failed for Low IL: " + e), Warning()}; }, 7,
         "restricted token", true},
        {{{"AllocateAndInitializeSid", 4}},
         [](auto e) { return std::vector{Line(u"AllocateAndInitializeSid failed for Low IL: " + e)}; }, 7,
         "restricted token", true},
        // A standard handle Windows cannot describe is passed as none, without a word.
        {{{"GetHandleInformation", 1}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token",
         true},
        {{{"InitializeProcThreadAttributeList", 2}},
         [](auto e) { return std::vector{Line(u"InitializeProcThreadAttributeList failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"UpdateProcThreadAttribute", 1}},
         [](auto e) { return std::vector{Line(u"UpdateProcThreadAttribute(HandleList) failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"GetEnvironmentStringsW", 1}},
         [](auto e) { return std::vector{Line(u"GetEnvironmentStrings failed: " + e)}; }, 7, "restricted token", true},
        // A folder whose real path cannot be read is judged by its name, without a word.
        {{{"CreateFileW", 1}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token", true},
        {{{"GetFinalPathNameByHandleW", 2}}, [](auto) { return std::vector<std::u16string>{}; }, 7,
         "restricted token", true},
        {{{"CreateFileW", 2}},
         [](auto e) { return std::vector{Line(u"Could not read the reparse tag of '" + kEnvironmentDir + u"': " + e)}; },
         7, "restricted token", true},
        {{{"GetFileInformationByHandleEx", 1}},
         [](auto e) { return std::vector{Line(u"Could not read the reparse tag of '" + kEnvironmentDir + u"': " + e)}; },
         7, "restricted token", true},
        {{{"GetFullPathNameW", 1}}, [](auto e) { return std::vector{Line(u"GetFullPathName failed: " + e), Warning()}; },
         7, "restricted token", true},
        {{{"GetFullPathNameW", 2}}, [](auto e) { return std::vector{Line(u"GetFullPathName failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"GetVolumePathNameW", 1}},
         [](auto e) { return std::vector{Line(u"GetVolumePathName failed: " + e), Warning()}; }, 7, "restricted token",
         true},
        {{{"GetVolumePathNameW", 2}}, [](auto e) { return std::vector{Line(u"GetVolumePathName failed: " + e)}; }, 7,
         "restricted token", true},
        // A label that cannot be read is written without a word.
        {{{"GetNamedSecurityInfoW", 1}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token",
         true},
        {{{"GetNamedSecurityInfoW", 2}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token",
         true},
        {{{"InitializeAcl", 3}}, [](auto e) { return std::vector{Line(u"InitializeAcl failed: " + e), Warning()}; },
         7, "restricted token", true},
        {{{"InitializeAcl", 4}}, [](auto e) { return std::vector{Line(u"InitializeAcl failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"AddMandatoryAce", 1}}, [](auto e) { return std::vector{Line(u"AddMandatoryAce failed: " + e), Warning()}; },
         7, "restricted token", true},
        {{{"AddMandatoryAce", 2}}, [](auto e) { return std::vector{Line(u"AddMandatoryAce failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"SetNamedSecurityInfoW", 1}},
         [](auto e) {
             return std::vector{Line(u"SetNamedSecurityInfo failed for '" + kCommandLineDir + u"': " + e), Warning()};
         },
         7, "restricted token", true},
        {{{"SetNamedSecurityInfoW", 2}},
         [](auto e) { return std::vector{Line(u"SetNamedSecurityInfo failed for '" + kEnvironmentDir + u"': " + e)}; },
         7, "restricted token", true},
        // The reduced token is replaced by brindle's own only when the privilege to assign it is missing.
        {{{"CreateProcessAsUserW", 1}},
         [](auto e) { return std::vector{Line(u"CreateProcessAsUser failed: " + e), kHint, kFallingBack}; }, 7,
         "own token", true, true, ERROR_PRIVILEGE_NOT_HELD},
        {{{"CreateProcessAsUserW", 1}},
         [](auto e) {
             return std::vector{Line(u"CreateProcessAsUser failed: " + e),
                                Line(u"Not falling back to brindle's own token after error " + e)};
         },
         1, "", false, true, ERROR_ACCESS_DENIED},
        {{{"CreateProcessAsUserW", 1}, {"CreateProcessW", 1}},
         [](auto e) {
             return std::vector{Line(u"CreateProcessAsUser failed: " + e), kHint, kFallingBack,
                                Line(u"CreateProcessW also failed: " + e)};
         },
         1, "", false, true, ERROR_PRIVILEGE_NOT_HELD},
        {{{"CreateJobObjectW", 1}}, [](auto e) { return std::vector{Line(u"CreateJobObject failed: " + e)}; }, 7,
         "restricted token", false},
        {{{"SetInformationJobObject", 1}},
         [](auto e) { return std::vector{Line(u"SetInformationJobObject(ExtendedLimit) failed: " + e)}; }, 7,
         "restricted token", false},
        {{{"SetInformationJobObject", 2}},
         [](auto e) { return std::vector{Line(u"Warning: SetInformationJobObject(UIRestrictions) failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"AssignProcessToJobObject", 1}},
         [](auto e) { return std::vector{Line(u"Warning: AssignProcessToJobObject failed: " + e)}; }, 7,
         "restricted token", false},
        {{{"ResumeThread", 1}}, [](auto e) { return std::vector{Line(u"ResumeThread failed: " + e)}; }, 1,
         "restricted token", true, false},
        {{{"CreateIoCompletionPort", 1}},
         [](auto e) { return std::vector{Line(u"Warning: SetInformationJobObject(CompletionPort) failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"SetInformationJobObject", 3}},
         [](auto e) { return std::vector{Line(u"Warning: SetInformationJobObject(CompletionPort) failed: " + e)}; }, 7,
         "restricted token", true},
        {{{"GetQueuedCompletionStatus", 1}},
         [](auto e) { return std::vector{Line(u"GetQueuedCompletionStatus failed: " + e)}; }, 7, "restricted token",
         true},
        // What a process of the job's list could not tell is left empty in it, without a word.
        {{{"OpenProcess", 1}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token", true},
        {{{"IsProcessInJob", 2}}, [](auto) { return std::vector<std::u16string>{}; }, 7, "restricted token", true},
        // What cannot be read back from the suspended child is not verified, and said.
        {{{"OpenProcessToken", 3}},
         [](auto e) { return std::vector{Line(u"Warning: could not read back the child's token: " + e)}; }, 7,
         "restricted token", true},
        {{{"GetTokenInformation", 10}},
         [](auto e) { return std::vector{Line(u"Warning: could not read back the child's token: " + e)}; }, 7,
         "restricted token", true},
        {{{"IsProcessInJob", 1}},
         [](auto e) { return std::vector{Line(u"Warning: could not read back the job's membership: " + e)}; }, 7,
         "restricted token", true},
        {{{"QueryInformationJobObject", 1}},
         [](auto e) { return std::vector{Line(u"Warning: could not read back the job's limits: " + e)}; }, 7,
         "restricted token", true},
        {{{"QueryInformationJobObject", 2}},
         [](auto e) { return std::vector{Line(u"Warning: could not read back the job's UI restrictions: " + e)}; },
         7, "restricted token", true},
        {{{"QueryFullProcessImageNameW", 1}}, [](auto) { return std::vector<std::u16string>{}; }, 7,
         "restricted token", true},
    };
    return rows;
}

class FailureSweepTest : public ::testing::TestWithParam<DWORD> {
protected:
    static std::vector<std::u16string> AllOptions() {
        return {u"--low-il", u"--restricted-token", u"--job-object", u"--timeout=30",
                u"--std-handles-only", u"--set-env=A=1", u"--writable-dir=" + kCommandLineDir, u"--", u"seven.exe"};
    }

    static void Prepare(FakePlatform& scenario, const std::u16string& program) {
        scenario.AddProgram(program, program == u"seven.exe" ? FakeProgram{7, false} : FakeProgram{0, true});
        scenario.AddPath(kCommandLineDir, FILE_ATTRIBUTE_DIRECTORY);
        scenario.AddReparsePoint(kEnvironmentDir, kCloudFileTag);
        scenario.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", kEnvironmentDir);
    }
};

TEST_P(FailureSweepTest, WithEverythingAskedForASuccessfulRunIsSilent) {
    FakePlatform scenario;
    Prepare(scenario, u"seven.exe");
    EXPECT_EQ(Launch(scenario, AllOptions()), 7u);
    EXPECT_EQ(scenario.StandardError(), u"");
    EXPECT_EQ(scenario.LabelWrites().size(), 2u);
    EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});

    // Every call the sweep makes fail, and no more: a call added to the launch shows up here.
    const std::pair<std::string, std::size_t> counts[] = {
        {"OpenProcessToken", 5},      {"GetTokenInformation", 12},      {"AllocateAndInitializeSid", 4},
        {"AddAccessAllowedAce", 9},   {"SetSecurityInfo", 3},      {"CreateWellKnownSid", 4},
        {"CreateRestrictedToken", 1}, {"DuplicateTokenEx", 0},         {"SetTokenInformation", 1},
        {"GetFileAttributesW", 2},    {"CreateFileW", 3},              {"GetFileInformationByHandleEx", 1},
        {"GetFinalPathNameByHandleW", 2},
        {"GetFullPathNameW", 2},      {"GetVolumePathNameW", 2},       {"GetNamedSecurityInfoW", 2},
        {"InitializeAcl", 5},         {"AddMandatoryAce", 2},          {"SetNamedSecurityInfoW", 2},
        {"CreateProcessAsUserW", 1},  {"CreateProcessW", 0},           {"CreateJobObjectW", 1},
        {"SetInformationJobObject", 3}, {"AssignProcessToJobObject", 1}, {"ResumeThread", 1},
        {"WaitForSingleObject", 1},   {"TerminateJobObject", 0},     {"QueryInformationJobObject", 4},
        {"GetHandleInformation", 3},  {"DuplicateHandle", 0},          {"InitializeProcThreadAttributeList", 2},
        {"UpdateProcThreadAttribute", 1}, {"GetEnvironmentStringsW", 1},  {"CreateIoCompletionPort", 1},
        {"GetQueuedCompletionStatus", 3}, {"OpenProcess", 1},           {"IsProcessInJob", 2},
        {"QueryFullProcessImageNameW", 1},
    };
    for (const auto& [operation, count] : counts) {
        EXPECT_EQ(scenario.CountCalls(operation), count) << operation;
    }
}

TEST_P(FailureSweepTest, EachOperationFailingInTurnHasExactlyItsConsequences) {
    const DWORD error = GetParam();
    const std::u16string code(Decimal(error));
    for (const SweepRow& row : Rows()) {
        if (row.onlyWith != 0 && row.onlyWith != error) {
            continue;
        }
        std::string name;
        FakePlatform scenario;
        Prepare(scenario, u"seven.exe");
        for (const Failure& failure : row.failures) {
            scenario.Fail(failure.operation, error, failure.callNumber);
            name += failure.operation + "#" + std::to_string(failure.callNumber) + " ";
        }
        SCOPED_TRACE(name + "error " + std::to_string(error));

        EXPECT_EQ(Launch(scenario, AllOptions()), row.exitStatus);
        EXPECT_EQ(scenario.ErrorLines(), row.messages(code));
        if (row.childToken.empty()) {
            EXPECT_TRUE(scenario.Processes().empty());
        } else {
            ASSERT_EQ(scenario.Processes().size(), 1u);
            EXPECT_EQ(scenario.Processes()[0].tokenLabel, row.childToken);
            EXPECT_EQ(scenario.Processes()[0].resumed, row.resumed);
            const bool contained = !scenario.Jobs().empty() && !scenario.Jobs()[0].processes.empty();
            EXPECT_EQ(contained, row.contained);
        }
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

TEST_P(FailureSweepTest, AFailedWaitEndsTheRunWithStatusOneAndTheJobStillClosed) {
    FakePlatform scenario;
    Prepare(scenario, u"hang.exe");
    scenario.FailWaitWith(WAIT_FAILED, GetParam());
    std::vector<std::u16string> args = AllOptions();
    args.back() = u"hang.exe";
    EXPECT_EQ(Launch(scenario, args), 1u);
    EXPECT_EQ(scenario.StandardError(), u"[brindle] WaitForSingleObject failed: " + Decimal(GetParam()) + u"\n");
    ASSERT_EQ(scenario.Processes().size(), 1u);
    EXPECT_TRUE(scenario.Processes()[0].endedByJobClose);
    EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(WithPrivilegeAndOtherCodes, FailureSweepTest,
                         ::testing::Values(ERROR_PRIVILEGE_NOT_HELD, ERROR_ACCESS_DENIED));

TEST(OverlongCommandLineTest, BothCreationsFailAndTheRunEndsCleanly) {
    FakePlatform scenario;
    scenario.AddProgram(u"child.exe", {});
    // Quoting grows an argument of quotes to twice its length and more, past what Windows takes.
    const std::u16string quotes(17000, u'"');
    EXPECT_EQ(Launch(scenario, {u"--job-object", u"--", u"child.exe", quotes}), 1u);
    EXPECT_EQ(scenario.ErrorLines(),
              (std::vector<std::u16string>{u"[brindle] CreateProcessAsUser failed: 206\n", kFallingBack,
                                           u"[brindle] CreateProcessW also failed: 206\n"}));
    EXPECT_TRUE(scenario.Jobs().empty());
    EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
}

}  // namespace
}  // namespace brindle::testing
