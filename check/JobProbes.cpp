// The probes of the job: a process that would leave it, one too many, one that would
// outlive the run, and memory beyond its limit.
#include <string>

#include "check/Probes.h"

namespace brindle {
namespace {

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

// Windows documents no error code for a refusal by a job's limit: it counts only when this
// process's own job reads back that limit (and, for the process limit, a limit of one).
Finding HeldIfJobLimits(const std::u16string& refused, DWORD flag) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof(limits), nullptr)) {
        return CouldNotTry(refused + u"; QueryInformationJobObject", ::GetLastError());
    }
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& basic = limits.BasicLimitInformation;
    const std::u16string read = refused + u"; the job's limit flags " + Hexadecimal(basic.LimitFlags);
    const bool limited =
        (basic.LimitFlags & flag) != 0 && (flag != JOB_OBJECT_LIMIT_ACTIVE_PROCESS || basic.ActiveProcessLimit == 1);
    return limited ? Held(read) : Finding{kProbeCouldNotTry, read};
}

}  // namespace

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

// The job allows one process, this probe: a second is refused.
Finding ProcessLimit(const Values&) {
    const OwnedHandle second = StartCopy(u"--probe=none", CREATE_SUSPENDED);
    if (!second) {
        return HeldIfJobLimits(Refused(u"CreateProcessW of a second process", ::GetLastError()),
                               JOB_OBJECT_LIMIT_ACTIVE_PROCESS);
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
// within it, succeeds: a machine short of memory refuses both.
Finding MemoryLimit(const Values&) {
    void* control = ::VirtualAlloc(nullptr, SIZE_T(16) << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (control == nullptr) {
        return CouldNotTry(u"VirtualAlloc of 16 MiB", ::GetLastError());
    }
    ::VirtualFree(control, 0, MEM_RELEASE);
    const SIZE_T size = SIZE_T(128) << 20;
    void* committed = ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (committed == nullptr) {
        return HeldIfJobLimits(Refused(u"VirtualAlloc of 128 MiB", ::GetLastError()), JOB_OBJECT_LIMIT_JOB_MEMORY);
    }
    ::VirtualFree(committed, 0, MEM_RELEASE);
    return Succeeded(u"committed 128 MiB");
}

}  // namespace brindle
