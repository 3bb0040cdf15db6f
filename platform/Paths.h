// The full and long forms of a path, for the checks that compare paths.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace brindle {

// GetFullPathNameW of the path, at any length; false, with the code for GetLastError,
// when it fails.
bool FullPathOf(Platform& platform, const std::u16string& path, std::u16string& fullPath);

// The full path, then its long form (no 8.3 short names) where GetLongPathNameW can
// give one: it fails for a path that does not exist, which is then judged by its full
// path alone. Empty when not even the full path can be read.
std::u16string CanonicalPathOf(Platform& platform, const std::u16string& path);

}  // namespace brindle
