#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindle {

// Reads the number of a valued option the way a wide-string-to-long conversion in
// base 10 does, identically on every platform: leading white space is skipped, then
// one optional sign, then decimal digits (ASCII or those of seventeen other Unicode
// scripts) up to the first character that is not one. No digits give 0; values beyond
// the signed 32-bit range are clamped to it. Trailing text is ignored, never an error.
std::int32_t ReadDecimalNumber(std::u16string_view text);

// The strict reading of the resource-limit values: one or more ASCII digits (leading
// zeros allowed) and nothing else, no sign and no white space, within [minimum,
// maximum]; empty otherwise.
std::optional<std::uint64_t> ReadStrictNumber(std::u16string_view text, std::uint64_t minimum, std::uint64_t maximum);

// A size in bytes: a strict number, optionally followed by K, M or G (either case,
// powers of 1024), at least 1 and at most 2^64-1 after scaling; empty otherwise.
std::optional<std::uint64_t> ReadSize(std::u16string_view text);

}  // namespace brindle
