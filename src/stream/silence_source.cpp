#include "stream/silence_source.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

// Sleeps at least `duration` on the monotonic clock, even if the platform wakes the thread early.
void sleepAtLeast(std::chrono::steady_clock::duration duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(deadline - now);
    }
}

}  // namespace

bool runSilenceTest(const RunConfig& config, std::ostream& out, const std::atomic<bool>& running,
                    std::FILE* errorStream) {
    // The command line has checked that the product is a sample count from 0 to INT32_MAX.
    const auto sampleCount =
        static_cast<std::size_t>(static_cast<std::int64_t>(config.chunkFrames) * config.channels);
    const std::size_t sampleBytes = config.format == SampleFormat::F32 ? 4 : 2;
    const std::size_t chunkBytes = sampleCount * sampleBytes;

    // Zero bytes are both +0.0f and 0, so one zeroed block serves either encoding; calloc lets
    // a large chunk stay unbacked until it is written.
    // One spare byte, so that an empty chunk is still a block and a null result means no memory.
    std::unique_ptr<char, FreeDeleter> chunk(static_cast<char*>(std::calloc(chunkBytes + 1, 1)));
    if (!chunk) {
        std::fprintf(errorStream, "Not enough memory for a silence chunk of %zu bytes\n",
                     chunkBytes);
        return false;
    }

    while (running.load()) {
        out.write(chunk.get(), static_cast<std::streamsize>(chunkBytes));
        out.flush();
        sleepAtLeast(std::chrono::milliseconds(5));
    }
    return true;
}
