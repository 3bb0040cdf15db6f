#include "job/JobAccounting.h"

#include <cstring>

namespace brindle {
namespace {

// Windows counts CPU time in 100-nanosecond units.
constexpr std::uint64_t kUnitsPerMillisecond = 10000;

std::uint64_t Milliseconds(const LARGE_INTEGER& units) {
    return static_cast<std::uint64_t>(units.QuadPart) / kUnitsPerMillisecond;
}

}  // namespace

JobAccounting ReadJobAccounting(Platform& platform, HANDLE job) {
    JobAccounting accounting;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION basic;
    std::memset(&basic, 0, sizeof(basic));
    if (platform.QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &basic, sizeof(basic), nullptr)) {
        accounting.counts = JobAccounting::Counts{basic.TotalProcesses, basic.ActiveProcesses,
                                                  Milliseconds(basic.TotalUserTime), Milliseconds(basic.TotalKernelTime)};
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memset(&limits, 0, sizeof(limits));
    if (platform.QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits), nullptr)) {
        accounting.peaks = JobAccounting::Peaks{limits.PeakProcessMemoryUsed, limits.PeakJobMemoryUsed};
    }
    return accounting;
}

}  // namespace brindle
