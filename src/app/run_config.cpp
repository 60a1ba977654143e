#include "app/run_config.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

const char kUsageLine[] =
    "ostrel-audio-helper --mode=system|window|process|test-silence [--window-id=<id>] "
    "[--pid=<pid>] [--exclude-pid=<pid>] [--rate=48000] [--channels=2] [--chunk=960] "
    "[--format=f32|s16]\n";

enum class Option {
    Mode,
    WindowId,
    Pid,
    ExcludePid,
    Rate,
    Channels,
    Chunk,
    Format,
    StopOn,
    DeviceId,
    OutputRate
};

struct OptionText {
    const char* text;  // ends in '='; compared over its whole length, case-sensitive
    Option option;
};

// No option text is the start of another, so the order decides no outcome.
const OptionText kOptions[] = {
    {"--mode=", Option::Mode},
    {"--window-id=", Option::WindowId},
    {"--pid=", Option::Pid},
    {"--exclude-pid=", Option::ExcludePid},
    {"--rate=", Option::Rate},
    {"--channels=", Option::Channels},
    {"--chunk=", Option::Chunk},
    {"--format=", Option::Format},
    {"--stop-on=", Option::StopOn},
    {"--device-id=", Option::DeviceId},
    {"--output-rate=", Option::OutputRate},
};

void writeUsage(std::FILE* errorStream) {
    std::fputs(kUsageLine, errorStream);
}

// An option value the run cannot use: the complaint, then the usage line.
bool refuseValue(const char* complaint, const char* value, std::FILE* errorStream) {
    std::fprintf(errorStream, "%s%s\n", complaint, value);
    writeUsage(errorStream);
    return false;
}

bool readFormat(const char* value, SampleFormat& format) {
    for (const char* name : {"s16", "s16le"}) {
        if (std::strcmp(value, name) == 0) {
            format = SampleFormat::S16;
            return true;
        }
    }
    for (const char* name : {"f32", "f32le", "float"}) {
        if (std::strcmp(value, name) == 0) {
            format = SampleFormat::F32;
            return true;
        }
    }
    return false;
}

// Unlike the other numbers, a rate is read strictly: digits only, so that a typing slip such as
// "--output-rate=16k" is refused rather than taken for another rate.
bool readOutputRate(const char* value, std::uint32_t& rate) {
    if (*value == '\0') return false;
    std::uint64_t number = 0;
    for (; *value != '\0'; ++value) {
        if (*value < '0' || *value > '9') return false;
        // Stops growing once past the range, so that a long run of digits cannot overflow.
        if (number <= kMaxOutputRate) {
            number = number * 10 + static_cast<std::uint64_t>(*value - '0');
        }
    }
    if (number < kMinOutputRate || number > kMaxOutputRate) return false;
    rate = static_cast<std::uint32_t>(number);
    return true;
}

// Process loopback always follows the default output, so a chosen endpoint makes sense only for
// the system mix without an excluded process. The silence source touches no device: no check.
bool checkDeviceId(const RunConfig& config, std::FILE* errorStream) {
    if (!config.deviceId || isSilenceMode(config)) return true;
    const bool processLoopback =
        config.mode == "process" || config.mode == "window" || config.excludePid > 0;
    if (processLoopback) {
        std::fputs("--device-id works only with --mode=system without --exclude-pid\n",
                   errorStream);
    } else if (config.followDefault) {
        // A chosen device is the one the parent wants, whatever the default becomes.
        std::fputs("--follow-default cannot be used with --device-id\n", errorStream);
    } else if (config.deviceId->empty()) {
        std::fputs("Empty device id\n", errorStream);
    } else {
        return true;
    }
    writeUsage(errorStream);
    return false;
}

// The run converts into `channels` samples per frame and the header carries the count in 16
// bits, so a capture needs 1 to 65535 channels. The silence source only needs a chunk it can
// size: chunkFrames x channels must be a sample count from 0 to the signed 32-bit maximum.
bool checkSizes(const RunConfig& config, std::FILE* errorStream) {
    if (isSilenceMode(config)) {
        const std::int64_t samples =
            static_cast<std::int64_t>(config.chunkFrames) * config.channels;
        if (samples >= 0 && samples <= std::numeric_limits<std::int32_t>::max()) return true;
        std::fprintf(errorStream,
                     "Unsupported silence chunk: %ld frames of %ld channels (%lld samples)\n",
                     static_cast<long>(config.chunkFrames), static_cast<long>(config.channels),
                     static_cast<long long>(samples));
    } else {
        if (config.channels >= 1 && config.channels <= 65535) return true;
        std::fprintf(errorStream, "Unsupported channel count: %ld\n",
                     static_cast<long>(config.channels));
    }
    writeUsage(errorStream);
    return false;
}

}  // namespace

std::int32_t parseOptionNumber(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Accumulate the magnitude and stop growing it once it is past the 32-bit range, so long
    // digit strings saturate instead of overflowing.
    const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude <= limit) magnitude = magnitude * 10 + (*text - '0');
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

bool asksForVersion(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        if (argv[index] != nullptr && std::strcmp(argv[index], "--version") == 0) return true;
    }
    return false;
}

bool parseCommandLine(int argc, char** argv, RunConfig& config, std::FILE* errorStream) {
    for (int index = 1; index < argc; ++index) {
        const char* argument = argv[index];
        if (argument == nullptr) continue;

        const OptionText* matched = nullptr;
        for (const OptionText& candidate : kOptions) {
            if (std::strncmp(argument, candidate.text, std::strlen(candidate.text)) == 0) {
                matched = &candidate;
                break;
            }
        }
        if (matched == nullptr) {
            if (std::strcmp(argument, "--help") == 0) {
                writeUsage(errorStream);
                return false;
            }
            if (std::strcmp(argument, "--fill-silence") == 0) config.fillSilence = true;
            if (std::strcmp(argument, "--list-devices") == 0) config.listDevices = true;
            if (std::strcmp(argument, "--downmix") == 0) config.downmix = true;
            if (std::strcmp(argument, "--follow-default") == 0) config.followDefault = true;
            continue;  // anything unrecognised is dropped without a word
        }

        const char* value = argument + std::strlen(matched->text);
        switch (matched->option) {
            case Option::Mode:
                config.mode = value;
                break;
            case Option::WindowId:
                config.windowId = value;
                break;
            case Option::Pid:
                config.pid = parseOptionNumber(value);
                break;
            case Option::ExcludePid:
                config.excludePid = parseOptionNumber(value);
                break;
            case Option::Rate:
                config.rate = parseOptionNumber(value);
                break;
            case Option::Channels:
                config.channels = parseOptionNumber(value);
                break;
            case Option::Chunk:
                config.chunkFrames = parseOptionNumber(value);
                break;
            case Option::Format:
                if (!readFormat(value, config.format)) {
                    return refuseValue("Unknown format: ", value, errorStream);
                }
                break;
            case Option::StopOn:
                if (std::strcmp(value, "stdin-close") != 0) {
                    return refuseValue("Unknown stop-on value: ", value, errorStream);
                }
                config.stopOnStdinClose = true;
                break;
            case Option::DeviceId:
                config.deviceId = value;
                break;
            case Option::OutputRate:
                if (!readOutputRate(value, config.outputRate)) {
                    std::fputs("--output-rate must be a whole number of Hz from 8000 to 384000\n",
                               errorStream);
                    writeUsage(errorStream);
                    return false;
                }
                break;
        }
    }
    return checkDeviceId(config, errorStream) && checkSizes(config, errorStream);
}
