// --check: the table, the report and the exit status made from what the probes found.
// The probes attack a real machine and are proven end to end; here a stand-in for the
// machine says what they found.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "LaunchScenario.h"
#include "check/MachineCheck.h"
#include "version.h"

namespace brindle {
namespace {
MachineFacts machineFacts;
std::vector<ProbeOutcome> probeOutcomes;
}  // namespace

MachineFacts ReadMachineFacts() { return machineFacts; }
std::vector<ProbeOutcome> RunProbes() { return probeOutcomes; }

namespace testing {
namespace {

using Json = nlohmann::json;

const ProbeSpec& Probe(std::u16string_view name) {
    for (const ProbeSpec& probe : kProbes) {
        if (probe.name == name) {
            return probe;
        }
    }
    ADD_FAILURE() << "no such probe";
    return kProbes[0];
}

TEST(CheckTest, TheTableTheReportAndTheStatusSayWhatHolds) {
    const std::u16string version = u"" BRINDLE_VERSION_TEXT;
    const struct {
        MachineFacts facts;
        std::vector<ProbeOutcome> outcomes;
        std::u16string table;
        DWORD status;
        Json checks;
    } cases[] = {
        {{10, 0, 22631, false, std::nullopt},
         {{&Probe(u"own-token"), ResultOfStatus(Probe(u"own-token"), 10), u"OpenProcessToken failed: 5"},
          {&Probe(u"network"), ResultOfStatus(Probe(u"network"), 11), u"connected to 127.0.0.1:5000"}},
         u"brindle " + version + u" check on Windows 10.0.22631\n"
         u"own-token         holds           OpenProcessToken failed: 5\n"
         u"network           allowed         connected to 127.0.0.1:5000\n",
         0,
         Json::parse(R"([{"name": "own-token", "options": "--restricted-token", "result": "holds",
                          "evidence": "OpenProcessToken failed: 5"},
                         {"name": "network", "options": "--low-il --restricted-token --job-object",
                          "result": "allowed", "evidence": "connected to 127.0.0.1:5000"}])")},
        {{6, 1, 7601, true, u"8.0"},
         {{&Probe(u"low-integrity"), ResultOfStatus(Probe(u"low-integrity"), 11), u"created x"},
          {&Probe(u"private-console"), ResultOfStatus(Probe(u"private-console"), 1), u"no console"},
          {&Probe(u"reads"), ResultOfStatus(Probe(u"reads"), 10), u"CreateFileW failed: 5"}},
         u"brindle " + version + u" check on Windows 6.1.7601 (elevated) (Wine 8.0)\n"
         u"low-integrity     does not hold   created x\n"
         u"private-console   not tried       no console\n"
         u"reads             refused         CreateFileW failed: 5\n",
         1,
         Json::parse(R"([{"name": "low-integrity", "options": "--low-il", "result": "does not hold",
                          "evidence": "created x"},
                         {"name": "private-console", "options": "--strict --private-console",
                          "result": "not tried", "evidence": "no console"},
                         {"name": "reads", "options": "--low-il --restricted-token", "result": "refused",
                          "evidence": "CreateFileW failed: 5"}])")},
        // A protection that could not be tried does not fail the check.
        {{10, 0, 1, false, std::nullopt},
         {{&Probe(u"job-end"), ResultOfStatus(Probe(u"job-end"), 12), u"e"}},
         u"brindle " + version + u" check on Windows 10.0.1\njob-end           not tried       e\n",
         0,
         Json::parse(R"([{"name": "job-end", "options": "--job-object --timeout=2", "result": "not tried",
                          "evidence": "e"}])")},
    };
    for (const auto& c : cases) {
        machineFacts = c.facts;
        probeOutcomes = c.outcomes;
        // --check ends the parse: no other option is read, but a report asked for on either
        // side of it is the check's.
        for (const std::vector<std::u16string>& arguments :
             {std::vector<std::u16string>{u"--verbose", u"--report=c.json", u"--check", u"--bogus"},
              {u"--report=old.json", u"--check", u"--bogus", u"--report=c.json", u"--", u"--report=x.json"}}) {
            FakePlatform fake;
            EXPECT_EQ(Launch(fake, arguments), c.status);
            EXPECT_EQ(fake.StandardOutput(), c.table);
            EXPECT_EQ(fake.StandardError(), u"");
            const Json report = Json::parse(fake.Files().at(u"c.json"));
            EXPECT_EQ(report["brindle"], BRINDLE_VERSION_TEXT);
            EXPECT_EQ(report["windows"], std::to_string(c.facts.major) + "." + std::to_string(c.facts.minor) + "." +
                                             std::to_string(c.facts.build));
            EXPECT_EQ(report["wine"], c.facts.wine ? Json("8.0") : Json(nullptr));
            EXPECT_EQ(report["elevated"], c.facts.elevated);
            EXPECT_EQ(report["checks"], c.checks);
            EXPECT_EQ(fake.Files().size(), 1u);
            EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
        }
    }
}

}  // namespace
}  // namespace testing
}  // namespace brindle
