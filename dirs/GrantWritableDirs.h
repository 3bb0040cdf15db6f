#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/LaunchOptions.h"
#include "dirs/GrantLowIntegrityWrite.h"
#include "platform/Platform.h"

namespace brindle {

// The non-empty pieces of a ";"-separated list, in order, each exactly as it stands
// (no trimming, no unquoting). There is no escape for a ";" inside a path.
std::vector<std::u16string> SplitDirectoryList(std::u16string_view list);

enum class DirectorySource { CommandLine, Environment };

// One directory handled, in the order handled.
struct WritableDir {
    std::u16string path;
    DirectorySource source;
    DirectoryGrant grant;
};

// Relabels every directory that should become writable at Low integrity, before the
// child is created: first those named with --writable-dir (a failure is followed by a
// Warning line), then those listed in the ORBIK_WRITABLE_DIRS environment variable
// (whose failures carry only their own messages). It never ends the run by itself; with
// --strict a missing directory is named even without --verbose, and the first directory
// that is not made writable ends the step, leaving later ones untouched.
std::vector<WritableDir> GrantWritableDirs(Platform& platform, const LaunchOptions& options);

}  // namespace brindle
