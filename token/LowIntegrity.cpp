#include "token/LowIntegrity.h"

#include "platform/Text.h"
#include "platform/WellKnownSids.h"

namespace brindle {
namespace {

const std::u16string_view kLowIntegrityFallback =
    u"[brindle] Failed to set Low IL, falling back to normal integrity\n";

// A primary copy of the launcher's token to carry the label.
bool DuplicateOwnToken(Platform& platform, LaunchTokens& tokens) {
    HANDLE duplicate = nullptr;
    if (!platform.DuplicateTokenEx(tokens.processToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                   TokenPrimary, &duplicate)) {
        platform.WriteStandardError(FailedLine(u"DuplicateTokenEx", platform.GetLastError()));
        return false;
    }
    tokens.duplicateToken.adopt(duplicate);
    tokens.effectiveToken = duplicate;
    return true;
}

// Sets the Low label (S-1-16-4096) on the token; on failure, after its own message, the
// result carries the failing call's code.
StepResult SetLowLabel(Platform& platform, HANDLE token) {
    UniqueSid lowSid(platform);
    if (!AllocateLowLabelSid(platform, lowSid)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"AllocateAndInitializeSid", error));
        return StepResult::Failed(error);
    }
    TOKEN_MANDATORY_LABEL label{};
    label.Label.Sid = lowSid.get();
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    const DWORD labelSize = sizeof(label) + platform.GetLengthSid(lowSid.get());
    const BOOL set = platform.SetTokenInformation(token, TokenIntegrityLevel, &label, labelSize);
    // The code is read before the SID is freed, since freeing may change it.
    const DWORD error = set ? 0 : platform.GetLastError();
    lowSid.reset();
    if (!set) {
        platform.WriteStandardError(FailedLine(u"SetTokenInformation(TokenIntegrityLevel)", error));
        return StepResult::Failed(error);
    }
    return StepResult::Applied();
}

}  // namespace

bool ApplyLowIntegrityLevel(Platform& platform, LaunchTokens& tokens, bool verbose) {
    // A restricted token is already the token for the child and may be labelled itself.
    if (!tokens.restrictedToken && !DuplicateOwnToken(platform, tokens)) {
        return false;
    }
    tokens.lowLabel = SetLowLabel(platform, tokens.effectiveToken);
    if (!tokens.lowLabel.applied) {
        platform.WriteStandardError(kLowIntegrityFallback);
    } else if (verbose) {
        platform.WriteStandardError(u"[brindle] Set token to Low Integrity Level\n");
    }
    return true;
}

}  // namespace brindle
