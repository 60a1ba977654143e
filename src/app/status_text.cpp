#include "app/status_text.h"

#include <cstdio>

std::string formatStatusText(const char* systemText, std::uint32_t status) {
    std::string text = systemText != nullptr ? systemText : "Unknown error";
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    text += " (";
    text += code;
    text += ")";
    return text;
}
