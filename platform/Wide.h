// On Windows wchar_t and char16_t are both UTF-16 code units: brindle speaks char16_t
// and the system wchar_t. The code that calls Windows itself converts with these alone.
#pragma once

#include <string>

namespace brindle {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be a UTF-16 code unit");

inline const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const wchar_t* Wide(const std::u16string& text) { return Wide(text.c_str()); }

}  // namespace brindle
