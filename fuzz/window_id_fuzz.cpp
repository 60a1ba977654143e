// Feeds arbitrary text, embedded NULs included, to the window-id reader and aborts when it
// disagrees with a model of the rule written out here by hand: drop everything through the first
// "window:", cut at the next ':', and read the rest the way strtoull does with base 0.
//
// Input layout: the whole input is the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "source/capture_target.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "window_id_fuzz: %s (%zu bytes of text)\n", what, text.size());
    std::abort();
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// strtoull with base 0 over a C string: blanks, a sign, then "0x" with a hex digit after it for
// base 16, a leading 0 for base 8, base 10 otherwise. A value past 64 bits reads as the largest
// one whatever the sign; a minus sign otherwise negates modulo 2^64. False when no digit was
// read, which is when strtoull leaves its end pointer at the start.
bool readLikeStrtoull(const std::string& cString, std::uint64_t& value) {
    // strtoull sees the text only up to its first NUL.
    const std::string text = cString.substr(0, cString.find('\0'));
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '0') {
        base = 8;
        if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            digitValue(text[i + 2]) < 16) {
            base = 16;
            i += 2;
        }
    }
    unsigned __int128 magnitude = 0;
    bool overflow = false;
    std::size_t digits = 0;
    for (; i < text.size() && digitValue(text[i]) < base; ++i, ++digits) {
        magnitude =
            magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digitValue(text[i]));
        if (magnitude > UINT64_MAX) {
            overflow = true;
            magnitude = UINT64_MAX;  // keeps the product small; the result is decided already
        }
    }
    if (digits == 0) return false;
    if (overflow) {
        value = UINT64_MAX;
    } else {
        const auto plain = static_cast<std::uint64_t>(magnitude);
        value = negative ? std::uint64_t{0} - plain : plain;
    }
    return true;
}

bool model(const std::string& text, std::uint64_t& value) {
    std::string id = text;
    static const std::string marker = "window:";
    for (std::size_t at = 0; at + marker.size() <= id.size(); ++at) {
        if (id.compare(at, marker.size(), marker) == 0) {
            id = id.substr(at + marker.size());
            break;
        }
    }
    for (std::size_t at = 0; at < id.size(); ++at) {
        if (id[at] == ':') {
            id.resize(at);
            break;
        }
    }
    if (id.empty()) return false;
    return readLikeStrtoull(id, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(input), size);

    std::uint64_t value = 0;
    const bool recognised = parseWindowIdText(text, value);
    std::uint64_t expected = 0;
    const bool expectedRecognised = model(text, expected);

    if (recognised != expectedRecognised) fail("recognition differs from the rule", text);
    if (recognised && value != expected) fail("value differs from the rule", text);
    return 0;
}
