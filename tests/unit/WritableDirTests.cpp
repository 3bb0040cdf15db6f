#include <cstring>
#include <functional>

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
    // The entry: SYSTEM_MANDATORY_LABEL_ACE_TYPE, object and container inherit, 20 bytes,
    // policy no-write-up, Low SID.
    EXPECT_EQ(acl[8], 0x11);
    EXPECT_EQ(acl[9], 0x03);
    EXPECT_EQ(acl[10] | acl[11] << 8, 20);
    DWORD mask = 0;
    std::memcpy(&mask, acl.data() + 12, sizeof(mask));
    EXPECT_EQ(mask, 1u);
    EXPECT_EQ(SidText(acl.data() + 16), "S-1-16-4096");
}

TEST_F(WritableDirTest, EachFailureHasItsMessageThenTheWarningAndTheChildStillRuns) {
    struct Case {
        std::string operation;
        DWORD error;
        std::u16string message;
        int callNumber = 1;
    };
    // The first two ACLs are those of brindle's own process and thread.
    const Case cases[] = {
        {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY,
         u"[brindle] AllocateAndInitializeSid failed for Low IL: 8\n"},
        // These codes come from the failed call itself, not from the SID release after it.
        {"InitializeAcl", ERROR_INVALID_PARAMETER, u"[brindle] InitializeAcl failed: 87\n", 3},
        {"AddMandatoryAce", ERROR_INVALID_PARAMETER, u"[brindle] AddMandatoryAce failed: 87\n"},
        {"SetNamedSecurityInfoW", ERROR_ACCESS_DENIED, u"[brindle] SetNamedSecurityInfo failed for 'D:\\x': 5\n"},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.AddPath(u"D:\\x", kDirectory);
        scenario.Fail(c.operation, c.error, c.callNumber);
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

// A directory named again finds the label the first grant wrote, and is not written twice.
TEST_F(WritableDirTest, BothSourcesAreGrantedInOrderOnceEachAndOnlyCommandLineEntriesCounted) {
    for (const char16_t* path : {u"C:\\a", u"C:\\b", u" C:\\a"}) {
        fake.AddPath(path, kDirectory);
    }
    fake.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", u";C:\\b;;C:\\a; C:\\a;C:\\gone;");
    EXPECT_EQ(Run({u"--verbose", u"--writable-dir=C:\\a", u"--writable-dir=C:\\a", u"--", u"child.exe"}), 0u);
    EXPECT_EQ(LabelledPaths(fake), (std::vector<std::u16string>{u"C:\\a", u"C:\\b", u" C:\\a"}));
    const std::vector<std::u16string> lines = Lines();
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(lines[2], u"[brindle] Writable dirs: 2\n");
    EXPECT_EQ(std::vector<std::u16string>(lines.begin() + 3, lines.begin() + 8),
              (std::vector<std::u16string>{
                  u"[brindle] Granted Low IL write to: C:\\a\n", u"[brindle] Already writable at Low IL: C:\\a\n",
                  u"[brindle] Granted Low IL write to: C:\\b\n", u"[brindle] Already writable at Low IL: C:\\a\n",
                  u"[brindle] Granted Low IL write to:  C:\\a\n"}));
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

constexpr DWORD kMountPoint = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT: a junction or mount point
constexpr DWORD kSymbolicLink = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
constexpr DWORD kCloudFile = 0x9000001A;     // IO_REPARSE_TAG_CLOUD_A: a placeholder, the folder itself

// Each case grants one command-line directory in a fresh scenario and checks what was
// printed and whether the label was written.
struct GrantCase {
    std::u16string path;
    std::function<void(FakePlatform&)> prepare;
    std::vector<std::u16string> lines;  // after the verbose summary
    bool written;
};

void ExpectGrants(const std::vector<GrantCase>& cases, bool verbose) {
    for (const GrantCase& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        FakePlatform scenario;
        scenario.AddProgram(u"child.exe", {});
        c.prepare(scenario);
        std::vector<std::u16string> args{u"--writable-dir=" + c.path, u"--", u"child.exe"};
        if (verbose) {
            args.insert(args.begin(), u"--verbose");
        }
        EXPECT_EQ(Launch(scenario, args), 0u);
        std::vector<std::u16string> lines = scenario.ErrorLines();
        if (verbose) {
            ASSERT_GE(lines.size(), 5u);
            lines = std::vector<std::u16string>(lines.begin() + 3, lines.end() - 2);  // summary; start and exit
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(scenario.LabelWrites().size(), c.written ? 1u : 0u);
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

std::u16string Refusing(const std::u16string& what, const std::u16string& path) {
    return u"[brindle] GrantLowIntegrityWrite: refusing a " + what + u": " + path + u"\n";
}

// Relabelling through a junction or link would relabel its target, for good.
TEST(WritableDirSafetyTest, NameSurrogateReparsePointsAreRefusedEvenQuietly) {
    const std::u16string path = u"C:\\link";
    const auto reparsePoint = [&path](DWORD tag) { return [&path, tag](FakePlatform& f) { f.AddReparsePoint(path, tag); }; };
    const auto failing = [&path](const std::string& operation) {
        return [&path, operation](FakePlatform& f) {
            f.AddReparsePoint(path, kMountPoint);
            f.Fail(operation, ERROR_ACCESS_DENIED);
        };
    };
    const std::u16string unreadable = u"[brindle] Could not read the reparse tag of 'C:\\link': 5\n";
    ExpectGrants({
                     {path, reparsePoint(kMountPoint), {Refusing(u"reparse point", path), Warning(path)}, false},
                     {path, reparsePoint(kSymbolicLink), {Refusing(u"reparse point", path), Warning(path)}, false},
                     {path, reparsePoint(kCloudFile), {}, true},
                     {path, failing("CreateFileW"), {unreadable, Warning(path)}, false},
                     {path, failing("GetFileInformationByHandleEx"), {unreadable, Warning(path)}, false},
                 },
                 false);
}

TEST(WritableDirSafetyTest, TheTagIsReadFromTheReparsePointItselfAndOnlyForOne) {
    FakePlatform scenario;
    scenario.AddProgram(u"child.exe", {});
    scenario.AddReparsePoint(u"C:\\link", kMountPoint);
    scenario.AddPath(u"C:\\plain", kDirectory);
    Launch(scenario, {u"--writable-dir=C:\\plain", u"--writable-dir=C:\\link", u"--", u"child.exe"});
    // Besides the opens that read where the plain folder really leads.
    ASSERT_EQ(scenario.FileOpens().size(), 2u);
    const FakePlatform::FileOpen& open = scenario.FileOpens()[1];
    EXPECT_EQ(open.path, u"C:\\link");
    EXPECT_EQ(open.access, 0x80u);       // FILE_READ_ATTRIBUTES
    EXPECT_EQ(open.shareMode, 7u);       // read, write and delete
    EXPECT_EQ(open.disposition, 3u);     // OPEN_EXISTING
    EXPECT_EQ(open.flags, 0x02200000u);  // backup semantics | open the reparse point itself
    EXPECT_FALSE(open.securityAttributesGiven);
    EXPECT_FALSE(open.templateGiven);
    EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
}

// A volume root, however it is written, would spread the label over the whole volume.
TEST(WritableDirSafetyTest, VolumeRootsAreRefusedInEveryForm) {
    const auto directory = [](const std::u16string& path, const std::u16string& volume = u"") {
        return [path, volume](FakePlatform& f) {
            f.AddPath(path, kDirectory);
            if (!volume.empty()) {
                f.AddVolume(volume);
            }
        };
    };
    std::vector<GrantCase> cases;
    for (const std::u16string root : {u"C:\\", u"c:/", u"C:\\\\", u"d:\\", u"\\\\?\\C:\\"}) {
        cases.push_back({root, directory(root), {Refusing(u"volume root", root), Warning(root)}, false});
    }
    cases.push_back({u"\\\\server\\share\\", directory(u"\\\\server\\share\\", u"\\\\server\\share\\"),
                     {Refusing(u"volume root", u"\\\\server\\share\\"), Warning(u"\\\\server\\share\\")}, false});
    cases.push_back({u"C:\\mnt\\Vol", directory(u"C:\\mnt\\Vol", u"C:\\mnt\\vol\\"),
                     {Refusing(u"volume root", u"C:\\mnt\\Vol"), Warning(u"C:\\mnt\\Vol")}, false});
    // A folder a volume is mounted on is a reparse point first: refused as one, without
    // asking for its volume path (which would fail here).
    cases.push_back({u"C:\\mnt\\Vol",
                     [](FakePlatform& f) {
                         f.AddReparsePoint(u"C:\\mnt\\Vol", 0xA0000003);  // IO_REPARSE_TAG_MOUNT_POINT
                         f.AddVolume(u"C:\\mnt\\vol\\");
                         f.Fail("GetVolumePathNameW", ERROR_NOT_ENOUGH_MEMORY);
                     },
                     {Refusing(u"reparse point", u"C:\\mnt\\Vol"), Warning(u"C:\\mnt\\Vol")}, false});
    // "C:" alone is the current folder of drive C, not its root.
    cases.push_back({u"C:", directory(u"C:"), {}, true});
    cases.push_back({u"C:\\mnt\\vol\\sub", directory(u"C:\\mnt\\vol\\sub", u"C:\\mnt\\vol\\"), {}, true});
    for (const std::string operation : {"GetFullPathNameW", "GetVolumePathNameW"}) {
        const std::u16string name = operation == "GetFullPathNameW" ? u"GetFullPathName" : u"GetVolumePathName";
        cases.push_back({u"C:\\out",
                         [operation](FakePlatform& f) {
                             f.AddPath(u"C:\\out", kDirectory);
                             f.Fail(operation, ERROR_NOT_ENOUGH_MEMORY);
                         },
                         {u"[brindle] " + name + u" failed: 8\n", Warning(u"C:\\out")},
                         false});
    }
    ExpectGrants(cases, false);
}

// A full path longer than MAX_PATH is read with a buffer of the size Windows asks for.
TEST(WritableDirSafetyTest, LongPathsAreJudgedInFull) {
    const std::u16string deep = u"C:\\" + std::u16string(300, u'd');
    ExpectGrants({{deep, [&deep](FakePlatform& f) { f.AddPath(deep, kDirectory); }, {}, true}}, false);
}

// Writing a label propagates it through the whole existing tree: a directory already
// labelled Low with write-up forbidden is left as it is.
TEST(WritableDirSafetyTest, AnExistingLowLabelIsKeptAndAnyOtherIsRewritten) {
    const std::u16string path = u"C:\\out";
    constexpr DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const std::u16string kept = u"[brindle] Already writable at Low IL: C:\\out\n";
    const std::u16string granted = u"[brindle] Granted Low IL write to: C:\\out\n";
    const auto labelled = [&path](std::vector<FakeLabel> entries) {
        return [&path, entries](FakePlatform& f) {
            f.AddPath(path, kDirectory);
            f.SetLabel(path, entries);
        };
    };
    ExpectGrants(
        {
            {path, labelled({{"S-1-16-4096", kInherit, 1}}), {kept}, false},
            {path, labelled({{"S-1-16-4096", kInherit | INHERITED_ACE, 3}}), {kept}, false},
            {path, labelled({}), {granted}, true},
            {path, labelled({{"S-1-16-4096", kInherit, 4}}), {granted}, true},  // no-execute-up only
            {path, labelled({{"S-1-16-4096", OBJECT_INHERIT_ACE, 1}}), {granted}, true},
            {path, labelled({{"S-1-16-4096", kInherit | INHERIT_ONLY_ACE, 1}}), {granted}, true},
            {path, labelled({{"S-1-16-0", kInherit, 1}}), {granted}, true},     // Untrusted
            {path, labelled({{"S-1-16-8192", kInherit, 1}}), {granted}, true},  // Medium
            {path, labelled({{"S-1-16-0", kInherit, 1}, {"S-1-16-4096", kInherit, 1}}), {granted}, true},
            // A label that cannot be read (Wine refuses) is written as before, without a word.
            {path,
             [&path](FakePlatform& f) {
                 f.AddPath(path, kDirectory);
                 f.SetLabel(path, {{"S-1-16-4096", kInherit, 1}});
                 f.Fail("GetNamedSecurityInfoW", ERROR_ACCESS_DENIED);
             },
             {granted},
             true},
        },
        true);
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
