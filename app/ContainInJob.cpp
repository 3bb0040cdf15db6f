#include "app/ContainInJob.h"

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

void ContainInJob(Platform& platform, HANDLE process, std::uint32_t maxProc, bool verbose, UniqueHandle& job) {
    job.adopt(platform.CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        platform.WriteStandardError(FailedLine(u"CreateJobObject", platform.GetLastError()));
        return;
    }
    // A job without its limits would not end the child's processes: give it up.
    if (!SetLimits(platform, job.get(), maxProc)) {
        platform.WriteStandardError(FailedLine(u"SetInformationJobObject(ExtendedLimit)", platform.GetLastError()));
        job.reset();
        return;
    }
    if (!SetUiRestrictions(platform, job.get())) {
        platform.WriteStandardError(
            FailedLine(u"Warning: SetInformationJobObject(UIRestrictions)", platform.GetLastError()));
    }
    if (!platform.AssignProcessToJobObject(job.get(), process)) {
        platform.WriteStandardError(FailedLine(u"Warning: AssignProcessToJobObject", platform.GetLastError()));
        job.reset();
        return;
    }
    if (verbose) {
        platform.WriteStandardError(u"[brindle] Assigned process to Job Object (maxProc=" + Decimal(maxProc) + u")\n");
    }
}

}  // namespace brindle
