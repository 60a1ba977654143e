#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/run_config.h"

namespace {

const std::string kUsage =
    "ostrel-audio-helper --mode=system|window|process|test-silence [--window-id=<id>] "
    "[--pid=<pid>] [--exclude-pid=<pid>] [--rate=48000] [--channels=2] [--chunk=960] "
    "[--format=f32|s16]\n";

struct ParseResult {
    bool goOn;
    RunConfig config;
    std::string errorText;
};

ParseResult parse(std::vector<std::string> arguments) {
    std::vector<char*> argv{const_cast<char*>("ostrel-audio-helper.exe")};
    for (auto& argument : arguments) argv.push_back(argument.data());
    ParseResult result{};
    std::FILE* errors = std::tmpfile();
    result.goOn = parseCommandLine(static_cast<int>(argv.size()), argv.data(), result.config, errors);
    std::rewind(errors);
    for (int c; (c = std::fgetc(errors)) != EOF;) result.errorText += static_cast<char>(c);
    std::fclose(errors);
    return result;
}

TEST(CommandLine, NoArgumentsKeepsEveryDefault) {
    const ParseResult result = parse({});
    ASSERT_TRUE(result.goOn);
    EXPECT_EQ(result.config.mode, "system");
    EXPECT_EQ(result.config.windowId, "");
    EXPECT_EQ(result.config.pid, -1);
    EXPECT_EQ(result.config.excludePid, -1);
    EXPECT_EQ(result.config.rate, 48000);
    EXPECT_EQ(result.config.channels, 2);
    EXPECT_EQ(result.config.chunkFrames, 960);
    EXPECT_EQ(result.config.format, SampleFormat::F32);
    EXPECT_EQ(result.errorText, "");
}

// Text options are stored whole and the last occurrence wins; unknown arguments are dropped
// without a word, and so are sizes that only the other source could not use.
TEST(CommandLine, AcceptedLinesKeepTheirTextOptionsAndWriteNothing) {
    struct Case {
        std::vector<std::string> arguments;
        std::string mode;
        std::string windowId;
    };
    const Case cases[] = {
        {{"--mode=test-silence", "--mode=system"}, "system", ""},
        {{"--mode=system", "--mode=test-silence"}, "test-silence", ""},
        {{"--mode=Test-Silence"}, "Test-Silence", ""},
        {{"--mode="}, "", ""},
        {{"--window-id=window:0x1234"}, "system", "window:0x1234"},
        {{"--window-id=a=b= c"}, "system", "a=b= c"},
        {{"--MODE=process", "--mode", "-h", "--help=1", "--helpme", "/?", "word"}, "system", ""},
        // The silence source idles on an empty chunk; a capture never reads chunkFrames.
        {{"--mode=test-silence", "--channels=0"}, "test-silence", ""},
        {{"--mode=test-silence", "--chunk=0"}, "test-silence", ""},
        {{"--mode=test-silence", "--channels=70000", "--chunk=1"}, "test-silence", ""},
        {{"--mode=system", "--chunk=-1", "--channels=65535"}, "system", ""},
    };
    for (const Case& c : cases) {
        const ParseResult result = parse(c.arguments);
        SCOPED_TRACE(c.arguments.back());
        EXPECT_TRUE(result.goOn);
        EXPECT_EQ(result.config.mode, c.mode);
        EXPECT_EQ(result.config.windowId, c.windowId);
        EXPECT_EQ(result.errorText, "");
    }
}

TEST(CommandLine, NumbersAreReadLikeAtoiAndSaturate) {
    struct Case {
        const char* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {"480", 480},          {" 480", 480},          {"\t+7", 7},
        {"12abc", 12},         {"abc", 0},             {"", 0},
        {"-3", -3},            {"- 3", 0},             {"2147483647", 2147483647},
        {"2147483648", 2147483647},                    {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},              {"99999999999999999999999", 2147483647},
        {"000000000000000000042", 42},
    };
    for (const Case& c : cases) EXPECT_EQ(parseOptionNumber(c.text), c.value) << c.text;

    const ParseResult result = parse({"--pid=abc", "--exclude-pid=12abc", "--rate=44100",
                                      "--chunk= 480", "--channels=6", "--pid=", "--rate=-5"});
    ASSERT_TRUE(result.goOn);
    EXPECT_EQ(result.config.pid, 0);
    EXPECT_EQ(result.config.excludePid, 12);
    EXPECT_EQ(result.config.rate, -5);
    EXPECT_EQ(result.config.chunkFrames, 480);
    EXPECT_EQ(result.config.channels, 6);
}

TEST(CommandLine, FormatNamesAreExact) {
    const std::pair<const char*, SampleFormat> accepted[] = {
        {"s16", SampleFormat::S16},   {"s16le", SampleFormat::S16}, {"f32", SampleFormat::F32},
        {"f32le", SampleFormat::F32}, {"float", SampleFormat::F32},
    };
    for (const auto& [name, format] : accepted) {
        // Start from the other format so that a value that is ignored shows.
        const char* other = format == SampleFormat::F32 ? "--format=s16" : "--format=f32";
        const ParseResult result = parse({other, std::string("--format=") + name});
        EXPECT_TRUE(result.goOn) << name;
        EXPECT_EQ(result.config.format, format) << name;
    }
}

TEST(CommandLine, RefusalsWriteExactTextAndStopTheParse) {
    struct Case {
        std::vector<std::string> arguments;
        std::string errorText;
    };
    const Case cases[] = {
        {{"--help"}, kUsage},
        {{"--format=F32"}, "Unknown format: F32\n" + kUsage},
        {{"--format=f64"}, "Unknown format: f64\n" + kUsage},
        {{"--format="}, "Unknown format: \n" + kUsage},
        {{"--format=s16 "}, "Unknown format: s16 \n" + kUsage},
        {{"--format=bad", "--help"}, "Unknown format: bad\n" + kUsage},
        {{"--help", "--format=bad"}, kUsage},
        {{"--channels=0"}, "Unsupported channel count: 0\n" + kUsage},
        {{"--channels=-3"}, "Unsupported channel count: -3\n" + kUsage},
        {{"--mode=process", "--channels=65536"}, "Unsupported channel count: 65536\n" + kUsage},
        {{"--mode=test-silence", "--chunk=-1"},
         "Unsupported silence chunk: -1 frames of 2 channels (-2 samples)\n" + kUsage},
        {{"--mode=test-silence", "--chunk=2147483647", "--channels=2"},
         "Unsupported silence chunk: 2147483647 frames of 2 channels (4294967294 samples)\n" +
             kUsage},
    };
    for (const Case& c : cases) {
        const ParseResult result = parse(c.arguments);
        EXPECT_FALSE(result.goOn) << c.arguments.front();
        EXPECT_EQ(result.errorText, c.errorText) << c.arguments.front();
    }
}

TEST(CommandLine, NullEntriesAreSkipped) {
    char program[] = "ostrel-audio-helper.exe";
    char mode[] = "--mode=window";
    char* argv[] = {program, nullptr, mode, nullptr};
    RunConfig config;
    EXPECT_TRUE(parseCommandLine(3, argv, config));
    EXPECT_EQ(config.mode, "window");
}

}  // namespace
