// Quotes one argument by the convention the C runtime and CommandLineToArgvW split
// by, for the command lines the end-to-end tests and the probe build themselves.
#pragma once

#include <string>

// An argument that is empty or holds a space, tab or quote is wrapped in quotes;
// inside them `"` becomes `\"`, and backslashes are doubled only where they stand
// before a quote or before the closing quote. Others are returned unchanged.
inline std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}
