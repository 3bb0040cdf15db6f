// probe.exe: the child program of the end-to-end tests. Each mode does one thing
// that a test can observe from outside the launcher:
//
//   args A B ...          prints each argument as "[A]" on a line of its own
//   exit N                exits with code N
//   sleep MS [N]          sleeps MS milliseconds, then exits with N (default 0)
//   groups                prints the groups of its own token, "<SID> 0x<attributes>"
//   grandchild PATH MS [WAIT]
//                         starts "probe marker PATH MS", then exits 0 at once
//                         or, with WAIT, after WAIT milliseconds
//   marker PATH MS        sleeps MS milliseconds, then creates the file PATH
//   write HANDLE TEXT     writes TEXT to the handle whose decimal value is HANDLE,
//                         one the test made inheritable, and prints "written" or
//                         "failed <error>"
//   env                   prints each variable of its environment on a line of its own
//   integrity             prints the integrity level SID of its token
//   privileges            prints the name of each privilege its token holds, a line each
//   spawn N MS            starts N processes of "probe sleep MS", one after the other,
//                         printing "started" or "failed <error>" for each
//   allocate MB           commits MB megabytes and prints "allocated" or "failed <error>"
//   inject TEXT           types TEXT and Enter into the input of the console it is attached to
//   copy-input            copies its standard input to its standard output, to the end
//   holder PATH MS        starts "probe hold PATH MS" and ends half a second later
//   hold PATH MS          holds PATH open, not sharing its deletion, for MS milliseconds
//   swapper MS            starts "probe swap <its TEMP> MS" and ends half a second later
//   swap FOLDER MS        keeps a file in FOLDER open for MS milliseconds, then for 3 s tries to
//                         rename FOLDER to "FOLDER.moved" and put a folder holding decoy.txt in
//                         its place; exits 0 once it has
//   line                  reads its standard input up to a line feed and prints "got " and that line
//   alternate N           writes the lines "0" to "N-1", the even ones to standard output and
//                         the odd ones to standard error, one write each
//   flood N SIZE          makes N writes of SIZE bytes each to its standard output
//   stamp                 prints its QueryPerformanceCounter count, then exits 0
//   parent SECRET         attacks its parent as a hostile child would, printing a line for
//                         each attempt: "memory found", "memory missing" or "memory <error>"
//                         (opening it to read SECRET from its environment block), then
//                         "duplicate" and "terminate", each "ok" or the error (opening it
//                         to duplicate its handles, or to end it, which it does not do),
//                         then "token", "ok" or the error (opening its token to duplicate it,
//                         through the query right every process of the user keeps)
//
// Output is UTF-8 written straight to the standard output handle, so lines end
// in "\n" alone. A malformed request or a failed Windows call exits with a code
// of its own (and a line on standard error), never with a result a test expects.

#include "ProgramText.h"
#include "UniqueHandle.h"

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

// Arguments such as "*" must arrive as given: some MinGW runtimes expand
// wildcards in the command line unless this is 0. (The braces give C linkage
// without the "extern" storage class, which GCC would warn about.)
extern "C" {
int _dowildcard = 0;
}

namespace {

constexpr int kUsageError = 120;
constexpr int kWindowsError = 121;

// WriteFile on the raw handle: no runtime text mode, so no "\r" is added.
void Write(DWORD stream, const std::wstring& text) {
    const std::string bytes = Utf8(text);
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Hex(DWORD value) {
    const wchar_t* digits = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    return L"0x" + text;
}

int Usage() {
    Write(STD_ERROR_HANDLE, L"probe: usage: args ... | exit N | sleep MS [N] | groups"
                            L" | grandchild PATH MS [WAIT] | marker PATH MS | write HANDLE TEXT | env | integrity"
                            L" | privileges | spawn N MS | allocate MB | inject TEXT | copy-input | parent SECRET\n");
    return kUsageError;
}

int WindowsFailure(const wchar_t* operation) {
    const DWORD error = GetLastError();
    Write(STD_ERROR_HANDLE, std::wstring(L"probe: ") + operation + L" failed: " + std::to_wstring(error) + L"\n");
    return kWindowsError;
}

// A whole unsigned decimal number, or false.
bool ReadNumber(const std::wstring& text, DWORD& value) {
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) {
        return false;
    }
    value = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
    return true;
}

int PrintArguments(const std::vector<std::wstring>& arguments) {
    std::wstring text;
    for (const std::wstring& argument : arguments) {
        text += L"[" + argument + L"]\n";
    }
    Write(STD_OUTPUT_HANDLE, text);
    return 0;
}

int PrintTokenGroups() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return WindowsFailure(L"OpenProcessToken");
    }
    const UniqueHandle token(rawToken);

    // The first call fails by design and reports the size the record needs.
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token.Get(), TokenGroups, buffer.data(), size, &size)) {
        return WindowsFailure(L"GetTokenInformation(TokenGroups)");
    }

    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    const SID_AND_ATTRIBUTES* entries = groups->Groups;
    std::wstring text;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        LPWSTR sid = nullptr;
        if (!ConvertSidToStringSidW(entries[i].Sid, &sid)) {
            return WindowsFailure(L"ConvertSidToStringSidW");
        }
        text += std::wstring(sid) + L" " + Hex(entries[i].Attributes) + L"\n";
        LocalFree(sid);
    }
    Write(STD_OUTPUT_HANDLE, text);
    return 0;
}

// The grandchild inherits no handle, so it cannot keep the test's capture
// files open; it stays in the console and in any job of this process.
// Wine now and then loses a new process while bringing it up and reports
// ERROR_INTERNAL_ERROR; nothing has run then, so creation is tried again.
// Starts this program again with these arguments, outside any handle of this one's.
int StartGrandchild(const std::wstring& arguments) {
    const std::wstring program = ModulePath();
    std::wstring commandLine = QuoteArgument(program) + L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    bool created = false;
    for (int attempt = 1; attempt <= 3 && !created; ++attempt) {
        created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE /* inherit handles */,
                                 0, nullptr, nullptr, &startup, &child) != FALSE;
        if (!created && GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    if (!created) {
        return WindowsFailure(L"CreateProcessW");
    }
    const UniqueHandle process(child.hProcess);
    const UniqueHandle thread(child.hThread);
    return 0;
}

int CreateMarkerLater(const std::wstring& path, DWORD delayMs) {
    Sleep(delayMs);
    const UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? 0 : WindowsFailure(L"CreateFileW");
}

int SwapFolderLater(const std::wstring& folder, DWORD heldMs) {
    {
        // Not sharing its deletion: the folder cannot be removed before this lets go.
        const UniqueHandle held(CreateFileW((folder + L"\\held.txt").c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!held) {
            return WindowsFailure(L"CreateFileW");
        }
        Sleep(heldMs);
    }
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 3000; Sleep(5)) {
        if (MoveFileExW(folder.c_str(), (folder + L".moved").c_str(), 0)) {
            return CreateDirectoryW(folder.c_str(), nullptr) ? CreateMarkerLater(folder + L"\\decoy.txt", 0)
                                                             : WindowsFailure(L"CreateDirectoryW");
        }
    }
    return WindowsFailure(L"MoveFileExW");
}

int WriteToInheritedHandle(DWORD value, const std::wstring& text) {
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    const std::string bytes = Utf8(text);
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        Write(STD_OUTPUT_HANDLE, L"failed " + std::to_wstring(GetLastError()) + L"\n");
    } else {
        Write(STD_OUTPUT_HANDLE, L"written\n");
    }
    return 0;
}

int PrintEnvironment() {
    wchar_t* const strings = GetEnvironmentStringsW();
    if (strings == nullptr) {
        return WindowsFailure(L"GetEnvironmentStringsW");
    }
    std::wstring text;
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        text += std::wstring(entry) + L"\n";
    }
    FreeEnvironmentStringsW(strings);
    Write(STD_OUTPUT_HANDLE, text);
    return 0;
}

// The token's information of one class, in a buffer of the size Windows asks for.
std::vector<BYTE> TokenInformation(TOKEN_INFORMATION_CLASS infoClass) {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return {};
    }
    const UniqueHandle token(rawToken);
    DWORD size = 0;
    GetTokenInformation(token.Get(), infoClass, nullptr, 0, &size);  // fails by design, with the size
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token.Get(), infoClass, buffer.data(), size, &size)) {
        return {};
    }
    return buffer;
}

int PrintIntegrityLevel() {
    const std::vector<BYTE> buffer = TokenInformation(TokenIntegrityLevel);
    LPWSTR sid = nullptr;
    if (buffer.empty() ||
        !ConvertSidToStringSidW(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid, &sid)) {
        return WindowsFailure(L"GetTokenInformation(TokenIntegrityLevel)");
    }
    Write(STD_OUTPUT_HANDLE, std::wstring(sid) + L"\n");
    LocalFree(sid);
    return 0;
}

int PrintPrivileges() {
    const std::vector<BYTE> buffer = TokenInformation(TokenPrivileges);
    if (buffer.empty()) {
        return WindowsFailure(L"GetTokenInformation(TokenPrivileges)");
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    std::wstring text;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID luid = privileges->Privileges[i].Luid;
        wchar_t name[128] = {};
        DWORD length = 128;
        if (!LookupPrivilegeNameW(nullptr, &luid, name, &length)) {
            return WindowsFailure(L"LookupPrivilegeNameW");
        }
        text += std::wstring(name) + L"\n";
    }
    Write(STD_OUTPUT_HANDLE, text);
    return 0;
}

// The processes stay alive while the next one starts, so that each counts against a
// job's active-process limit; the job or their own sleep ends them.
int SpawnSleepers(DWORD count, const std::wstring& sleepMs) {
    const std::wstring program = ModulePath();
    std::wstring text;
    std::vector<UniqueHandle> started;
    for (DWORD i = 0; i < count; ++i) {
        std::wstring commandLine = QuoteArgument(program) + L" sleep " + sleepMs;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &child)) {
            started.emplace_back(child.hProcess);
            const UniqueHandle thread(child.hThread);
            text += L"started\n";
        } else {
            text += L"failed " + std::to_wstring(GetLastError()) + L"\n";
        }
    }
    Write(STD_OUTPUT_HANDLE, text);
    return 0;
}

int Allocate(DWORD megabytes) {
    void* memory = VirtualAlloc(nullptr, SIZE_T{megabytes} << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == nullptr) {
        Write(STD_OUTPUT_HANDLE, L"failed " + std::to_wstring(GetLastError()) + L"\n");
        return 0;
    }
    VirtualFree(memory, 0, MEM_RELEASE);
    Write(STD_OUTPUT_HANDLE, L"allocated\n");
    return 0;
}

// The process id of this process's parent; 0 when the snapshot does not show it.
DWORD ParentId() {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot.Get(), &process); more; more = Process32NextW(snapshot.Get(), &process)) {
        if (process.th32ProcessID == GetCurrentProcessId()) {
            return process.th32ParentProcessID;
        }
    }
    return 0;
}

// Reads another process's environment block through its process parameters, the way any
// process that may read its memory can.
std::wstring RemoteEnvironment(HANDLE process) {
    using QueryProcess = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    struct {
        void* reserved1;
        BYTE* pebBaseAddress;
        void* reserved2[4];
    } basic{};
    if (query == nullptr || query(process, 0 /* ProcessBasicInformation */, &basic, sizeof basic, nullptr) != 0) {
        return {};
    }
    // 64-bit layouts: PEB.ProcessParameters at 0x20, RTL_USER_PROCESS_PARAMETERS.Environment at 0x80.
    BYTE* parameters = nullptr;
    const wchar_t* environment = nullptr;
    if (!ReadProcessMemory(process, basic.pebBaseAddress + 0x20, &parameters, sizeof parameters, nullptr) ||
        !ReadProcessMemory(process, parameters + 0x80, &environment, sizeof environment, nullptr)) {
        return {};
    }
    std::wstring text;
    wchar_t chunk[512];
    SIZE_T read = 0;
    while (text.size() < (1u << 20) && ReadProcessMemory(process, environment + text.size(), chunk, sizeof chunk, &read)) {
        text.append(chunk, read / sizeof(wchar_t));
        if (text.find(std::wstring(2, L'\0')) != std::wstring::npos) {
            break;
        }
    }
    return text;
}

std::wstring Outcome(const wchar_t* what, const UniqueHandle& opened, DWORD error) {
    return std::wstring(what) + (opened ? L" ok\n" : L" " + std::to_wstring(error) + L"\n");
}

int AttackParent(const std::wstring& secret) {
    const DWORD parentId = ParentId();
    if (parentId == 0) {
        return WindowsFailure(L"CreateToolhelp32Snapshot");
    }
    const UniqueHandle reader(OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, parentId));
    const DWORD readError = GetLastError();
    std::wstring text = Outcome(L"memory", reader, readError);
    if (reader) {
        text = RemoteEnvironment(reader.Get()).find(secret) != std::wstring::npos ? L"memory found\n"
                                                                                   : L"memory missing\n";
    }
    const UniqueHandle duplicator(OpenProcess(PROCESS_DUP_HANDLE, FALSE, parentId));
    text += Outcome(L"duplicate", duplicator, GetLastError());
    const UniqueHandle terminator(OpenProcess(PROCESS_TERMINATE, FALSE, parentId));
    text += Outcome(L"terminate", terminator, GetLastError());
    const UniqueHandle querier(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId));
    HANDLE token = nullptr;
    const bool opened = querier && OpenProcessToken(querier.Get(), TOKEN_DUPLICATE | TOKEN_QUERY, &token);
    const UniqueHandle tokenOwner(opened ? token : nullptr);
    text += Outcome(L"token", tokenOwner, GetLastError());
    Write(STD_OUTPUT_HANDLE, text);
    return 0;
}

// What a hostile child does to the console it shares: the caller's shell reads the line
// once the launcher returns, and runs it.
int InjectIntoConsole(const std::wstring& text) {
    const UniqueHandle input(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<INPUT_RECORD> keys;
    for (const wchar_t character : text + L"\r") {
        INPUT_RECORD key{};
        key.EventType = KEY_EVENT;
        key.Event.KeyEvent.bKeyDown = TRUE;
        key.Event.KeyEvent.wRepeatCount = 1;
        key.Event.KeyEvent.wVirtualKeyCode = character == L'\r' ? VK_RETURN : 0;
        key.Event.KeyEvent.uChar.UnicodeChar = character;
        keys.push_back(key);
        key.Event.KeyEvent.bKeyDown = FALSE;
        keys.push_back(key);
    }
    DWORD written = 0;
    if (!input || !WriteConsoleInputW(input.Get(), keys.data(), static_cast<DWORD>(keys.size()), &written)) {
        return WindowsFailure(L"WriteConsoleInputW");
    }
    return 0;
}

int CopyInput() {
    char buffer[4096];
    DWORD read = 0;
    DWORD written = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, read, &written, nullptr);
    }
    return 0;
}

int ReadLine() {
    std::string line = "got ";
    char unit = 0;
    DWORD read = 0;
    while (unit != '\n' && ReadFile(GetStdHandle(STD_INPUT_HANDLE), &unit, 1, &read, nullptr) && read == 1) {
        line += unit;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 0;
}

int Alternate(DWORD lines) {
    for (DWORD i = 0; i < lines; ++i) {
        const std::string line = std::to_string(i) + "\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(i % 2 == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), line.data(),
                  static_cast<DWORD>(line.size()), &written, nullptr);
    }
    return 0;
}

int Flood(DWORD writes, DWORD size) {
    const std::string piece(size, 'x');
    for (DWORD i = 0; i < writes; ++i) {
        DWORD written = 0;
        if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), piece.data(), size, &written, nullptr)) {
            return WindowsFailure(L"WriteFile");
        }
    }
    return 0;
}

int Stamp() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    Write(STD_OUTPUT_HANDLE, std::to_wstring(now.QuadPart));
    return 0;
}

int Run(const std::wstring& mode, const std::vector<std::wstring>& rest) {
    DWORD first = 0;
    DWORD second = 0;
    if (mode == L"args") {
        return PrintArguments(rest);
    }
    if (mode == L"exit" && rest.size() == 1 && ReadNumber(rest[0], first)) {
        return static_cast<int>(first);
    }
    if (mode == L"sleep" && (rest.size() == 1 || rest.size() == 2) && ReadNumber(rest[0], first) &&
        (rest.size() == 1 || ReadNumber(rest[1], second))) {
        Sleep(first);
        return static_cast<int>(second);
    }
    if (mode == L"groups" && rest.empty()) {
        return PrintTokenGroups();
    }
    if (mode == L"grandchild" && (rest.size() == 2 || rest.size() == 3) && ReadNumber(rest[1], first) &&
        (rest.size() == 2 || ReadNumber(rest[2], second))) {
        const int result = StartGrandchild(L"marker " + QuoteArgument(rest[0]) + L" " + rest[1]);
        if (result == 0) {
            Sleep(second);
        }
        return result;
    }
    if (mode == L"holder" && rest.size() == 2 && ReadNumber(rest[1], first)) {
        const int result = StartGrandchild(L"hold " + QuoteArgument(rest[0]) + L" " + rest[1]);
        Sleep(500);  // time for the grandchild to open the file before this child ends
        return result;
    }
    if (mode == L"swapper" && rest.size() == 1 && ReadNumber(rest[0], first)) {
        const wchar_t* const temp = _wgetenv(L"TEMP");
        const int result = StartGrandchild(L"swap " + QuoteArgument(temp != nullptr ? temp : L"") + L" " + rest[0]);
        Sleep(500);  // time for the grandchild to open its file before this child ends
        return result;
    }
    if (mode == L"swap" && rest.size() == 2 && ReadNumber(rest[1], first)) {
        return SwapFolderLater(rest[0], first);
    }
    if (mode == L"hold" && rest.size() == 2 && ReadNumber(rest[1], first)) {
        // Open as a reader does that does not share the file's deletion, and so its replacement.
        const UniqueHandle file(CreateFileW(rest[0].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        Sleep(first);
        return file ? 0 : WindowsFailure(L"CreateFileW");
    }
    if (mode == L"marker" && rest.size() == 2 && ReadNumber(rest[1], first)) {
        return CreateMarkerLater(rest[0], first);
    }
    if (mode == L"write" && rest.size() == 2 && ReadNumber(rest[0], first)) {
        return WriteToInheritedHandle(first, rest[1]);
    }
    if (mode == L"env" && rest.empty()) {
        return PrintEnvironment();
    }
    if (mode == L"integrity" && rest.empty()) {
        return PrintIntegrityLevel();
    }
    if (mode == L"privileges" && rest.empty()) {
        return PrintPrivileges();
    }
    if (mode == L"spawn" && rest.size() == 2 && ReadNumber(rest[0], first) && ReadNumber(rest[1], second)) {
        return SpawnSleepers(first, rest[1]);
    }
    if (mode == L"allocate" && rest.size() == 1 && ReadNumber(rest[0], first)) {
        return Allocate(first);
    }
    if (mode == L"inject" && rest.size() == 1) {
        return InjectIntoConsole(rest[0]);
    }
    if (mode == L"copy-input" && rest.empty()) {
        return CopyInput();
    }
    if (mode == L"line" && rest.empty()) {
        return ReadLine();
    }
    if (mode == L"alternate" && rest.size() == 1 && ReadNumber(rest[0], first)) {
        return Alternate(first);
    }
    if (mode == L"flood" && rest.size() == 2 && ReadNumber(rest[0], first) && ReadNumber(rest[1], second)) {
        return Flood(first, second);
    }
    if (mode == L"stamp" && rest.empty()) {
        return Stamp();
    }
    if (mode == L"parent" && rest.size() == 1) {
        return AttackParent(rest[0]);
    }
    return Usage();
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 2) {
        return Usage();
    }
    return Run(argv[1], std::vector<std::wstring>(argv + 2, argv + argc));
}
