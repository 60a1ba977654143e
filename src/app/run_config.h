// The options of one run and the command-line parser that fills them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Output sample encoding. The numbers are the ones the stream header carries; every reader
// tests for F32 and takes any other value as S16.
enum class SampleFormat : std::int32_t { S16 = 1, F32 = 2 };

struct RunConfig {
    std::string mode = "system";
    std::string windowId;
    std::int32_t pid = -1;
    std::int32_t excludePid = -1;
    std::int32_t rate = 48000;  // accepted for compatibility; the engine's rate is always used
    std::int32_t channels = 2;
    std::int32_t chunkFrames = 960;  // silence source only
    SampleFormat format = SampleFormat::F32;
    bool stopOnStdinClose = false;  // "--stop-on=stdin-close": the end of stdin stops the run
    bool fillSilence = false;       // "--fill-silence": zeros for the time nothing plays
    std::optional<std::string> deviceId{};  // "--device-id=": this render endpoint's system mix
    bool listDevices = false;      // "--list-devices": the list of output devices instead of a run
    std::uint32_t outputRate = 0;  // "--output-rate=": the stream's rate; 0 keeps the engine's
    bool downmix = false;  // "--downmix": fold surplus source channels in instead of dropping them
    bool followDefault =
        false;  // "--follow-default": a system-mix run moves with the default output
};

inline constexpr std::uint32_t kMinOutputRate = 8000;
inline constexpr std::uint32_t kMaxOutputRate = 384000;

inline constexpr const char* kSilenceMode = "test-silence";

inline bool isSilenceMode(const RunConfig& config) {
    return config.mode == kSilenceMode;
}

// True when any argument is exactly "--version". That question comes before every other option,
// so a parent can ask any build what it is, whatever else its command line holds.
bool asksForVersion(int argc, char** argv);

// Fills `config` from the process arguments. Returns false when the process must end with exit
// code 1 ("--help", a bad "--format=", "--stop-on=" or "--output-rate=" value, a "--device-id="
// that the mode cannot take, or a channel or chunk size the run cannot use); the reason has then
// been written to `errorStream`. Never writes to standard output.
bool parseCommandLine(int argc, char** argv, RunConfig& config, std::FILE* errorStream = stderr);

// Reads a number the way atoi does (leading blanks, optional sign, digits up to the first other
// character, 0 without digits), saturating at the bounds of a signed 32-bit integer.
std::int32_t parseOptionNumber(const char* text);
