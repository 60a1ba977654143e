// Arguments are the input split at NUL bytes; a lone 0xFF byte stands for a null entry. Each one
// is an allocation of its own, so that the sanitizers see any read past its end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/run_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char*> argv;
    for (std::size_t start = 0, at = 0; at <= size; ++at) {
        if (at < size && data[at] != 0) continue;
        const char* argument = reinterpret_cast<const char*>(data + start);
        argv.push_back(at - start == 1 && data[start] == 0xFF ? nullptr
                                                              : strndup(argument, at - start));
        start = at + 1;
    }
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* errors = open_memstream(&text, &length);
    RunConfig config;
    const bool goOn = parseCommandLine(static_cast<int>(argv.size()), argv.data(), config, errors);
    std::fclose(errors);
    // A line is accepted without a word, or refused with the usage line last.
    if (goOn ? length != 0
             : length < 19 || std::strcmp(text + length - 19, "[--format=f32|s16]\n") != 0)
        std::abort();
    std::free(text);
    for (char* argument : argv) std::free(argument);
    return 0;
}
