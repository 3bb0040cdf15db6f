#include "job/ContainInJob.h"

#include <cstring>

#include "platform/Text.h"

namespace brindle {
namespace {

// The child may still write the clipboard, use other processes' UI handles and end the session.
constexpr DWORD kUiRestrictions = JOB_OBJECT_UILIMIT_READCLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS |
                                  JOB_OBJECT_UILIMIT_DISPLAYSETTINGS | JOB_OBJECT_UILIMIT_GLOBALATOMS |
                                  JOB_OBJECT_UILIMIT_DESKTOP;  // 0x7A

bool SetLimits(Platform& platform, HANDLE job, std::uint32_t maxProc) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memset(&limits, 0, sizeof(limits));  // padding included: every unset byte is zero
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    limits.BasicLimitInformation.ActiveProcessLimit = maxProc;
    return platform.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
}

bool SetUiRestrictions(Platform& platform, HANDLE job) {
    JOBOBJECT_BASIC_UI_RESTRICTIONS restrictions{};
    restrictions.UIRestrictionsClass = kUiRestrictions;
    return platform.SetInformationJobObject(job, JobObjectBasicUIRestrictions, &restrictions, sizeof(restrictions));
}

}  // namespace

JobResult ContainInJob(Platform& platform, HANDLE process, std::uint32_t maxProc, bool verbose, UniqueHandle& job) {
    JobResult result;
    bool uiFailed = false;
    // Without the job the child has no UI restrictions either; they carry the job's
    // failure unless they failed themselves first.
    const auto noJob = [&](std::u16string_view operation, DWORD error) {
        platform.WriteStandardError(FailedLine(operation, error));
        job.reset();
        result.job = StepResult::Failed(error);
        if (!uiFailed) {
            result.uiRestrictions = result.job;
        }
        return result;
    };
    job.adopt(platform.CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return noJob(u"CreateJobObject", platform.GetLastError());
    }
    // A job without its limits would not end the child's processes: give it up.
    if (!SetLimits(platform, job.get(), maxProc)) {
        return noJob(u"SetInformationJobObject(ExtendedLimit)", platform.GetLastError());
    }
    result.uiRestrictions = StepResult::Applied();
    if (!SetUiRestrictions(platform, job.get())) {
        uiFailed = true;
        result.uiRestrictions = StepResult::Failed(platform.GetLastError());
        platform.WriteStandardError(
            FailedLine(u"Warning: SetInformationJobObject(UIRestrictions)", result.uiRestrictions.error));
    }
    if (!platform.AssignProcessToJobObject(job.get(), process)) {
        return noJob(u"Warning: AssignProcessToJobObject", platform.GetLastError());
    }
    result.job = StepResult::Applied();
    if (verbose) {
        platform.WriteStandardError(u"[brindle] Assigned process to Job Object (maxProc=" + Decimal(maxProc) + u")\n");
    }
    return result;
}

}  // namespace brindle
