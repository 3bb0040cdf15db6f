#include "app/LauncherMain.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "app/ContainInJob.h"
#include "cli/ParseArguments.h"
#include "dirs/GrantWritableDirs.h"
#include "platform/Owners.h"
#include "platform/Text.h"
#include "token/LaunchTokens.h"
#include "token/LowIntegrity.h"
#include "token/RestrictedToken.h"

namespace brindle {
namespace {

// Everything one run opens. Members are destroyed in reverse order of declaration,
// which is the release order of the launch: the child's thread (when creation
// succeeded but the run ended before the resume closed it), the child's process
// handle, the job (whose kill-on-close then ends every process the child left in it),
// the tokens with the launcher's own last, and the command buffer.
struct RunState {
    explicit RunState(Platform& platform) : tokens(platform), job(platform), process(platform), thread(platform) {}

    std::u16string commandBuffer;  // the writable copy of the command line that creation may write into
    LaunchTokens tokens;
    UniqueHandle job;
    UniqueHandle process;
    UniqueHandle thread;
    DWORD processId = 0;
};

// Suspended, so that nothing runs before containment; a new process group, so that
// the child starts with Ctrl+C handling disabled and the launcher's console signals
// do not reach it as a group member.
constexpr DWORD kCreationFlags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP;  // 0x204

// The longest finite wait: INFINITE (0xFFFFFFFF) must not be reached by a large timeout.
constexpr std::uint64_t kLongestFiniteWait = 0xFFFFFFFE;

// How long a child that brindle ended is given to be gone before the run returns.
constexpr DWORD kEndWaitMs = 5000;

// What ResumeThread returns when it fails.
constexpr DWORD kResumeFailed = 0xFFFFFFFF;

std::u16string Switch(bool value) { return value ? u"1" : u"0"; }

void PrintSummary(Platform& platform, const LaunchOptions& options) {
    platform.WriteStandardError(u"[brindle] Command: " + options.command + u"\n");
    platform.WriteStandardError(u"[brindle] Options: lowIL=" + Switch(options.lowIL) +
                                u" restrictedToken=" + Switch(options.restrictedToken) +
                                u" jobObject=" + Switch(options.jobObject) +
                                u" maxProc=" + Decimal(options.maxProc) +
                                u" timeout=" + Decimal(options.timeout) + u"\n");
    platform.WriteStandardError(u"[brindle] Writable dirs: " + Decimal(options.writableDirs.size()) + u"\n");
}

bool OpenOwnToken(Platform& platform, LaunchTokens& tokens) {
    if (!platform.OpenProcessToken(platform.GetCurrentProcess(), TOKEN_ALL_ACCESS, tokens.processToken.put())) {
        platform.WriteStandardError(FailedLine(u"OpenProcessToken", platform.GetLastError()));
        return false;
    }
    tokens.effectiveToken = tokens.processToken.get();
    return true;
}

// The child shares the launcher's standard streams, handed on as GetStdHandle returns them.
STARTUPINFOW MakeStartupRecord(Platform& platform) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = platform.GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = platform.GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = platform.GetStdHandle(STD_ERROR_HANDLE);
    return startup;
}

// Creates the child suspended with the prepared token, or, when Windows refuses
// that, with the launcher's own token. The child inherits the launcher's
// inheritable handles, environment and current directory.
bool CreateChild(Platform& platform, RunState& run) {
    STARTUPINFOW startup = MakeStartupRecord(platform);
    PROCESS_INFORMATION child{};
    if (!platform.CreateProcessAsUserW(run.tokens.effectiveToken, nullptr, run.commandBuffer.data(), nullptr,
                                       nullptr, TRUE, kCreationFlags, nullptr, nullptr, &startup, &child)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"CreateProcessAsUser", error));
        if (error == ERROR_PRIVILEGE_NOT_HELD) {
            platform.WriteStandardError(
                u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.\n");
        }
        // A program that demands elevation, started again with the launcher's own token
        // from an elevated console, would run with the very rights the reduced token withheld.
        if (error == ERROR_ELEVATION_REQUIRED && run.tokens.IsReduced()) {
            platform.WriteStandardError(
                u"[brindle] The command requires elevation; not falling back to brindle's own token\n");
            return false;
        }
        platform.WriteStandardError(u"[brindle] Falling back to CreateProcessW (no privilege reduction)\n");
        if (!platform.CreateProcessW(nullptr, run.commandBuffer.data(), nullptr, nullptr, TRUE, kCreationFlags,
                                     nullptr, nullptr, &startup, &child)) {
            platform.WriteStandardError(FailedLine(u"CreateProcessW also", platform.GetLastError()));
            return false;
        }
    }
    run.process.adopt(child.hProcess);
    run.thread.adopt(child.hThread);
    run.processId = child.dwProcessId;
    return true;
}

// Ends the child, with every process it started when it runs in a job, and gives
// Windows a few seconds to finish ending it, so that it is gone when the run returns.
void EndChild(Platform& platform, const RunState& run) {
    if (!run.job || !platform.TerminateJobObject(run.job.get(), 1)) {
        platform.TerminateProcess(run.process.get(), 1);
    }
    platform.WaitForSingleObject(run.process.get(), kEndWaitMs);
}

// Resumes the suspended child. A child that cannot be resumed would never run and
// the wait would never end: it is ended instead, and the run fails.
bool StartChild(Platform& platform, RunState& run, bool verbose) {
    const bool resumed = platform.ResumeThread(run.thread.get()) != kResumeFailed;
    const DWORD error = resumed ? 0 : platform.GetLastError();  // before the thread's release
    run.thread.reset();
    if (!resumed) {
        platform.WriteStandardError(FailedLine(u"ResumeThread", error));
        platform.TerminateProcess(run.process.get(), 1);
        platform.WaitForSingleObject(run.process.get(), kEndWaitMs);
        return false;
    }
    if (verbose) {
        platform.WriteStandardError(u"[brindle] Child process started (PID=" + Decimal(run.processId) + u")\n");
    }
    return true;
}

DWORD WaitLimit(std::uint32_t timeoutSeconds) {
    if (timeoutSeconds == 0) {
        return INFINITE;
    }
    return static_cast<DWORD>(std::min(std::uint64_t{timeoutSeconds} * 1000, kLongestFiniteWait));
}

// Waits for the child within the time limit and returns the run's exit status.
DWORD WaitForChild(Platform& platform, const RunState& run, const LaunchOptions& options) {
    const DWORD result = platform.WaitForSingleObject(run.process.get(), WaitLimit(options.timeout));
    if (result == WAIT_TIMEOUT) {
        platform.WriteStandardError(u"[brindle] Child process timed out after " + Decimal(options.timeout) +
                                    u" seconds, terminating\n");
        EndChild(platform, run);
        return 1;
    }
    if (result != WAIT_OBJECT_0) {
        platform.WriteStandardError(FailedLine(u"WaitForSingleObject", platform.GetLastError()));
        return 1;
    }
    DWORD exitCode = 1;
    platform.GetExitCodeProcess(run.process.get(), &exitCode);
    if (options.verbose) {
        platform.WriteStandardError(u"[brindle] Child process exited with code " + Decimal(exitCode) + u"\n");
    }
    return exitCode;
}

}  // namespace

DWORD LauncherMain(int argc, const char16_t* const* argv, Platform& platform) {
    LaunchOptions options;
    if (!ParseArguments(argc, argv, options, platform)) {
        return 1;
    }
    if (options.verbose) {
        PrintSummary(platform, options);
    }

    RunState run(platform);
    if (!OpenOwnToken(platform, run.tokens)) {
        return 1;
    }
    if (options.restrictedToken) {
        ApplyRestrictedToken(platform, run.tokens, options.verbose);
    }
    if (options.lowIL && !ApplyLowIntegrityLevel(platform, run.tokens, options.verbose)) {
        return 1;
    }
    GrantWritableDirs(platform, options);
    run.commandBuffer = options.command;
    if (!CreateChild(platform, run)) {
        return 1;
    }
    if (options.jobObject) {
        ContainInJob(platform, run.process.get(), options.maxProc, options.verbose, run.job);
    }
    if (!StartChild(platform, run, options.verbose)) {
        return 1;
    }
    return WaitForChild(platform, run, options);
}

}  // namespace brindle
