#include "dirs/GrantLowIntegrityWrite.h"

#include <vector>

#include "platform/Owners.h"
#include "platform/Text.h"
#include "platform/WellKnownSids.h"

namespace brindle {
namespace {

// Inherited by files and subdirectories created later.
constexpr DWORD kLabelInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
// The label's mandatory policy.
constexpr DWORD kLabelPolicy = SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP;  // 4

bool IsExistingDirectory(Platform& platform, const std::u16string& path, bool verbose) {
    const DWORD attributes = platform.GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (verbose) {
            platform.WriteStandardError(u"[brindle] GrantLowIntegrityWrite: directory does not exist: " + path + u"\n");
        }
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        platform.WriteStandardError(u"[brindle] GrantLowIntegrityWrite: not a directory: " + path + u"\n");
        return false;
    }
    return true;
}

// Builds, in aclBuffer, a system ACL holding one mandatory-label entry for the Low
// level. Windows takes only a SYSTEM_MANDATORY_LABEL_ACE as an integrity label; an
// access-allowed entry naming the Low SID would be ignored and leave the directory
// unwritable. The buffer is sized exactly for the header and that one entry.
bool BuildLowLabelAcl(Platform& platform, PSID lowSid, std::vector<DWORD>& aclBuffer) {
    const DWORD aclSize = static_cast<DWORD>(sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) +
                                             platform.GetLengthSid(lowSid));
    // DWORD elements keep the ACL DWORD-aligned, as Windows requires.
    aclBuffer.assign((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer.data());
    if (!platform.InitializeAcl(acl, aclSize, ACL_REVISION)) {
        platform.WriteStandardError(FailedLine(u"InitializeAcl", platform.GetLastError()));
        return false;
    }
    if (!platform.AddMandatoryAce(acl, ACL_REVISION, kLabelInheritance, kLabelPolicy, lowSid)) {
        platform.WriteStandardError(FailedLine(u"AddMandatoryAce", platform.GetLastError()));
        return false;
    }
    return true;
}

}  // namespace

bool GrantLowIntegrityWrite(Platform& platform, const std::u16string& path, bool verbose) {
    if (path.empty() || !IsExistingDirectory(platform, path, verbose)) {
        return false;
    }
    UniqueSid lowSid(platform);
    if (!AllocateLowLabelSid(platform, lowSid)) {
        platform.WriteStandardError(u"[brindle] AllocateAndInitializeSid failed for Low IL: " +
                                    Decimal(platform.GetLastError()) + u"\n");
        return false;
    }
    std::vector<DWORD> aclBuffer;
    if (!BuildLowLabelAcl(platform, lowSid.get(), aclBuffer)) {
        return false;
    }
    const DWORD result = platform.SetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION,
                                                        nullptr, nullptr, nullptr,  // owner, group, DACL unchanged
                                                        reinterpret_cast<ACL*>(aclBuffer.data()));
    lowSid.reset();
    if (result != 0) {
        platform.WriteStandardError(u"[brindle] SetNamedSecurityInfo failed for '" + path + u"': " +
                                    Decimal(result) + u"\n");
        return false;
    }
    if (verbose) {
        platform.WriteStandardError(u"[brindle] Granted Low IL write to: " + path + u"\n");
    }
    return true;
}

}  // namespace brindle
