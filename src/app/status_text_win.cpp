#include "app/status_text.h"

std::string describeStatus(HRESULT status) {
    char* systemText = nullptr;
    // The return value says nothing the pointer does not: no buffer means no text.
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, static_cast<DWORD>(status), LANG_USER_DEFAULT,
        reinterpret_cast<char*>(&systemText), 0, nullptr);
    std::string text = formatStatusText(systemText, static_cast<std::uint32_t>(status));
    if (systemText != nullptr) LocalFree(systemText);
    return text;
}
