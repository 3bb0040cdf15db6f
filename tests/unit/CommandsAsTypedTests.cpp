// Commands as people type them: a bare program name found as a batch file on PATH, and
// a child that crashed saying so.
#include <nlohmann/json.hpp>

#include <functional>

#include "LaunchScenario.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

constexpr DWORD kFile = FILE_ATTRIBUTE_NORMAL;

struct LookupCase {
    std::string name;
    std::u16string path;  // brindle's PATH
    std::u16string pathext;  // empty: not set
    std::vector<std::pair<std::u16string, DWORD>> entries;  // what stands where
    std::vector<std::u16string> command;
    std::u16string composed;  // empty: nothing is created, and `said` is the last line
    std::u16string said;      // the batch file found, or the line that ends the run
};

TEST(ProgramLookupTest, FindsBatchShimsOnPathButNeverInTheCurrentFolder) {
    // The name found is spelled with PATHEXT's extension, ".CMD" when it is not set.
    const LookupCase cases[] = {
        {"an .exe as before", u"C:\\node", u"", {{u"C:\\node\\npm.CMD", kFile}}, {u"tool", u"x"}, u"tool x", u""},
        {"the second PATH entry", u"C:\\a;;C:\\node\\", u"", {{u"C:\\node\\npm.CMD", kFile}}, {u"npm", u"a b"},
         u"C:\\node\\npm.CMD \"a b\"", u"C:\\node\\npm.CMD"},
        {"PATHEXT's order", u"C:\\node", u".EXE;.cmd;.BAT", {{u"C:\\node\\npm.BAT", kFile}, {u"C:\\node\\npm.cmd", kFile}},
         {u"npm"}, u"C:\\node\\npm.cmd", u"C:\\node\\npm.cmd"},
        {"PATHEXT unset", u"C:\\node", u"", {{u"C:\\node\\npm.BAT", kFile}, {u"C:\\node\\npm.CMD", kFile}}, {u"npm"},
         u"C:\\node\\npm.BAT", u"C:\\node\\npm.BAT"},
        {"a folder named like it, a quoted entry", u"C:\\a;\"C:\\Program Files\\n\"", u"",
         {{u"C:\\a\\npm.CMD", FILE_ATTRIBUTE_DIRECTORY}, {u"C:\\Program Files\\n\\npm.CMD", kFile}}, {u"npm", u"t"},
         u"\"C:\\Program Files\\n\\npm.CMD\" t", u"C:\\Program Files\\n\\npm.CMD"},
        {"a quoted entry holding a ';'", u"\"C:\\Tools;Beta\";C:\\node", u"",
         {{u"C:\\Tools\\npm.CMD", kFile}, {u"C:\\node\\npm.CMD", kFile}}, {u"npm"}, u"C:\\node\\npm.CMD",
         u"C:\\node\\npm.CMD"},
        {"the current folder only", u".;work;C:\\node", u"",
         {{u"npm.CMD", kFile}, {u"work\\npm.CMD", kFile}, {u".\\npm.CMD", kFile}}, {u"npm"}, u"",
         u"[brindle] Program not found: npm\n"},
        // A drive-relative entry names the current folder of that drive: skipped like "work".
        {"a drive-relative entry", u"C:tools", u"", {{u"C:tools\\npm.CMD", kFile}}, {u"npm"}, u"",
         u"[brindle] Program not found: npm\n"},
        {"a refused argument", u"C:\\node", u"", {{u"C:\\node\\npm.CMD", kFile}}, {u"npm", u"%PATH%"}, u"",
         u"[brindle] Cannot pass this argument safely to a batch file: %PATH%\n"},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform scenario;
        scenario.AddProgram(u"tool.exe", FakeProgram{3, false});
        for (const auto& [where, attributes] : c.entries) {
            scenario.AddPath(where, attributes);
            scenario.AddProgram(where, FakeProgram{3, false});
        }
        scenario.SetEnvironmentVariable(u"PATH", c.path);
        if (!c.pathext.empty()) {
            scenario.SetEnvironmentVariable(u"PATHEXT", c.pathext);
        }
        scenario.AddPath(u"C:\\out", FILE_ATTRIBUTE_DIRECTORY);
        std::vector<std::u16string> args{u"--verbose", u"--report=r.json", u"--writable-dir=C:\\out", u"--"};
        args.insert(args.end(), c.command.begin(), c.command.end());
        EXPECT_EQ(Launch(scenario, args), c.composed.empty() ? 1u : 3u);
        const std::vector<std::u16string> lines = scenario.ErrorLines();
        ASSERT_GE(lines.size(), 4u);
        const bool ran = !c.composed.empty();
        const std::u16string granted = u"[brindle] Granted Low IL write to: C:\\out\n";
        EXPECT_EQ(lines[3], c.said.empty() ? granted : ran ? u"[brindle] Program: " + c.said + u"\n" : c.said);
        ASSERT_EQ(scenario.Creations().size(), ran ? 1u : 0u);
        if (!ran) {
            EXPECT_EQ(lines.size(), 4u);
            EXPECT_TRUE(scenario.LabelWrites().empty());
            const nlohmann::json report = nlohmann::json::parse(scenario.Files().at(u"r.json"));
            EXPECT_EQ(report["outcome"], "not started");  // a report, never an earlier run's
            EXPECT_EQ(report["message"], EncodeUtf8(c.said.substr(10, c.said.size() - 11)));
            continue;
        }
        EXPECT_EQ(scenario.Creations()[0].commandLine, c.composed);
        const nlohmann::json report = nlohmann::json::parse(scenario.Files().at(u"r.json"));
        EXPECT_EQ(report["command"], std::string(c.composed.begin(), c.composed.end()));
        EXPECT_EQ(report["program"],
                  c.said.empty() ? nlohmann::json() : nlohmann::json(std::string(c.said.begin(), c.said.end())));
    }
}

TEST(CrashStatusTest, AStatusThatIsAnErrorIsNamedAfterTheExitLine) {
    const std::pair<DWORD, std::u16string> cases[] = {
        {0xC0000005, u"0xC0000005 (access violation)"}, {0xC0000022, u"0xC0000022 (access denied)"},
        {0xC0000135, u"0xC0000135 (a DLL was not found)"}, {0xC00000FD, u"0xC00000FD (stack overflow)"},
        {0xC000013A, u"0xC000013A (interrupted)"},       {0xC0000409, u"0xC0000409 (stack buffer overrun)"},
        {0xC0000000, u"0xC0000000"},                     {0xFFFFFFFE, u"0xFFFFFFFE"},
        {0xDEADBEEF, u"0xDEADBEEF"},                     {0xBFFFFFFF, u""},
        {0xFFFFFFFF, u""},                               {1816, u""},
    };
    for (const auto& [code, status] : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"crash.exe", FakeProgram{code, false});
        EXPECT_EQ(Launch(scenario, {u"--verbose", u"--report=r.json", u"--", u"crash.exe"}), code);
        std::vector<std::u16string> lines = scenario.ErrorLines();
        ASSERT_GE(lines.size(), 5u);
        // A child that ended itself with the interrupt's status crashed: brindle did not end it.
        const nlohmann::json report = nlohmann::json::parse(scenario.Files().at(u"r.json"));
        EXPECT_EQ(report["outcome"], status.empty() ? "exited" : "crashed");
        EXPECT_EQ(report["childExitCode"], code);
        if (!status.empty()) {
            EXPECT_EQ(lines.back(), u"[brindle] The command ended with status " + status + u"\n");
            EXPECT_EQ(report["message"], "The command ended with status " + EncodeUtf8(status));
            lines.pop_back();
        }
        EXPECT_EQ(lines.back(), u"[brindle] Child process exited with code " + Decimal(code) + u"\n");
    }
}

}  // namespace
}  // namespace brindle::testing
