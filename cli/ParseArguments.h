#pragma once

#include <string_view>

#include "cli/LaunchOptions.h"
#include "platform/Platform.h"

namespace brindle {

// The usage text, printed for a help request and after each argument error.
extern const std::u16string_view kUsageText;

// Reads the launcher's argument vector (argv[0], the program's own path, is skipped)
// into options, which the caller has created with their defaults. Returns false after
// printing the usage text, for a help request, an unknown option or a missing command,
// or after one line for an argument that a batch file cannot be given safely; the
// caller then ends the run and uses no field but versionRequested, which --version sets
// (with nothing printed) so that the caller prints the version instead.
bool ParseArguments(int argc, const char16_t* const* argv, LaunchOptions& options, ErrorStream& errors);

}  // namespace brindle
