// Runs one audio-source operation against the real stack of whatever prefix it is started in,
// for the end-to-end tests:   source_probe default
// Prints "<true|false> <client|empty>\n" and then the error message as it was left (it starts
// as "untouched"), byte for byte.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "source/default_endpoint.h"

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc != 2 || std::strcmp(argv[1], "default") != 0) {
        std::fputs("usage: source_probe default\n", stderr);
        return 2;
    }
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
