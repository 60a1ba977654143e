#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "source/capture_target.h"
#include "stream/silence_source.h"

namespace {

const std::string kNote = "[ostrel-audio-helper] ";
const std::string kUsage =
    "ostrel-audio-helper --mode=system|window|process|test-silence [--window-id=<id>] "
    "[--pid=<pid>] [--exclude-pid=<pid>] [--rate=48000] [--channels=2] [--chunk=960] "
    "[--format=f32|s16]\n";

std::string drain(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// The options an accepted line gave, or the text a refused one wrote. argv[0] is "--help" so
// that reading it as an option would show; "(null)" stands for a null entry.
std::string outcome(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("--help")};
    for (auto& arg : args) argv.push_back(arg == "(null)" ? nullptr : arg.data());
    std::FILE* errors = std::tmpfile();
    RunConfig c;
    if (!parseCommandLine(static_cast<int>(argv.size()), argv.data(), c, errors))
        return drain(errors);
    char text[160];
    std::snprintf(text, sizeof text, "%s|%s|%d|%d|%d|%d|%d|%d", c.mode.c_str(), c.windowId.c_str(),
                  c.pid, c.excludePid, c.rate, c.channels, c.chunkFrames,
                  static_cast<int>(c.format));
    return text + drain(errors);
}

TEST(CommandLine, AcceptsOrRefusesEachLineExactly) {
    const std::string& u = kUsage;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--mode=process", "--pid=42", "--exclude-pid=7", "--rate=44100", "--channels=65535",
          "--chunk=-1", "--window-id=a=b:c", "--format=f32", "--format=s16"},
         "process|a=b:c|42|7|44100|65535|-1|1"},
        {{"--mode=x", "--mode=window", "--MODE=y", "--mode", "--help=1", "(null)", "--channels=1",
          "--format=s16le", "--format=f32le", "--format=f32", "--format=float"},
         "window||-1|-1|48000|1|960|2"},
        {{"--mode=test-silence", "--chunk=0"}, "test-silence||-1|-1|48000|2|0|2"},
        {{"--mode=test-silence", "--channels=1", "--chunk=2147483647"},
         "test-silence||-1|-1|48000|1|2147483647|2"},
        {{"--help", "--format=bad"}, u},
        {{"--format=s16 ", "--help"}, "Unknown format: s16 \n" + u},
        {{"--channels=0"}, "Unsupported channel count: 0\n" + u},
        {{"--mode=process", "--channels=65536"}, "Unsupported channel count: 65536\n" + u},
        {{"--mode=test-silence", "--chunk=-1"},
         "Unsupported silence chunk: -1 frames of 2 channels (-2 samples)\n" + u},
        {{"--mode=test-silence", "--chunk=1073741824"},
         "Unsupported silence chunk: 1073741824 frames of 2 channels (2147483648 samples)\n" + u}};
    for (const auto& [args, expected] : cases) EXPECT_EQ(outcome(args), expected);
}

TEST(CommandLine, NumbersReadLikeAtoiAndSaturate) {
    const char* texts[] = {" \t+7",       "12abc",      "abc",        "-3",
                           "- 3",         "2147483647", "2147483648", "99999999999999999999",
                           "-2147483648", "-2147483649"};
    const std::int32_t values[] = {7,         12,        0,         -3,        0,
                                   INT32_MAX, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (std::size_t i = 0; i < std::size(texts); ++i)
        EXPECT_EQ(parseOptionNumber(texts[i]), values[i]) << texts[i];
}

std::string warning(const char* what, int build) {
    return kNote + what + " loopback may be unsupported on this Windows build (" +
           std::to_string(build) + ").\n";
}

TEST(CaptureTarget, FollowsTheModeRulesAndWarnsOnOldBuildsBeforeAnyNotice) {
    // A look-up asked where it should not be would turn the target into process 4321.
    const auto found = WindowOwner::Found;
    const RunConfig window{"window", "window:0x1A2B:7", 55, 66};
    const std::string fallBack = "; falling back to system audio.\n";
    const std::tuple<RunConfig, std::uint32_t, WindowOwner, std::string> cases[] = {
        {{"process", "", 1234}, 20347, found, "1 1234 0" + warning("Process", 20347)},
        {{"process", "", 1, 77}, 20348, found, "1 1 0"},
        {{"process", "", 0, 77}, 1, found, "0 0 0"},
        {{"system", "", -1, 77}, 20437, found, "1 77 1" + warning("Exclude-pid", 20437)},
        {{"system", "", 5, 1}, 20438, found, "1 1 1"},
        {{"system", "", -1, 77}, 0, found, "1 77 1"},
        {{"system", "", 5, 0}, 1, found, "0 0 0"},
        {{"test-silence", "1", 12, 77}, 1, found, "0 0 0"},
        {{"window", "", 12, 77}, 1, found, "0 0 0"},
        {window, 19041, WindowOwner::NotRecognized,
         "0 0 0" + warning("Process", 19041) + kNote + "Window id not recognized" + fallBack},
        {window, 20348, WindowOwner::NoOwner,
         "0 0 0" + kNote + "Could not resolve PID for window id" + fallBack},
        {window, 0, found, "1 4321 0"}};
    for (const auto& [config, build, answer, expected] : cases) {
        const WindowOwnerLookup lookup = [a = answer](const std::string&, std::uint32_t& pid) {
            pid = 4321;
            return a;
        };
        std::FILE* errors = std::tmpfile();
        const CaptureTarget t = chooseCaptureTarget(config, build, lookup, errors);
        EXPECT_EQ(std::to_string(t.useProcessLoopback) + " " + std::to_string(t.processId) + " " +
                      std::to_string(t.excludeTree) + drain(errors),
                  expected);
    }
}

TEST(CaptureTarget, WindowIdIsTheNumberAfterWindowPrefixUpToTheNextColon) {
    const char* texts[] = {
        "window:0x1A2B", "0X1a2b:7", "hwnd window:42", "window:7:window:9", " +010", "window:",
        ":10",           "abc"};
    const char* numbers[] = {"6699", "6699", "42", "7", "8", "none", "none", "none"};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        std::uint64_t value = 0;
        const bool read = parseWindowIdText(texts[i], value);
        EXPECT_EQ(read ? std::to_string(value) : "none", numbers[i]) << '"' << texts[i] << '"';
    }
}

// Clears the running flag while the third chunk is written.
struct ThreeChunks final : std::stringbuf {
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        if (str().size() >= 2 * 7680) running = false;
        return std::stringbuf::xsputn(bytes, count);
    }
    std::atomic<bool> running{true};
};

TEST(SilenceSource, WritesWholeZeroChunksEvery5msUntilStopped) {
    ThreeChunks buffer;
    std::ostream out(&buffer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(runSilenceTest(RunConfig{}, out, buffer.running));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
    EXPECT_EQ(buffer.str(), std::string(3 * 7680, '\0'));
}

}  // namespace
