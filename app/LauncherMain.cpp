#include "app/LauncherMain.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "app/RunVerdict.h"
#include "app/Supervision.h"
#include "check/MachineCheck.h"
#include "child/EnvironmentBlock.h"
#include "child/ProgramLookup.h"
#include "cli/CommandLine.h"
#include "cli/ParseArguments.h"
#include "dirs/GrantWritableDirs.h"
#include "platform/Text.h"
#include "report/RunReport.h"
#include "report/Version.h"
#include "scratch/ScratchFolder.h"
#include "self/ProtectOwnProcess.h"
#include "token/LowIntegrity.h"
#include "token/RestrictedToken.h"
#include "verify/ReadBack.h"

namespace brindle {
namespace {

// Under --strict every requested restriction must apply, or the command does not run.
// Each step's result is recorded as it comes; Refuses then says, with the one line that
// tells why, whether the run ends there. Without --strict nothing refuses.
class StrictCheck {
public:
    StrictCheck(Platform& platform, bool strict, RunRecord& record)
        : platform_(platform), strict_(strict), record_(record) {}

    bool Refuses(RestrictionRecord& restriction, const StepResult& result) {
        restriction.Record(result);
        return Refuses(result.applied);
    }

    bool Refuses(bool applied) {
        if (!strict_ || applied) {
            return false;
        }
        Refuse();
        return true;
    }

    void Refuse() {
        record_.outcome = Outcome::Refused;
        platform_.WriteStandardError(
            u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n");
    }

private:
    Platform& platform_;
    const bool strict_;
    RunRecord& record_;
};

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

// A child with fewer rights than brindle could take brindle's own token and impersonate
// it; it is closed to the child, and a failure is a failure of protecting brindle's own.
void ProtectOwnTokenFrom(Platform& platform, RunRecord& record) {
    const StepResult token = ProtectOwnToken(platform);
    if (!token.applied && record.ownProcess.applied) {
        record.ownProcess.Record(token);
    }
}

bool ReadsLow(Platform& platform, const LaunchTokens& tokens) {
    DWORD error = 0;
    const std::optional<IntegrityBand> band = ReadIntegrity(platform, tokens.effectiveToken, error);
    return band && *band <= IntegrityBand::Low;
}

// A folder of the child's own for TEMP. Once it exists a report names it, so that a
// brindle ended from here on names the folder it leaves.
StepResult CreateScratch(const LaunchOptions& options, bool lowChild, RunRecord& record, RunReport& report,
                         ScratchFolder& scratch) {
    const StepResult created = scratch.Create(lowChild, options.verbose);
    record.scratch.Record(created);
    if (!scratch.Path().empty()) {
        record.scratchFolder = scratch.Path();
        report.Write(Running(record));
    }
    return created;
}

// The launch sequence, from the parsed command line to the release of everything it
// opened. What each step achieved goes into record, which --strict checks as the
// launch goes.
DWORD Launch(Platform& platform, const LaunchOptions& options, const std::vector<DWORD>& threadDacl,
             StrictCheck& strict, RunRecord& record, RunReport& report, ScratchFolder& scratch,
             ForwardedInterrupt& interrupt) {
    RunState run(platform);
    if (!OpenOwnToken(platform, run.tokens)) {
        return 1;
    }
    if (options.restrictedToken &&
        strict.Refuses(record.restrictedToken, ApplyRestrictedToken(platform, run.tokens, options.verbose))) {
        return 1;
    }
    if (options.lowIL) {
        if (!ApplyLowIntegrityLevel(platform, run.tokens, options.verbose)) {
            return 1;
        }
        if (strict.Refuses(record.lowIntegrity, run.tokens.lowLabel)) {
            return 1;
        }
    } else if (options.restrictedToken && IsElevated(platform, run.tokens.processToken.get())) {
        platform.WriteStandardError(
            u"[brindle] Warning: the child of an elevated caller stays at High integrity without --low-il\n");
    }
    // What the child inherits is prepared before any directory is touched, so that a
    // strict refusal here leaves the disk as it was.
    if (options.privateConsole &&
        strict.Refuses(record.privateConsole, PreparePrivateConsole(platform, run, threadDacl))) {
        return 1;
    }
    // A console of its own gives the child its pipes and no other handle.
    const StepResult startup =
        run.console.Prepared() ? StepResult::Applied() : run.startup.Prepare(options.stdHandlesOnly);
    if (options.stdHandlesOnly && strict.Refuses(record.stdHandlesOnly, startup)) {
        return 1;
    }
    // Only a token that reads back Low may have its TEMP where every Low process may write.
    const bool lowChild = options.scratch && run.tokens.lowLabel.applied && ReadsLow(platform, run.tokens);
    if (options.scratch && strict.Refuses(record.scratch, CreateScratch(options, lowChild, record, report, scratch))) {
        return 1;
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
        if (strict.Refuses(environment.applied)) {
            return 1;
        }
    }
    record.directories = GrantWritableDirs(platform, options);
    report.WarnIfWritableByTheCommand(record.directories);
    if (strict.Refuses(AllWritable(record.directories))) {
        return 1;
    }

    // Under --strict a refused token is never replaced by the launcher's own, nor is a Low
    // child's whose TEMP lies where every Low process may write.
    const FallBack fallBack = lowChild && record.scratch.applied                            ? FallBack::Never
                              : options.strict && (options.restrictedToken || options.lowIL) ? FallBack::RefusedStrictly
                                                                                          : FallBack::Allowed;
    const Creation creation = CreateChild(platform, run, fallBack, record);
    if (creation == Creation::RefusedStrictly) {
        strict.Refuse();
        return 1;
    }
    if (creation == Creation::Failed) {
        return 1;
    }
    if (options.jobObject) {
        ContainChild(platform, run, options, record);
    }
    VerifyChild(platform, run, options, record);
    if (creation == Creation::WithPreparedToken && run.tokens.IsReduced()) {
        ProtectOwnTokenFrom(platform, record);  // last: nothing brindle does later opens its token
    }
    const bool refused = strict.Refuses(ChildAsRequested(record));
    const DWORD status =
        refused ? EndUnresumed(platform, run, record) : RunChild(platform, run, options, record, interrupt);
    CollectJob(platform, run, record);
    return status;
}

// A program named as people type it may be a batch file on PATH: the command line is
// then composed anew, by the batch rule, with its full path. False, after its line, when
// there is no such program or an argument cannot be passed to the batch file safely.
bool ResolveProgram(Platform& platform, LaunchOptions& options, RunRecord& record) {
    const ProgramLookup lookup = LookUpProgram(platform, options.commandArguments.front());
    if (lookup.result == ProgramLookup::Result::NotFound) {
        platform.WriteStandardError(u"[brindle] Program not found: " + options.commandArguments.front() + u"\n");
        record.notStartedAt = NotStartedAt::ProgramMissing;
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

}  // namespace

DWORD LauncherMain(int argc, const char16_t* const* argv, Platform& platform) {
    LaunchOptions options;
    const bool parsed = ParseArguments(argc, argv, options, platform);
    if (options.versionRequested) {
        platform.WriteStandardOutput(u"brindle " + std::u16string(kVersion) + u"\n");
        return 0;
    }
    if (options.checkRequested) {
        return RunMachineCheck(platform, options.reportPath);  // a report asked for before --check is the check's
    }
    RunRecord record = RequestedRecord(options);
    RunReport report(platform, options.reportPath);
    if (!parsed) {
        // Once --report was read, even a bad command line leaves a report of its own.
        record.command.clear();  // never composed
        return options.helpRequested ? 1 : Conclude(platform, options, record, report, 1);
    }
    std::vector<DWORD> threadDacl;  // for every thread brindle creates
    StrictCheck strict(platform, options.strict, record);
    const StepResult protection = ProtectOwnProcess(platform, threadDacl);
    if (strict.Refuses(protection.applied)) {
        record.ownProcess.Record(protection);
        return Conclude(platform, options, record, report, 1);
    }
    if (options.verbose) {
        PrintSummary(platform, options);
    }
    if (!ResolveProgram(platform, options, record)) {
        return Conclude(platform, options, record, report, 1);  // nothing done but the report
    }
    report.Write(Running(record));
    record.ownProcess.Record(protection);
    // Outlives the run's handles, as the folder is removed once the job has ended its processes.
    ScratchFolder scratch(platform);
    ForwardedInterrupt interrupt(platform);  // until the report is final
    const DWORD status = Launch(platform, options, threadDacl, strict, record, report, scratch, interrupt);
    NameTheDecidingLine(platform, record);
    if (!scratch.Path().empty()) {
        record.scratchRemoved = scratch.Remove();
    }
    return Conclude(platform, options, record, report, status);
}

}  // namespace brindle
