// What the child really got. A platform may accept a call and ignore it (Wine takes the
// Low label, the removal of privileges and the job's limits without enforcing any of
// them), so a restriction counts as verified only when the suspended child's token and
// its job read back what was set, before the child runs a single instruction.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "job/ContainInJob.h"
#include "platform/Platform.h"

namespace brindle {

// The bands of a mandatory label's level (its last sub-authority).
enum class IntegrityBand { Untrusted, Low, Medium, High, System };
// How the child's token holds the built-in Administrators group.
enum class AdministratorsGroup { Enabled, DenyOnly, Absent };

// "Untrusted", "Low", "Medium", "High" or "System", as the messages and the report name it.
std::u16string_view IntegrityName(IntegrityBand band);

// The band of a token's integrity level, as it reads back; empty, with the code of the
// failing call in error, when it cannot be read.
std::optional<IntegrityBand> ReadIntegrity(Platform& platform, HANDLE token, DWORD& error);

// What the child's token reads back; a field whose read failed is empty.
struct ChildReading {
    DWORD pid = 0;
    std::optional<IntegrityBand> integrity;
    std::optional<AdministratorsGroup> administrators;
    std::optional<DWORD> privileges;  // besides SeChangeNotifyPrivilege
};

// The restrictions that applied, so are to be read back, and what was set for the job.
struct Applied {
    bool restrictedToken = false;
    bool lowIntegrity = false;
    bool job = false;
    bool uiRestrictions = false;
    bool cpuRate = false;
};

// Of the applied restrictions, those the child's token and job read back as set.
using Verified = Applied;

// Reads the suspended child's token (always: the report describes the child whatever was
// asked) and, with a job, the job, and checks each applied restriction against what was
// set. Prints, always, one warning for each applied restriction that is not verified (or
// one line for a read that failed), and with verbose the verified ones.
Verified ReadBack(Platform& platform, HANDLE process, HANDLE job, const Applied& applied, const JobLimits& limits,
                  bool verbose, ChildReading& child);

}  // namespace brindle
