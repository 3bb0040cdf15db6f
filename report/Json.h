// A writer of compact JSON for the run report: objects, arrays, strings, unsigned
// numbers, booleans and null. The caller writes keys and values in order; the writer
// places the commas and does all escaping, in one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The key of the next value in the current object.
    void Key(std::string_view key);
    // UTF-16 becomes UTF-8; quote, backslash and control characters are escaped, and an
    // unpaired surrogate, which UTF-8 cannot carry, is written as its \uXXXX escape.
    void String(std::u16string_view text);
    void Number(std::uint64_t value);
    void Bool(bool value);
    void Null();

    // The text written so far.
    const std::string& Text() const { return text_; }

private:
    void BeforeValue();

    std::string text_;
    bool needsComma_ = false;
};

// text as a JSON string literal, quotes included.
std::string JsonString(std::u16string_view text);

}  // namespace brindle
