// bare.exe: the reference launcher of the overhead benchmark. It starts its
// command line's remainder as a child exactly as brindle.exe creates its child
// (own token, CreateProcessAsUserW, inherited handles, suspended, new process
// group, the standard handles passed on), but applies no reduction at all, so
// the difference between the two is the price of brindle's isolation steps.
//
//   bare.exe <command> [args...]     exits with the child's exit code
//
// Failures exit with 1 and a line on standard error.

#include <windows.h>

#include "../tests/e2e/UniqueHandle.h"

#include <cwchar>
#include <string>

// The command line is passed on as typed; no wildcard expansion by the runtime.
extern "C" {
int _dowildcard = 0;
}

namespace {

int Fail(const char* operation) {
    const DWORD error = GetLastError();
    const std::string line = std::string("bare: ") + operation + " failed: " + std::to_string(error) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 1;
}

// The raw command line after the launcher's own program name. Windows reads a
// program name up to the closing quote (no escapes) or to the first blank.
std::wstring CommandAfterProgramName() {
    const wchar_t* rest = GetCommandLineW();
    if (*rest == L'"') {
        rest = std::wcschr(rest + 1, L'"');
        rest = rest != nullptr ? rest + 1 : L"";
    } else {
        rest += std::wcscspn(rest, L" \t");
    }
    rest += std::wcsspn(rest, L" \t");
    return rest;
}

}  // namespace

int wmain(int, wchar_t*[]) {
    std::wstring command = CommandAfterProgramName();  // writable: creation may write into it
    if (command.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Fail("reading the command");
    }

    HANDLE ownToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &ownToken)) {
        return Fail("OpenProcessToken");
    }
    const UniqueHandle token(ownToken);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessAsUserW(token.Get(), nullptr, command.data(), nullptr, nullptr, TRUE /* inherit handles */,
                              CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, nullptr /* own environment */,
                              nullptr /* own directory */, &startup, &child)) {
        return Fail("CreateProcessAsUserW");
    }
    const UniqueHandle process(child.hProcess);
    {
        const UniqueHandle thread(child.hThread);  // released right after the resume, as brindle does
        if (ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
            const int status = Fail("ResumeThread");
            TerminateProcess(process.Get(), 1);  // never leave a suspended child behind
            return status;
        }
    }
    if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0) {
        return Fail("WaitForSingleObject");
    }
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process.Get(), &exitCode)) {
        return Fail("GetExitCodeProcess");
    }
    return static_cast<int>(exitCode);
}
