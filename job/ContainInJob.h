#pragma once

#include <cstdint>

#include "job/JobEvents.h"
#include "platform/Owners.h"
#include "platform/StepResult.h"

namespace brindle {

// The limits the job is made with. Each but maxProc is 0 when not asked for.
struct JobLimits {
    std::uint32_t maxProc = 64;          // active processes
    std::uint64_t jobMemory = 0;         // bytes committed by all processes together
    std::uint64_t processMemory = 0;     // bytes committed by any one process
    std::uint32_t cpuRatePercent = 0;    // hard cap on the job's share of the machine's CPU
    std::uint64_t cpuTimeSeconds = 0;    // user-mode CPU time of the whole job
};

// The UI restrictions every job gets. The child may still write the clipboard, use other
// processes' UI handles and end the session.
constexpr DWORD kUiRestrictions = JOB_OBJECT_UILIMIT_READCLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS |
                                  JOB_OBJECT_UILIMIT_DISPLAYSETTINGS | JOB_OBJECT_UILIMIT_GLOBALATOMS |
                                  JOB_OBJECT_UILIMIT_DESKTOP;  // 0x7A

// The job's limit record as it is set: the active-process limit and kill-on-close always,
// each asked-for memory and CPU-time limit besides.
JOBOBJECT_EXTENDED_LIMIT_INFORMATION LimitRecord(const JobLimits& limits);

// The CPU rate record for a hard cap of percent, in the hundredths Windows keeps.
JOBOBJECT_CPU_RATE_CONTROL_INFORMATION CpuRateRecord(std::uint32_t percent);

// What the job step achieved: the job (created, its limit record set, the child
// assigned), its UI restrictions and its CPU rate, each applied or with the code of the
// call that failed. Without the job nothing else applies.
struct JobResult {
    StepResult job;
    StepResult uiRestrictions;
    StepResult cpuRate;
};

// Puts the suspended child into a new anonymous job that allows at most maxProc
// active processes, ends every process in it when its last handle closes, and denies
// them clipboard reading, system-parameter and display changes, global atoms and
// desktop switching. Because the child has not run yet, every process it ever starts
// belongs to the job too. The job handle must stay open while the child runs: closing
// it (at the end of the run, or when the launcher itself dies) is what ends them all.
//
// The memory limits make allocations beyond them fail (the process is not ended); the
// CPU-time limit ends every process in the job with ERROR_NOT_ENOUGH_QUOTA (1816); the
// CPU rate is a hard cap, set by a call of its own whose failure keeps the job. Then
// events listen to the job's completion port, whose failure keeps the job too.
// Failures are reported and leave job empty, or holding a job without what failed.
JobResult ContainInJob(Platform& platform, HANDLE process, const JobLimits& limits, bool verbose, UniqueHandle& job,
                       JobEvents& events);

}  // namespace brindle
