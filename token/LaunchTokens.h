// The tokens of one run and the rule that releases them: every distinct token
// handle is closed exactly once, and the launcher's own token last.
#pragma once

#include "platform/Owners.h"
#include "platform/StepResult.h"

namespace brindle {

struct LaunchTokens {
    explicit LaunchTokens(Platform& platform)
        : processToken(platform), restrictedToken(platform), duplicateToken(platform) {}

    // Owners are destroyed in reverse order of declaration, so processToken closes last.
    UniqueHandle processToken;     // the launcher's own primary token
    UniqueHandle restrictedToken;  // made when a restricted token was asked for and could be built
    UniqueHandle duplicateToken;   // a copy of processToken to label Low, when there is no restricted token
    // The token the child is created with; it borrows one of the three above and is never closed itself.
    HANDLE effectiveToken = nullptr;
    StepResult lowLabel;  // applied when effectiveToken carries the Low integrity label

    // Whether the child's token has fewer rights than the launcher's own.
    bool IsReduced() const { return static_cast<bool>(restrictedToken) || lowLabel.applied; }
};

}  // namespace brindle
