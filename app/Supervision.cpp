#include "app/Supervision.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>

#include "job/ContainInJob.h"
#include "cli/CommandLine.h"
#include "job/JobAccounting.h"
#include "platform/Text.h"

namespace brindle {
namespace {

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

JobLimits LimitsOf(const LaunchOptions& options) {
    return {options.maxProc, options.maxMemory, options.maxProcessMemory, options.cpuRate, options.cpuTime};
}

// firstError is the prepared token's refusal.
Creation TryCreation(Platform& platform, RunState& run, FallBack fallBack, DWORD& firstError) {
    STARTUPINFOW* startup = run.startup.Get();
    const BOOL inheritHandles = run.startup.InheritHandles();
    const bool ownEnvironment = !run.environmentBlock.empty();
    void* environment = ownEnvironment ? run.environmentBlock.data() : nullptr;
    const DWORD flags = kCreationFlags | run.startup.CreationFlags() | (ownEnvironment ? CREATE_UNICODE_ENVIRONMENT : 0) |
                        (run.console.Prepared() ? CREATE_NO_WINDOW : 0);  // a hidden console of its own
    PROCESS_INFORMATION child{};
    if (!platform.CreateProcessAsUserW(run.tokens.effectiveToken, nullptr, run.commandBuffer.data(), nullptr,
                                       nullptr, inheritHandles, flags, environment, nullptr, startup, &child)) {
        firstError = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"CreateProcessAsUser", firstError));
        // A program that is not there is not there for brindle's own token either.
        if (firstError == ERROR_FILE_NOT_FOUND || firstError == ERROR_PATH_NOT_FOUND) {
            platform.WriteStandardError(u"[brindle] Program not found: " + ProgramOf(run.commandBuffer) + u"\n");
            return Creation::Failed;
        }
        if (firstError == ERROR_PRIVILEGE_NOT_HELD) {
            platform.WriteStandardError(
                u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.\n");
        }
        // A reduced token refused for any reason but the missing privilege is never
        // replaced by the launcher's own: a child that can write a folder could plant a
        // program the reduced token may not run (5), and a program that demands
        // elevation (740) would get the very rights the reduced token withheld.
        if ((run.tokens.IsReduced() && firstError != ERROR_PRIVILEGE_NOT_HELD) || fallBack == FallBack::Never) {
            platform.WriteStandardError(
                firstError == ERROR_ELEVATION_REQUIRED
                    ? u"[brindle] The command requires elevation; not falling back to brindle's own token\n"
                    : u"[brindle] Not falling back to brindle's own token after error " + Decimal(firstError) + u"\n");
            return Creation::Failed;
        }
        if (fallBack == FallBack::RefusedStrictly) {
            return Creation::RefusedStrictly;
        }
        platform.WriteStandardError(u"[brindle] Falling back to CreateProcessW (no privilege reduction)\n");
        if (!platform.CreateProcessW(nullptr, run.commandBuffer.data(), nullptr, nullptr, inheritHandles, flags,
                                     environment, nullptr, startup, &child)) {
            platform.WriteStandardError(FailedLine(u"CreateProcessW also", platform.GetLastError()));
            return Creation::Failed;
        }
    }
    run.process.adopt(child.hProcess);
    run.thread.adopt(child.hThread);
    run.processId = child.dwProcessId;
    return firstError == 0 ? Creation::WithPreparedToken : Creation::WithOwnToken;
}

// A restriction applies only when the child was created with it: the token steps only
// with the token they prepared, what the child inherits with any child at all.
void RecordCreation(RunRecord& record, const LaunchTokens& tokens, Creation creation, DWORD firstError) {
    const auto notApplied = [firstError](RestrictionRecord& restriction) {
        if (restriction.applied) {
            restriction.Record(StepResult::Failed(firstError));
        }
    };
    if (creation != Creation::WithPreparedToken) {
        notApplied(record.restrictedToken);
        notApplied(record.lowIntegrity);
    }
    if (creation == Creation::Failed || creation == Creation::RefusedStrictly) {
        notApplied(record.stdHandlesOnly);
        notApplied(record.environment);
        notApplied(record.privateConsole);
        notApplied(record.scratch);
    }
    if (creation == Creation::WithOwnToken) {
        record.childToken = ChildToken::Own;
    } else if (creation == Creation::WithPreparedToken) {
        record.childToken = tokens.restrictedToken  ? ChildToken::Restricted
                            : tokens.duplicateToken ? ChildToken::Duplicate
                                                    : ChildToken::Own;
    }
}

// Resumes the suspended child. A child that cannot be resumed would never run and
// the wait would never end: it is ended instead, and the run fails.
bool StartChild(Platform& platform, RunState& run, bool verbose) {
    const bool resumed = platform.ResumeThread(run.thread.get()) != kResumeFailed;
    const DWORD error = resumed ? 0 : platform.GetLastError();  // before the thread's release
    run.thread.reset();
    if (!resumed) {
        platform.WriteStandardError(FailedLine(u"ResumeThread", error));
        EndChild(platform, run, false);
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

// An exit code from 0xC0000000 to 0xFFFFFFFE is an NTSTATUS error (an exception, a
// loader failure), which a program ended by it never reports itself.
std::optional<std::u16string> CrashLine(DWORD exitCode) {
    if (exitCode < 0xC0000000 || exitCode == 0xFFFFFFFF) {
        return std::nullopt;
    }
    const std::pair<DWORD, std::u16string_view> known[] = {
        {0xC0000005, u" (access violation)"}, {0xC0000022, u" (access denied)"},
        {0xC0000135, u" (a DLL was not found)"}, {0xC00000FD, u" (stack overflow)"},
        {0xC000013A, u" (interrupted)"},       {0xC0000409, u" (stack buffer overrun)"}};
    std::u16string line = u"[brindle] The command ended with status " + Hexadecimal(exitCode);
    for (const auto& [status, meaning] : known) {
        if (status == exitCode) {
            line += meaning;
        }
    }
    return line + u"\n";
}

DWORD WaitForChild(Platform& platform, RunState& run, const LaunchOptions& options, RunRecord& record) {
    const DWORD result = run.events.WaitForChild(run.process.get(), WaitLimit(options.timeout));
    StopClock(platform, run, record);
    if (result == WAIT_TIMEOUT) {
        record.outcome = Outcome::TimedOut;
        platform.WriteStandardError(u"[brindle] Child process timed out after " + Decimal(options.timeout) +
                                    u" seconds, terminating\n");
        EndChild(platform, run, true);
        return 1;
    }
    if (result != WAIT_OBJECT_0) {
        record.outcome = Outcome::WaitFailed;
        platform.WriteStandardError(FailedLine(u"WaitForSingleObject", platform.GetLastError()));
        return 1;
    }
    DWORD exitCode = 1;
    platform.GetExitCodeProcess(run.process.get(), &exitCode);
    record.outcome = Outcome::Exited;
    record.childExitCode = exitCode;
    if (options.verbose) {
        platform.WriteStandardError(u"[brindle] Child process exited with code " + Decimal(exitCode) + u"\n");
    }
    if (const std::optional<std::u16string> crash = CrashLine(exitCode)) {
        platform.WriteStandardError(*crash);
        record.outcome = Outcome::Crashed;
        record.message = platform.LastLine();
    }
    return exitCode;
}

}  // namespace

Creation CreateChild(Platform& platform, RunState& run, FallBack fallBack, RunRecord& record) {
    run.commandBuffer = record.command;
    run.creationTick = platform.GetTickCount64();
    record.startedAt = SystemTime(platform);
    DWORD firstError = 0;
    const Creation creation = TryCreation(platform, run, fallBack, firstError);
    if (creation == Creation::Failed) {
        const bool missing = firstError == ERROR_FILE_NOT_FOUND || firstError == ERROR_PATH_NOT_FOUND;
        record.notStartedAt = missing ? NotStartedAt::ProgramMissing : NotStartedAt::Creation;
    }
    run.startup.ReleaseDuplicates();
    RecordCreation(record, run.tokens, creation, firstError);
    return creation;
}

void ContainChild(Platform& platform, RunState& run, const LaunchOptions& options, RunRecord& record) {
    const JobResult contained =
        ContainInJob(platform, run.process.get(), LimitsOf(options), options.verbose, run.job, run.events);
    record.job.Record(contained.job);
    record.uiRestrictions.Record(contained.uiRestrictions);
    if (record.cpuRate.requested) {
        record.cpuRate.Record(contained.cpuRate);
    }
}

void VerifyChild(Platform& platform, const RunState& run, const LaunchOptions& options, RunRecord& record) {
    const Applied applied{record.restrictedToken.applied, record.lowIntegrity.applied, record.job.applied,
                          record.uiRestrictions.applied, record.cpuRate.applied};
    ChildReading child;
    child.pid = run.processId;
    const Verified verified =
        ReadBack(platform, run.process.get(), run.job.get(), applied, LimitsOf(options), options.verbose, child);
    record.child = child;
    const std::tuple<RestrictionRecord&, bool> checked[] = {
        {record.restrictedToken, verified.restrictedToken}, {record.lowIntegrity, verified.lowIntegrity},
        {record.job, verified.job}, {record.uiRestrictions, verified.uiRestrictions},
        {record.cpuRate, verified.cpuRate}};
    for (const auto& [restriction, isVerified] : checked) {
        if (restriction.applied) {
            restriction.verified = isVerified;
        }
    }
}

bool ChildAsRequested(const RunRecord& record) {
    const bool contained = !record.job.requested || (record.job.applied && record.uiRestrictions.applied &&
                                                     (!record.cpuRate.requested || record.cpuRate.applied));
    for (const RestrictionRecord* restriction : {&record.restrictedToken, &record.lowIntegrity, &record.job,
                                                 &record.uiRestrictions, &record.cpuRate}) {
        if (restriction->applied && restriction->verified != true) {
            return false;
        }
    }
    return contained && record.ownProcess.applied;
}

void EndChild(Platform& platform, const RunState& run, bool wholeJob) {
    if (!wholeJob || !run.job || !platform.TerminateJobObject(run.job.get(), 1)) {
        platform.TerminateProcess(run.process.get(), 1);
    }
    platform.WaitForSingleObject(run.process.get(), kEndWaitMs);
}

DWORD EndUnresumed(Platform& platform, const RunState& run, RunRecord& record) {
    EndChild(platform, run, false);
    StopClock(platform, run, record);
    return 1;
}

DWORD RunChild(Platform& platform, RunState& run, const LaunchOptions& options, RunRecord& record,
               ForwardedInterrupt& interrupt) {
    // On a console of its own the child cannot be interrupted but through brindle.
    if (run.console.Prepared()) {
        interrupt.Arm(run.job.get(), run.process.get());
    }
    run.console.Start();  // with the child: one refused before it runs gets none of brindle's input
    if (!StartChild(platform, run, options.verbose)) {
        record.notStartedAt = NotStartedAt::Creation;
        StopClock(platform, run, record);
        return 1;
    }
    const DWORD status = WaitForChild(platform, run, options, record);
    // Still under the handler: an interrupt while the output is copied for the last time
    // ends what holds the pipes open, and the run still finishes with its report.
    run.console.Finish();
    interrupt.Disarm();
    // Ended by brindle's own handler, not by a fault of the child's.
    if (interrupt.Fired() && record.outcome == Outcome::Crashed &&
        status == ForwardedInterrupt::kExitCode) {
        record.outcome = Outcome::Interrupted;
        record.message.reset();
    }
    return status;
}

void CollectJob(Platform& platform, RunState& run, RunRecord& record) {
    run.console.Finish();
    if (run.job) {
        // The messages first: the last of them may still end the job (the CPU-time limit).
        record.processes = run.events.Collect();
        record.limitsReached = run.events.LimitsReached();
        record.jobAccounting = ReadJobAccounting(platform, run.job.get());
    }
}

std::uint64_t SystemTime(Platform& platform) {
    FILETIME now{};
    platform.GetSystemTimeAsFileTime(&now);
    return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

void StopClock(Platform& platform, const RunState& run, RunRecord& record) {
    record.elapsedMs = platform.GetTickCount64() - run.creationTick;
}

}  // namespace brindle
