#pragma once

#include "token/LaunchTokens.h"

namespace brindle {

// Gives the token the child will be created with the Low mandatory integrity level,
// so that the child cannot write to objects labelled Medium or above (most of the
// user's files and registry) even where their ACLs would allow it. The launcher's own
// token is never changed: the label goes on the restricted token when there is one,
// otherwise on a new duplicate of the launcher's token, which becomes the token for the
// child. A label that cannot be set is reported, recorded in tokens.lowLabel, and the
// child runs at the token's normal level. Returns false only when the duplicate cannot
// be made; the run then ends, and the caller releases the launcher's token.
bool ApplyLowIntegrityLevel(Platform& platform, LaunchTokens& tokens, bool verbose);

}  // namespace brindle
