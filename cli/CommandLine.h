#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace brindle {

// Appends one argument of the child to its command line so that the child's runtime
// splits it back out unchanged.
//
// The first argument is the program. Windows reads a program name up to the closing
// quote with no escapes (and a file name cannot hold a quote), so it is only wrapped in
// quotes when it holds a space or tab, and written as "" when empty so that the next
// argument is not run in its place.
//
// Every later argument follows the convention of CommandLineToArgvW and the C runtime:
// one that is empty or holds a space, tab or double quote is wrapped in double quotes,
// with each inner quote written as \" and backslashes doubled only where they stand
// before a quote or the closing quote. Any other argument is copied unchanged.
void AppendCommandArgument(std::u16string& command, std::u16string_view argument);

// Whether Windows runs the program through cmd.exe: its name ends in .bat or .cmd,
// ASCII case ignored, once the trailing dots and spaces Windows drops are dropped.
bool IsBatchFile(std::u16string_view program);

// cmd.exe expands %NAME% even inside quotes, takes no escape for a quote, and ends a
// line at a carriage return or line feed: an argument holding any of them cannot
// reach a batch file as it was given, and may run commands of its own.
bool CanPassToBatchFile(std::u16string_view argument);

// Appends one argument of a batch file's command line (the program first), for one
// that CanPassToBatchFile accepts. cmd.exe reads &|<>^() outside quotes as commands
// and ,;= as separators, so an argument that is empty or holds any of them, a space
// or a tab is wrapped in quotes, inside which cmd.exe takes them literally; backslashes
// at the end of a wrapped argument are doubled, so that a program the batch file hands
// it on to reads them as they were given.
void AppendBatchArgument(std::u16string& command, std::u16string_view argument);

// Composes the child's command line from its arguments (the program first): by the
// batch rule when the program is a batch file, whose argument that cannot be passed
// safely ends it with its line and false; by the round-trip rule otherwise.
bool ComposeCommandLine(const std::vector<std::u16string>& arguments, std::u16string& command, ErrorStream& errors);

// The program a composed command line names, as Windows reads it: up to the closing
// quote of a quoted program (the quotes removed), else up to the first space or tab.
std::u16string ProgramOf(std::u16string_view commandLine);

}  // namespace brindle
