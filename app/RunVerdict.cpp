#include "app/RunVerdict.h"

#include <cstdint>
#include <optional>

#include "app/Supervision.h"

namespace brindle {
namespace {

std::optional<std::uint64_t> Asked(std::uint64_t value) {
    return value != 0 ? std::optional<std::uint64_t>(value) : std::nullopt;
}

DWORD ExitStatus(const LaunchOptions& options, const RunRecord& record, DWORD status) {
    if (!options.wrapperExitCodes) {
        return status;
    }
    switch (record.outcome) {
        case Outcome::TimedOut: return 124;
        case Outcome::Refused:
        case Outcome::WaitFailed: return 125;
        case Outcome::NotStarted:
            return record.notStartedAt == NotStartedAt::ProgramMissing ? 127
                   : record.notStartedAt == NotStartedAt::Creation     ? 126
                                                                       : 125;
        default: return status;
    }
}

}  // namespace

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

void NameTheDecidingLine(Platform& platform, RunRecord& record) {
    if ((record.outcome == Outcome::NotStarted || record.outcome == Outcome::Refused) && !record.message) {
        record.message = platform.LastLine();
    }
}

DWORD Conclude(Platform& platform, const LaunchOptions& options, RunRecord& record, RunReport& report,
               DWORD status) {
    NameTheDecidingLine(platform, record);
    record.exitCode = ExitStatus(options, record, status);
    record.endedAt = SystemTime(platform);
    report.Write(record);
    return record.exitCode;
}

}  // namespace brindle
