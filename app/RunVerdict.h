// The run's record from request to verdict: what was asked, the report of a run still
// under way, and how the run ended, as the final report and the exit status say it.
#pragma once

#include "cli/LaunchOptions.h"
#include "platform/Platform.h"
#include "report/RunRecord.h"
#include "report/RunReport.h"

namespace brindle {

// What the run was asked to restrict, before any step has applied it.
RunRecord RequestedRecord(const LaunchOptions& options);

// The report of a run still under way: nothing has applied yet, since a restriction
// applies only once the child is created with it.
RunRecord Running(const RunRecord& sofar);

// The message of a run that did not start, or was refused: the last line brindle wrote
// when it ended so, before anything the clean-up may say.
void NameTheDecidingLine(Platform& platform, RunRecord& record);

// The final report of every run that got as far as --report, and the exit status: with
// --wrapper-exit-codes brindle's own ends say which they are, as the POSIX wrappers do
// (timeout, env, nice): 124 timed out; 125 refused, or failed before a child ran; 126
// found but not started; 127 not found. The child's own code passes through.
DWORD Conclude(Platform& platform, const LaunchOptions& options, RunRecord& record, RunReport& report,
               DWORD status);

}  // namespace brindle
