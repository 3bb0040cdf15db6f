// End-to-end tests of what the child inherits. Without options it inherits every
// handle brindle holds as inheritable, and brindle's environment; --std-handles-only
// and the environment options narrow that.

#include "Harness.h"

#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace e2e {
namespace {

// A file the test opens as inheritable, as a build system might hold a log or a lock
// open: brindle.exe inherits it, and so, without --std-handles-only, does its child.
TEST(Inheritance, AHandleTheParentMadeInheritableReachesTheChildOnlyWithoutStdHandlesOnly) {
    for (const bool stdHandlesOnly : {false, true}) {
        SCOPED_TRACE(stdHandlesOnly ? "with --std-handles-only" : "without it");
        const TempPath path(L"inherited.txt");
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const UniqueHandle file(CreateFileW(path.Get().c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        const std::wstring value = std::to_wstring(reinterpret_cast<ULONG_PTR>(file.Get()));
        std::vector<std::wstring> arguments = {L"--", ProbePath(), L"write", value, L"leaked"};
        if (stdHandlesOnly) {
            arguments.insert(arguments.begin(), L"--std-handles-only");
        }
        const RunResult run = RunBrindle(arguments);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.out, stdHandlesOnly ? "failed 6\n" : "written\n");
        EXPECT_EQ(ReadBytes(path.Get()), stdHandlesOnly ? "" : "leaked");
    }
}

// Wine's own variables, matched as Windows matches names: without regard to case.
bool IsWineOwn(const std::string& entry) {
    const auto startsWith = [&entry](const std::string& prefix) {
        return entry.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), entry.begin(),
                          [](char a, char b) { return std::toupper(a) == std::toupper(b); });
    };
    return startsWith("WINE") || startsWith("SystemDrive=") || startsWith("SystemRoot=");
}

// The entries in UTF-8, sorted, without Wine's own.
std::vector<std::string> Comparable(std::vector<std::string> entries) {
    entries.erase(std::remove_if(entries.begin(), entries.end(), IsWineOwn), entries.end());
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Wine appends WINE* variables, SystemDrive and SystemRoot to every child's environment:
// those are left out on both sides.
TEST(Inheritance, TheEnvironmentOptionsGiveTheChildExactlyTheVariablesAskedFor) {
    const std::vector<EnvironmentVariable> environment = {
        {L"X", L"kept"}, {L"API_TOKEN", L"secret"}, {L"TEMP", L"C:\\temp"}, {L"PATH", L"C:\\windows"}};
    const RunResult run = RunBrindle(
        {L"--clear-env", L"--keep-env=X", L"--set-env=Y=1", L"--unset-env=PATH", L"--", ProbePath(), L"env"},
        environment);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0u);

    const std::vector<std::wstring> minimal = {
        L"ALLUSERSPROFILE", L"APPDATA", L"COMPUTERNAME", L"ComSpec", L"CommonProgramFiles",
        L"CommonProgramFiles(x86)", L"CommonProgramW6432", L"HOMEDRIVE", L"HOMEPATH", L"LOCALAPPDATA",
        L"NUMBER_OF_PROCESSORS", L"OS", L"PATHEXT", L"PROCESSOR_ARCHITECTURE", L"PROCESSOR_IDENTIFIER",
        L"PROCESSOR_LEVEL", L"PROCESSOR_REVISION", L"ProgramData", L"ProgramFiles", L"ProgramFiles(x86)",
        L"ProgramW6432", L"PUBLIC", L"TEMP", L"TMP", L"USERDOMAIN", L"USERNAME", L"USERPROFILE", L"windir", L"X"};
    std::vector<std::string> expected = {"Y=1"};
    for (const std::wstring& entry : EnvironmentEntries(environment)) {
        const std::wstring name = entry.substr(0, entry.find(L'=', 1));
        const bool kept = name[0] == L'=' || std::any_of(minimal.begin(), minimal.end(), [&name](const auto& m) {
                              return CompareStringOrdinal(name.c_str(), -1, m.c_str(), -1, TRUE) == CSTR_EQUAL;
                          });
        if (kept) {
            expected.push_back(Utf8(entry));
        }
    }
    std::vector<std::string> seen;
    for (size_t start = 0; start < run.out.size();) {
        const size_t end = run.out.find('\n', start);
        seen.push_back(run.out.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(Comparable(seen), Comparable(expected));
}

}  // namespace
}  // namespace e2e
