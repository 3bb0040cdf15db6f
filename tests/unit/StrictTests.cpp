// --strict: a requested restriction that does not apply stops the command from running.
// The failing step prints its own lines as always, then the Strict line; nothing after
// the refusal is touched, and a child already created is ended without ever running.
#include <functional>

#include "LaunchScenario.h"

namespace brindle::testing {
namespace {

const std::u16string kStrict =
    u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n";

std::u16string Line(const std::u16string& text) { return u"[brindle] " + text + u"\n"; }
std::u16string NotGranted(const std::u16string& path) {
    return Line(u"Warning: Failed to grant Low IL write to: " + path);
}

struct StrictCase {
    std::string name;
    std::vector<std::u16string> options;
    std::function<void(FakePlatform&)> prepare;
    std::vector<std::u16string> lines;  // the failing step's lines; the Strict line follows
    bool childCreated;
};

TEST(StrictTest, EachRestrictionThatDoesNotApplyRefusesTheCommand) {
    const auto failing = [](std::string operation, DWORD error, int call = 1) {
        return [operation, error, call](FakePlatform& f) { f.Fail(operation, error, call); };
    };
    const auto directories = [](FakePlatform& f) {
        f.AddPath(u"C:\\a", FILE_ATTRIBUTE_DIRECTORY);
        f.AddPath(u"C:\\b", FILE_ATTRIBUTE_DIRECTORY);
    };
    const StrictCase cases[] = {
        {"restricted token", {u"--restricted-token", u"--writable-dir=C:\\a"}, failing("CreateRestrictedToken", 5),
         {Line(u"CreateRestrictedToken failed: 5"),
          Line(u"Failed to create restricted token, falling back to normal token")},
         false},
        {"low label", {u"--low-il", u"--writable-dir=C:\\a"}, failing("SetTokenInformation", 5),
         {Line(u"SetTokenInformation(TokenIntegrityLevel) failed: 5"),
          Line(u"Failed to set Low IL, falling back to normal integrity")},
         false},
        // A missing directory fails and is named even without --verbose; later ones are left alone.
        {"missing directory", {u"--writable-dir=C:\\gone", u"--writable-dir=C:\\a"}, directories,
         {Line(u"GrantLowIntegrityWrite: directory does not exist: C:\\gone"), NotGranted(u"C:\\gone")}, false},
        {"label write", {u"--writable-dir=C:\\a", u"--writable-dir=C:\\b"},
         [](FakePlatform& f) {
             f.AddPath(u"C:\\a", FILE_ATTRIBUTE_DIRECTORY);
             f.AddPath(u"C:\\b", FILE_ATTRIBUTE_DIRECTORY);
             f.Fail("SetNamedSecurityInfoW", 5);
         },
         {Line(u"SetNamedSecurityInfo failed for 'C:\\a': 5"), NotGranted(u"C:\\a")}, false},
        {"environment directory", {},
         [](FakePlatform& f) { f.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", u"C:\\gone"); },
         {Line(u"GrantLowIntegrityWrite: directory does not exist: C:\\gone")}, false},
        // With a token option a refused token is not replaced by brindle's own.
        {"creation", {u"--restricted-token"}, failing("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD),
         {Line(u"CreateProcessAsUser failed: 1314"),
          Line(u"Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.")},
         false},
        // A Low label alone is a token option too.
        {"creation at Low", {u"--low-il"}, failing("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD),
         {Line(u"CreateProcessAsUser failed: 1314"),
          Line(u"Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.")},
         false},
        {"job", {u"--job-object"}, failing("CreateJobObjectW", 5), {Line(u"CreateJobObject failed: 5")}, true},
        {"job limits", {u"--job-object"}, failing("SetInformationJobObject", 5),
         {Line(u"SetInformationJobObject(ExtendedLimit) failed: 5")}, true},
        {"UI restrictions", {u"--job-object"}, failing("SetInformationJobObject", 5, 2),
         {Line(u"Warning: SetInformationJobObject(UIRestrictions) failed: 5")}, true},
        {"assignment", {u"--job-object"}, failing("AssignProcessToJobObject", 5),
         {Line(u"Warning: AssignProcessToJobObject failed: 5")}, true},
    };
    for (const StrictCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        c.prepare(scenario);
        std::vector<std::u16string> args{u"--strict"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {u"--", u"seven.exe"});
        EXPECT_EQ(Launch(scenario, args), 1u);

        std::vector<std::u16string> expected = c.lines;
        expected.push_back(kStrict);
        EXPECT_EQ(scenario.ErrorLines(), expected);
        EXPECT_EQ(scenario.CountCalls("CreateProcessW"), 0u);
        EXPECT_EQ(scenario.CountCalls("ResumeThread"), 0u);
        ASSERT_EQ(scenario.Processes().size(), c.childCreated ? 1u : 0u);
        if (c.childCreated) {
            EXPECT_EQ(scenario.Processes()[0].terminatedWith, std::optional<UINT>{1});
            EXPECT_EQ(scenario.WaitLimits(), std::vector<DWORD>{5000});
        }
        EXPECT_TRUE(scenario.LabelWrites().empty());  // no later directory is relabelled
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

// Refusals happen before anything is touched on disk: a failed token step labels no directory.
TEST(StrictTest, ATokenRefusalComesBeforeAnyDirectoryIsLookedAt) {
    FakePlatform scenario;
    scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
    scenario.AddPath(u"C:\\a", FILE_ATTRIBUTE_DIRECTORY);
    scenario.Fail("SetTokenInformation", 5);
    Launch(scenario, {u"--strict", u"--low-il", u"--writable-dir=C:\\a", u"--", u"seven.exe"});
    EXPECT_EQ(scenario.CountCalls("GetFileAttributesW"), 0u);
    // A refused restricted token is refused before the Low-label step begins.
    FakePlatform restricted;
    restricted.Fail("CreateRestrictedToken", 5);
    Launch(restricted, {u"--strict", u"--restricted-token", u"--low-il", u"--", u"seven.exe"});
    EXPECT_EQ(restricted.CountCalls("DuplicateTokenEx") + restricted.CountCalls("SetTokenInformation"), 0u);
}

TEST(StrictTest, WhenEverythingAppliesTheCommandRunsAsWithoutIt) {
    FakePlatform scenario;
    scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
    scenario.AddPath(u"C:\\a", FILE_ATTRIBUTE_DIRECTORY);
    scenario.AddPath(u"C:\\low", FILE_ATTRIBUTE_DIRECTORY);
    scenario.SetLabel(u"C:\\low", {{"S-1-16-4096", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 1}});
    EXPECT_EQ(Launch(scenario, {u"--strict", u"--restricted-token", u"--low-il", u"--job-object",
                                u"--writable-dir=C:\\a", u"--writable-dir=C:\\low", u"--", u"seven.exe"}),
              7u);
    EXPECT_EQ(scenario.StandardError(), u"");
    ASSERT_EQ(scenario.Processes().size(), 1u);
    EXPECT_EQ(scenario.Processes()[0].tokenLabel, "restricted token");
    EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    // A Low label alone, applied, runs the command as well.
    FakePlatform low;
    low.AddProgram(u"seven.exe", FakeProgram{7, false});
    EXPECT_EQ(Launch(low, {u"--strict", u"--low-il", u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(low.StandardError(), u"");
    ASSERT_EQ(low.Processes().size(), 1u);
    EXPECT_EQ(low.Processes()[0].tokenLabel, "duplicate token");
}

// Without a token option the launcher's own token is what was asked for, so the
// fallback creation stays; a failure of both is the usual fatal one, not a refusal.
TEST(StrictTest, WithoutATokenOptionTheFallbackCreationStays) {
    FakePlatform scenario;
    scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
    scenario.Fail("CreateProcessAsUserW", 5);
    EXPECT_EQ(Launch(scenario, {u"--strict", u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(scenario.ErrorLines(),
              (std::vector<std::u16string>{Line(u"CreateProcessAsUser failed: 5"),
                                           Line(u"Falling back to CreateProcessW (no privilege reduction)")}));
}

}  // namespace
}  // namespace brindle::testing
