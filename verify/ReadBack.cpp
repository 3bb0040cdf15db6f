#include "verify/ReadBack.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/Owners.h"
#include "platform/Text.h"

namespace brindle {
namespace {

// SeChangeNotifyPrivilege, which every token keeps: without it a program cannot open a
// file below a folder it may not list.
constexpr DWORD kChangeNotifyPrivilege = 23;

// S-1-5-32-544 as Windows lays it out: revision, two sub-authorities, NT authority.
constexpr BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

// One token information class, read whole; false with the code of the failing call.
bool ReadTokenClass(Platform& platform, HANDLE token, TOKEN_INFORMATION_CLASS infoClass, std::vector<BYTE>& buffer,
                    DWORD& error) {
    DWORD length = 0;
    platform.GetTokenInformation(token, infoClass, nullptr, 0, &length);
    buffer.assign(length, 0);
    if (length == 0 || !platform.GetTokenInformation(token, infoClass, buffer.data(), length, &length)) {
        error = platform.GetLastError();
        return false;
    }
    return true;
}

// A SID's last sub-authority: for a mandatory label, its level.
DWORD LastSubAuthority(const BYTE* sid) {
    const BYTE count = sid[1];
    DWORD value = 0;
    if (count != 0) {
        std::memcpy(&value, sid + 8 + 4 * (count - 1), sizeof(value));
    }
    return value;
}

IntegrityBand Band(DWORD level) {
    if (level < 0x1000) {
        return IntegrityBand::Untrusted;
    }
    if (level < 0x2000) {
        return IntegrityBand::Low;
    }
    if (level < 0x3000) {
        return IntegrityBand::Medium;
    }
    return level < 0x4000 ? IntegrityBand::High : IntegrityBand::System;
}

AdministratorsGroup Administrators(const std::vector<BYTE>& buffer) {
    TOKEN_GROUPS header;
    std::memcpy(&header, buffer.data(), sizeof(header.GroupCount));
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data())->Groups;
    for (DWORD i = 0; i < header.GroupCount; ++i) {
        // A SID's second byte counts its sub-authorities: a shorter one may end the buffer.
        const auto* sid = static_cast<const BYTE*>(groups[i].Sid);
        if (sid[1] == kAdministratorsSid[1] && std::memcmp(sid, kAdministratorsSid, sizeof(kAdministratorsSid)) == 0) {
            return (groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0 ? AdministratorsGroup::DenyOnly
                                                                             : AdministratorsGroup::Enabled;
        }
    }
    return AdministratorsGroup::Absent;
}

// A privilege merely disabled still counts: the child could enable it again.
DWORD PrivilegesBesidesChangeNotify(const std::vector<BYTE>& buffer) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    DWORD count = 0;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& luid = privileges->Privileges[i].Luid;
        count += luid.LowPart == kChangeNotifyPrivilege && luid.HighPart == 0 ? 0 : 1;
    }
    return count;
}

// The child's token, its integrity, groups and privileges, each read in turn until one
// fails; false with that read's code.
bool ReadChildToken(Platform& platform, HANDLE process, ChildReading& child, DWORD& error) {
    UniqueHandle token(platform);
    if (!platform.OpenProcessToken(process, TOKEN_QUERY, token.put())) {
        error = platform.GetLastError();
        return false;
    }
    std::vector<BYTE> buffer;
    child.integrity = ReadIntegrity(platform, token.get(), error);
    if (!child.integrity) {
        return false;
    }
    if (!ReadTokenClass(platform, token.get(), TokenGroups, buffer, error)) {
        return false;
    }
    child.administrators = Administrators(buffer);
    if (!ReadTokenClass(platform, token.get(), TokenPrivileges, buffer, error)) {
        return false;
    }
    child.privileges = PrivilegesBesidesChangeNotify(buffer);
    return true;
}

// The warnings of one read-back, in the order they are printed.
class Warnings {
public:
    explicit Warnings(Platform& platform) : platform_(platform) {}

    void Say(const std::u16string& text) { platform_.WriteStandardError(u"[brindle] Warning: " + text + u"\n"); }
    void CouldNotRead(std::u16string_view what, DWORD error) {
        Say(u"could not read back " + std::u16string(what) + u": " + Decimal(error));
    }

private:
    Platform& platform_;
};

void CheckToken(Platform& platform, HANDLE process, const Applied& applied, Warnings& warnings, Verified& verified,
                ChildReading& child) {
    DWORD error = 0;
    const bool read = ReadChildToken(platform, process, child, error);
    if (!applied.lowIntegrity && !applied.restrictedToken) {
        return;
    }
    if (!read) {
        warnings.CouldNotRead(u"the child's token", error);
        return;
    }
    if (applied.lowIntegrity) {
        verified.lowIntegrity = *child.integrity <= IntegrityBand::Low;
        if (!verified.lowIntegrity) {
            warnings.Say(u"the child's integrity level is " + std::u16string(IntegrityName(*child.integrity)) +
                         u", not Low");
        }
    }
    if (applied.restrictedToken) {
        const bool administrators = *child.administrators == AdministratorsGroup::Enabled;
        if (administrators) {
            warnings.Say(u"the child's token keeps the Administrators group");
        }
        if (*child.privileges != 0) {
            warnings.Say(u"the child's token keeps " + Decimal(*child.privileges) +
                         u" privileges besides SeChangeNotifyPrivilege");
        }
        verified.restrictedToken = !administrators && *child.privileges == 0;
    }
}

// Windows keeps the memory limits in whole pages.
std::uint64_t Pages(std::uint64_t bytes, DWORD pageSize) { return pageSize == 0 ? bytes : bytes / pageSize; }

bool SameLimits(const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& read, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& set,
                DWORD pageSize) {
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& readBasic = read.BasicLimitInformation;
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& setBasic = set.BasicLimitInformation;
    const DWORD flags = setBasic.LimitFlags;
    return (readBasic.LimitFlags & flags) == flags && readBasic.ActiveProcessLimit == setBasic.ActiveProcessLimit &&
           ((flags & JOB_OBJECT_LIMIT_JOB_TIME) == 0 ||
            readBasic.PerJobUserTimeLimit.QuadPart == setBasic.PerJobUserTimeLimit.QuadPart) &&
           ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) == 0 ||
            Pages(read.JobMemoryLimit, pageSize) == Pages(set.JobMemoryLimit, pageSize)) &&
           ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) == 0 ||
            Pages(read.ProcessMemoryLimit, pageSize) == Pages(set.ProcessMemoryLimit, pageSize));
}

// One of the job's records as it reads back; false, after the line that says so, when it
// cannot be read.
template <typename Record>
bool ReadJobRecord(Platform& platform, HANDLE job, JOBOBJECTINFOCLASS infoClass, Record& record,
                   std::u16string_view what, Warnings& warnings) {
    std::memset(&record, 0, sizeof(record));
    if (!platform.QueryInformationJobObject(job, infoClass, &record, sizeof(record), nullptr)) {
        warnings.CouldNotRead(what, platform.GetLastError());
        return false;
    }
    return true;
}

// The job is verified when the child is in it and its limit record reads back as set.
bool CheckJob(Platform& platform, HANDLE process, HANDLE job, const JobLimits& limits, Warnings& warnings) {
    BOOL inJob = FALSE;
    if (!platform.IsProcessInJob(process, job, &inJob)) {
        warnings.CouldNotRead(u"the job's membership", platform.GetLastError());
        return false;
    }
    if (!inJob) {
        warnings.Say(u"the child is not in the job");
    }
    const JOBOBJECT_EXTENDED_LIMIT_INFORMATION set = LimitRecord(limits);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION read;
    if (!ReadJobRecord(platform, job, JobObjectExtendedLimitInformation, read, u"the job's limits", warnings)) {
        return false;
    }
    SYSTEM_INFO system;
    std::memset(&system, 0, sizeof(system));
    platform.GetSystemInfo(&system);
    if (!SameLimits(read, set, system.dwPageSize)) {
        warnings.Say(u"the job's limits read back as " + Hexadecimal(read.BasicLimitInformation.LimitFlags) +
                     u", not " + Hexadecimal(set.BasicLimitInformation.LimitFlags));
        return false;
    }
    return inJob != FALSE;
}

bool CheckUiRestrictions(Platform& platform, HANDLE job, Warnings& warnings) {
    JOBOBJECT_BASIC_UI_RESTRICTIONS read;
    if (!ReadJobRecord(platform, job, JobObjectBasicUIRestrictions, read, u"the job's UI restrictions", warnings)) {
        return false;
    }
    if (read.UIRestrictionsClass != kUiRestrictions) {
        warnings.Say(u"the job's UI restrictions read back as " + Hexadecimal(read.UIRestrictionsClass) + u", not " +
                     Hexadecimal(kUiRestrictions));
        return false;
    }
    return true;
}

bool CheckCpuRate(Platform& platform, HANDLE job, std::uint32_t percent, Warnings& warnings) {
    const JOBOBJECT_CPU_RATE_CONTROL_INFORMATION set = CpuRateRecord(percent);
    JOBOBJECT_CPU_RATE_CONTROL_INFORMATION read;
    if (!ReadJobRecord(platform, job, JobObjectCpuRateControlInformation, read, u"the job's CPU rate", warnings)) {
        return false;
    }
    if (read.ControlFlags != set.ControlFlags || read.CpuRate != set.CpuRate) {
        warnings.Say(u"the job's CPU rate reads back as " + Decimal(read.CpuRate) + u", not " + Decimal(set.CpuRate));
        return false;
    }
    return true;
}

// The verified restrictions by their report keys, in report order.
std::u16string VerifiedNames(const Verified& verified) {
    const std::pair<bool, std::u16string_view> names[] = {{verified.restrictedToken, u"restrictedToken"},
                                                          {verified.lowIntegrity, u"lowIntegrity"},
                                                          {verified.job, u"job"},
                                                          {verified.uiRestrictions, u"uiRestrictions"},
                                                          {verified.cpuRate, u"cpuRate"}};
    std::u16string list;
    for (const auto& [isVerified, name] : names) {
        if (isVerified) {
            list += (list.empty() ? u"" : u", ") + std::u16string(name);
        }
    }
    return list;
}

}  // namespace

std::optional<IntegrityBand> ReadIntegrity(Platform& platform, HANDLE token, DWORD& error) {
    std::vector<BYTE> buffer;
    if (!ReadTokenClass(platform, token, TokenIntegrityLevel, buffer, error)) {
        return std::nullopt;
    }
    return Band(LastSubAuthority(
        static_cast<const BYTE*>(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid)));
}

std::u16string_view IntegrityName(IntegrityBand band) {
    switch (band) {
        case IntegrityBand::Untrusted: return u"Untrusted";
        case IntegrityBand::Low: return u"Low";
        case IntegrityBand::Medium: return u"Medium";
        case IntegrityBand::High: return u"High";
        case IntegrityBand::System: break;
    }
    return u"System";
}

Verified ReadBack(Platform& platform, HANDLE process, HANDLE job, const Applied& applied, const JobLimits& limits,
                  bool verbose, ChildReading& child) {
    Warnings warnings(platform);
    Verified verified;
    CheckToken(platform, process, applied, warnings, verified, child);
    if (applied.job) {
        verified.job = CheckJob(platform, process, job, limits, warnings);
    }
    if (applied.uiRestrictions) {
        verified.uiRestrictions = CheckUiRestrictions(platform, job, warnings);
    }
    if (applied.cpuRate) {
        verified.cpuRate = CheckCpuRate(platform, job, limits.cpuRatePercent, warnings);
    }
    const std::u16string names = VerifiedNames(verified);
    if (verbose && !names.empty()) {
        platform.WriteStandardError(u"[brindle] Verified: " + names + u"\n");
    }
    return verified;
}

}  // namespace brindle
