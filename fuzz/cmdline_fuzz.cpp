// Feeds arbitrary argument vectors through the command-line parser and the capture-target
// rules, and aborts when an outcome breaks what the parser promises or disagrees with a plain
// model of the options kept here.
//
// Input layout: the arguments, argv[0] included, separated by 0x00 bytes (so no argument holds
// a NUL, as on a real command line). An argument that is exactly the byte 0xFF stands for a null
// entry, which the parser must skip.
#include <stdio.h>  // open_memstream

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "app/run_config.h"
#include "source/capture_target.h"

namespace {

constexpr unsigned char kSeparator = 0x00;
constexpr unsigned char kNullMarker = 0xFF;
// A build old enough that both loopback warnings are written, so their formatting runs too.
constexpr std::uint32_t kBuildNumber = 19045;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "cmdline_fuzz: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// Each argument lives in an allocation of exactly its length plus the terminator, so that
// AddressSanitizer sees any read past an argument's end.
struct Arguments {
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> pointers;  // argc entries, then the terminating null
    std::vector<bool> isNull;
    std::vector<std::string> texts;
};

Arguments splitArguments(const std::uint8_t* input, std::size_t size) {
    Arguments arguments;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i != size && input[i] != kSeparator) continue;
        const std::size_t length = i - start;
        if (length == 1 && input[start] == kNullMarker) {
            arguments.pointers.push_back(nullptr);
            arguments.isNull.push_back(true);
            arguments.texts.emplace_back();
        } else {
            std::unique_ptr<char[]> text(new char[length + 1]);
            if (length != 0) std::memcpy(text.get(), input + start, length);
            text[length] = '\0';
            arguments.pointers.push_back(text.get());
            arguments.isNull.push_back(false);
            arguments.texts.emplace_back(reinterpret_cast<const char*>(input + start), length);
            arguments.storage.push_back(std::move(text));
        }
        start = i + 1;
    }
    arguments.pointers.push_back(nullptr);
    return arguments;
}

bool startsWith(const std::string& text, const char* prefix, std::string& rest) {
    const std::size_t length = std::strlen(prefix);
    if (text.size() < length || text.compare(0, length, prefix) != 0) return false;
    rest = text.substr(length);
    return true;
}

// The blanks atoi skips in the C locale.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading with saturation, worked out in 128 bits so the accumulation cannot wrap; the
// magnitude is clamped well above the 32-bit range, which changes no saturated result.
std::int32_t expectedNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    __int128 magnitude = 0;
    const __int128 clamp = __int128{1} << 40;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > clamp) magnitude = clamp;
    }
    const __int128 value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

bool expectedFormat(const std::string& name, SampleFormat& format) {
    if (name == "s16" || name == "s16le") {
        format = SampleFormat::S16;
        return true;
    }
    if (name == "f32" || name == "f32le" || name == "float") {
        format = SampleFormat::F32;
        return true;
    }
    return false;
}

struct Expected {
    bool goOn = true;
    RunConfig config;
};

// The options as the usage line describes them: arguments after argv[0] in order, null entries
// and unknown texts skipped, the last occurrence of an option winning, and "--help" or a format
// name outside the five ending the parse.
Expected model(const Arguments& arguments) {
    Expected expected;
    RunConfig& config = expected.config;
    const std::size_t argc = arguments.texts.size();
    for (std::size_t index = 1; index < argc; ++index) {
        if (arguments.isNull[index]) continue;
        const std::string& text = arguments.texts[index];
        std::string value;
        if (startsWith(text, "--mode=", value)) {
            config.mode = value;
        } else if (startsWith(text, "--window-id=", value)) {
            config.windowId = value;
        } else if (startsWith(text, "--pid=", value)) {
            config.pid = expectedNumber(value);
        } else if (startsWith(text, "--exclude-pid=", value)) {
            config.excludePid = expectedNumber(value);
        } else if (startsWith(text, "--rate=", value)) {
            config.rate = expectedNumber(value);
        } else if (startsWith(text, "--channels=", value)) {
            config.channels = expectedNumber(value);
        } else if (startsWith(text, "--chunk=", value)) {
            config.chunkFrames = expectedNumber(value);
        } else if (startsWith(text, "--format=", value)) {
            if (!expectedFormat(value, config.format)) {
                expected.goOn = false;
                return expected;
            }
        } else if (text == "--help") {
            expected.goOn = false;
            return expected;
        }
    }
    if (config.mode == "test-silence") {
        const __int128 samples = __int128{config.chunkFrames} * config.channels;
        expected.goOn = samples >= 0 && samples <= std::numeric_limits<std::int32_t>::max();
    } else {
        expected.goOn = config.channels >= 1 && config.channels <= 65535;
    }
    return expected;
}

// The text the parser wrote, captured in memory.
struct ErrorCapture {
    char* buffer = nullptr;
    std::size_t length = 0;
    std::FILE* stream = nullptr;

    ErrorCapture() {
        stream = open_memstream(&buffer, &length);
        if (stream == nullptr) fail("open_memstream failed");
    }
    std::string finish() {
        std::fclose(stream);
        std::string text(buffer, length);
        std::free(buffer);
        return text;
    }
};

// Stands in for the window look-up: the id's number names a window, and its low 32 bits are the
// owner's process id, 0 meaning no owner could be had (as GetWindowThreadProcessId reports).
struct LookUp {
    int calls = 0;
    std::string askedFor;
    WindowOwner answer = WindowOwner::NotRecognized;
    std::uint32_t owner = 0;

    WindowOwner operator()(const std::string& windowId, std::uint32_t& processId) {
        ++calls;
        askedFor = windowId;
        std::uint64_t number = 0;
        if (!parseWindowIdText(windowId, number)) {
            answer = WindowOwner::NotRecognized;
        } else if (static_cast<std::uint32_t>(number) == 0) {
            answer = WindowOwner::NoOwner;
        } else {
            answer = WindowOwner::Found;
            owner = static_cast<std::uint32_t>(number);
            processId = owner;
        }
        return answer;
    }
};

void checkCaptureTarget(const RunConfig& config, std::FILE* discard) {
    LookUp lookUp;
    const WindowOwnerLookup callback = [&lookUp](const std::string& id, std::uint32_t& pid) {
        return lookUp(id, pid);
    };
    const CaptureTarget target = chooseCaptureTarget(config, kBuildNumber, callback, discard);

    check(!target.useProcessLoopback || target.processId > 0,
          "process loopback without a process id");
    check(!target.excludeTree || config.mode == "system", "an excluded tree outside system mode");
    if (!target.useProcessLoopback)
        check(target.processId == 0 && !target.excludeTree, "a target without process loopback");

    const bool windowRule = config.mode == "window" && !config.windowId.empty();
    check(lookUp.calls == (windowRule ? 1 : 0), "the look-up asked a wrong number of times");
    if (windowRule) {
        check(lookUp.askedFor == config.windowId, "the look-up was not given the window id");
        const bool found = lookUp.answer == WindowOwner::Found;
        check(target.useProcessLoopback == found, "window rule ignored the look-up's answer");
        if (found) check(target.processId == lookUp.owner, "window rule took another process");
        check(!target.excludeTree, "window rule excluded a tree");
    } else if (config.mode == "process") {
        check(target.useProcessLoopback == (config.pid > 0), "process rule and pid disagree");
        if (config.pid > 0)
            check(target.processId == static_cast<std::uint32_t>(config.pid),
                  "process rule took another process");
    } else if (config.mode == "system") {
        check(target.useProcessLoopback == (config.excludePid > 0),
              "exclude rule and exclude pid disagree");
        if (config.excludePid > 0)
            check(target.processId == static_cast<std::uint32_t>(config.excludePid) &&
                      target.excludeTree,
                  "exclude rule took another process");
    } else {
        check(!target.useProcessLoopback, "process loopback for a mode without a rule");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    static std::FILE* const discard = std::fopen("/dev/null", "w");
    if (discard == nullptr) fail("cannot open /dev/null");

    Arguments arguments = splitArguments(input, size);
    const int argc = static_cast<int>(arguments.texts.size());

    RunConfig config;
    ErrorCapture errors;
    const bool goOn = parseCommandLine(argc, arguments.pointers.data(), config, errors.stream);
    const std::string errorText = errors.finish();

    check(goOn == errorText.empty(), "the result and the presence of error text disagree");
    check(config.format == SampleFormat::S16 || config.format == SampleFormat::F32,
          "a format outside S16 and F32");

    const Expected expected = model(arguments);
    check(goOn == expected.goOn, "the parser and the model disagree on the outcome");
    if (!goOn) return 0;

    // The last "--format=" value decides the format; it must be one of the five names.
    for (std::size_t index = static_cast<std::size_t>(argc); index-- > 1;) {
        std::string value;
        if (arguments.isNull[index] || !startsWith(arguments.texts[index], "--format=", value))
            continue;
        SampleFormat named = SampleFormat::S16;
        check(expectedFormat(value, named), "an accepted format name outside the five");
        check(named == config.format, "the format is not the last one named");
        break;
    }
    if (config.mode != "test-silence")
        check(config.channels >= 1 && config.channels <= 65535, "an unusable channel count");

    const RunConfig& want = expected.config;
    check(config.mode == want.mode, "mode is not the last value given");
    check(config.windowId == want.windowId, "window id is not the last value given");
    check(config.pid == want.pid, "pid differs from atoi with saturation");
    check(config.excludePid == want.excludePid, "exclude pid differs from atoi with saturation");
    check(config.rate == want.rate, "rate differs from atoi with saturation");
    check(config.channels == want.channels, "channels differ from atoi with saturation");
    check(config.chunkFrames == want.chunkFrames, "chunk differs from atoi with saturation");
    check(config.format == want.format, "format differs from the model");

    checkCaptureTarget(config, discard);
    return 0;
}
