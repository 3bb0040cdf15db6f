// What the child really got: a platform that accepts a restriction and ignores it is
// caught before the child runs. Each lie has its own line; the child then runs as
// before, or under --strict is ended without ever being resumed.
#include <functional>

#include "LaunchScenario.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

using Lie = FakePlatform::Lie;

TEST(ReadBackTest, EachRestrictionTheChildDidNotGetIsSaidAndUnderStrictItNeverRuns) {
    const struct {
        std::vector<std::u16string> options;
        std::vector<Lie> lies;
        std::vector<std::u16string> lines;
        std::function<void(FakePlatform&)> prepare = [](FakePlatform&) {};
    } cases[] = {
        {{u"--low-il"}, {Lie::Token}, {u"Warning: the child's integrity level is High, not Low"}},
        {{u"--low-il"},
         {Lie::Token},
         {u"Warning: the child's integrity level is Medium, not Low"},
         [](FakePlatform& f) { f.SetOwnIntegrity("S-1-16-8192"); }},
        // Untrusted is below Low, and as good.
        {{u"--low-il"}, {Lie::Token}, {}, [](FakePlatform& f) { f.SetOwnIntegrity("S-1-16-0"); }},
        {{u"--restricted-token"},
         {Lie::Token},
         {u"Warning: the child's token keeps the Administrators group",
          u"Warning: the child's token keeps 20 privileges besides SeChangeNotifyPrivilege"}},
        // A standard user's token holds no Administrators group at all, and a shorter SID last.
        {{u"--restricted-token"}, {}, {}, [](FakePlatform& f) { f.SetOwnGroups({{"S-1-1-0", 7}}); }},
        {{u"--job-object"}, {Lie::JobMembership}, {u"Warning: the child is not in the job"}},
        {{u"--job-object"}, {Lie::JobLimits}, {u"Warning: the job's limits read back as 0x00000000, not 0x00002008"}},
        {{u"--job-object"},
         {Lie::UiRestrictions},
         {u"Warning: the job's UI restrictions read back as 0x00000000, not 0x0000007A"}},
        {{u"--cpu-rate=50"}, {Lie::CpuRate}, {u"Warning: the job's CPU rate reads back as 0, not 5000"}},
        // Each object's lines in order, whichever lies.
        {{u"--low-il", u"--restricted-token", u"--max-memory=1M", u"--cpu-rate=5"},
         {Lie::CpuRate, Lie::JobLimits, Lie::Token},
         {u"Warning: the child's integrity level is High, not Low",
          u"Warning: the child's token keeps the Administrators group",
          u"Warning: the child's token keeps 20 privileges besides SeChangeNotifyPrivilege",
          u"Warning: the job's limits read back as 0x00000000, not 0x00002208",
          u"Warning: the job's CPU rate reads back as 0, not 500"}},
        // Windows keeps memory limits in whole pages: a limit that is not a multiple of the
        // page reads back rounded down, and is what was set.
        {{u"--max-memory=5000", u"--max-process-memory=12289"}, {}, {}},
        // A token that cannot be read is said only when a token restriction depends on it.
        {{u"--job-object"}, {}, {}, [](FakePlatform& f) { f.Fail("OpenProcessToken", 5, 3); }},
        {{u"--low-il"},
         {},
         {u"Warning: could not read back the child's token: 5"},
         [](FakePlatform& f) { f.Fail("OpenProcessToken", 5, 3); }},
    };
    for (const auto& c : cases) {
        for (const bool strict : {false, true}) {
            FakePlatform scenario;
            scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
            scenario.SetOwnGroups({{"S-1-5-32-544", 0xF}});
            for (const Lie lie : c.lies) {
                scenario.Tell(lie);
            }
            c.prepare(scenario);
            std::vector<std::u16string> args = c.options;
            if (strict) {
                args.insert(args.begin(), u"--strict");
            }
            args.insert(args.end(), {u"--", u"seven.exe"});
            SCOPED_TRACE(EncodeUtf8(c.options.front()) + (strict ? " strict" : ""));
            std::vector<std::u16string> expected;
            for (const std::u16string& line : c.lines) {
                expected.push_back(u"[brindle] " + line + u"\n");
            }
            const bool refused = strict && !c.lines.empty();
            if (refused) {
                expected.push_back(
                    u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n");
            }
            EXPECT_EQ(Launch(scenario, args), refused ? 1u : 7u);
            EXPECT_EQ(scenario.ErrorLines(), expected);
            ASSERT_EQ(scenario.Processes().size(), 1u);
            EXPECT_EQ(scenario.Processes()[0].resumed, !refused);
            EXPECT_EQ(scenario.Processes()[0].terminatedWith, refused ? std::optional<UINT>{1} : std::nullopt);
            EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
        }
    }
}

}  // namespace
}  // namespace brindle::testing
