// Any UTF-16 text written as a JSON string by the report's writer reads back, with a
// real JSON parser, as exactly that text, code unit for code unit. UTF-8 cannot carry an
// unpaired surrogate, which the writer escapes as \uXXXX and a strict parser refuses:
// the check lets each such escape, and each unpaired surrogate of the text expected,
// stand for itself as the private-use code point U+E000 + (unit - U+D800), so that a
// writer that put U+FFFD or anything else in its place reads back differently.
#include <cstdlib>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "FuzzInput.h"
#include "platform/Text.h"
#include "report/Json.h"

namespace {

char16_t Marker(char16_t surrogate) { return static_cast<char16_t>(0xE000 + (surrogate - 0xD800)); }

bool IsSurrogateEscape(const std::string& json, std::size_t at) {
    return at + 6 <= json.size() && json[at + 1] == 'u' && json[at + 2] == 'd' && json[at + 3] >= '8';
}

// The writer escapes surrogates only when they are unpaired; every other escape stays.
std::string MarkSurrogateEscapes(const std::string& json) {
    std::string out;
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
        } else if (IsSurrogateEscape(json, i)) {
            char escape[7];
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          Marker(static_cast<char16_t>(std::stoul(json.substr(i + 2, 4), nullptr, 16))));
            out += escape;
            i += 5;
        } else {
            out += json.substr(i, 2);
            ++i;
        }
    }
    return out;
}

std::u16string MarkUnpairedSurrogates(std::u16string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (brindle::IsHighSurrogate(text[i]) && i + 1 < text.size() && brindle::IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (brindle::IsHighSurrogate(text[i]) || brindle::IsLowSurrogate(text[i])) {
            text[i] = Marker(text[i]);
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
    brindle::JsonWriter writer;
    writer.BeginObject();
    writer.Key("text");
    writer.String(text);
    writer.Key("after");
    writer.Number(size);
    writer.EndObject();

    // throws, and so fails, on bad JSON
    const nlohmann::json parsed = nlohmann::json::parse(MarkSurrogateEscapes(writer.Text()));
    if (parsed.at("text").get<std::string>() != brindle::EncodeUtf8(MarkUnpairedSurrogates(text)) ||
        parsed.at("after") != size) {
        std::abort();
    }
    return 0;
}
