// A small Windows program for the end-to-end tests:
//   probe describe=0x80004005   the system text FormatMessageA gives for a status code, as hex
//                               bytes, or "none"
//   probe host                  a process with a hidden window: prints "<pid> window:0x<hwnd>",
//                               then runs until its stdin closes
//   probe default               the exe's activation of a client on the default render device,
//                               against whatever audio stack the prefix has: prints
//                               "<true|false> <client|empty>\n", then the error message as it
//                               was left (it starts as "untouched"), byte for byte
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "source/default_endpoint.h"

namespace {

int describe(const char* code) {
    char* text = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, static_cast<DWORD>(std::strtoul(code, nullptr, 0)), LANG_USER_DEFAULT,
        reinterpret_cast<char*>(&text), 0, nullptr);
    if (text == nullptr) std::printf("none");
    for (const char* c = text; c != nullptr && *c != 0; ++c)
        std::printf("%02x", static_cast<unsigned char>(*c));
    std::printf("\n");
    if (text != nullptr) LocalFree(text);
    return 0;
}

int host() {
    HWND window = CreateWindowExA(0, "STATIC", "oah-capture-target", 0, 0, 0, 1, 1, nullptr,
                                  nullptr, nullptr, nullptr);
    if (window == nullptr) return 4;  // not 1: the harness takes a silent 1 for a start Wine lost
    std::printf("%lu window:0x%llx\n", GetCurrentProcessId(),
                static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0) {
    }
    DestroyWindow(window);
    return 0;
}

int activateDefault() {
    _setmode(_fileno(stdout), _O_BINARY);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    std::string message = "untouched";
    bool activated = false;
    bool held = false;
    {
        Microsoft::WRL::ComPtr<IAudioClient> client;
        activated = activateDefaultAudioClient(client, message);
        held = client != nullptr;
    }
    CoUninitialize();
    std::printf("%s %s\n", activated ? "true" : "false", held ? "client" : "empty");
    std::fwrite(message.data(), 1, message.size(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode.rfind("describe=", 0) == 0) return describe(argv[1] + 9);
    if (mode == "host") return host();
    if (mode == "default") return activateDefault();
    std::fputs("usage: probe describe=CODE | host | default\n", stderr);
    return 2;
}
