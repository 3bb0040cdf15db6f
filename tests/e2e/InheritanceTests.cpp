// End-to-end tests of what the child inherits. Without options it inherits every
// handle brindle holds as inheritable, and brindle's environment; --std-handles-only
// and the environment options narrow that.

#include "Harness.h"

#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
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

bool IsWineOwn(const std::wstring& entry) {
    const auto startsWith = [&entry](const wchar_t* prefix) {
        return CompareStringOrdinal(entry.c_str(), static_cast<int>(wcslen(prefix)), prefix, -1, TRUE) == CSTR_EQUAL;
    };
    return startsWith(L"WINE") || startsWith(L"SystemDrive=") || startsWith(L"SystemRoot=");
}

std::vector<std::wstring> WithoutWinesOwn(std::vector<std::wstring> entries) {
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
    std::vector<std::wstring> expected = {L"Y=1"};
    for (const std::wstring& entry : EnvironmentEntries(environment)) {
        const std::wstring name = entry.substr(0, entry.find(L'=', 1));
        const bool kept = name[0] == L'=' || std::any_of(minimal.begin(), minimal.end(), [&name](const auto& m) {
                              return CompareStringOrdinal(name.c_str(), -1, m.c_str(), -1, TRUE) == CSTR_EQUAL;
                          });
        if (kept) {
            expected.push_back(entry);
        }
    }
    std::string text;
    for (const std::wstring& entry : WithoutWinesOwn(expected)) {
        text += Utf8(entry) + "\n";
    }
    std::vector<std::wstring> seen;
    for (size_t start = 0; start < run.out.size();) {
        const size_t end = run.out.find('\n', start);
        const std::string line = run.out.substr(start, end - start);
        seen.push_back(std::wstring(line.begin(), line.end()));
        start = end + 1;
    }
    std::string seenText;
    for (const std::wstring& entry : WithoutWinesOwn(seen)) {
        seenText += Utf8(entry) + "\n";
    }
    EXPECT_EQ(seenText, text);
}

}  // namespace
}  // namespace e2e
