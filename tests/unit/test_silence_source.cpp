#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "stream/silence_source.h"

namespace {

struct SilenceRun {
    bool finished;
    std::string output;
    std::chrono::steady_clock::duration elapsed;
};

SilenceRun runFor(const RunConfig& config, std::chrono::milliseconds duration) {
    std::atomic<bool> running{true};
    std::ostringstream out;
    const auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(duration);
        running.store(false);
    });
    const bool finished = runSilenceTest(config, out, running);
    stopper.join();
    return {finished, out.str(), std::chrono::steady_clock::now() - start};
}

TEST(SilenceSource, WritesWholeChunksOfZeroBytesAtItsPace) {
    struct Case {
        int chunkFrames;
        int channels;
        SampleFormat format;
        std::size_t chunkBytes;
    };
    for (const Case& c : {Case{960, 2, SampleFormat::F32, 7680}, Case{480, 1, SampleFormat::S16, 960},
                          Case{3, 5, static_cast<SampleFormat>(0), 30}}) {
        RunConfig config;
        config.mode = "test-silence";
        config.chunkFrames = c.chunkFrames;
        config.channels = c.channels;
        config.format = c.format;
        const SilenceRun run = runFor(config, std::chrono::milliseconds(60));
        ASSERT_TRUE(run.finished);
        ASSERT_FALSE(run.output.empty());
        EXPECT_EQ(run.output.size() % c.chunkBytes, 0u) << c.chunkBytes;
        EXPECT_EQ(run.output.find_first_not_of('\0'), std::string::npos);
        // Each pass sleeps at least 5 ms, so at most one pass per 5 ms plus the one in flight.
        const auto passes = run.output.size() / c.chunkBytes;
        EXPECT_LE(passes, static_cast<std::size_t>(run.elapsed / std::chrono::milliseconds(5)) + 1);
    }
}

TEST(SilenceSource, EmptyChunkIdlesUntilStopped) {
    RunConfig config;
    config.chunkFrames = 0;
    const SilenceRun run = runFor(config, std::chrono::milliseconds(30));
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.output, "");
    EXPECT_GE(run.elapsed, std::chrono::milliseconds(30));
}

TEST(SilenceSource, ReturnsAtOnceWhenAlreadyStopped) {
    std::atomic<bool> running{false};
    std::ostringstream out;
    EXPECT_TRUE(runSilenceTest(RunConfig{}, out, running));
    EXPECT_EQ(out.str(), "");
}

}  // namespace
