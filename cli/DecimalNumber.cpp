#include "cli/DecimalNumber.h"

#include "platform/Text.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace brindle {
namespace {

// The code unit of digit zero in each script whose ten decimal digits are accepted.
constexpr char16_t kDigitZeros[] = {
    0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
    0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
};

// The digit's value, or -1 when the code unit is not a decimal digit.
int DigitValue(char16_t unit) {
    for (char16_t zero : kDigitZeros) {
        if (unit >= zero && unit < zero + 10) {
            return unit - zero;
        }
    }
    return -1;
}

bool IsSpace(char16_t unit) {
    switch (unit) {
        case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
        case 0x0020: case 0x0085: case 0x00A0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return unit >= 0x2000 && unit <= 0x200A;
    }
}

}  // namespace

std::int32_t ReadDecimalNumber(std::u16string_view text) {
    std::size_t position = 0;
    while (position < text.size() && IsSpace(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == u'+' || text[position] == u'-')) {
        negative = text[position] == u'-';
        ++position;
    }

    // The magnitude saturates just past the largest one that can be clamped to,
    // so any run of digits fits without overflow.
    constexpr std::int64_t kSaturated = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
    std::int64_t magnitude = 0;
    for (; position < text.size(); ++position) {
        const int digit = DigitValue(text[position]);
        if (digit < 0) {
            break;
        }
        magnitude = std::min(magnitude * 10 + digit, kSaturated);
    }

    const std::int64_t value = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::optional<std::uint64_t> ReadStrictNumber(std::u16string_view text, std::uint64_t minimum, std::uint64_t maximum) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char16_t unit : text) {
        if (unit < u'0' || unit > u'9') {
            return std::nullopt;
        }
        const std::uint64_t digit = unit - u'0';
        if (digit > maximum || value > (maximum - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (value < minimum) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> ReadSize(std::u16string_view text) {
    constexpr std::pair<char16_t, unsigned> kSuffixes[] = {{u'k', 10}, {u'm', 20}, {u'g', 30}};
    unsigned shift = 0;
    if (!text.empty()) {
        const char16_t last = AsciiLower(text.back());
        for (const auto& [suffix, bits] : kSuffixes) {
            if (last == suffix) {
                shift = bits;
                text.remove_suffix(1);
            }
        }
    }
    // The largest number that still fits in 64 bits once scaled.
    const std::optional<std::uint64_t> number =
        ReadStrictNumber(text, 1, std::numeric_limits<std::uint64_t>::max() >> shift);
    if (!number) {
        return std::nullopt;
    }
    return *number << shift;
}

}  // namespace brindle
