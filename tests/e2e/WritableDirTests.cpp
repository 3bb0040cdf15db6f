// End-to-end tests of the writable directories: those named by --writable-dir
// and those in ORBIK_WRITABLE_DIRS are relabelled for Low-integrity write
// before the child starts. A directory that cannot be relabelled never stops
// the launch; the child runs and its exit code is returned.
//
// Wine refuses to write a directory's label (SetNamedSecurityInfo fails with
// 5, access denied), so an existing directory shows that refusal here. All
// other cases are decided before the label is written: an empty path, a path
// that does not exist, a path to a file, a volume root. (Wine cannot make a
// junction, so refusing one is proven against the fake platform only.) The files and folders the tests use
// are made in the temporary folder and removed afterwards.

#include "Harness.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace e2e {
namespace {

std::string DoesNotExist(const std::wstring& path) {
    return "[brindle] GrantLowIntegrityWrite: directory does not exist: " + Utf8(path) + "\n";
}

std::string NotADirectory(const std::wstring& path) {
    return "[brindle] GrantLowIntegrityWrite: not a directory: " + Utf8(path) + "\n";
}

// What relabelling an existing directory prints without --verbose: nothing on
// Windows, which grants it; under Wine, which refuses every label, the refusal, and for
// a directory from the command line the Warning after it.
std::string Relabelled(const std::wstring& path, bool commandLine = false) {
    if (!UnderWine()) {
        return "";
    }
    const std::string refused = "[brindle] SetNamedSecurityInfo failed for '" + Utf8(path) + "': 5\n";
    return commandLine ? refused + "[brindle] Warning: Failed to grant Low IL write to: " + Utf8(path) + "\n" : refused;
}

std::string RefusedRoot(const std::wstring& path) {
    return "[brindle] GrantLowIntegrityWrite: refusing a volume root: " + Utf8(path) + "\n";
}

std::string NotGranted(const std::wstring& path) {
    return "[brindle] Warning: Failed to grant Low IL write to: " + Utf8(path) + "\n";
}

constexpr DWORD kChildCode = 4;

std::string Verbose(size_t writableDirs, const std::string& grantLines) {
    return Summary(QuoteProgram(ProbePath()) + L" exit 4", NoSwitches(), writableDirs) + grantLines +
           StartedAndExited(kChildCode);
}

std::vector<EnvironmentVariable> Dirs(const std::wstring& value) {
    return {{L"ORBIK_WRITABLE_DIRS", value}};
}

struct Case {
    std::vector<std::wstring> options;
    std::vector<EnvironmentVariable> environment;
    std::string err;
};

// Each case runs "probe exit 4" as the child, which must run whatever the
// directories gave.
void ExpectRuns(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        std::wstring trace = ComposeCommandLine(L"brindle.exe", c.options);
        for (const EnvironmentVariable& variable : c.environment) {
            trace = variable.name + L"=" + variable.value + L"  " + trace;
        }
        SCOPED_TRACE(Utf8(trace));
        const RunResult run = RunBrindle(Concat(c.options, {L"--", ProbePath(), L"exit", L"4"}), c.environment);
        EXPECT_EQ(MaskPid(run.err), c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, kChildCode);
    }
}

std::wstring WritableDir(const std::wstring& path) {
    return L"--writable-dir=" + path;
}

TEST(WritableDirs, CommandLineFailuresAreReportedAndTheChildStillRuns) {
    const TempPath file(L"file", TempPath::Make::File);
    const TempPath dir(L"dir", TempPath::Make::Directory);
    const TempPath accented(L"caf\u00e9", TempPath::Make::Directory);
    const TempPath missing(L"missing");
    ExpectRuns({
        {{WritableDir(file.Get())}, {}, NotADirectory(file.Get()) + NotGranted(file.Get())},
        // That a directory is missing is said only in verbose mode.
        {{WritableDir(missing.Get())}, {}, NotGranted(missing.Get())},
        {{WritableDir(L"")}, {}, NotGranted(L"")},
        {{WritableDir(dir.Get())}, {}, Relabelled(dir.Get(), true)},
        {{WritableDir(dir.Get() + L"\\")}, {}, Relabelled(dir.Get() + L"\\", true)},
        {{WritableDir(accented.Get())}, {}, Relabelled(accented.Get(), true)},
        // A volume root is refused before its label is looked at, however it is written.
        {{WritableDir(L"C:\\")}, {}, RefusedRoot(L"C:\\") + NotGranted(L"C:\\")},
        {{WritableDir(L"c:/")}, {}, RefusedRoot(L"c:/") + NotGranted(L"c:/")},
        // An NT name, which the path calls misread as a folder of the current drive.
        {{WritableDir(L"\\??\\C:\\")}, {}, RefusedRoot(L"\\??\\C:\\") + NotGranted(L"\\??\\C:\\")},
        // In command-line order, duplicates included.
        {{WritableDir(missing.Get()), WritableDir(file.Get()), WritableDir(missing.Get())},
         {},
         NotGranted(missing.Get()) + NotADirectory(file.Get()) + NotGranted(file.Get()) + NotGranted(missing.Get())},
    });
}

// A directory whose full path is about 400 characters, past MAX_PATH, named with the
// long-path prefix: every path the checks read is measured in characters.
TEST(WritableDirs, ALongPathIsHandledInFull) {
    const TempPath top(L"long", TempPath::Make::Directory);
    std::vector<std::wstring> levels{L"\\\\?\\" + top.Get()};
    while (levels.back().size() < 400) {
        levels.push_back(levels.back() + L"\\" + std::wstring(60, L'd'));
        ASSERT_TRUE(CreateDirectoryW(levels.back().c_str(), nullptr)) << GetLastError();
    }
    ExpectRuns({{{WritableDir(levels.back())}, {}, Relabelled(levels.back(), true)}});
    for (std::size_t level = levels.size() - 1; level > 0; --level) {
        RemoveDirectoryW(levels[level].c_str());
    }
}

TEST(WritableDirs, VerboseRunReportsMissingDirectoriesAndCountsCommandLineEntries) {
    const TempPath file(L"file", TempPath::Make::File);
    const TempPath dir(L"dir", TempPath::Make::Directory);
    const TempPath missing(L"missing");
    const TempPath alsoMissing(L"also-missing");
    ExpectRuns({
        {{L"--verbose", WritableDir(missing.Get())},
         {},
         Verbose(1, DoesNotExist(missing.Get()) + NotGranted(missing.Get()))},
        // An empty path fails without a line of its own.
        {{L"--verbose", WritableDir(L"")}, {}, Verbose(1, NotGranted(L""))},
        {{L"--verbose", WritableDir(file.Get())}, {}, Verbose(1, NotADirectory(file.Get()) + NotGranted(file.Get()))},
        {{L"--verbose", WritableDir(dir.Get())},
         {},
         Verbose(1, UnderWine() ? Relabelled(dir.Get(), true)
                                : "[brindle] Granted Low IL write to: " + Utf8(dir.Get()) + "\n")},
        {{L"--verbose", WritableDir(missing.Get()), WritableDir(L""), WritableDir(missing.Get())},
         {},
         Verbose(3, DoesNotExist(missing.Get()) + NotGranted(missing.Get()) + NotGranted(L"") +
                        DoesNotExist(missing.Get()) + NotGranted(missing.Get()))},
        // The command line first, then the environment, which the summary does not count.
        {{L"--verbose", WritableDir(missing.Get())},
         Dirs(alsoMissing.Get()),
         Verbose(1, DoesNotExist(missing.Get()) + NotGranted(missing.Get()) + DoesNotExist(alsoMissing.Get()))},
    });
}

TEST(WritableDirsFromEnvironment, AreTriedInOrderWithoutWarnings) {
    const TempPath file(L"file", TempPath::Make::File);
    const TempPath dir(L"dir", TempPath::Make::Directory);
    const TempPath first(L"a-missing");
    const TempPath second(L"b-missing");
    const std::wstring both = first.Get() + L";;" + second.Get() + L";";
    ExpectRuns({
        {{}, Dirs(L";;;"), ""},
        {{L"--verbose"}, Dirs(L";;;"), Verbose(0, "")},
        {{L"--verbose"}, Dirs(L""), Verbose(0, "")},
        {{}, Dirs(both), ""},
        {{L"--verbose"}, Dirs(both), Verbose(0, DoesNotExist(first.Get()) + DoesNotExist(second.Get()))},
        // A piece is used as it stands, leading space and all.
        {{L"--verbose"}, Dirs(L"; " + first.Get()), Verbose(0, DoesNotExist(L" " + first.Get()))},
        // Failures that are always reported still are, but with no Warning line.
        {{}, Dirs(file.Get()), NotADirectory(file.Get())},
        {{}, Dirs(dir.Get() + L";" + file.Get()), Relabelled(dir.Get()) + NotADirectory(file.Get())},
        // A directory named in both places is tried twice.
        {{WritableDir(dir.Get())},
         Dirs(dir.Get()),
         Relabelled(dir.Get(), true) + Relabelled(dir.Get())},
    });
}

// Windows matches environment names without regard to case.
TEST(WritableDirsFromEnvironment, NameIsMatchedWithoutRegardToCase) {
    const TempPath dir(L"dir", TempPath::Make::Directory);
    const TempPath missing(L"missing");
    ExpectRuns({
        {{}, {{L"orbik_writable_dirs", dir.Get()}}, Relabelled(dir.Get())},
        {{L"--verbose"}, {{L"Orbik_Writable_Dirs", missing.Get()}}, Verbose(0, DoesNotExist(missing.Get()))},
    });
}

// Under --strict a directory that is not made writable keeps the command from running,
// and a missing one is named even without --verbose. Wine refuses every label, so there
// an existing directory is refused too; Windows grants it and the command runs.
TEST(WritableDirs, UnderStrictAFailureRefusesTheCommand) {
    const TempPath dir(L"dir", TempPath::Make::Directory);
    const TempPath missing(L"missing");
    struct Case {
        std::wstring directory;
        std::string err;
        bool runs;
    };
    const std::vector<Case> cases = {
        {dir.Get(), UnderWine() ? Relabelled(dir.Get(), true) + kStrictRefusal : "", !UnderWine()},
        {missing.Get(), DoesNotExist(missing.Get()) + NotGranted(missing.Get()) + kStrictRefusal, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.directory));
        const RunResult run = RunBrindle({L"--strict", WritableDir(c.directory), L"--", ProbePath(), L"args", L"ran"});
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, c.runs ? "[ran]\n" : "");
        EXPECT_EQ(run.exitCode, c.runs ? 0u : 1u);
    }
}

// The security descriptor part named by `information`, in SDDL; empty when it cannot be read.
std::wstring Sddl(const std::wstring& path, SECURITY_INFORMATION information) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, information, nullptr, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
        return L"";
    }
    LPWSTR text = nullptr;
    std::wstring sddl;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, information, &text,
                                                             nullptr)) {
        sddl = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return sddl;
}

// On Windows the directory carries exactly the Low label, inherited by files and folders,
// with write-up forbidden, and its access list is as it was. Wine refuses both the label
// write and reading it back, so there only the refusal is seen.
TEST(WritableDirs, AGrantedDirectoryCarriesExactlyTheLowLabelAndKeepsItsAccessList) {
    const TempPath dir(L"dir", TempPath::Make::Directory);
    const std::wstring daclBefore = Sddl(dir.Get(), DACL_SECURITY_INFORMATION);
    const RunResult run = RunBrindle({WritableDir(dir.Get()), L"--", ProbePath(), L"exit", L"4"});
    EXPECT_EQ(run.err, Relabelled(dir.Get(), true));
    EXPECT_EQ(run.exitCode, kChildCode);
    if (!UnderWine()) {
        EXPECT_EQ(Sddl(dir.Get(), LABEL_SECURITY_INFORMATION), L"S:(ML;OICI;NW;;;LW)");
        EXPECT_EQ(Sddl(dir.Get(), DACL_SECURITY_INFORMATION), daclBefore);
        EXPECT_FALSE(daclBefore.empty());
    }
}

}  // namespace
}  // namespace e2e
