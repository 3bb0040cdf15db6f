#pragma once

#include <cstdint>

#include "platform/Owners.h"
#include "platform/StepResult.h"

namespace brindle {

// What the job step achieved: the job (created, its limits set, the child assigned) and
// its UI restrictions, each applied or with the code of the call that failed.
struct JobResult {
    StepResult job;
    StepResult uiRestrictions;
};

// Puts the suspended child into a new anonymous job that allows at most maxProc
// active processes, ends every process in it when its last handle closes, and denies
// them clipboard reading, system-parameter and display changes, global atoms and
// desktop switching. Because the child has not run yet, every process it ever starts
// belongs to the job too. The job handle must stay open while the child runs: closing
// it (at the end of the run, or when the launcher itself dies) is what ends them all.
// Failures are reported and leave job empty, or holding a job without UI restrictions.
JobResult ContainInJob(Platform& platform, HANDLE process, std::uint32_t maxProc, bool verbose, UniqueHandle& job);

}  // namespace brindle
