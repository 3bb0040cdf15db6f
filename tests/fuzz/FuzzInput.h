// Turns a fuzzer's bytes into UTF-16 arguments: code units are read little-endian,
// and U+0000 separates one argument from the next (it cannot occur inside one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brindle::fuzzing {

inline std::vector<std::u16string> ArgumentsFrom(const std::uint8_t* data, std::size_t size) {
    std::vector<std::u16string> arguments(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += unit;
        }
    }
    return arguments;
}

}  // namespace brindle::fuzzing
