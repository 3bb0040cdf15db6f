#include "job/ContainInJob.h"

#include <cstring>

#include "platform/Text.h"

namespace brindle {
namespace {

// Windows counts CPU time in 100-nanosecond units.
constexpr std::int64_t kUnitsPerSecond = 10000000;

bool SetLimits(Platform& platform, HANDLE job, const JobLimits& limits) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION record = LimitRecord(limits);
    return platform.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &record, sizeof(record));
}

bool SetUiRestrictions(Platform& platform, HANDLE job) {
    JOBOBJECT_BASIC_UI_RESTRICTIONS restrictions{};
    restrictions.UIRestrictionsClass = kUiRestrictions;
    return platform.SetInformationJobObject(job, JobObjectBasicUIRestrictions, &restrictions, sizeof(restrictions));
}

bool SetCpuRate(Platform& platform, HANDLE job, std::uint32_t percent) {
    JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate = CpuRateRecord(percent);
    return platform.SetInformationJobObject(job, JobObjectCpuRateControlInformation, &rate, sizeof(rate));
}

std::u16string Limit(std::uint64_t value, std::u16string_view unit) {
    return value == 0 ? u"none" : Decimal(value) + std::u16string(unit);
}

void PrintLimits(Platform& platform, const JobLimits& limits) {
    if (limits.jobMemory == 0 && limits.processMemory == 0 && limits.cpuRatePercent == 0 &&
        limits.cpuTimeSeconds == 0) {
        return;
    }
    platform.WriteStandardError(u"[brindle] Job limits: memory=" + Limit(limits.jobMemory, u"") +
                                u" processMemory=" + Limit(limits.processMemory, u"") +
                                u" cpuRate=" + Limit(limits.cpuRatePercent, u"%") +
                                u" cpuTime=" + Limit(limits.cpuTimeSeconds, u"s") + u"\n");
}

}  // namespace

JOBOBJECT_EXTENDED_LIMIT_INFORMATION LimitRecord(const JobLimits& limits) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION record;
    std::memset(&record, 0, sizeof(record));  // padding included: every unset byte is zero
    JOBOBJECT_BASIC_LIMIT_INFORMATION& basic = record.BasicLimitInformation;
    basic.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    basic.ActiveProcessLimit = limits.maxProc;
    if (limits.jobMemory != 0) {
        basic.LimitFlags |= JOB_OBJECT_LIMIT_JOB_MEMORY;
        record.JobMemoryLimit = limits.jobMemory;
    }
    if (limits.processMemory != 0) {
        basic.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        record.ProcessMemoryLimit = limits.processMemory;
    }
    if (limits.cpuTimeSeconds != 0) {
        basic.LimitFlags |= JOB_OBJECT_LIMIT_JOB_TIME;
        basic.PerJobUserTimeLimit.QuadPart = static_cast<std::int64_t>(limits.cpuTimeSeconds) * kUnitsPerSecond;
    }
    return record;
}

JOBOBJECT_CPU_RATE_CONTROL_INFORMATION CpuRateRecord(std::uint32_t percent) {
    JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate;
    std::memset(&rate, 0, sizeof(rate));
    rate.ControlFlags = JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP;  // 0x5
    rate.CpuRate = percent * 100;  // in hundredths of a percent
    return rate;
}

JobResult ContainInJob(Platform& platform, HANDLE process, const JobLimits& limits, bool verbose, UniqueHandle& job,
                       JobEvents& events) {
    JobResult result;
    bool uiFailed = false;
    bool cpuRateFailed = false;
    // Without the job the child has none of its restrictions either; each carries the
    // job's failure unless it failed itself first.
    const auto noJob = [&](std::u16string_view operation, DWORD error) {
        platform.WriteStandardError(FailedLine(operation, error));
        job.reset();
        events.Stop();
        result.job = StepResult::Failed(error);
        if (!uiFailed) {
            result.uiRestrictions = result.job;
        }
        if (!cpuRateFailed && limits.cpuRatePercent != 0) {
            result.cpuRate = result.job;
        }
        return result;
    };
    job.adopt(platform.CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return noJob(u"CreateJobObject", platform.GetLastError());
    }
    // A job without its limits would not end the child's processes: give it up.
    if (!SetLimits(platform, job.get(), limits)) {
        return noJob(u"SetInformationJobObject(ExtendedLimit)", platform.GetLastError());
    }
    result.uiRestrictions = StepResult::Applied();
    if (!SetUiRestrictions(platform, job.get())) {
        uiFailed = true;
        result.uiRestrictions = StepResult::Failed(platform.GetLastError());
        platform.WriteStandardError(
            FailedLine(u"Warning: SetInformationJobObject(UIRestrictions)", result.uiRestrictions.error));
    }
    if (limits.cpuRatePercent != 0) {
        result.cpuRate = StepResult::Applied();
        if (!SetCpuRate(platform, job.get(), limits.cpuRatePercent)) {
            cpuRateFailed = true;
            result.cpuRate = StepResult::Failed(platform.GetLastError());
            platform.WriteStandardError(
                FailedLine(u"Warning: SetInformationJobObject(CpuRateControl)", result.cpuRate.error));
        }
    }
    events.Listen(job.get(), limits.maxProc, limits.cpuTimeSeconds);
    if (!platform.AssignProcessToJobObject(job.get(), process)) {
        return noJob(u"Warning: AssignProcessToJobObject", platform.GetLastError());
    }
    result.job = StepResult::Applied();
    if (verbose) {
        platform.WriteStandardError(u"[brindle] Assigned process to Job Object (maxProc=" +
                                    Decimal(limits.maxProc) + u")\n");
        PrintLimits(platform, limits);
    }
    return result;
}

}  // namespace brindle
