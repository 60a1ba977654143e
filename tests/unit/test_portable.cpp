#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "source/capture_target.h"
#include "source/device_list.h"
#include "stream/silence_source.h"

static const std::string kNote = "[ostrel-audio-helper] ";
static const std::string kUsage =
    "ostrel-audio-helper --mode=system|window|process|test-silence [--window-id=<id>] "
    "[--pid=<pid>] [--exclude-pid=<pid>] [--rate=48000] [--channels=2] [--chunk=960] "
    "[--format=f32|s16]\n";

static std::string drain(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// The options an accepted line gave, or the text a refused one wrote. argv[0] is "--help" so
// that reading it as an option would show; "(null)" stands for a null entry.
static std::string outcome(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("--help")};
    for (auto& arg : args) argv.push_back(arg == "(null)" ? nullptr : arg.data());
    std::FILE* errors = std::tmpfile();
    RunConfig c;
    if (!parseCommandLine(int(argv.size()), argv.data(), c, errors)) return drain(errors);
    char text[160];
    std::snprintf(text, sizeof text, "%s|%s|%d|%d|%d|%d|%d|%d|%d", c.mode.c_str(),
                  c.windowId.c_str(), c.pid, c.excludePid, c.rate, c.channels, c.chunkFrames,
                  static_cast<int>(c.format), c.stopOnStdinClose);
    const std::string device = c.deviceId ? "|device " + *c.deviceId : "";
    const std::string outputRate = c.outputRate != 0 ? "|rate " + std::to_string(c.outputRate) : "";
    return text + device + (c.listDevices ? "|list" : "") + (c.fillSilence ? "|fill" : "") +
           outputRate + (c.downmix ? "|downmix" : "") + (c.followDefault ? "|follow" : "") +
           drain(errors);
}

TEST(CommandLine, AcceptsOrRefusesEachLineExactly) {
    const std::string kOnlySystem =
        "--device-id works only with --mode=system without --exclude-pid\n";
    const std::string kRateRange =
        "--output-rate must be a whole number of Hz from 8000 to 384000\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        // Numbers read like atoi and saturate at the 32-bit bounds.
        {{"--mode=process", "--pid= \t+7", "--exclude-pid=12abc", "--rate=2147483648",
          "--channels=65535", "--chunk=-2147483649", "--window-id=a=b:c", "--format=f32",
          "--format=s16", "--stop-on=stdin-close", "--fill-silence"},
         "process|a=b:c|7|12|2147483647|65535|-2147483648|1|1|fill"},
        {{"--mode=x", "--mode=window", "--MODE=y", "--mode", "--help=1", "(null)", "--pid=-3",
          "--fill-silence=1", "--exclude-pid=99999999999999999999", "--rate=-2147483648",
          "--channels=1", "--format=s16le", "--format=f32le", "--format=f32", "--format=float"},
         "window||-3|2147483647|-2147483648|1|960|2|0"},
        {{"--mode=test-silence", "--channels=1", "--chunk=2147483647"},
         "test-silence||-1|-1|48000|1|2147483647|2|0"},
        {{"--help", "--format=bad"}, kUsage},
        {{"--format=s16 ", "--help"}, "Unknown format: s16 \n" + kUsage},
        {{"--stop-on=stdin-closed", "--help"}, "Unknown stop-on value: stdin-closed\n" + kUsage},
        {{"--mode=process", "--channels=65536"}, "Unsupported channel count: 65536\n" + kUsage},
        {{"--mode=test-silence", "--chunk=-1"},
         "Unsupported silence chunk: -1 frames of 2 channels (-2 samples)\n" + kUsage},
        {{"--mode=test-silence", "--chunk=1073741824"},
         "Unsupported silence chunk: 1073741824 frames of 2 channels (2147483648 samples)\n" +
             kUsage},
        {{"--mode=test-silence", "--chunk=0"}, "test-silence||-1|-1|48000|2|0|2|0"},
        // A chosen device: the system mix of any mode but these, never with process loopback.
        {{"--list-devices=1", "--device-id=a b", "--mode=x", "--exclude-pid=0"},
         "x||-1|0|48000|2|960|2|0|device a b"},
        {{"--device-id=", "--mode=test-silence", "--exclude-pid=5", "--list-devices"},
         "test-silence||-1|5|48000|2|960|2|0|device |list"},
        {{"--device-id=a", "--exclude-pid=1"}, kOnlySystem + kUsage},
        {{"--mode=window", "--device-id=a"}, kOnlySystem + kUsage},
        {{"--device-id=", "--mode=process", "--list-devices"}, kOnlySystem + kUsage},
        {{"--list-devices", "--device-id="}, "Empty device id\n" + kUsage},
        {{"--list-devices", "--channels=0"}, "Unsupported channel count: 0\n" + kUsage},
        // The default is followed only where no device was chosen.
        {{"--follow-default", "--mode=process"}, "process||-1|-1|48000|2|960|2|0|follow"},
        {{"--device-id=a", "--follow-default"},
         "--follow-default cannot be used with --device-id\n" + kUsage},
        // An output rate is digits only, within its range; the last one given counts.
        {{"--output-rate=384000", "--downmix", "--downmix=1"},
         "system||-1|-1|48000|2|960|2|0|rate 384000|downmix"},
        {{"--output-rate=44100", "--mode=test-silence", "--output-rate=8000", "--DOWNMIX"},
         "test-silence||-1|-1|48000|2|960|2|0|rate 8000"},
        {{"--output-rate=0000016000"}, "system||-1|-1|48000|2|960|2|0|rate 16000"},
        {{"--output-rate=7999"}, kRateRange + kUsage},
        {{"--output-rate=384001", "--mode=test-silence"}, kRateRange + kUsage},
        {{"--output-rate=99999999999999999999048000"}, kRateRange + kUsage},
        {{"--output-rate=48000", "--output-rate="}, kRateRange + kUsage},
        {{"--output-rate=+48000"}, kRateRange + kUsage},
        {{"--output-rate= 48000"}, kRateRange + kUsage},
        {{"--output-rate=48000Hz", "--help"}, kRateRange + kUsage},
        {{"--output-rate=48k"}, kRateRange + kUsage}};
    for (const auto& [args, expected] : cases) EXPECT_EQ(outcome(args), expected);
}

TEST(CommandLine, AsksForVersionOnlyWithTheExactOptionAfterTheProgramName) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"--help", "--format=bad", "(null)", "--version"}, true},
        {{"--version", "--mode=process"}, true},
        {{"--version=1", "--versions", "--Version", "-version", "version", "--version "}, false},
        {{}, false}};
    for (auto [args, expected] : cases) {
        // argv[0] is "--version" so that reading the program name as an option would show.
        std::vector<char*> argv{const_cast<char*>("--version")};
        for (auto& arg : args) argv.push_back(arg == "(null)" ? nullptr : arg.data());
        EXPECT_EQ(asksForVersion(int(argv.size()), argv.data()), expected);
    }
}

static std::string warning(const char* what, int build) {
    return kNote + what + " loopback may be unsupported on this Windows build (" +
           std::to_string(build) + ").\n";
}

TEST(CaptureTarget, FollowsTheModeRulesAndWarnsOnOldBuildsBeforeAnyNotice) {
    // A look-up asked where it should not be would write a notice.
    const std::string fallBack = "; falling back to system audio.\n";
    const std::tuple<RunConfig, std::uint32_t, WindowOwner, std::string> cases[] = {
        {{"process", "", 1234}, 20347, {}, "1 1234 0" + warning("Process", 20347)},
        {{"process", "", 1, 77}, 20348, {}, "1 1 0"},
        {{"process", "", 0, 77}, 1, {}, "0 0 0"},
        {{"system", "", -1, 77}, 20437, {}, "1 77 1" + warning("Exclude-pid", 20437)},
        {{"system", "", 5, 1}, 20438, {}, "1 1 1"},
        {{"system", "", -1, 77}, 0, {}, "1 77 1"},
        {{"system", "", 5, 0}, 1, {}, "0 0 0"},
        {{"test-silence", "1", 12, 77}, 1, {}, "0 0 0"},
        {{"window", "", 12, 77}, 1, {}, "0 0 0"},
        {{"window", "1"},
         19041,
         WindowOwner::NotRecognized,
         "0 0 0" + warning("Process", 19041) + kNote + "Window id not recognized" + fallBack},
        {{"window", "1"},
         20348,
         WindowOwner::NoOwner,
         "0 0 0" + kNote + "Could not resolve PID for window id" + fallBack},
        {{"window", "1"}, 0, WindowOwner::Found, "1 4321 0"}};
    for (const auto& [config, build, answer, expected] : cases) {
        const WindowOwnerLookup lookup = [a = answer](auto&, auto& pid) { return pid = 4321, a; };
        std::FILE* errors = std::tmpfile();
        const CaptureTarget t = chooseCaptureTarget(config, build, lookup, errors);
        EXPECT_EQ(std::to_string(t.useProcessLoopback) + " " + std::to_string(t.processId) + " " +
                      std::to_string(t.excludeTree) + drain(errors),
                  expected);
    }
}

TEST(CaptureTarget, WindowIdIsTheNumberAfterWindowPrefixUpToTheNextColon) {
    const char* texts[] = {
        "window:0x1A2B", "0X1a2b:7", "hwnd window:42", "window:7:window:9", " +010", ":10", "abc"};
    const char* want[] = {"6699", "6699", "42", "7", "8", "none", "none"};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        std::uint64_t v = 0;
        EXPECT_EQ(parseWindowIdText(texts[i], v) ? std::to_string(v) : "none", want[i]) << texts[i];
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

// Each text as both the id and the name, once as the default and once not.
TEST(DeviceListLine, IsOneJsonObjectInValidUtf8ThatReadsBackAsTheText) {
    using namespace std::string_literals;
    const std::pair<std::u16string, std::string> cases[] = {
        {u"{0.0.0.00000000}.{a1}", "{0.0.0.00000000}.{a1}"},
        {u"\"q\" \\ /", R"(\"q\" \\ /)"},
        {u"\b\f\n\r\t\0\x01\x1f\x20\x7f"s, R"(\b\f\n\r\t\u0000\u0001\u001f )"
                                           "\x7f"},
        // The longest and shortest code point of each UTF-8 length, through surrogate pairs.
        {u"\x80\u07ff\u0800\uffff\U00010000\U0010FFFF",
         "\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        // Surrogates without a partner: alone, reversed, last.
        {u"x\xDC00y\xDFFF\xD800z\xDBFF", "x\uFFFDy\uFFFD\uFFFDz\uFFFD"}};
    for (const auto& [text, json] : cases) {
        for (const bool isDefault : {true, false}) {
            const std::string utf8 = utf16ToUtf8(text);
            EXPECT_EQ(deviceListLine(utf8, utf8, isDefault),
                      "{\"id\":\"" + json + "\",\"name\":\"" + json +
                          "\",\"default\":" + (isDefault ? "true" : "false") + "}\n");
        }
    }
}
