// The composed command line, split again by the rules the child's runtime uses, gives
// back every argument after the program exactly, and the program too when its name
// holds no double quote (a file name never does).
//
// For a batch file, whose command line cmd.exe reads, nothing that cmd.exe reads as a
// command stands outside quotes, and every argument brindle accepts comes back from
// cmd.exe's own splitting (quotes group, and space, tab, vertical tab, form feed, comma,
// semicolon and equals separate outside them) as the text a batch file passes on with %1: split by the C
// runtime's rules, it is the argument given.
#include <algorithm>
#include <cstdlib>

#include "../unit/ArgvParser.h"
#include "FuzzInput.h"
#include "cli/CommandLine.h"

namespace {

// Splits a batch file's command line as cmd.exe splits %0 to %9, each token with its
// quotes; aborts when a command character stands outside quotes.
std::vector<std::u16string> SplitAsCmd(const std::u16string& command) {
    const std::u16string_view separators = u" \t\v\f,;=";
    const std::u16string_view commands = u"&|<>^()";
    std::vector<std::u16string> tokens;
    bool inQuotes = false;
    bool inToken = false;
    for (const char16_t unit : command) {
        if (!inQuotes && separators.find(unit) != std::u16string_view::npos) {
            inToken = false;
            continue;
        }
        if (!inQuotes && commands.find(unit) != std::u16string_view::npos) {
            std::abort();
        }
        if (!inToken) {
            tokens.emplace_back();
            inToken = true;
        }
        if (unit == u'"') {
            inQuotes = !inQuotes;
        }
        tokens.back() += unit;
    }
    return tokens;
}

void CheckBatchFile(const std::vector<std::u16string>& arguments) {
    std::u16string command;
    for (const std::u16string& argument : arguments) {
        if (!brindle::CanPassToBatchFile(argument)) {
            return;
        }
        brindle::AppendBatchArgument(command, argument);
    }
    const std::vector<std::u16string> tokens = SplitAsCmd(command);
    std::u16string program = tokens.empty() ? u"" : tokens[0];
    program.erase(std::remove(program.begin(), program.end(), u'"'), program.end());
    if (tokens.size() != arguments.size() || program != arguments[0]) {
        std::abort();
    }
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        if (brindle::testing::SplitCommandLine(u"p " + tokens[i]) != std::vector<std::u16string>{u"p", arguments[i]}) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::u16string> arguments = brindle::fuzzing::ArgumentsFrom(data, size);
    if (arguments[0].find(u'"') != std::u16string::npos) {
        return 0;
    }
    std::u16string command;
    for (const std::u16string& argument : arguments) {
        brindle::AppendCommandArgument(command, argument);
    }
    if (brindle::testing::SplitCommandLine(command) != arguments) {
        std::abort();
    }
    arguments[0] += u".bat";
    CheckBatchFile(arguments);
    return 0;
}
