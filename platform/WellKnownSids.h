// The two well-known SIDs the launcher builds. Each is released by its UniqueSid owner.
#pragma once

#include "platform/Owners.h"

namespace brindle {

// S-1-5-32-544, the built-in Administrators group.
inline BOOL AllocateAdministratorsSid(Platform& platform, UniqueSid& sid) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, 5}};  // SECURITY_NT_AUTHORITY
    return platform.AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                             sid.put());
}

// S-1-16-4096, the Low mandatory integrity level.
inline BOOL AllocateLowLabelSid(Platform& platform, UniqueSid& sid) {
    SID_IDENTIFIER_AUTHORITY labelAuthority = {{0, 0, 0, 0, 0, 16}};  // SECURITY_MANDATORY_LABEL_AUTHORITY
    return platform.AllocateAndInitializeSid(&labelAuthority, 1, SECURITY_MANDATORY_LOW_RID, 0, sid.put());
}

}  // namespace brindle
