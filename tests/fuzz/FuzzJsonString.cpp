// Any UTF-16 text written as a JSON string by the report's writer reads back, with a
// real JSON parser, as exactly that text in UTF-8. UTF-8 cannot carry an unpaired
// surrogate: the writer escapes one as \uXXXX, which a strict parser refuses, so the
// check turns just those escapes into U+FFFD first and expects the text with the same
// replacement.
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "FuzzInput.h"
#include "platform/Text.h"
#include "report/Json.h"

namespace {

bool IsSurrogateEscape(const std::string& json, std::size_t at) {
    return at + 6 <= json.size() && json[at + 1] == 'u' && json[at + 2] == 'd' && json[at + 3] >= '8';
}

// The writer escapes surrogates only when they are unpaired; every other escape stays.
std::string ReplaceSurrogateEscapes(const std::string& json) {
    std::string out;
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
        } else if (IsSurrogateEscape(json, i)) {
            out += "\\ufffd";
            i += 5;
        } else {
            out += json.substr(i, 2);
            ++i;
        }
    }
    return out;
}

bool HasUnpairedSurrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (brindle::IsHighSurrogate(text[i]) && i + 1 < text.size() && brindle::IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (brindle::IsHighSurrogate(text[i]) || brindle::IsLowSurrogate(text[i])) {
            return true;
        }
    }
    return false;
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

    const std::string& json = writer.Text();
    const std::string readable = HasUnpairedSurrogate(text) ? ReplaceSurrogateEscapes(json) : json;
    const nlohmann::json parsed = nlohmann::json::parse(readable);  // throws, and so fails, on bad JSON
    if (parsed.at("text").get<std::string>() != brindle::EncodeUtf8(text) || parsed.at("after") != size) {
        std::abort();
    }
    return 0;
}
