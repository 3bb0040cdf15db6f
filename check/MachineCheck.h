// `brindle --check`: brindle's protections tried against real attacks on the machine
// where it runs, and what holds said on standard output (and in a report when asked).
#pragma once

#include <string>
#include <vector>

#include "check/CheckResults.h"
#include "platform/Platform.h"

namespace brindle {

// What only a real machine can tell: its version and Wine's, and what each probe found
// when brindle attacked itself there. Defined for Windows in check/WindowsChecker.cpp;
// programs that cannot attack a real system (the unit tests) link their own.
MachineFacts ReadMachineFacts();
std::vector<ProbeOutcome> RunProbes();

// Runs every probe, prints the table, writes the report to reportPath unless it is
// empty, and returns the check's exit status.
DWORD RunMachineCheck(Platform& platform, const std::u16string& reportPath);

}  // namespace brindle
