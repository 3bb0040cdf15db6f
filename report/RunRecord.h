// What one run asked for and what it achieved, filled in by the launch as its steps
// return. The strict check reads the restrictions; the run report reads all of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dirs/GrantWritableDirs.h"
#include "job/JobAccounting.h"
#include "job/JobEvents.h"
#include "platform/StepResult.h"
#include "verify/ReadBack.h"

namespace brindle {

struct RestrictionRecord {
    bool requested = false;
    bool applied = false;         // the child was created with it
    std::optional<DWORD> error;   // the code of the call that kept it from applying
    // Whether the child's token or job read back as set; empty when it did not apply or
    // cannot be read back.
    std::optional<bool> verified;

    void Record(const StepResult& result) {
        applied = result.applied;
        error = result.applied ? std::nullopt : std::optional<DWORD>(result.error);
    }
};

// Crashed: the child ended with an NTSTATUS error code (an exception, a loader failure).
// Interrupted: brindle's own Ctrl+C or Ctrl+Break handler ended it. Refused: a strict
// refusal, with no child code run. Running: the report written before the run's end,
// which a killed brindle leaves behind.
enum class Outcome { Exited, Crashed, Interrupted, TimedOut, Refused, NotStarted, WaitFailed, Running };
// Where a run that did not start stopped: before creation (the command line, a step that
// ends the run), at the child's creation or resume, or at a program that is not there.
enum class NotStartedAt { BeforeCreation, Creation, ProgramMissing };
enum class ChildToken { None, Restricted, Duplicate, Own };

// The limits the command line asked for; empty where it asked for none.
struct RequestedLimits {
    std::optional<std::uint64_t> timeoutSeconds;
    std::optional<std::uint64_t> maxProcesses;  // with a job, which always has one
    std::optional<std::uint64_t> maxMemory;
    std::optional<std::uint64_t> maxProcessMemory;
    std::optional<std::uint64_t> cpuRate;
    std::optional<std::uint64_t> cpuTimeSeconds;
};

struct RunRecord {
    std::u16string command;
    Outcome outcome = Outcome::NotStarted;
    DWORD exitCode = 1;
    NotStartedAt notStartedAt = NotStartedAt::BeforeCreation;
    std::optional<DWORD> childExitCode;  // when the child exited, crashed or was interrupted
    std::uint64_t elapsedMs = 0;         // from just before creation to the end of the main wait
    ChildToken childToken = ChildToken::None;

    RestrictionRecord restrictedToken;
    RestrictionRecord lowIntegrity;
    RestrictionRecord job;
    RestrictionRecord uiRestrictions;
    RestrictionRecord cpuRate;
    RestrictionRecord stdHandlesOnly;
    RestrictionRecord environment;
    RestrictionRecord privateConsole;
    RestrictionRecord scratch;
    RestrictionRecord ownProcess;  // brindle's own process and thread closed to the child

    std::vector<WritableDir> directories;
    std::optional<JobAccounting> jobAccounting;  // empty without a job
    std::optional<std::u16string> program;      // the batch file a bare program name was found as
    RequestedLimits limits;
    std::optional<std::u16string> scratchFolder;  // its full path, once it exists
    std::optional<std::vector<JobProcess>> processes;  // empty without a job's completion port
    std::vector<JobLimit> limitsReached;                // in the order they first fired
    // The line that decided a run that did not start, was refused or crashed.
    std::optional<std::u16string> message;
    std::optional<std::uint64_t> startedAt;   // just before creation, as a FILETIME count
    std::optional<std::uint64_t> endedAt;     // when the final report was made
    std::optional<ChildReading> child;        // what the created child's token read back
    std::optional<bool> scratchRemoved;       // with a scratch folder: whether it is gone at the end
};

}  // namespace brindle
