// The scratch folder: a fresh TEMP for the child, deleted after the run without ever
// following a link that the child (or any process of the user) put in it.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>

#include "LaunchScenario.h"
#include "platform/Text.h"

namespace brindle::testing {
namespace {

const std::u16string kTempScratch = FakePlatform::kTempFolder + u"brindle-4242-0";
const std::u16string kLowScratch = FakePlatform::kLocalLowFolder + u"\\brindle-4242-0";
const std::u16string kDocuments = u"C:\\Users\\user\\Documents";
const std::u16string kPrecious = kDocuments + u"\\b\\precious.txt";
const std::u16string kShare = u"\\\\server\\share\\Temp";

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// A command that fills its TEMP the way tools do, and plants a junction to the user's
// documents in it.
FakeProgram FillsItsTemp() {
    FakeProgram program{0, false};
    program.leavesInTemp = {{u"cache", FILE_ATTRIBUTE_DIRECTORY},
                            {u"cache\\deep", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY},
                            {u"cache\\deep\\ro.txt", FILE_ATTRIBUTE_READONLY},
                            {u"cache\\docs", 0, kDocuments},
                            {u"a", FILE_ATTRIBUTE_DIRECTORY},
                            {u"a\\b", FILE_ATTRIBUTE_DIRECTORY},
                            {u"a\\b\\f.txt"},
                            {u"a\\" + std::u16string(250, u'x')}};  // past MAX_PATH
    return program;
}

struct ScratchCase {
    std::string name;
    std::vector<std::u16string> options;
    std::u16string folder;                          // the folder the child gets
    std::function<void(FakePlatform&)> arrange;     // what else stands or happens
    std::u16string warning;                         // the last line, when the removal fails
    bool readOnlyLeft = false;                      // the read-only file and the folders above it stay
};

TEST(ScratchTest, TheChildGetsAFreshTempThatIsDeletedWithoutFollowingLinks) {
    const std::u16string taken = FakePlatform::kTempFolder + u"brindle-4242-0";
    const ScratchCase cases[] = {
        {"in brindle's TEMP, after the job", {u"--job-object", u"--restricted-token"}, kTempScratch, nullptr, u""},
        {"in LocalLow for a Low child", {u"--low-il"}, kLowScratch, nullptr, u""},
        // Any Low process may write in LocalLow: a child whose label did not take is not sent there.
        {"in brindle's TEMP for a Low child that reads back High", {u"--low-il"}, kTempScratch,
         [](FakePlatform& f) { f.Tell(FakePlatform::Lie::Token); }, u""},
        {"past a link planted at the first name", {}, FakePlatform::kTempFolder + u"brindle-4242-1",
         [&](FakePlatform& f) { f.AddLink(taken, kDocuments); }, u""},
        {"past a folder being deleted at the first name", {}, FakePlatform::kTempFolder + u"brindle-4242-1",
         [](FakePlatform& f) { f.Fail("NtCreateFile", static_cast<DWORD>(kStatusDeletePending)); }, u""},
        {"under a TEMP on a share", {}, kShare + u"\\brindle-4242-0",
         [](FakePlatform& f) {
             f.SetEnvironmentVariable(u"TMP", kShare);
             f.AddPath(kShare, FILE_ATTRIBUTE_DIRECTORY);
         },
         u""},
        {"a rename of the folder as soon as it is made", {}, kTempScratch,
         [](FakePlatform& f) { f.SwapForLinkWhenOpened(kTempScratch, kTempScratch, kDocuments); }, u""},
        {"TMP set on the command line wins", {u"--set-env=TMP=C:\\t"}, kTempScratch, nullptr, u""},
        {"a rename of the folder while the command runs", {}, kTempScratch,
         [](FakePlatform& f) { f.SwapForLinkWhenOpened(u"r.json.4242.tmp", kTempScratch, kDocuments, 1); }, u""},
        {"a folder on the way swapped for a link", {}, kTempScratch,
         [](FakePlatform& f) { f.SwapForLinkWhenOpened(kTempScratch + u"\\a\\b", kTempScratch + u"\\a", kDocuments); },
         u""},
        // A folder already entered cannot be renamed, but it can be made a link: the names still
        // to delete in it are looked up in the folder as it was opened, never through the link.
        {"a folder on the way made a link in place", {}, kTempScratch,
         [](FakePlatform& f) {
             f.LinkInPlaceWhenOpened(kTempScratch + u"\\a\\" + std::u16string(250, u'x'), kTempScratch + u"\\a",
                                     kDocuments);
         },
         u""},
        {"a file in use for a second", {}, kTempScratch,
         [](FakePlatform& f) { f.HoldOpenElsewhere(kTempScratch + u"\\a\\b\\f.txt", f.GetTickCount64() + 1000); },
         u""},
        // Deleted as it is: its other name, outside the folder, keeps its read-only attribute.
        {"a read-only file with another name", {}, kTempScratch,
         [](FakePlatform& f) { f.SetHardLinks(kTempScratch + u"\\cache\\deep\\ro.txt", 2); }, u""},
        // Where that cannot be done, the attribute is cleared first, for a file of one name only.
        {"an older file system", {}, kTempScratch, [](FakePlatform& f) { f.RefuseDispositionEx(); }, u""},
        {"an older file system and a read-only file with another name", {}, kTempScratch,
         [](FakePlatform& f) {
             f.RefuseDispositionEx();
             f.SetHardLinks(kTempScratch + u"\\cache\\deep\\ro.txt", 2);
         },
         u"[brindle] Warning: could not remove the scratch folder " + kTempScratch + u": 5\n", true},
        {"a file in use for good", {}, kTempScratch,
         [](FakePlatform& f) { f.HoldOpenElsewhere(kTempScratch + u"\\a\\b\\f.txt", ~ULONGLONG{0}); },
         u"[brindle] Warning: could not remove the scratch folder " + kTempScratch + u": 32\n"},
    };
    for (const ScratchCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        fake.AddProgram(u"tool.exe", FillsItsTemp());
        for (const std::u16string& path : {kDocuments, kDocuments + u"\\b"}) {
            fake.AddPath(path, FILE_ATTRIBUTE_DIRECTORY);
        }
        fake.AddPath(kPrecious, FILE_ATTRIBUTE_NORMAL);
        if (c.arrange) {
            c.arrange(fake);
        }
        std::vector<std::u16string> args{u"--verbose", u"--scratch", u"--report=r.json"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {u"--", u"tool.exe"});
        EXPECT_EQ(Launch(fake, args), 0u);

        const std::vector<std::u16string> lines = fake.ErrorLines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), u"[brindle] Scratch folder: " + c.folder + u"\n"), lines.end());
        ASSERT_EQ(fake.Creations().size(), 1u);
        const std::u16string& block = fake.Creations()[0].environment;
        // One TEMP and one TMP, whatever the command line sets.
        const std::u16string entries = u'\0' + block;
        for (const std::u16string name : {u"TEMP=", u"TMP="}) {
            const std::size_t first = entries.find(u'\0' + name);
            EXPECT_NE(first, std::u16string::npos);
            EXPECT_EQ(entries.find(u'\0' + name, first + 1), std::u16string::npos) << EncodeUtf8(name);
        }
        EXPECT_NE(block.find(u"TEMP=" + c.folder + u'\0'), std::u16string::npos);
        EXPECT_NE(block.find(u"TMP=" + (c.options == std::vector<std::u16string>{u"--set-env=TMP=C:\\t"} ? u"C:\\t" : c.folder) + u'\0'),
                  std::u16string::npos);
        EXPECT_FALSE(fake.Swapped());
        // Made and held in one step by the handle that deletes it, and never opened by name.
        std::vector<FakePlatform::FileOpen> opens;
        std::copy_if(fake.FileOpens().begin(), fake.FileOpens().end(), std::back_inserter(opens),
                     [&](const FakePlatform::FileOpen& open) { return open.resolved == c.folder; });
        ASSERT_EQ(opens.size(), 1u);
        const bool share = c.folder.rfind(u"\\\\", 0) == 0;
        EXPECT_EQ(opens[0].path, (share ? u"\\??\\UNC\\" : u"\\??\\") + c.folder.substr(share ? 2 : 0));
        EXPECT_EQ(opens[0].access, DWORD{FILE_LIST_DIRECTORY | DELETE | SYNCHRONIZE});
        EXPECT_EQ(opens[0].shareMode, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
        EXPECT_EQ(opens[0].disposition, DWORD{FILE_CREATE});
        EXPECT_EQ(opens[0].flags, DWORD{FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT});
        EXPECT_TRUE(fake.Exists(kPrecious) && fake.Exists(kDocuments + u"\\b"));
        EXPECT_EQ(fake.Exists(c.folder), !c.warning.empty());
        EXPECT_EQ(fake.Exists(c.folder + u"\\cache\\deep\\ro.txt"), c.readOnlyLeft);
        if (c.readOnlyLeft) {
            EXPECT_EQ(fake.Attributes(c.folder + u"\\cache\\deep\\ro.txt"), DWORD{FILE_ATTRIBUTE_READONLY});
        }
        EXPECT_EQ(lines.back(), c.warning.empty() ? u"[brindle] Child process exited with code 0\n" : c.warning);
        if (c.name.find("link planted") != std::string::npos) {
            EXPECT_TRUE(fake.Exists(taken));
        }
        // Deleted only once the job has ended what ran in it.
        const std::vector<std::string>& calls = fake.Calls();
        const auto firstDeletion = std::find(calls.begin(), calls.end(), "SetFileInformationByHandle");
        EXPECT_EQ(std::find(firstDeletion, calls.end(), "CloseHandle(job)"), calls.end());
        // A brindle ended while the command runs leaves a report that names the folder.
        ASSERT_EQ(fake.Moves().size(), 3u);
        const nlohmann::json running = nlohmann::json::parse(fake.Moves()[1].bytes);
        EXPECT_EQ(running["outcome"], "running");
        EXPECT_EQ(running["scratch"], Narrow(c.folder));
        EXPECT_FALSE(running["restrictions"]["ownProcess"]["applied"]);
        EXPECT_FALSE(running["restrictions"]["scratch"]["applied"]);  // not until the child has it
        const nlohmann::json report = nlohmann::json::parse(fake.Files().at(u"r.json"));
        EXPECT_EQ(report["scratch"], Narrow(c.folder));
        EXPECT_EQ(report["scratchRemoved"], c.warning.empty());
        EXPECT_EQ(report["restrictions"]["scratch"], (nlohmann::json{{"requested", true}, {"applied", true}, {"error", nullptr}, {"verified", nullptr}}));
        EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
    }
}

struct FailureCase {
    std::string operation;  // fails at its call-th call
    int call;
    DWORD error;
    std::vector<std::u16string> options;
    std::u16string line;  // the failure's line
    DWORD reported = 0;   // the error the report gives, when not the call's own (an NTSTATUS)
};

TEST(ScratchFailureTest, IsSaidAndTheChildKeepsItsTempOrUnderStrictDoesNotRun) {
    const std::u16string created = u"[brindle] Could not create the scratch folder: ";
    const FailureCase cases[] = {
        {"GetTempPathW", 1, 5, {}, created + u"5\n"},
        {"SHGetKnownFolderPath", 1, 5, {u"--low-il"}, created + u"5\n"},  // E_ACCESSDENIED, as its Win32 code
        {"NtCreateFile", 1, 0xC0000022, {}, created + u"5\n", 5},  // STATUS_ACCESS_DENIED, as its Win32 code
        {"GetEnvironmentStringsW", 1, 8, {}, u"[brindle] GetEnvironmentStrings failed: 8\n"},
    };
    for (const FailureCase& c : cases) {
        for (const bool strict : {false, true}) {
            SCOPED_TRACE(c.operation + (strict ? " under --strict" : ""));
            FakePlatform fake;
            fake.AddProgram(u"tool.exe", FakeProgram{0, false});
            fake.AddPath(kDocuments, FILE_ATTRIBUTE_DIRECTORY);
            fake.AddPath(kPrecious, FILE_ATTRIBUTE_NORMAL);
            fake.Fail(c.operation, c.error, c.call);
            std::vector<std::u16string> args{u"--scratch", u"--report=r.json"};
            args.insert(args.end(), c.options.begin(), c.options.end());
            if (strict) {
                args.push_back(u"--strict");
            }
            args.insert(args.end(), {u"--", u"tool.exe"});
            EXPECT_EQ(Launch(fake, args), strict ? 1u : 0u);
            const std::vector<std::u16string> lines = fake.ErrorLines();
            EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end());
            ASSERT_EQ(fake.Creations().size(), strict ? 0u : 1u);
            if (!strict) {
                EXPECT_FALSE(fake.Creations()[0].environmentGiven);  // the child keeps brindle's TEMP
            }
            EXPECT_FALSE(fake.Exists(kTempScratch));  // a folder made is removed again
            EXPECT_TRUE(fake.Exists(kPrecious));
            const nlohmann::json report = nlohmann::json::parse(fake.Files().at(u"r.json"));
            EXPECT_EQ(report["restrictions"]["scratch"],
                      (nlohmann::json{{"requested", true}, {"applied", false}, {"error", c.reported ? c.reported : c.error}, {"verified", nullptr}}));
            EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
        }
    }
}

}  // namespace
}  // namespace brindle::testing
