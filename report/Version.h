// brindle's version, the CMake project version, as --version and the run report give it.
#pragma once

#include <string_view>

#include "version.h"

namespace brindle {

inline constexpr std::u16string_view kVersion = u"" BRINDLE_VERSION_TEXT;

}  // namespace brindle
