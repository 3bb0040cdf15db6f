// Text, paths and command-line quoting shared by the end-to-end test program, its
// probe child and the benchmark.
#pragma once

#include <windows.h>

#include <string>

inline std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

// The full path of the running program, however long.
inline std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// A program path as the first token of a command line. Windows reads the program
// name up to the closing quote with no escapes, and a file name holds no quote, so
// plain quotes around it are enough; an empty one is quoted so that it stays a token.
inline std::wstring QuoteProgram(const std::wstring& program) {
    const bool blank = program.find_first_of(L" \t") != std::wstring::npos;
    return program.empty() || blank ? L"\"" + program + L"\"" : program;
}

// Quotes one argument by the convention the C runtime and CommandLineToArgvW split
// by, for the command lines the test program and the probe build themselves.
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
