#pragma once

#include "platform/Platform.h"

namespace brindle {

// Runs one launch from start to end: parses the arguments, prepares the token,
// labels the writable directories, creates the child suspended, contains and
// resumes it, waits, and releases everything it opened. Returns the process's exit
// status: the child's exit code, or 1 when the run could not start the child or it
// did not exit by itself.
DWORD LauncherMain(int argc, const char16_t* const* argv, Platform& platform);

}  // namespace brindle
