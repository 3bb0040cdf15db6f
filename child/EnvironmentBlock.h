#pragma once

#include <string>
#include <string_view>

#include "cli/LaunchOptions.h"
#include "platform/Platform.h"
#include "platform/StepResult.h"

namespace brindle {

// The child's environment block, built from the launcher's (entries "NAME=value", each
// ending in a null, one more null at the end): all of it, or with --clear-env only the
// variables Windows programs need to start and find their folders, the per-drive
// current folders ("=C:") and each --keep-env name; then each --set-env and --unset-env
// in command-line order. Names match without regard to the case of ASCII letters, and
// the block is sorted that way, as Windows expects; --set-env of a name present in
// another case replaces it with the new spelling. A temporaryFolder (the scratch
// folder) becomes TEMP and TMP before the edits, which may still override them.
std::u16string BuildEnvironmentBlock(std::u16string_view launcherBlock, const LaunchOptions& options,
                                     std::u16string_view temporaryFolder = {});

// Reads the launcher's environment through the seam and builds the child's block from it.
// When the environment cannot be read, says so; the child then gets the launcher's.
StepResult PrepareEnvironment(Platform& platform, const LaunchOptions& options, std::u16string_view temporaryFolder,
                              std::u16string& block);

}  // namespace brindle
