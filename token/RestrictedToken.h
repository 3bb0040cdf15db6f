#pragma once

#include "platform/Owners.h"
#include "platform/StepResult.h"
#include "token/LaunchTokens.h"

namespace brindle {

// Makes a primary token from sourceToken in which the built-in Administrators group
// is deny-only and every privilege that DISABLE_MAX_PRIVILEGE removes (all but
// SeChangeNotifyPrivilege) is gone. A deny-only SID still matches deny entries of an
// ACL but never grants access, so the child cannot use administrator rights even where
// the launcher could. When the token cannot be made, restrictedToken stays empty, the
// failing call has printed why, and the result carries its error code.
StepResult MakeRestrictedToken(Platform& platform, HANDLE sourceToken, UniqueHandle& restrictedToken);

// The restricted-token step of the launch: on success the child will be created with
// the restricted token; on failure the run goes on with the launcher's own token.
StepResult ApplyRestrictedToken(Platform& platform, LaunchTokens& tokens, bool verbose);

// Whether the token is elevated (a full administrator token). A restricted copy of it
// still runs at High integrity: it may write the user's registry hive and profile,
// which the caller's next elevated programs read. False when the query fails.
bool IsElevated(Platform& platform, HANDLE token);

}  // namespace brindle
