// What the child inherits: with --std-handles-only only the standard handles, through an
// attribute list handed to both creation calls; with the environment options a block of
// the caller's choosing.
#include <functional>
#include <set>

#include "LaunchScenario.h"
#include "child/EnvironmentBlock.h"
#include "cli/ParseArguments.h"

namespace brindle::testing {
namespace {

using InheritanceTest = LaunchScenario;

const HANDLE kShared = reinterpret_cast<HANDLE>(std::uintptr_t{0x24});
const HANDLE kBogus = reinterpret_cast<HANDLE>(std::uintptr_t{0x28});
const HANDLE kOwnToken = reinterpret_cast<HANDLE>(std::uintptr_t{0x1010});  // the fake's value for brindle's token

struct HandleCase {
    std::string name;
    std::function<void(FakePlatform&)> prepare;
    bool listGiven;
    std::size_t listed;       // how many handles the list names
    std::size_t duplicates;   // how many standard handles were duplicated for the child
    BOOL inheritHandles;
};

TEST(StdHandlesOnlyTest, TheListNamesEachValidStandardHandleOnceAndBothCreationsGetIt) {
    const auto notInheritable = [](DWORD stream, HANDLE handle) {
        return [stream, handle](FakePlatform& f) { f.SetStandardHandle(stream, handle, 0); };
    };
    const HandleCase cases[] = {
        {"three inheritable handles", [](FakePlatform&) {}, true, 3, 0, TRUE},
        {"output and error one handle",
         [](FakePlatform& f) {
             f.SetStandardHandle(STD_OUTPUT_HANDLE, kShared, HANDLE_FLAG_INHERIT);
             f.SetStandardHandle(STD_ERROR_HANDLE, kShared, HANDLE_FLAG_INHERIT);
         },
         true, 2, 0, TRUE},
        {"a handle that is not inheritable", notInheritable(STD_OUTPUT_HANDLE, kShared), true, 3, 1, TRUE},
        {"one such handle for output and error",
         [](FakePlatform& f) {
             f.SetStandardHandle(STD_OUTPUT_HANDLE, kShared, 0);
             f.SetStandardHandle(STD_ERROR_HANDLE, kShared, 0);
         },
         true, 2, 1, TRUE},
        // A value its caller closed that names brindle's own token: no stream, never passed on.
        {"brindle's token at a standard handle's value", notInheritable(STD_ERROR_HANDLE, kOwnToken), true, 2, 0,
         TRUE},
        {"no valid standard handle",
         [](FakePlatform& f) {
             f.SetStandardHandle(STD_INPUT_HANDLE, nullptr, std::nullopt);
             f.SetStandardHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE, std::nullopt);
             f.SetStandardHandle(STD_ERROR_HANDLE, kBogus, std::nullopt);  // GetHandleInformation refuses it
         },
         false, 0, 0, FALSE},
    };
    for (const HandleCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        c.prepare(scenario);
        scenario.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);  // so that both creations are seen
        EXPECT_EQ(Launch(scenario, {u"--std-handles-only", u"--", u"seven.exe"}), 7u);
        ASSERT_EQ(scenario.Creations().size(), 2u);
        const FakeCreation& first = scenario.Creations()[0];
        for (const FakeCreation& creation : scenario.Creations()) {
            EXPECT_EQ(creation.handleListGiven, c.listGiven);
            EXPECT_EQ(creation.handleList.size(), c.listed);
            EXPECT_EQ(creation.handleList, first.handleList);
            EXPECT_EQ(creation.inheritHandles, c.inheritHandles);
            EXPECT_EQ(creation.creationFlags, c.listGiven ? 0x80204u : 0x204u);
            EXPECT_EQ(creation.startup.cb, c.listGiven ? 112u : 104u);
        }
        // Every standard handle the child gets is in the list; one the list leaves out is none.
        for (HANDLE passed : {first.startup.hStdInput, first.startup.hStdOutput, first.startup.hStdError}) {
            const bool listed =
                std::find(first.handleList.begin(), first.handleList.end(), passed) != first.handleList.end();
            EXPECT_TRUE(passed == nullptr ? !listed : listed);
        }
        if (first.startup.hStdOutput != nullptr && first.startup.hStdError != nullptr) {
            EXPECT_EQ(first.startup.hStdOutput == first.startup.hStdError, c.listed == 2);
        }
        // A duplicate is the child's once it is created: the launcher closes its own at once.
        const std::vector<std::string>& calls = scenario.Calls();
        const auto resume = std::find(calls.begin(), calls.end(), "ResumeThread");
        EXPECT_EQ(static_cast<std::size_t>(std::count(calls.begin(), resume, "CloseHandle(duplicate)")), c.duplicates);
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
    }
}

TEST(StdHandlesOnlyTest, AListThatCannotBeBuiltLeavesTheChildAsWithoutTheOptionOrRefusesUnderStrict) {
    struct Case {
        std::string operation;
        int callNumber;
        std::u16string line;
    };
    const Case cases[] = {
        {"DuplicateHandle", 1, u"[brindle] DuplicateHandle failed: 8\n"},
        {"InitializeProcThreadAttributeList", 2, u"[brindle] InitializeProcThreadAttributeList failed: 8\n"},
        {"UpdateProcThreadAttribute", 1, u"[brindle] UpdateProcThreadAttribute(HandleList) failed: 8\n"},
    };
    for (const Case& c : cases) {
        for (const bool strict : {false, true}) {
            SCOPED_TRACE(c.operation + (strict ? " under --strict" : ""));
            FakePlatform scenario;
            scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
            scenario.SetStandardHandle(STD_ERROR_HANDLE, kShared, 0);
            scenario.Fail(c.operation, ERROR_NOT_ENOUGH_MEMORY, c.callNumber);
            std::vector<std::u16string> args{u"--std-handles-only", u"--", u"seven.exe"};
            if (strict) {
                args.insert(args.begin(), u"--strict");
            }
            EXPECT_EQ(Launch(scenario, args), strict ? 1u : 7u);
            std::vector<std::u16string> expected{c.line};
            if (strict) {
                expected.push_back(
                    u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n");
                EXPECT_TRUE(scenario.Creations().empty());
            } else {
                ASSERT_EQ(scenario.Creations().size(), 1u);
                const FakeCreation& creation = scenario.Creations()[0];
                EXPECT_FALSE(creation.handleListGiven);
                EXPECT_EQ(creation.creationFlags, 0x204u);
                EXPECT_EQ(creation.inheritHandles, TRUE);
                EXPECT_EQ(creation.startup.hStdError, kShared);
            }
            EXPECT_EQ(scenario.ErrorLines(), expected);
            EXPECT_EQ(scenario.Problems(), std::vector<std::string>{});
        }
    }
}

// An environment block: each entry ends in a null, and one more null ends the block.
std::u16string Block(std::initializer_list<std::u16string_view> entries) {
    std::u16string block;
    for (const std::u16string_view entry : entries) {
        block += entry;
        block += u'\0';
    }
    if (block.empty()) {
        block += u'\0';
    }
    return block + u'\0';
}

// The launcher's environment, in an order Windows would not keep.
const std::u16string kLauncherBlock = Block({u"Path=C:\\bin", u"SECRET=s3", u"=C:=C:\\work", u"Foo=1",
                                             u"TEMP=C:\\t", u"windir=C:\\W", u"AB=2", u"A_B=3"});

TEST(EnvironmentBlockTest, IsTheLauncherOrTheMinimalSetWithTheEditsInOrderAndSortedAsWindowsSortsIt) {
    struct Case {
        std::vector<std::u16string> options;
        std::u16string block;
    };
    const Case cases[] = {
        // Sorted as if in upper case: "AB" before "A_B", "=C:" first.
        {{u"--set-env=NEW=v"},
         Block({u"=C:=C:\\work", u"AB=2", u"A_B=3", u"Foo=1", u"NEW=v", u"Path=C:\\bin", u"SECRET=s3", u"TEMP=C:\\t",
                u"windir=C:\\W"})},
        {{u"--clear-env"}, Block({u"=C:=C:\\work", u"Path=C:\\bin", u"TEMP=C:\\t", u"windir=C:\\W"})},
        {{u"--clear-env", u"--keep-env=foo"}, Block({u"=C:=C:\\work", u"Foo=1", u"Path=C:\\bin", u"TEMP=C:\\t",
                                                     u"windir=C:\\W"})},
        {{u"--clear-env", u"--set-env=SECRET=new"},
         Block({u"=C:=C:\\work", u"Path=C:\\bin", u"SECRET=new", u"TEMP=C:\\t", u"windir=C:\\W"})},
        {{u"--clear-env", u"--keep-env=Foo", u"--unset-env=FOO", u"--unset-env=temp"},
         Block({u"=C:=C:\\work", u"Path=C:\\bin", u"windir=C:\\W"})},
        // A name present in another case takes the new spelling.
        {{u"--clear-env", u"--set-env=PATH=D:\\"}, Block({u"=C:=C:\\work", u"PATH=D:\\", u"TEMP=C:\\t",
                                                          u"windir=C:\\W"})},
        {{u"--clear-env", u"--set-env=E=", u"--set-env=A=1", u"--unset-env=a", u"--set-env=a=2=3"},
         Block({u"=C:=C:\\work", u"a=2=3", u"E=", u"Path=C:\\bin", u"TEMP=C:\\t", u"windir=C:\\W"})},
        {{u"--clear-env", u"--unset-env=Path", u"--unset-env=TEMP", u"--unset-env=windir", u"--unset-env=x"},
         Block({u"=C:=C:\\work"})},
    };
    for (const Case& c : cases) {
        FakePlatform parser;
        LaunchOptions options;
        std::vector<std::u16string> args{u"brindle.exe"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {u"--", u"x"});
        std::vector<const char16_t*> argv;
        for (const auto& arg : args) {
            argv.push_back(arg.c_str());
        }
        ASSERT_TRUE(ParseArguments(static_cast<int>(argv.size()), argv.data(), options, parser));
        EXPECT_EQ(BuildEnvironmentBlock(kLauncherBlock, options), c.block);
    }
    LaunchOptions nothingLeft;
    nothingLeft.clearEnv = true;
    EXPECT_EQ(BuildEnvironmentBlock(Block({u"SECRET=1"}), nothingLeft), Block({}));
}

// Every variable --clear-env keeps, and nothing beside them but the per-drive folders.
TEST(EnvironmentBlockTest, ClearEnvKeepsExactlyTheMinimalSet) {
    std::set<std::u16string> kept = {
        u"ALLUSERSPROFILE", u"APPDATA", u"COMPUTERNAME", u"ComSpec", u"CommonProgramFiles",
        u"CommonProgramFiles(x86)", u"CommonProgramW6432", u"HOMEDRIVE", u"HOMEPATH", u"LOCALAPPDATA",
        u"NUMBER_OF_PROCESSORS", u"OS", u"PATH", u"PATHEXT", u"PROCESSOR_ARCHITECTURE", u"PROCESSOR_IDENTIFIER",
        u"PROCESSOR_LEVEL", u"PROCESSOR_REVISION", u"ProgramData", u"ProgramFiles", u"ProgramFiles(x86)",
        u"ProgramW6432", u"PUBLIC", u"SystemDrive", u"SystemRoot", u"TEMP", u"TMP", u"USERDOMAIN", u"USERNAME",
        u"USERPROFILE", u"windir", u"=C:", u"=D:"};
    std::u16string launcher;
    for (const std::u16string& name : kept) {
        launcher += name + u"=v" + u'\0';
    }
    for (const char16_t* other : {u"PATH2", u"OneDrive", u"USERNAMES", u"TEMPDIR", u"Os_", u"=API_TOKEN", u"=::"}) {
        launcher += std::u16string(other) + u"=v" + u'\0';
    }
    LaunchOptions options;
    options.clearEnv = true;
    const std::u16string block = BuildEnvironmentBlock(launcher + u'\0', options);
    std::set<std::u16string> names;
    for (std::size_t start = 0; start < block.size() && block[start] != u'\0'; start = block.find(u'\0', start) + 1) {
        names.insert(block.substr(start, block.find(u'=', start + 1) - start));
    }
    EXPECT_EQ(names, kept);
}

TEST_F(InheritanceTest, TheBlockReachesBothCreationsAndDirectoriesStillComeFromBrindlesOwnEnvironment) {
    fake.SetEnvironmentVariable(u"ORBIK_WRITABLE_DIRS", u"C:\\out");
    fake.SetEnvironmentVariable(u"SECRET", u"s3");
    fake.AddPath(u"C:\\out", FILE_ATTRIBUTE_DIRECTORY);
    fake.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(Run({u"--clear-env", u"--set-env=Y=1", u"--", u"seven.exe"}), 7u);
    ASSERT_EQ(fake.Creations().size(), 2u);
    for (const FakeCreation& creation : fake.Creations()) {
        EXPECT_EQ(creation.environment, Block({u"Y=1"}));
        EXPECT_EQ(creation.creationFlags, 0x604u);  // CREATE_UNICODE_ENVIRONMENT
    }
    EXPECT_EQ(fake.LabelWrites().size(), 1u);
}

TEST_F(InheritanceTest, AnUnreadableEnvironmentLeavesTheChildBrindlesOrRefusesUnderStrict) {
    fake.Fail("GetEnvironmentStringsW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Run({u"--unset-env=SECRET", u"--", u"seven.exe"}), 7u);
    EXPECT_EQ(fake.StandardError(), u"[brindle] GetEnvironmentStrings failed: 8\n");
    ASSERT_EQ(fake.Creations().size(), 1u);
    EXPECT_FALSE(fake.Creations()[0].environmentGiven);
    EXPECT_EQ(fake.Creations()[0].creationFlags, 0x204u);

    FakePlatform strict;
    strict.AddProgram(u"seven.exe", FakeProgram{7, false});
    strict.AddPath(u"C:\\out", FILE_ATTRIBUTE_DIRECTORY);
    strict.Fail("GetEnvironmentStringsW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Launch(strict, {u"--strict", u"--clear-env", u"--writable-dir=C:\\out", u"--", u"seven.exe"}), 1u);
    EXPECT_TRUE(strict.Creations().empty());
    EXPECT_EQ(strict.CountCalls("GetFileAttributesW"), 0u);  // refused before any directory is touched
}

}  // namespace
}  // namespace brindle::testing
