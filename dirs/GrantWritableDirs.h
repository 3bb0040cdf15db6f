#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/LaunchOptions.h"
#include "platform/Platform.h"

namespace brindle {

// The non-empty pieces of a ";"-separated list, in order, each exactly as it stands
// (no trimming, no unquoting). There is no escape for a ";" inside a path.
std::vector<std::u16string> SplitDirectoryList(std::u16string_view list);

// Relabels every directory that should become writable at Low integrity, before the
// child is created: first those named with --writable-dir (a failure is followed by a
// Warning line), then those listed in the ORBIK_WRITABLE_DIRS environment variable
// (whose failures carry only their own messages). It never ends the run.
void GrantWritableDirs(Platform& platform, const LaunchOptions& options);

}  // namespace brindle
