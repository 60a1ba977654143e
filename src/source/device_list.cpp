#include "source/device_list.h"

#include <cstdint>
#include <cstring>

namespace {

void appendUtf8(std::string& text, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
        return;
    }
    // Lead byte, then six bits per continuation byte.
    const int continuations = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
    const std::uint32_t leads[] = {0, 0xC0, 0xE0, 0xF0};
    text += static_cast<char>(leads[continuations] | codePoint >> (6 * continuations));
    for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6)
        text += static_cast<char>(0x80 | ((codePoint >> shift) & 0x3F));
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A JSON string: quotes, and the escapes JSON requires; other characters as they are.
void appendJsonString(std::string& text, std::string_view utf8) {
    constexpr char kShortEscaped[] = "\"\\\b\f\n\r\t", kShortLetters[] = "\"\\bfnrt";
    text += '"';
    for (const char c : utf8) {
        const char* shortEscaped = c != '\0' ? std::strchr(kShortEscaped, c) : nullptr;
        if (shortEscaped != nullptr) {
            text += '\\';
            text += kShortLetters[shortEscaped - kShortEscaped];
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            text += escaped;
        } else {
            text += c;
        }
    }
    text += '"';
}

}  // namespace

std::string utf16ToUtf8(std::u16string_view text) {
    std::string utf8;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char16_t unit = text[at];
        if (isHighSurrogate(unit) && at + 1 < text.size() && isLowSurrogate(text[at + 1])) {
            const std::uint32_t high = unit - 0xD800u, low = text[at + 1] - 0xDC00u;
            appendUtf8(utf8, 0x10000 + (high << 10 | low));
            ++at;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(utf8, 0xFFFD);
        } else {
            appendUtf8(utf8, unit);
        }
    }
    return utf8;
}

std::string deviceListLine(std::string_view id, std::string_view name, bool isDefault) {
    std::string line = "{\"id\":";
    appendJsonString(line, id);
    line += ",\"name\":";
    appendJsonString(line, name);
    line += isDefault ? ",\"default\":true}\n" : ",\"default\":false}\n";
    return line;
}
