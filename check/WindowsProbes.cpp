// The probes: each is the attack a hostile child would make on brindle's protections,
// run as the child of a launch the checker starts. A probe says what happened in one
// line and exits with what it found.
#include <cstdint>
#include <string>
#include <vector>

#include "check/CheckResults.h"
#include "check/WindowsCheck.h"
#include "platform/Text.h"

namespace brindle {
namespace {

struct Finding {
    DWORD status;
    std::u16string evidence;
};

Finding Held(std::u16string evidence) { return {kProbeHeld, std::move(evidence)}; }
Finding Succeeded(std::u16string evidence) { return {kProbeSucceeded, std::move(evidence)}; }
Finding CouldNotTry(const std::u16string& operation, DWORD error) {
    return {kProbeCouldNotTry, operation + u" failed: " + Decimal(error)};
}
std::u16string Refused(const std::u16string& operation, DWORD error) {
    return operation + u" refused: " + Decimal(error);
}
// Only access denied is the refusal a protection makes; any other failure (a missing
// folder, a wrong id) says nothing about the protection, so the attack was not made.
Finding HeldIfDenied(const std::u16string& operation, DWORD error) {
    return error == ERROR_ACCESS_DENIED ? Held(Refused(operation, error)) : CouldNotTry(operation, error);
}

using Values = std::vector<std::u16string>;

std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass) {
    DWORD size = 0;
    ::GetTokenInformation(token, infoClass, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, infoClass, buffer.data(), size, &size)) {
        buffer.clear();
    }
    return buffer;
}

// The token brindle gave this probe keeps no privilege besides SeChangeNotifyPrivilege
// (one merely disabled could be enabled again) and no enabled Administrators group.
Finding RestrictedToken(const Values&) {
    OwnedHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return CouldNotTry(u"OpenProcessToken", ::GetLastError());
    }
    const std::vector<BYTE> privileges = TokenInformation(token.get(), TokenPrivileges);
    const std::vector<BYTE> groups = TokenInformation(token.get(), TokenGroups);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(administrators);
    if (privileges.empty() || groups.empty() ||
        !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize)) {
        return CouldNotTry(u"GetTokenInformation", ::GetLastError());
    }
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(privileges.data());
    DWORD others = 0;
    for (DWORD index = 0; index < held->PrivilegeCount; ++index) {
        const LUID luid = held->Privileges[index].Luid;
        others += luid.HighPart != 0 || luid.LowPart != 23 ? 1 : 0;  // 23: SeChangeNotifyPrivilege
    }
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    bool enabledAdministrators = false;
    for (DWORD index = 0; index < list->GroupCount; ++index) {
        const DWORD attributes = list->Groups[index].Attributes;
        enabledAdministrators = enabledAdministrators ||
                                (::EqualSid(list->Groups[index].Sid, administrators) &&
                                 (attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0);
    }
    const std::u16string evidence = Decimal(others) + u" privileges besides SeChangeNotifyPrivilege; Administrators " +
                                  (enabledAdministrators ? u"enabled" : u"not enabled");
    return others == 0 && !enabledAdministrators ? Held(evidence) : Succeeded(evidence);
}

// A Low process may not write where its caller's files are: a new file in the checker's
// folder is refused. One made anyway is gone when its handle closes.
Finding LowIntegrity(const Values& values) {
    const std::u16string path = values[0] + u"\\low-integrity.txt";
    OwnedHandle file(::CreateFileW(Wide(path), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file) {
        return HeldIfDenied(u"CreateFileW in the checker's folder", ::GetLastError());
    }
    return Succeeded(u"created " + path);
}

// The brindle that launched this probe: the parent Windows recorded at creation.
DWORD LaunchingBrindle() {
    struct BasicInformation {  // PROCESS_BASIC_INFORMATION, with its fields named
        LONG_PTR exitStatus;
        void* pebBaseAddress;
        ULONG_PTR affinityMask;
        LONG_PTR basePriority;
        ULONG_PTR uniqueProcessId;
        ULONG_PTR inheritedFromUniqueProcessId;
    } information = {};
    using Query = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    const auto query = NtdllFunction<Query>("NtQueryInformationProcess");
    const ULONG kProcessBasicInformation = 0;
    if (query == nullptr ||
        query(::GetCurrentProcess(), kProcessBasicInformation, &information, sizeof(information), nullptr) < 0) {
        return 0;
    }
    return static_cast<DWORD>(information.inheritedFromUniqueProcessId);
}

// Enables the privilege in this process's token; true only when it is held and enabled.
bool EnablePrivilege(const wchar_t* name) {
    OwnedHandle token;
    TOKEN_PRIVILEGES privilege = {};
    privilege.PrivilegeCount = 1;
    privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put()) &&
           ::LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid) &&
           ::AdjustTokenPrivileges(token.get(), FALSE, &privilege, 0, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SUCCESS;  // ERROR_NOT_ALL_ASSIGNED: not held
}

// One way into brindle's process: 0 when granted, else why not.
DWORD TryOpen(DWORD processId, DWORD access) {
    const OwnedHandle process(::OpenProcess(access, FALSE, processId));
    return process ? 0 : ::GetLastError();
}

std::u16string Opened(const char16_t* accessName, DWORD error) {
    return error == 0 ? std::u16string(accessName) + u" granted" : Refused(accessName, error);
}

// With SeDebugPrivilege (if the token lets it be enabled), reading brindle's memory or
// taking its handles: both refused by the DACL brindle set on its own process.
Finding OwnProcess(const Values&) {
    const DWORD brindle = LaunchingBrindle();
    if (brindle == 0) {
        return CouldNotTry(u"NtQueryInformationProcess", ::GetLastError());
    }
    const bool debug = EnablePrivilege(L"SeDebugPrivilege");
    const DWORD read = TryOpen(brindle, PROCESS_VM_READ);
    const DWORD duplicate = TryOpen(brindle, PROCESS_DUP_HANDLE);
    const std::u16string evidence =
        std::u16string(debug ? u"SeDebugPrivilege enabled; " : u"SeDebugPrivilege not enabled; ") +
        Opened(u"PROCESS_VM_READ", read) + u"; " + Opened(u"PROCESS_DUP_HANDLE", duplicate);
    if (read == 0 || duplicate == 0) {
        return Succeeded(evidence);  // one way in is enough, whatever became of the other
    }
    if (read != ERROR_ACCESS_DENIED || duplicate != ERROR_ACCESS_DENIED) {
        return {kProbeCouldNotTry, evidence};  // not the refusal of brindle's DACL: a wrong or ended process
    }
    return Held(evidence);
}

// brindle's own token, which a child with fewer rights could impersonate: opening it
// for duplication is refused.
Finding OwnToken(const Values&) {
    const DWORD brindle = LaunchingBrindle();
    if (brindle == 0) {
        return CouldNotTry(u"NtQueryInformationProcess", ::GetLastError());
    }
    const OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, brindle));
    if (!process) {
        return HeldIfDenied(u"OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION)", ::GetLastError());
    }
    OwnedHandle token;
    if (!::OpenProcessToken(process.get(), TOKEN_DUPLICATE, token.put())) {
        return HeldIfDenied(u"OpenProcessToken(TOKEN_DUPLICATE)", ::GetLastError());
    }
    return Succeeded(u"opened brindle's token for TOKEN_DUPLICATE");
}

// Starts another copy of this program with these arguments and creation flags; its
// process, or nothing with the code for GetLastError.
OwnedHandle StartCopy(const std::u16string& arguments, DWORD flags, DWORD* processId = nullptr) {
    const std::u16string program = OwnPath();
    std::u16string commandLine = u"\"" + program + u"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created = {};
    if (!::CreateProcessW(Wide(program), Wide(commandLine.data()), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                          &startup, &created)) {
        return OwnedHandle();
    }
    ::CloseHandle(created.hThread);
    if (processId != nullptr) {
        *processId = created.dwProcessId;
    }
    return OwnedHandle(created.hProcess);
}

// A process that leaves the job would outlive it and its limits: refused, since the job
// does not allow breakaway. The copy is made suspended, and ended, so it runs nothing.
Finding JobBreakaway(const Values&) {
    const OwnedHandle escaped = StartCopy(u"--probe=none", CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB);
    if (!escaped) {
        return HeldIfDenied(u"CreateProcessW(CREATE_BREAKAWAY_FROM_JOB)", ::GetLastError());
    }
    ::TerminateProcess(escaped.get(), 1);
    return Succeeded(u"a process broke away from the job");
}

// The job allows one process, this probe: a second is refused. Windows documents no error
// code for that refusal, so it counts only when this process's own job reads back that limit.
Finding ProcessLimit(const Values&) {
    const OwnedHandle second = StartCopy(u"--probe=none", CREATE_SUSPENDED);
    if (!second) {
        const std::u16string refused = Refused(u"CreateProcessW of a second process", ::GetLastError());
        JOBOBJECT_BASIC_LIMIT_INFORMATION limits = {};
        if (!::QueryInformationJobObject(nullptr, JobObjectBasicLimitInformation, &limits, sizeof(limits), nullptr)) {
            return CouldNotTry(refused + u"; QueryInformationJobObject", ::GetLastError());
        }
        const bool limited =
            (limits.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0 && limits.ActiveProcessLimit == 1;
        const std::u16string read = u"; the job's limit flags " + Hexadecimal(limits.LimitFlags) + u", processes " +
                                    Decimal(limits.ActiveProcessLimit);
        return limited ? Held(refused + read) : Finding{kProbeCouldNotTry, refused + read};
    }
    ::TerminateProcess(second.get(), 1);
    return Succeeded(u"a second process started in a job limited to one");
}

// A grandchild that would outlive the run: its id goes to the checker, which looks for
// it once the run has timed out. This probe waits for the time limit to end it.
Finding JobEnd(const Values& values) {
    if (!values.empty() && values[0] == u"grandchild") {
        ::Sleep(30000);
        return {kProbeCouldNotTry, u"the grandchild outlived 30 s"};
    }
    DWORD grandchild = 0;
    const OwnedHandle started = StartCopy(u"--probe=job-end grandchild", 0, &grandchild);
    if (!started) {
        return CouldNotTry(u"CreateProcessW", ::GetLastError());
    }
    const std::string line = "grandchild " + std::to_string(grandchild) + "\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::Sleep(30000);
    return {kProbeCouldNotTry, u"the run outlived its time limit"};
}

// The job's memory limit (64 MiB) refuses a commit of 128 MiB, while one of 16 MiB, well
// within it, succeeds: a machine short of memory refuses both. The refusal counts only when
// this process's own job reads back a memory limit.
Finding MemoryLimit(const Values&) {
    void* control = ::VirtualAlloc(nullptr, SIZE_T(16) << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (control == nullptr) {
        return CouldNotTry(u"VirtualAlloc of 16 MiB", ::GetLastError());
    }
    ::VirtualFree(control, 0, MEM_RELEASE);
    const SIZE_T size = SIZE_T(128) << 20;
    void* committed = ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (committed == nullptr) {
        const std::u16string refused = Refused(u"VirtualAlloc of 128 MiB", ::GetLastError());
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof(limits),
                                         nullptr)) {
            return CouldNotTry(refused + u"; QueryInformationJobObject", ::GetLastError());
        }
        const DWORD flags = limits.BasicLimitInformation.LimitFlags;
        const std::u16string read = u"; the job's limit flags " + Hexadecimal(flags);
        const bool limited = (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0;
        return limited ? Held(refused + read) : Finding{kProbeCouldNotTry, refused + read};
    }
    ::VirtualFree(committed, 0, MEM_RELEASE);
    return Succeeded(u"committed 128 MiB");
}

// The secret the checker put in its own environment does not reach a child started with
// a minimal one.
Finding ClearEnv(const Values&) {
    if (::GetEnvironmentVariableW(L"BRINDLE_CHECK_SECRET", nullptr, 0) == 0 &&
        ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return Held(u"BRINDLE_CHECK_SECRET absent");
    }
    return Succeeded(u"BRINDLE_CHECK_SECRET reached the child");
}

// A handle the checker made inheritable is not among the standard handles: signalling its
// event by its value is refused. The checker looks at the event itself.
Finding StdHandlesOnly(const Values& values) {
    const auto value = static_cast<std::uintptr_t>(LeadingNumber(values[0]));
    if (!::SetEvent(reinterpret_cast<HANDLE>(value))) {
        return Held(Refused(u"SetEvent on the checker's handle", ::GetLastError()));
    }
    return Succeeded(u"SetEvent on the checker's handle succeeded");
}

// A key typed into the console the child can reach; the checker looks whether it reached
// its own console.
Finding PrivateConsole(const Values&) {
    const OwnedHandle input(::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!input) {
        return CouldNotTry(u"CreateFileW(CONIN$)", ::GetLastError());
    }
    INPUT_RECORD key = {};
    key.EventType = KEY_EVENT;
    key.Event.KeyEvent.bKeyDown = FALSE;
    key.Event.KeyEvent.wRepeatCount = 1;
    key.Event.KeyEvent.wVirtualKeyCode = VK_F24;
    DWORD written = 0;
    if (!::WriteConsoleInputW(input.get(), &key, 1, &written)) {
        return CouldNotTry(u"WriteConsoleInputW", ::GetLastError());
    }
    return Succeeded(u"wrote a key-up of F24 to CONIN$");
}

// Not a protection brindle gives: a Low, restricted child may still read the caller's files.
Finding Reads(const Values& values) {
    const OwnedHandle file(::CreateFileW(Wide(values[0]), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    char buffer[64];
    DWORD read = 0;
    if (!file || !::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) {
        return Held(Refused(u"reading a file of the checker's", ::GetLastError()));
    }
    return Succeeded(u"read " + Decimal(read) + u" bytes of a file of the checker's");
}

// Not a protection brindle gives: a contained child may still reach the network.
Finding Network(const Values& values) {
    const auto port = static_cast<unsigned short>(LeadingNumber(values[0]));
    Winsock winsock;
    if (winsock.Error() != 0) {
        return CouldNotTry(u"Winsock", winsock.Error());
    }
    const DWORD error = winsock.Connect(port);
    const std::u16string where = u"127.0.0.1:" + Decimal(port);
    return error == 0 ? Succeeded(u"connected to " + where) : Held(Refused(u"connect to " + where, error));
}

struct NamedProbe {
    const char16_t* name;
    Finding (*run)(const Values&);
    std::size_t values;  // how many values the checker passes it
};

const NamedProbe kAttacks[] = {
    {u"restricted-token", RestrictedToken, 0}, {u"low-integrity", LowIntegrity, 1},
    {u"own-process", OwnProcess, 0},           {u"own-token", OwnToken, 0},
    {u"job-breakaway", JobBreakaway, 0},       {u"process-limit", ProcessLimit, 0},
    {u"job-end", JobEnd, 0},                   {u"memory-limit", MemoryLimit, 0},
    {u"clear-env", ClearEnv, 0},               {u"std-handles-only", StdHandlesOnly, 1},
    {u"private-console", PrivateConsole, 0},   {u"reads", Reads, 1},
    {u"network", Network, 1},
};

}  // namespace

DWORD RunProbe(int argc, const char16_t* const* argv) {
    const std::u16string name = argv[1] + std::char_traits<char16_t>::length(u"--probe=");
    const Values values(argv + 2, argv + argc);
    Finding finding = {kProbeCouldNotTry, u"no probe named " + name};
    for (const NamedProbe& probe : kAttacks) {
        if (name == probe.name) {
            finding = values.size() >= probe.values ? probe.run(values)
                                                    : Finding{kProbeCouldNotTry, u"a value is missing"};
        }
    }
    const std::string line = EncodeUtf8(finding.evidence) + "\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return finding.status;
}

}  // namespace brindle
