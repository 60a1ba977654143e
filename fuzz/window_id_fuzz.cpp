// Any text may be read; a number printed in any of the accepted spellings reads back as itself.
#include <cstdlib>
#include <cstring>

#include "source/capture_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t value = 0, number = 0;
    parseWindowIdText(std::string(reinterpret_cast<const char*>(data), size), value);
    if (size < 9) return 0;
    const char* spellings[] = {"window:0x%llx", "0X%llX:7", "%llu", "hwnd window:%llu:window:1"};
    std::memcpy(&number, data + 1, sizeof number);
    char text[64];
    std::snprintf(text, sizeof text, spellings[data[0] % 4],
                  static_cast<unsigned long long>(number));
    if (!parseWindowIdText(text, value) || value != number) std::abort();
    return 0;
}
