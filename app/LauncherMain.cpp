#include "app/LauncherMain.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "app/RunRecord.h"
#include "app/Version.h"
#include "child/EnvironmentBlock.h"
#include "child/ProgramLookup.h"
#include "cli/CommandLine.h"
#include "child/StartupRecord.h"
#include "console/PrivateConsole.h"
#include "cli/ParseArguments.h"
#include "dirs/GrantWritableDirs.h"
#include "job/ContainInJob.h"
#include "job/JobAccounting.h"
#include "job/JobEvents.h"
#include "platform/Owners.h"
#include "platform/Text.h"
#include "report/RunReport.h"
#include "scratch/ScratchFolder.h"
#include "self/ProtectOwnProcess.h"
#include "token/LaunchTokens.h"
#include "token/LowIntegrity.h"
#include "token/RestrictedToken.h"

namespace brindle {
namespace {

// Everything one run opens. Members are destroyed in reverse order of declaration,
// which is the release order of the launch: the relay of a console of the child's own
// (joined, when the run ended before it was finished), the child's thread (when creation
// succeeded but the run ended before the resume closed it), the child's process
// handle, the job (whose kill-on-close then ends every process the child left in it),
// the job's events (the processes they opened, then the port), the tokens with the
// launcher's own last, then the startup record (its attribute
// list and any duplicate not yet released), the environment block and the command buffer.
struct RunState {
    explicit RunState(Platform& platform)
        : startup(platform),
          tokens(platform),
          events(platform),
          job(platform),
          process(platform),
          thread(platform),
          console(platform) {}

    std::u16string commandBuffer;  // the writable copy of the command line that creation may write into
    std::u16string environmentBlock;  // the child's own environment; empty when it gets the launcher's
    StartupRecord startup;
    LaunchTokens tokens;
    JobEvents events;
    UniqueHandle job;
    UniqueHandle process;
    UniqueHandle thread;
    PrivateConsole console;
    DWORD processId = 0;
    ULONGLONG creationTick = 0;  // just before the child was created
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

enum class Creation { WithPreparedToken, WithOwnToken, Failed, RefusedStrictly };

// Creates the child suspended with the prepared token, or, when Windows refuses that
// and fallBack allows it, with the launcher's own token. firstError is the prepared
// token's refusal. Both attempts hand on the same startup record and environment; the
// child inherits the launcher's current directory.
Creation CreateChild(Platform& platform, RunState& run, bool fallBack, DWORD& firstError) {
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
        if (firstError == ERROR_PRIVILEGE_NOT_HELD) {
            platform.WriteStandardError(
                u"[brindle] Hint: SeAssignPrimaryTokenPrivilege required. Try running without --restricted-token.\n");
        }
        // A reduced token refused for any reason but the missing privilege is never
        // replaced by the launcher's own: a child that can write a folder could plant a
        // program the reduced token may not run (5), and a program that demands
        // elevation (740) would get the very rights the reduced token withheld.
        if (run.tokens.IsReduced() && firstError != ERROR_PRIVILEGE_NOT_HELD) {
            platform.WriteStandardError(
                firstError == ERROR_ELEVATION_REQUIRED
                    ? u"[brindle] The command requires elevation; not falling back to brindle's own token\n"
                    : u"[brindle] Not falling back to brindle's own token after error " + Decimal(firstError) + u"\n");
            return Creation::Failed;
        }
        if (!fallBack) {
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

// Ends the child, with every process it started when wholeJob asks for it and it runs
// in a job, and gives Windows a few seconds to finish ending it, so that it is gone
// when the run returns.
void EndChild(Platform& platform, const RunState& run, bool wholeJob) {
    if (!wholeJob || !run.job || !platform.TerminateJobObject(run.job.get(), 1)) {
        platform.TerminateProcess(run.process.get(), 1);
    }
    platform.WaitForSingleObject(run.process.get(), kEndWaitMs);
}

void StopClock(Platform& platform, const RunState& run, RunRecord& record) {
    record.elapsedMs = platform.GetTickCount64() - run.creationTick;
}

// The one line that tells why the command did not run under --strict; the status to return.
DWORD RefuseStrictly(Platform& platform) {
    platform.WriteStandardError(
        u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n");
    return 1;
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
    std::u16string line = u"[brindle] The command ended with status 0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        line += u"0123456789ABCDEF"[(exitCode >> shift) & 0xF];
    }
    for (const auto& [status, meaning] : known) {
        if (status == exitCode) {
            line += meaning;
        }
    }
    return line + u"\n";
}

// Waits for the child within the time limit, hearing what its job reports meanwhile, and
// returns the run's exit status.
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
    }
    return exitCode;
}

// From the created, suspended child to its end: containment, the strict check of the
// job, the start and the wait. Returns the run's exit status.
DWORD SuperviseChild(Platform& platform, RunState& run, const LaunchOptions& options, RunRecord& record) {
    if (options.jobObject) {
        const JobLimits limits{options.maxProc, options.maxMemory, options.maxProcessMemory, options.cpuRate,
                               options.cpuTime};
        const JobResult contained =
            ContainInJob(platform, run.process.get(), limits, options.verbose, run.job, run.events);
        record.job.Record(contained.job);
        record.uiRestrictions.Record(contained.uiRestrictions);
        if (record.cpuRate.requested) {
            record.cpuRate.Record(contained.cpuRate);
        }
        const bool allApplied = record.job.applied && record.uiRestrictions.applied &&
                                (!record.cpuRate.requested || record.cpuRate.applied);
        if (options.strict && !allApplied) {
            const DWORD status = RefuseStrictly(platform);
            EndChild(platform, run, false);  // never resumed: it has run no code
            StopClock(platform, run, record);
            return status;
        }
    }
    // On a console of its own the child cannot be interrupted but through brindle.
    std::optional<ForwardedInterrupt> interrupt;
    if (run.console.Prepared()) {
        interrupt.emplace(platform, run.job.get(), run.process.get());
    }
    if (!StartChild(platform, run, options.verbose)) {
        StopClock(platform, run, record);
        return 1;
    }
    return WaitForChild(platform, run, options, record);
}

// A console of the child's own, named alone by its handle list. When it cannot be made
// the child shares brindle's console, as without the option.
StepResult PreparePrivateConsole(Platform& platform, RunState& run, const std::vector<DWORD>& threadDacl) {
    StepResult result = run.console.Prepare(threadDacl);
    if (result.applied) {
        result = run.startup.PrepareOwnStreams(run.console.ChildStreams());
    }
    if (!result.applied) {
        run.console.Finish();
        platform.WriteStandardError(u"[brindle] Warning: could not give the child a console of its own: " +
                                    Decimal(result.error) + u"\n");
    }
    return result;
}

bool AllWritable(const std::vector<WritableDir>& directories) {
    return std::all_of(directories.begin(), directories.end(),
                       [](const WritableDir& directory) { return directory.grant.Writable(); });
}

// The report of a run still under way: nothing has applied yet, since a restriction
// applies only once the child is created with it.
RunRecord Running(const RunRecord& sofar) {
    RunRecord running = sofar;
    running.outcome = Outcome::Running;
    for (RestrictionRecord* restriction :
         {&running.restrictedToken, &running.lowIntegrity, &running.job, &running.uiRestrictions, &running.cpuRate,
          &running.stdHandlesOnly, &running.environment, &running.privateConsole, &running.scratch,
          &running.ownProcess}) {
        restriction->applied = false;
    }
    return running;
}

// The launch sequence, from the parsed command line to the release of everything it
// opened. What each step achieved goes into record, which --strict checks as the
// launch goes.
DWORD Launch(Platform& platform, const LaunchOptions& options, const std::vector<DWORD>& threadDacl,
             RunRecord& record, RunReport& report, ScratchFolder& scratch) {
    RunState run(platform);
    if (!OpenOwnToken(platform, run.tokens)) {
        return 1;
    }
    if (options.restrictedToken) {
        record.restrictedToken.Record(ApplyRestrictedToken(platform, run.tokens, options.verbose));
        if (options.strict && !record.restrictedToken.applied) {
            return RefuseStrictly(platform);
        }
    }
    if (options.lowIL) {
        if (!ApplyLowIntegrityLevel(platform, run.tokens, options.verbose)) {
            return 1;
        }
        record.lowIntegrity.Record(run.tokens.lowLabel);
        if (options.strict && !record.lowIntegrity.applied) {
            return RefuseStrictly(platform);
        }
    } else if (options.restrictedToken && IsElevated(platform, run.tokens.processToken.get())) {
        platform.WriteStandardError(
            u"[brindle] Warning: the child of an elevated caller stays at High integrity without --low-il\n");
    }
    // What the child inherits is prepared before any directory is touched, so that a
    // strict refusal here leaves the disk as it was.
    if (options.privateConsole) {
        record.privateConsole.Record(PreparePrivateConsole(platform, run, threadDacl));
        if (options.strict && !record.privateConsole.applied) {
            return RefuseStrictly(platform);
        }
    }
    // A console of its own gives the child its pipes and no other handle.
    const StepResult startup =
        run.console.Prepared() ? StepResult::Applied() : run.startup.Prepare(options.stdHandlesOnly);
    if (options.stdHandlesOnly) {
        record.stdHandlesOnly.Record(startup);
        if (options.strict && !startup.applied) {
            return RefuseStrictly(platform);
        }
    }
    if (options.scratch) {
        record.scratch.Record(scratch.Create(options.lowIL, options.verbose));
        if (!scratch.Path().empty()) {
            record.scratchFolder = scratch.Path();
            report.Write(Running(record));  // a brindle ended from here on names the folder it leaves
        }
        if (options.strict && !record.scratch.applied) {
            return RefuseStrictly(platform);
        }
    }
    if (options.EnvironmentRequested() || record.scratch.applied) {
        const std::u16string_view temporaryFolder =
            record.scratch.applied ? std::u16string_view(scratch.Path()) : std::u16string_view();
        const StepResult environment = PrepareEnvironment(platform, options, temporaryFolder, run.environmentBlock);
        if (options.EnvironmentRequested()) {
            record.environment.Record(environment);
        }
        if (record.scratch.applied) {
            record.scratch.Record(environment);  // the folder reaches the child only through its block
        }
        if (options.strict && !environment.applied) {
            return RefuseStrictly(platform);
        }
    }
    record.directories = GrantWritableDirs(platform, options);
    report.WarnIfWritableByTheCommand(record.directories);
    if (options.strict && !AllWritable(record.directories)) {
        return RefuseStrictly(platform);
    }

    run.commandBuffer = options.command;
    run.creationTick = platform.GetTickCount64();
    // Under --strict a refused token is never replaced by the launcher's own.
    const bool fallBack = !(options.strict && (options.restrictedToken || options.lowIL));
    DWORD firstError = 0;
    const Creation creation = CreateChild(platform, run, fallBack, firstError);
    run.startup.ReleaseDuplicates();
    run.console.Start();
    RecordCreation(record, run.tokens, creation, firstError);
    if (creation == Creation::RefusedStrictly) {
        return RefuseStrictly(platform);
    }
    if (creation == Creation::Failed) {
        return 1;
    }
    const DWORD status = SuperviseChild(platform, run, options, record);
    run.console.Finish();  // the relay's threads are gone before the job's figures are read
    if (run.job) {
        record.jobAccounting = ReadJobAccounting(platform, run.job.get());  // before the job closes with run
        record.processes = run.events.Collect();
        record.limitsReached = run.events.LimitsReached();
    }
    return status;
}

// A program named as people type it may be a batch file on PATH: the command line is
// then composed anew, by the batch rule, with its full path. False, after its line, when
// there is no such program or an argument cannot be passed to the batch file safely.
bool ResolveProgram(Platform& platform, LaunchOptions& options, RunRecord& record) {
    const ProgramLookup lookup = LookUpProgram(platform, options.commandArguments.front());
    if (lookup.result == ProgramLookup::Result::NotFound) {
        platform.WriteStandardError(u"[brindle] Program not found: " + options.commandArguments.front() + u"\n");
        return false;
    }
    if (lookup.result == ProgramLookup::Result::BatchFile) {
        options.commandArguments.front() = lookup.path;
        if (!ComposeCommandLine(options.commandArguments, options.command, platform)) {
            return false;
        }
        record.command = options.command;
        record.program = lookup.path;
        if (options.verbose) {
            platform.WriteStandardError(u"[brindle] Program: " + lookup.path + u"\n");
        }
    }
    return true;
}

std::optional<std::uint64_t> Asked(std::uint64_t value) {
    return value != 0 ? std::optional<std::uint64_t>(value) : std::nullopt;
}

// What the run was asked to restrict, before any step has applied it.
RunRecord RequestedRecord(const LaunchOptions& options) {
    RunRecord record;
    record.command = options.command;
    record.restrictedToken.requested = options.restrictedToken;
    record.lowIntegrity.requested = options.lowIL;
    record.job.requested = options.jobObject;
    record.uiRestrictions.requested = options.jobObject;
    record.cpuRate.requested = options.cpuRate != 0;
    record.stdHandlesOnly.requested = options.stdHandlesOnly;
    record.environment.requested = options.EnvironmentRequested();
    record.privateConsole.requested = options.privateConsole;
    record.scratch.requested = options.scratch;
    record.ownProcess.requested = true;  // always: brindle's own process is closed to every child
    record.limits = {Asked(options.timeout), options.jobObject ? Asked(options.maxProc) : std::nullopt,
                     Asked(options.maxMemory), Asked(options.maxProcessMemory), Asked(options.cpuRate),
                     Asked(options.cpuTime)};
    return record;
}

}  // namespace

DWORD LauncherMain(int argc, const char16_t* const* argv, Platform& platform) {
    LaunchOptions options;
    if (!ParseArguments(argc, argv, options, platform)) {
        if (options.versionRequested) {
            platform.WriteStandardOutput(u"brindle " + std::u16string(kVersion) + u"\n");
            return 0;
        }
        return 1;
    }
    RunRecord record = RequestedRecord(options);
    RunReport report(platform, options.reportPath);
    std::vector<DWORD> threadDacl;  // for every thread brindle creates
    const StepResult protection = ProtectOwnProcess(platform, threadDacl);
    if (options.strict && !protection.applied) {
        record.ownProcess.Record(protection);
        record.exitCode = RefuseStrictly(platform);
        report.Write(record);
        return record.exitCode;
    }
    if (options.verbose) {
        PrintSummary(platform, options);
    }
    if (!ResolveProgram(platform, options, record)) {
        return 1;  // as for a bad command line: nothing done, no report
    }
    report.Write(Running(record));
    record.ownProcess.Record(protection);
    ScratchFolder scratch(platform);  // outlives the run's handles: removed once the job has ended its processes
    record.exitCode = Launch(platform, options, threadDacl, record, report, scratch);
    scratch.Remove();
    report.Write(record);
    return record.exitCode;
}

}  // namespace brindle
