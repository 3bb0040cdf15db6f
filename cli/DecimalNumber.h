#pragma once

#include <cstdint>
#include <string_view>

namespace brindle {

// Reads the number of a valued option the way a wide-string-to-long conversion in
// base 10 does, identically on every platform: leading white space is skipped, then
// one optional sign, then decimal digits (ASCII or those of seventeen other Unicode
// scripts) up to the first character that is not one. No digits give 0; values beyond
// the signed 32-bit range are clamped to it. Trailing text is ignored, never an error.
std::int32_t ReadDecimalNumber(std::u16string_view text);

}  // namespace brindle
