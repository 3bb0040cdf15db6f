// The child's life under the launch: created suspended, contained in its job, resumed,
// waited for within the time limit, and ended when the run says so.
#pragma once

#include <string>

#include "child/StartupRecord.h"
#include "cli/LaunchOptions.h"
#include "console/PrivateConsole.h"
#include "job/JobEvents.h"
#include "platform/Owners.h"
#include "report/RunRecord.h"
#include "token/LaunchTokens.h"

namespace brindle {

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

enum class Creation { WithPreparedToken, WithOwnToken, Failed, RefusedStrictly };
// Whether a prepared token that Windows refuses for want of the privilege to assign it
// (1314) may be replaced by brindle's own: allowed, refused with the Strict line, or never.
enum class FallBack { Allowed, RefusedStrictly, Never };

// Creates the child suspended with the prepared token, or, when Windows refuses that
// and fallBack allows it, with the launcher's own token, and records which restrictions
// the child was created with. Both attempts hand on the same startup record and
// environment; the child inherits the launcher's current directory.
Creation CreateChild(Platform& platform, RunState& run, FallBack fallBack, RunRecord& record);

// Puts the suspended child into its job, with the limits the options ask for, and
// records what of the job applied.
void ContainChild(Platform& platform, RunState& run, const LaunchOptions& options, RunRecord& record);

// Reads back what the suspended child's token and job really hold (verify/ReadBack.h)
// and records, for each applied restriction, whether it is verified, and the child.
void VerifyChild(Platform& platform, const RunState& run, const LaunchOptions& options, RunRecord& record);

// Whether the contained child got every restriction its job asked for, every applied
// restriction read back as set, and brindle's own process and token are closed to it:
// what --strict requires before the child may run.
bool ChildAsRequested(const RunRecord& record);

// Ends the child, with every process it started when wholeJob asks for it and it runs
// in a job, and gives Windows a few seconds to finish ending it, so that it is gone
// when the run returns.
void EndChild(Platform& platform, const RunState& run, bool wholeJob);

// Ends the child that a strict refusal leaves suspended: it has run no code. Returns the
// run's exit status.
DWORD EndUnresumed(Platform& platform, const RunState& run, RunRecord& record);

// Resumes the contained child and waits for it within the time limit, hearing what its
// job reports meanwhile; on a console of its own, interrupts end it while it runs.
// Returns the run's exit status.
DWORD RunChild(Platform& platform, RunState& run, const LaunchOptions& options, RunRecord& record,
               ForwardedInterrupt& interrupt);

// Once the child has ended: the relay's threads are gone, then what the job saw is read
// before the job closes with the run.
void CollectJob(Platform& platform, RunState& run, RunRecord& record);

// The time of day in UTC, as a FILETIME count, for the report.
std::uint64_t SystemTime(Platform& platform);

// The time from just before creation to now, into the record.
void StopClock(Platform& platform, const RunState& run, RunRecord& record);

}  // namespace brindle
