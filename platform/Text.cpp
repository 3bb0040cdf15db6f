#include "platform/Text.h"

namespace brindle {

std::u16string Decimal(std::uint64_t value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

std::u16string Hexadecimal(std::uint32_t value) {
    std::u16string digits = u"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        digits += u"0123456789ABCDEF"[(value >> shift) & 0xF];
    }
    return digits;
}

namespace {

void AppendUtf8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace

std::string EncodeUtf8(std::u16string_view text) {
    constexpr std::uint32_t kReplacementCharacter = 0xFFFD;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            const std::uint32_t high = unit - 0xD800u;
            const std::uint32_t low = text[i + 1] - 0xDC00u;
            AppendUtf8(out, 0x10000u + (high << 10) + low);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(out, kReplacementCharacter);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace brindle

namespace brindle {

std::u16string FailedLine(std::u16string_view operation, std::uint64_t errorCode) {
    return u"[brindle] " + std::u16string(operation) + u" failed: " + Decimal(errorCode) + u"\n";
}

}  // namespace brindle
