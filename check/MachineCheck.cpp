#include "check/MachineCheck.h"

#include "report/RunReport.h"

namespace brindle {

DWORD RunMachineCheck(Platform& platform, const std::u16string& reportPath) {
    const MachineFacts facts = ReadMachineFacts();
    const std::vector<ProbeOutcome> outcomes = RunProbes();
    platform.WriteStandardOutput(CheckTable(facts, outcomes));
    RunReport report(platform, reportPath);
    report.WriteText(CheckReport(facts, outcomes));
    return CheckExitStatus(outcomes);
}

}  // namespace brindle
