#include "cli/CommandLine.h"

#include "platform/Text.h"

namespace brindle {
namespace {

bool HoldsAny(std::u16string_view text, std::u16string_view characters) {
    return text.find_first_of(characters) != std::u16string_view::npos;
}

// Quotes with no escapes inside them, for readers that take none.
void AppendWrapped(std::u16string& command, std::u16string_view text, bool wrap) {
    if (wrap) {
        command += u'"';
        command += text;
        command += u'"';
    } else {
        command += text;
    }
}

void AppendProgram(std::u16string& command, std::u16string_view program) {
    AppendWrapped(command, program, program.empty() || HoldsAny(program, u" \t"));
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

bool EndsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view lowerSuffix) {
    if (text.size() < lowerSuffix.size()) {
        return false;
    }
    const std::u16string_view end = text.substr(text.size() - lowerSuffix.size());
    for (std::size_t i = 0; i < end.size(); ++i) {
        if (AsciiLower(end[i]) != lowerSuffix[i]) {
            return false;
        }
    }
    return true;
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

bool IsBatchFile(std::u16string_view program) {
    const std::size_t last = program.find_last_not_of(u". ");
    const std::u16string_view name = program.substr(0, last == std::u16string_view::npos ? 0 : last + 1);
    return EndsWithIgnoringAsciiCase(name, u".bat") || EndsWithIgnoringAsciiCase(name, u".cmd");
}

bool CanPassToBatchFile(std::u16string_view argument) { return !HoldsAny(argument, u"\"%\r\n"); }

void AppendBatchArgument(std::u16string& command, std::u16string_view argument) {
    if (!command.empty()) {
        command += u' ';
    }
    // An argument that ends in a backslash is wrapped too: a batch file that writes "%~1"
    // would otherwise hand its program a quote escaped by that backslash.
    const bool wrap = argument.empty() || HoldsAny(argument, u" \t\v\f&|<>^(),;=") || argument.back() == u'\\';
    AppendWrapped(command, argument, wrap);
    if (wrap) {
        // cmd.exe hands the text on as it stands: a batch file that passes %* or %1 to a
        // program would give it a closing quote escaped by the trailing backslashes.
        const std::size_t kept = argument.find_last_not_of(u'\\');
        const std::size_t trailing = argument.size() - (kept == std::u16string_view::npos ? 0 : kept + 1);
        command.insert(command.size() - 1, trailing, u'\\');
    }
}

bool ComposeCommandLine(const std::vector<std::u16string>& arguments, std::u16string& command,
                        ErrorStream& errors) {
    command.clear();
    if (!IsBatchFile(arguments.front())) {
        for (const std::u16string& argument : arguments) {
            AppendCommandArgument(command, argument);
        }
        return true;
    }
    for (const std::u16string& argument : arguments) {
        if (!CanPassToBatchFile(argument)) {
            errors.WriteStandardError(u"[brindle] Cannot pass this argument safely to a batch file: " + argument +
                                      u"\n");
            return false;
        }
        AppendBatchArgument(command, argument);
    }
    return true;
}

std::u16string ProgramOf(std::u16string_view commandLine) {
    if (!commandLine.empty() && commandLine.front() == u'"') {
        return std::u16string(commandLine.substr(1, commandLine.find(u'"', 1) - 1));
    }
    return std::u16string(commandLine.substr(0, commandLine.find_first_of(u" \t")));
}

}  // namespace brindle
