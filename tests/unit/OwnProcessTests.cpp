// What a hostile child could reach around the reductions, closed: brindle's own process
// and thread, an elevated caller's High-integrity child, and a stale or forgeable report.
#include <nlohmann/json.hpp>

#include <cstring>
#include <tuple>

#include "LaunchScenario.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

using Json = nlohmann::json;
using OwnProcessTest = LaunchScenario;

const std::u16string kStrict =
    u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n";

std::string Allowed(DWORD mask, const std::string& sid) { return "0 " + std::to_string(mask) + " " + sid; }

// Each entry of an ACL in the form of Allowed: type, mask, SID.
std::vector<std::string> Entries(const std::vector<BYTE>& acl) {
    std::vector<std::string> entries;
    std::size_t offset = sizeof(ACL);
    for (BYTE i = 0; i < acl[4] && offset + 12 <= acl.size(); ++i) {
        DWORD mask = 0;
        std::memcpy(&mask, acl.data() + offset + 4, sizeof(mask));
        entries.push_back(std::to_string(acl[offset]) + " " + std::to_string(mask) + " " + SidText(&acl[offset + 8]));
        offset += acl[offset + 2] | acl[offset + 3] << 8;
    }
    return entries;
}

TEST_F(OwnProcessTest, TheProcessAndItsThreadKeepOnlyWaitQueryAndEndForTheUser) {
    EXPECT_EQ(Run({u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(fake.StandardError(), u"");
    const auto dacl = [](DWORD userRights) {
        return std::vector<std::string>{Allowed(userRights, "S-1-3-4"), Allowed(userRights, FakePlatform::kUserSid),
                                        Allowed(0x1FFFFF, "S-1-5-18")};
    };
    ASSERT_EQ(fake.Dacls().size(), 2u);
    EXPECT_EQ(Entries(fake.Dacls().at(FakePlatform::kCurrentProcess)), dacl(0x101401));
    EXPECT_EQ(Entries(fake.Dacls().at(FakePlatform::kCurrentThread)), dacl(0x100800));
    // The user comes from a token opened only to query it, closed before the launch goes on.
    ASSERT_NE(fake.FindToken("query token"), nullptr);
    EXPECT_EQ(fake.FindToken("query token")->openedWithAccess, TOKEN_QUERY);
    ASSERT_FALSE(fake.CloseOrder().empty());
    EXPECT_EQ(fake.CloseOrder().front(), "query token");
}

// A child with fewer rights may still query brindle, which is enough to open its token and
// impersonate it: once the child is created with a reduced token, and right before it is
// resumed, the token is closed to all but SYSTEM. A child with brindle's own rights gains
// nothing from it, and the token stays as it is.
TEST(OwnTokenTest, IsClosedToAReducedChildRightBeforeItRunsOrUnderStrictItNeverRuns) {
    for (const std::u16string option : {u"--restricted-token", u"--low-il", u"--job-object"}) {
        for (const bool fails : {false, true}) {
            SCOPED_TRACE(EncodeUtf8(option) + (fails ? " failing" : ""));
            FakePlatform scenario;
            scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
            const bool reduced = option != u"--job-object";
            if (fails) {
                scenario.Fail("SetSecurityInfo", ERROR_ACCESS_DENIED, 3);
            }
            EXPECT_EQ(Launch(scenario, {u"--strict", u"--report=r.json", option, u"--", u"seven.exe"}),
                      reduced && fails ? 1u : 7u);
            const FakePlatform::Token* token = scenario.FindToken("token to close");
            ASSERT_EQ(token != nullptr, reduced);
            if (!reduced) {
                continue;
            }
            EXPECT_EQ(token->openedWithAccess, READ_CONTROL | WRITE_DAC);
            if (!fails) {
                EXPECT_EQ(Entries(token->dacl),
                          (std::vector<std::string>{Allowed(READ_CONTROL, "S-1-3-4"),
                                                    Allowed(TOKEN_QUERY, FakePlatform::kUserSid),
                                                    Allowed(TOKEN_ALL_ACCESS, "S-1-5-18")}));
                const std::vector<std::string>& calls = scenario.Calls();
                const auto set = std::find(calls.rbegin(), calls.rend(), "SetSecurityInfo");
                // Nothing but the token's own close between it and the resume.
                EXPECT_EQ(*std::prev(set), "CloseHandle(token to close)");
                EXPECT_EQ(*std::prev(set, 2), "ResumeThread");
                continue;
            }
            EXPECT_EQ(scenario.ErrorLines(),
                      (std::vector<std::u16string>{u"[brindle] Warning: could not protect brindle's own process: 5\n",
                                                   kStrict}));
            ASSERT_EQ(scenario.Processes().size(), 1u);
            EXPECT_FALSE(scenario.Processes()[0].resumed);
            const Json report = Json::parse(scenario.Files().at(u"r.json"));
            EXPECT_EQ(report["restrictions"]["ownProcess"]["error"], 5);
            EXPECT_EQ(report["outcome"], "refused");
            EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
        }
    }
}

TEST(OwnProcessFailureTest, IsAWarningOrUnderStrictARefusalAndTheReportSaysWhy) {
    // The failing call, and how many DACLs are written all the same: the thread's is
    // written even when the process's fails. The relay threads get the thread's DACL
    // whole, or none: never one left half built (AddAccessAllowedAce #5).
    const std::tuple<std::string, int, std::size_t> failures[] = {
        {"OpenProcessToken", 1, 0},    {"GetTokenInformation", 2, 0}, {"CreateWellKnownSid", 2, 0},
        {"AddAccessAllowedAce", 2, 1}, {"AddAccessAllowedAce", 5, 1}, {"SetSecurityInfo", 1, 1},
        {"SetSecurityInfo", 2, 1}};
    for (const auto& [operation, call, daclsWritten] : failures) {
        for (const bool strict : {false, true}) {
            SCOPED_TRACE(operation + "#" + std::to_string(call) + (strict ? " strict" : ""));
            FakePlatform scenario;
            scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
            scenario.Fail(operation, ERROR_ACCESS_DENIED, call);
            std::vector<std::u16string> args{u"--report=r.json", u"--private-console", u"--", u"seven.exe"};
            std::vector<std::u16string> lines{u"[brindle] Warning: could not protect brindle's own process: 5\n"};
            if (strict) {
                args.insert(args.begin(), u"--strict");
                lines.push_back(kStrict);
            }
            EXPECT_EQ(Launch(scenario, args), strict ? 1u : 7u);
            EXPECT_EQ(scenario.ErrorLines(), lines);
            EXPECT_EQ(scenario.Dacls().size(), daclsWritten);
            for (const std::vector<BYTE>& dacl : scenario.ThreadDacls()) {
                ACL header{};
                if (!dacl.empty()) {
                    std::memcpy(&header, dacl.data(), sizeof(header));
                }
                EXPECT_TRUE(dacl.empty() || header.AceCount == 3) << header.AceCount << " entries";
            }
            EXPECT_EQ(scenario.Processes().size(), strict ? 0u : 1u);
            const Json report = Json::parse(scenario.Files().at(u"r.json"));
            EXPECT_EQ(report["outcome"], strict ? "refused" : "exited");
            EXPECT_EQ(report["restrictions"]["ownProcess"], (Json{{"requested", true}, {"applied", false}, {"error", 5}, {"verified", nullptr}}));
            EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
        }
    }
}

TEST(ElevatedCallerTest, IsWarnedAfterTheTokenStepsOfWhatARestrictedTokenAloneLeaves) {
    const struct {
        std::u16string option;  // besides --restricted-token
        bool elevated;
        int failingQuery;  // 1, 2: brindle's user; 3, 4: the groups; 5: the elevation
        bool warned;
    } cases[] = {{u"--verbose", true, 0, true}, {u"--low-il", true, 0, false}, {u"--verbose", false, 0, false},
                 {u"--verbose", true, 5, false}};
    for (const auto& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.SetElevated(c.elevated);
        scenario.Fail("GetTokenInformation", ERROR_ACCESS_DENIED, c.failingQuery);
        EXPECT_EQ(Launch(scenario, {c.option, u"--restricted-token", u"--", u"seven.exe"}), 7u);
        const std::vector<std::u16string> lines = scenario.ErrorLines();
        const bool warned = lines.size() > 5 && lines[4] ==  // after the summary and the token line
            u"[brindle] Warning: the child of an elevated caller stays at High integrity without --low-il\n";
        EXPECT_EQ(warned, c.warned);
        EXPECT_EQ(lines.size(), c.option == u"--low-il" ? 0u : warned ? 8u : 7u);
    }
}

// The first report is in place before the launch touches anything, so that a brindle
// ended early leaves "running", never an earlier run's report.
TEST_F(OwnProcessTest, AReportSaysRunningBeforeTheLaunchBegins) {
    fake.AddFile(u"r.json", "an earlier run's report");
    EXPECT_EQ(Run({u"--report=r.json", u"--restricted-token", u"--", u"seven.exe"}), 7u);
    ASSERT_EQ(fake.Moves().size(), 2u);
    const auto firstMove = std::find(fake.Calls().begin(), fake.Calls().end(), "MoveFileExW");
    EXPECT_EQ(std::count(fake.Calls().begin(), firstMove, "OpenProcessToken"), 1);  // the protection's only
    const Json running = Json::parse(fake.Moves()[0].bytes);
    for (const char* key : {"exitCode", "childExitCode", "childToken", "job"}) {
        EXPECT_EQ(running[key], nullptr) << key;
    }
    EXPECT_EQ(running["outcome"], "running");
    EXPECT_EQ(running["restrictions"]["restrictedToken"], (Json{{"requested", true}, {"applied", false}, {"error", nullptr}, {"verified", nullptr}}));
    EXPECT_EQ(running["restrictions"]["ownProcess"], running["restrictions"]["restrictedToken"]);
    EXPECT_EQ(Json::parse(fake.Files().at(u"r.json"))["restrictions"]["ownProcess"]["applied"], true);
}

TEST(ReportPlacementTest, AReportInsideAWritableDirectoryIsWarnedOf) {
    const struct {
        std::u16string report;
        std::u16string directory;
        bool warned;
    } cases[] = {
        {u"C:\\out\\r.json", u"C:\\out", true},
        {u"C:\\out\\deep\\r.json", u"c:/OUT/", true},
        {u"r.json", u"C:\\work", true},  // the fake's current folder
        {u"C:\\Program Files\\out\\r.json", u"C:\\PROGRA~1\\out", true},
        {u"C:\\outside\\r.json", u"C:\\out", false},  // whole folder names only
        {u"C:\\gone\\r.json", u"C:\\gone", false},    // nothing was made writable
        // The same folder under another name.
        {u"\\\\?\\C:\\out\\r.json", u"C:\\out", true},
        {u"C:\\link\\deep\\r.json", u"C:\\out", true},  // a junction to it
        {u"S:\\r.json", u"C:\\out", true},               // a substituted drive
        {u"C:\\inner\\r.json", u"C:\\out", true},       // a junction to a folder inside it
        {u"T:\\r.json", u"C:\\out", true},               // a drive substituted for a folder inside it
        {u"C:\\work\\r.json", u"C:\\work\\out", false},  // above it, not inside
        {u"C:\\elsewhere\\r.json", u"C:\\work", false},  // not under "C:", the drive's current folder
    };
    for (const auto& c : cases) {
        for (const bool oldFileSystem : {false, true}) {
            SCOPED_TRACE(EncodeUtf8(c.report) + (oldFileSystem ? " without FileIdInfo" : ""));
            FakePlatform scenario;
            for (int call = 1; oldFileSystem && call <= 10; ++call) {
                scenario.Fail("GetFileInformationByHandleEx", ERROR_INVALID_PARAMETER, call);
            }
            scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
            if (c.directory != u"C:\\gone") {
                scenario.AddPath(c.directory, FILE_ATTRIBUTE_DIRECTORY);
            }
            scenario.AddShortName(u"C:\\PROGRA~1", u"C:\\Program Files");
            scenario.AddLink(u"C:\\link", u"C:\\out");
            scenario.AddLink(u"S:", u"C:\\out");
            scenario.AddPath(u"C:\\out\\reports", FILE_ATTRIBUTE_DIRECTORY);
            scenario.AddLink(u"C:\\inner", u"C:\\out\\reports");
            scenario.AddLink(u"T:", u"C:\\out\\reports");
            scenario.AddPath(u"C:\\elsewhere", FILE_ATTRIBUTE_DIRECTORY);
            scenario.AddPath(u"C:\\work", FILE_ATTRIBUTE_DIRECTORY);
            const std::vector<std::u16string> args{u"--report=" + c.report, u"--writable-dir=" + c.directory, u"--",
                                                   u"seven.exe"};
            EXPECT_EQ(Launch(scenario, args), 7u);
            EXPECT_EQ(scenario.StandardError().find(u"[brindle] Warning: the report is inside a writable directory, "
                                                    u"where the command can change it\n") != std::u16string::npos,
                      c.warned);
        }
    }
}

}  // namespace
}  // namespace brindle::testing
