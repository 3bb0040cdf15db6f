// Splits a command line the way CommandLineToArgvW and the C runtime do, so tests
// can check that a composed command line gives the child back its arguments.
#pragma once

#include <string>
#include <vector>

namespace brindle::testing {

inline std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
    std::vector<std::u16string> arguments;
    std::size_t i = 0;
    const std::size_t n = line.size();

    // The program: up to the closing quote, or up to the first space or tab; no escapes.
    std::u16string program;
    if (i < n && line[i] == u'"') {
        const std::size_t close = line.find(u'"', 1);
        program = line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
        i = close == std::u16string::npos ? n : close + 1;
    } else {
        while (i < n && line[i] != u' ' && line[i] != u'\t') {
            program += line[i++];
        }
    }
    arguments.push_back(program);

    for (;;) {
        while (i < n && (line[i] == u' ' || line[i] == u'\t')) {
            ++i;
        }
        if (i >= n) {
            break;
        }
        std::u16string argument;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
            if (line[i] == u'\\') {
                std::size_t backslashes = 0;
                while (i < n && line[i] == u'\\') {
                    ++backslashes;
                    ++i;
                }
                if (i < n && line[i] == u'"') {
                    argument.append(backslashes / 2, u'\\');
                    if (backslashes % 2 == 1) {
                        argument += u'"';
                        ++i;
                    }
                } else {
                    argument.append(backslashes, u'\\');
                }
            } else if (line[i] == u'"') {
                if (quoted && i + 1 < n && line[i + 1] == u'"') {
                    argument += u'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace brindle::testing
