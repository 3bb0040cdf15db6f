#include "token/RestrictedToken.h"

#include <vector>

#include "platform/Text.h"
#include "platform/WellKnownSids.h"

namespace brindle {
namespace {

// Groups that are never disabled: a logon session SID, the integrity label, and
// anything already deny-only.
constexpr DWORD kNeverDisabled = SE_GROUP_LOGON_ID | SE_GROUP_INTEGRITY | SE_GROUP_USE_FOR_DENY_ONLY;  // 0xC0000030

// Reads the token's TOKEN_GROUPS record into a zero-filled buffer of exactly the size
// Windows asks for. The SIDs of the record point into the buffer.
StepResult ReadTokenGroups(Platform& platform, HANDLE token, std::vector<BYTE>& buffer) {
    DWORD length = 0;
    // The query with no buffer fails by design; only the length it writes back matters.
    platform.GetTokenInformation(token, TokenGroups, nullptr, 0, &length);
    if (length == 0) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"GetTokenInformation(TokenGroups) size query", error));
        return StepResult::Failed(error);
    }
    buffer.assign(length, 0);
    if (!platform.GetTokenInformation(token, TokenGroups, buffer.data(), length, &length)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"GetTokenInformation(TokenGroups)", error));
        return StepResult::Failed(error);
    }
    return StepResult::Applied();
}

// The groups of the record that are the Administrators group and can still grant access.
std::vector<SID_AND_ATTRIBUTES> GroupsToDisable(Platform& platform, const TOKEN_GROUPS& groups,
                                                const UniqueSid& administrators) {
    std::vector<SID_AND_ATTRIBUTES> sidsToDisable;
    const SID_AND_ATTRIBUTES* entries = groups.Groups;
    for (DWORD i = 0; i < groups.GroupCount; ++i) {
        if ((entries[i].Attributes & kNeverDisabled) == 0 && platform.EqualSid(entries[i].Sid, administrators.get())) {
            sidsToDisable.push_back(SID_AND_ATTRIBUTES{entries[i].Sid, 0});
        }
    }
    return sidsToDisable;
}

}  // namespace

StepResult MakeRestrictedToken(Platform& platform, HANDLE sourceToken, UniqueHandle& restrictedToken) {
    if (sourceToken == nullptr) {
        return StepResult::Failed(ERROR_INVALID_HANDLE);
    }
    // The buffer owns the SIDs that sidsToDisable points to; it lives until the token exists.
    std::vector<BYTE> groupsBuffer;
    const StepResult read = ReadTokenGroups(platform, sourceToken, groupsBuffer);
    if (!read.applied) {
        return read;
    }
    // Without the Administrators SID no group would match, and a token that disables
    // nothing would pass for a restricted one.
    UniqueSid administrators(platform);
    if (!AllocateAdministratorsSid(platform, administrators)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"AllocateAndInitializeSid", error));
        return StepResult::Failed(error);
    }
    std::vector<SID_AND_ATTRIBUTES> sidsToDisable = GroupsToDisable(
        platform, *reinterpret_cast<const TOKEN_GROUPS*>(groupsBuffer.data()), administrators);

    HANDLE newToken = nullptr;
    const BOOL made = platform.CreateRestrictedToken(sourceToken, DISABLE_MAX_PRIVILEGE,
                                                     static_cast<DWORD>(sidsToDisable.size()),
                                                     sidsToDisable.empty() ? nullptr : sidsToDisable.data(),
                                                     0, nullptr,  // no privileges named: the flag removes them
                                                     0, nullptr,  // no restricting SIDs
                                                     &newToken);
    // The code is read before the SID is freed, since freeing may change it.
    const DWORD error = made ? 0 : platform.GetLastError();
    administrators.reset();
    if (!made) {
        platform.WriteStandardError(FailedLine(u"CreateRestrictedToken", error));
        return StepResult::Failed(error);
    }
    restrictedToken.adopt(newToken);
    return StepResult::Applied();
}

StepResult ApplyRestrictedToken(Platform& platform, LaunchTokens& tokens, bool verbose) {
    const StepResult made = MakeRestrictedToken(platform, tokens.processToken.get(), tokens.restrictedToken);
    if (!made.applied) {
        platform.WriteStandardError(u"[brindle] Failed to create restricted token, falling back to normal token\n");
        return made;
    }
    tokens.effectiveToken = tokens.restrictedToken.get();
    if (verbose) {
        platform.WriteStandardError(u"[brindle] Created restricted token (admin SIDs deny-only, privileges stripped)\n");
    }
    return made;
}

bool IsElevated(Platform& platform, HANDLE token) {
    TOKEN_ELEVATION elevation{};
    DWORD length = 0;
    return platform.GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &length) &&
           elevation.TokenIsElevated != 0;
}

}  // namespace brindle
