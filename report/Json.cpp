#include "report/Json.h"

#include "platform/Text.h"

namespace brindle {
namespace {

void AppendEscape(std::string& out, char16_t unit) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(unit >> shift) & 0xF];
    }
}

}  // namespace

std::string JsonString(std::u16string_view text) {
    std::string out = "\"";
    std::size_t plainStart = 0;  // the run of code units that need no escape, encoded at once
    const auto flushPlain = [&](std::size_t end) {
        out += EncodeUtf8(text.substr(plainStart, end - plainStart));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            ++i;  // a pair: plain text
            continue;
        }
        const char* shortForm = unit == u'"'    ? "\\\""
                                : unit == u'\\' ? "\\\\"
                                : unit == u'\n' ? "\\n"
                                : unit == u'\r' ? "\\r"
                                : unit == u'\t' ? "\\t"
                                : unit == u'\b' ? "\\b"
                                : unit == u'\f' ? "\\f"
                                                : nullptr;
        const bool needsEscape = shortForm != nullptr || unit < 0x20 || IsHighSurrogate(unit) || IsLowSurrogate(unit);
        if (!needsEscape) {
            continue;
        }
        flushPlain(i);
        if (shortForm != nullptr) {
            out += shortForm;
        } else {
            AppendEscape(out, unit);
        }
        plainStart = i + 1;
    }
    flushPlain(text.size());
    return out + "\"";
}

void JsonWriter::BeforeValue() {
    if (needsComma_) {
        text_ += ',';
    }
    needsComma_ = true;
}

void JsonWriter::BeginObject() {
    BeforeValue();
    text_ += '{';
    needsComma_ = false;
}

void JsonWriter::EndObject() {
    text_ += '}';
    needsComma_ = true;
}

void JsonWriter::BeginArray() {
    BeforeValue();
    text_ += '[';
    needsComma_ = false;
}

void JsonWriter::EndArray() {
    text_ += ']';
    needsComma_ = true;
}

void JsonWriter::Key(std::string_view key) {
    BeforeValue();
    text_ += '"';
    text_ += key;  // keys are the report's own ASCII names
    text_ += "\":";
    needsComma_ = false;
}

void JsonWriter::String(std::u16string_view text) {
    BeforeValue();
    text_ += JsonString(text);
}

void JsonWriter::Number(std::uint64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
}

}  // namespace brindle
