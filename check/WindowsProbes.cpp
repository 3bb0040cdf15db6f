// The probes: each is the attack a hostile child would make on brindle's protections,
// run as the child of a launch the checker starts. A probe says what happened in one
// line and exits with what it found.
#include <cstdint>
#include <string>
#include <vector>

#include "check/Probes.h"
#include "platform/Text.h"

namespace brindle {
namespace {

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
