#include "cli/CommandLine.h"

namespace brindle {
namespace {

bool HoldsAny(std::u16string_view text, std::u16string_view characters) {
    return text.find_first_of(characters) != std::u16string_view::npos;
}

void AppendProgram(std::u16string& command, std::u16string_view program) {
    if (program.empty() || HoldsAny(program, u" \t")) {
        command += u'"';
        command += program;
        command += u'"';
    } else {
        command += program;
    }
}

void AppendQuotedArgument(std::u16string& command, std::u16string_view argument) {
    command += u'"';
    std::size_t backslashes = 0;
    for (char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote itself escaped;
        // before any other character they stand for themselves.
        const std::size_t written = unit == u'"' ? backslashes * 2 + 1 : backslashes;
        command.append(written, u'\\');
        command += unit;
        backslashes = 0;
    }
    // Trailing backslashes stand before the closing quote, so they are doubled too.
    command.append(backslashes * 2, u'\\');
    command += u'"';
}

}  // namespace

void AppendCommandArgument(std::u16string& command, std::u16string_view argument) {
    if (command.empty()) {
        AppendProgram(command, argument);
        return;
    }
    command += u' ';
    if (argument.empty() || HoldsAny(argument, u" \t\"")) {
        AppendQuotedArgument(command, argument);
    } else {
        command += argument;
    }
}

}  // namespace brindle
