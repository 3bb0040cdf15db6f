// Text helpers shared by every part of the launcher. All text is UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

// The decimal digits of an unsigned number, as the messages print error codes and counts.
std::u16string Decimal(std::uint64_t value);

// "0x" and eight upper-case hexadecimal digits, as the messages print statuses and flags.
std::u16string Hexadecimal(std::uint32_t value);

// UTF-8 for standard error when it is not a console. An unpaired surrogate becomes U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

// ASCII letters in one case; every other code unit as it is. Windows compares names
// (environment variables, paths, file extensions) without regard to the case of these.
inline char16_t AsciiLower(char16_t unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}
inline char16_t AsciiUpper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

inline bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace brindle

namespace brindle {

// "[brindle] <operation> failed: <code>\n", the line that reports a failed Windows operation.
std::u16string FailedLine(std::u16string_view operation, std::uint64_t errorCode);

}  // namespace brindle
