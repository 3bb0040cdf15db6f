#include <cstring>

#include "LaunchScenario.h"
#include "dirs/GrantWritableDirs.h"

namespace brindle::testing {
namespace {

using WritableDirTest = LaunchScenario;

constexpr DWORD kDirectory = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kPlainFile = 0x20;  // FILE_ATTRIBUTE_ARCHIVE

std::u16string Warning(const std::u16string& path) {
    return u"[brindle] Warning: Failed to grant Low IL write to: " + path + u"\n";
}

std::vector<std::u16string> LabelledPaths(const FakePlatform& fake) {
    std::vector<std::u16string> paths;
    for (const auto& write : fake.LabelWrites()) {
        paths.push_back(write.path);
    }
    return paths;
}

TEST_F(WritableDirTest, TheLabelIsOneInheritableMandatoryLowEntryAndNothingElseIsWritten) {
    fake.AddPath(u"C:\\out", kDirectory);
    EXPECT_EQ(Run({u"--verbose", u"--writable-dir=C:\\out", u"--", u"child.exe"}), 0u);
    ASSERT_GE(Lines().size(), 4u);
    EXPECT_EQ(Lines()[3], u"[brindle] Granted Low IL write to: C:\\out\n");

    ASSERT_EQ(fake.LabelWrites().size(), 1u);
    const FakePlatform::LabelWrite& write = fake.LabelWrites()[0];
    EXPECT_EQ(write.path, u"C:\\out");
    EXPECT_EQ(write.objectType, SE_FILE_OBJECT);
    EXPECT_EQ(write.securityInfo, 0x10u);  // the label only
    EXPECT_FALSE(write.ownerGiven);
    EXPECT_FALSE(write.groupGiven);
    EXPECT_FALSE(write.daclGiven);

    // Header: revision 2, size 28 (8 header + 8 entry + 12 SID, nothing spare), one entry.
    const std::vector<BYTE>& acl = write.sacl;
    ASSERT_EQ(acl.size(), 28u);
    EXPECT_EQ(acl[0], 2);
    EXPECT_EQ(acl[2] | acl[3] << 8, 28);
    EXPECT_EQ(acl[4] | acl[5] << 8, 1);
    // The entry: SYSTEM_MANDATORY_LABEL_ACE_TYPE, object and container inherit, 20 bytes, policy 4, Low SID.
    EXPECT_EQ(acl[8], 0x11);
    EXPECT_EQ(acl[9], 0x03);
    EXPECT_EQ(acl[10] | acl[11] << 8, 20);
    DWORD mask = 0;
    std::memcpy(&mask, acl.data() + 12, sizeof(mask));
    EXPECT_EQ(mask, 4u);
    EXPECT_EQ(SidText(acl.data() + 16), "S-1-16-4096");
}

TEST_F(WritableDirTest, EachFailureHasItsMessageThenTheWarningAndTheChildStillRuns) {
    struct Case {
        std::string operation;
        DWORD error;
        std::u16string message;
    };
    const Case cases[] = {
        {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY,
         u"[brindle] AllocateAndInitializeSid failed for Low IL: 8\n"},
        // These codes come from the failed call itself, not from the SID release after it.
        {"InitializeAcl", ERROR_INVALID_PARAMETER, u"[brindle] InitializeAcl failed: 87\n"},
        {"AddMandatoryAce", ERROR_INVALID_PARAMETER, u"[brindle] AddMandatoryAce failed: 87\n"},
        {"SetNamedSecurityInfoW", ERROR_ACCESS_DENIED, u"[brindle] SetNamedSecurityInfo failed for 'D:\\x': 5\n"},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.AddPath(u"D:\\x", kDirectory);
        scenario.Fail(c.operation, c.error);
        const std::u16string args[] = {u"brindle.exe", u"--writable-dir=D:\\x", u"--", u"seven.exe"};
        const char16_t* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str()};
        EXPECT_EQ(LauncherMain(4, argv, scenario), 7u);
        EXPECT_EQ(scenario.ErrorLines(), (std::vector<std::u16string>{c.message, Warning(u"D:\\x")}));
        EXPECT_TRUE(scenario.LabelWrites().empty());
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{}) << c.operation;
    }
}

TEST_F(WritableDirTest, PathsThatAreNotDirectoriesAreReportedAsTheVerbosityAsks) {
    fake.AddPath(u"C:\\file.txt", kPlainFile);
    EXPECT_EQ(Run({u"--writable-dir=C:\\file.txt", u"--writable-dir=C:\\missing", u"--writable-dir=", u"--",
                   u"child.exe"}),
              0u);
    EXPECT_EQ(Lines(), (std::vector<std::u16string>{
                           u"[brindle] GrantLowIntegrityWrite: not a directory: C:\\file.txt\n",
                           Warning(u"C:\\file.txt"), Warning(u"C:\\missing"), Warning(u"")}));
    EXPECT_EQ(fake.CountCalls("GetFileAttributesW"), 2u);  // an empty path is not looked at
}

TEST_F(WritableDirTest, AMissingDirectoryIsNamedOnlyInVerboseMode) {
    Run({u"--verbose", u"--writable-dir=C:\\missing", u"--", u"child.exe"});
    const std::vector<std::u16string> lines = Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[3], u"[brindle] GrantLowIntegrityWrite: directory does not exist: C:\\missing\n");
    EXPECT_EQ(lines[4], Warning(u"C:\\missing"));
}

TEST_F(WritableDirTest, BothSourcesAreGrantedInOrderWithDuplicatesAndOnlyCommandLineEntriesCounted) {
    for (const char16_t* path : {u"C:\\a", u"C:\\b", u" C:\\a"}) {
        fake.AddPath(path, kDirectory);
    }
    fake.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", u";C:\\b;;C:\\a; C:\\a;C:\\gone;");
    EXPECT_EQ(Run({u"--verbose", u"--writable-dir=C:\\a", u"--writable-dir=C:\\a", u"--", u"child.exe"}), 0u);
    EXPECT_EQ(LabelledPaths(fake), (std::vector<std::u16string>{u"C:\\a", u"C:\\a", u"C:\\b", u"C:\\a", u" C:\\a"}));
    const std::vector<std::u16string> lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], u"[brindle] Writable dirs: 2\n");
    // A piece from the environment that fails gets its own message but no Warning line.
    EXPECT_EQ(lines[lines.size() - 3], u"[brindle] GrantLowIntegrityWrite: directory does not exist: C:\\gone\n");
}

TEST_F(WritableDirTest, EnvironmentFailuresAreQuietWithoutVerbose) {
    fake.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", u"C:\\gone; C:\\also-gone");
    EXPECT_EQ(Run({u"--", u"child.exe"}), 0u);
    EXPECT_EQ(fake.StandardError(), u"");
    EXPECT_EQ(fake.CountCalls("GetFileAttributesW"), 2u);
}

TEST_F(WritableDirTest, DirectoriesAreLabelledAfterTheTokenStepsAndBeforeTheChildIsCreated) {
    fake.AddPath(u"C:\\out", kDirectory);
    Run({u"--low-il", u"--writable-dir=C:\\out", u"--", u"child.exe"});
    const std::vector<std::string>& calls = fake.Calls();
    const auto at = [&calls](const std::string& name) { return std::find(calls.begin(), calls.end(), name); };
    EXPECT_LT(at("SetTokenInformation"), at("SetNamedSecurityInfoW"));
    EXPECT_LT(at("SetNamedSecurityInfoW"), at("CreateProcessAsUserW"));
}

TEST(SplitDirectoryListTest, YieldsTheNonEmptyPiecesExactlyAsTheyStand) {
    using Pieces = std::vector<std::u16string>;
    EXPECT_EQ(SplitDirectoryList(u""), Pieces{});
    EXPECT_EQ(SplitDirectoryList(u";"), Pieces{});
    EXPECT_EQ(SplitDirectoryList(u";;;"), Pieces{});
    EXPECT_EQ(SplitDirectoryList(u"C:\\a"), Pieces{u"C:\\a"});
    EXPECT_EQ(SplitDirectoryList(u"C:\\a;;C:\\b;"), (Pieces{u"C:\\a", u"C:\\b"}));
    EXPECT_EQ(SplitDirectoryList(u";C:\\a"), Pieces{u"C:\\a"});
    EXPECT_EQ(SplitDirectoryList(u" C:\\my dir ;\"C:\\q\""), (Pieces{u" C:\\my dir ", u"\"C:\\q\""}));
    EXPECT_EQ(SplitDirectoryList(u"a;b;a"), (Pieces{u"a", u"b", u"a"}));
    EXPECT_EQ(SplitDirectoryList(u" ; "), (Pieces{u" ", u" "}));
}

}  // namespace
}  // namespace brindle::testing
