// Zeros for the time nothing plays, against a virtual clock: placement of each packet, quiet
// spells, stops, and the writes that carry the zeros.
#include <gtest/gtest.h>

#include <random>

#include "stream/silence_fill.h"

namespace {

constexpr std::uint64_t kOrigin = 1'000'000'000;  // the counter at Start: 100 s, in 100-ns units
constexpr std::uint64_t kTick = 10'000;           // 1 ms

std::uint64_t at(double milliseconds) {
    return kOrigin + static_cast<std::uint64_t>(milliseconds * kTick);
}

}  // namespace

TEST(CounterTo100ns, IsExactAtAnyFrequency) {
    const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> cases[] = {
        {10'000'000, 10'000'000, 10'000'000},
        {2 * 3'579'545 + 1, 3'579'545, 20'000'002},  // the old ACPI timer: 2 s and a bit
        // Three days and a half-second at 2.4 GHz: the product would not fit in 64 bits.
        {2'400'000'000ull * 259'200 + 1'200'000'000, 2'400'000'000, 2'592'005'000'000},
        {1'000, 1'000, 10'000'000},
        {123, 0, 0}};
    for (const auto& [counter, frequency, expected] : cases)
        EXPECT_EQ(counterTo100ns(counter, frequency), expected) << counter << " at " << frequency;
}

// One step of a run at 48000 Hz (10 ms = 480 frames, the least worth filling): a packet with
// its position, flags and frames got at `now`, a wake with nothing waiting ('i'), or a stop
// ('s'), and the zero frames due then.
struct Step {
    char kind;
    double nowMs;
    std::uint64_t zeros;
    double positionMs = 0;
    std::uint32_t flags = 0;
    std::uint32_t frames = 480;
};

TEST(SilenceFill, PlacesZerosAsEachRunRequires) {
    const std::uint32_t lost = kBufferFlagDiscontinuity, badTime = kBufferFlagTimestampError;
    const std::pair<const char*, std::vector<Step>> runs[] = {
        {"silence first: nothing within 100 ms, then up to 100 ms ago in steps of 10 ms or more",
         {{'i', 100, 0}, {'i', 150, 2400}, {'i', 159.9, 0}, {'i', 160, 480}, {'s', 163, 4944}}},
        {"a first packet is placed by its position, the next continues it",
         {{'p', 40, 1440, 30, lost}, {'p', 50, 0, 40}, {'s', 50, 0}}},
        {"a first packet less than 10 ms in is written at once",
         {{'p', 15, 0, 9.99}, {'s', 20, 480}}},
        {"a gap is filled up to the next packet's position, exactly",
         {{'p', 10, 0, 0}, {'p', 510, 23520, 500}, {'s', 1000, 23520}}},
        {"within 70 ms of the last end a packet continues; past it, it is placed",
         {{'p', 10, 0, 0}, {'p', 80, 0, 80}, {'p', 161, 6768, 161}}},
        {"a flagged loss is placed even when its position fits",
         {{'p', 10, 0, 0}, {'p', 40, 960, 30, lost}}},
        {"queued packets of a slow reader all continue",
         {{'p', 200, 0, 0}, {'p', 200, 0, 10}, {'p', 200, 0, 20}, {'s', 200, 8160}}},
        {"quiet after a packet: zeros only 100 ms past its end",
         {{'p', 10, 0, 0}, {'i', 110, 0}, {'i', 130, 960}}},
        {"a late packet is written at once after the zeros of a quiet spell",
         {{'p', 10, 0, 0}, {'i', 350, 11520}, {'p', 360, 0, 200}, {'s', 400, 6720}}},
        {"a position flagged, from the future or from before the last packet is replaced by now "
         "less the packet's length",
         {{'p', 10, 0, 0},
          {'p', 210, 9120, 200, lost},
          {'p', 300, 3840, 0, badTime},
          {'p', 500, 9120, 600},
          {'p', 700, 9120, 150}}},
        {"a stop writes up to now, up to a second of it", {{'p', 10, 0, 0}, {'s', 1010, 48000}}},
        {"a stop with more than a second due writes nothing",
         {{'p', 10, 0, 0}, {'s', 1010.03, 0}}}};
    for (const auto& [name, steps] : runs) {
        SilenceFill fill(48000, kOrigin);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            const std::uint64_t now = at(step.nowMs);
            std::uint64_t zeros = 0;
            if (step.kind == 'p')
                zeros = fill.zerosBefore({at(step.positionMs), step.flags, step.frames}, now);
            if (step.kind == 'i') zeros = fill.zerosWhileIdle(now);
            if (step.kind == 's') zeros = fill.zerosAtStop(now);
            EXPECT_EQ(zeros, step.zeros) << name << ", step " << i;
            fill.wrote(zeros + (step.kind == 'p' ? step.frames : 0));
        }
    }
}

TEST(SilenceFill, NeverOverflowsOnRunsOfDaysAtTheHighestRate) {
    // Ten days at 384 kHz: frames x 10^7 would not fit in 64 bits.
    const std::uint64_t tenDays = 10ull * 86'400 * 10'000'000;
    SilenceFill fill(384'000, kOrigin);
    fill.wrote(10ull * 86'400 * 384'000 - 384'000);
    EXPECT_EQ(fill.zerosAtStop(kOrigin + tenDays), 384'000u);
}

// Frames from the origin to `time` at `rate`, worked out another way than the code does.
std::uint64_t ideal(std::uint32_t rate, std::uint64_t time) {
    return static_cast<std::uint64_t>((unsigned __int128)(time - kOrigin) * rate / 10'000'000);
}

// Random runs: stretches of 10 ms packets on a device clock that drifts up to 100 ppm against the
// counter, quiet spells between them, a reader that wakes every 1 to 15 ms and now and then
// stalls for up to half a second, packets that arrive up to 50 ms after their end, flagged losses
// and bad timestamps.
TEST(SilenceFill, RandomRunsKeepTimeWithoutDisplacingAudio) {
    std::mt19937_64 random(20261208);
    const auto upTo = [&random](std::uint64_t most) {
        return std::uniform_int_distribution<std::uint64_t>(0, most)(random);
    };
    struct Packet {
        CapturedPacket packet;
        std::uint64_t arrival;
        bool startsStretch;
    };
    for (int run = 0; run < 300; ++run) {
        const std::uint32_t rate = run % 3 == 0 ? 44100 : run % 3 == 1 ? 48000 : 384000;
        const double drift = std::uniform_real_distribution<>(-100e-6, 100e-6)(random);
        const std::uint32_t frames = rate / 100;
        const double packetTicks = frames * 1e7 / (rate * (1 + drift));
        std::vector<Packet> packets;
        double position = static_cast<double>(kOrigin + upTo(300 * kTick));
        for (int stretch = 0; stretch < 4; ++stretch) {
            const std::uint64_t count = 1 + upTo(100);
            for (std::uint64_t i = 0; i < count; ++i) {
                const auto time = static_cast<std::uint64_t>(position);
                CapturedPacket p{time, 0, frames};
                if (upTo(50) == 0) p.flags |= kBufferFlagDiscontinuity;
                if (upTo(50) == 0) p.flags |= kBufferFlagTimestampError, p.position = 7;
                position += packetTicks;
                packets.push_back(
                    {p, static_cast<std::uint64_t>(position) + upTo(50 * kTick), i == 0});
            }
            position += static_cast<double>((200 + upTo(3000)) * kTick);
        }

        // The reader goes on waking for up to 0.8 s after the last arrival, then is stopped.
        const std::uint64_t stopAt = packets.back().arrival + upTo(800 * kTick);
        SilenceFill fill(rate, kOrigin);
        std::uint64_t now = kOrigin;
        for (std::size_t next = 0; next < packets.size() || now < stopAt;) {
            if (next == packets.size() || packets[next].arrival > now) {
                // Zeros come in spans of 10 ms or more, and never reach where audio is to come.
                const std::uint64_t zeros = fill.zerosWhileIdle(now);
                EXPECT_TRUE(zeros == 0 || zeros >= frames) << run;
                if (zeros > 0 && next < packets.size() && packets[next].packet.position != 7) {
                    EXPECT_LE(fill.written() + zeros, ideal(rate, packets[next].packet.position));
                }
                fill.wrote(zeros);
                now += (1 + upTo(upTo(100) == 0 ? 500 : 14)) * kTick;
                continue;
            }
            const Packet& p = packets[next++];
            const std::uint64_t zeros = fill.zerosBefore(p.packet, now);
            // Drift is left alone while audio plays; after a quiet spell, audio lands exactly
            // where its timestamp puts it, unless the stream is already past that.
            if (!p.startsStretch && p.packet.flags == 0) {
                EXPECT_EQ(zeros, 0u) << run;
            }
            const std::uint64_t place = ideal(rate, p.packet.position);
            if (p.startsStretch && p.packet.flags == 0 && next > 1 &&
                fill.written() + frames <= place) {
                EXPECT_EQ(fill.written() + zeros, place) << run;
            }
            fill.wrote(zeros + frames);
        }
        // A run of T seconds carries T seconds of frames, unless audio already made it longer.
        const std::uint64_t before = fill.written();
        fill.wrote(fill.zerosAtStop(now));
        EXPECT_EQ(fill.written(), std::max(before, ideal(rate, now))) << run;
    }
}

namespace {

// Records each write that reaches the stream, and can stop the run after the first or fail.
struct Recorder {
    std::vector<std::size_t> writes;
    std::atomic<bool> running{true};
    bool stopAfterFirst = false, fail = false;
    bool zerosOnly = true;
};

std::FILE* recordingStream(Recorder& recorder) {
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char* bytes, std::size_t size) -> ssize_t {
        auto& r = *static_cast<Recorder*>(cookie);
        if (r.fail) return 0;  // how a cookie stream reports an error
        r.writes.push_back(size);
        r.zerosOnly = r.zerosOnly && std::all_of(bytes, bytes + size, [](char b) { return !b; });
        if (r.stopAfterFirst) r.running = false;
        return static_cast<ssize_t>(size);
    };
    std::FILE* stream = fopencookie(&recorder, "w", io);
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

}  // namespace

TEST(ZeroFrames, WritesAtMost64KiBAtATimeAndAtLeastOneFrame) {
    const std::tuple<std::int32_t, SampleFormat, std::uint64_t, std::vector<std::size_t>> cases[] =
        {{2, SampleFormat::F32, 10'000, {65'536, 14'464}},
         {1, SampleFormat::S16, 32'768, {65'536}},
         {3, SampleFormat::S16, 10'923, {65'532, 6}},
         {65'535, SampleFormat::F32, 2, {262'140, 262'140}},
         {2, SampleFormat::S16, 0, {}}};
    for (const auto& [channels, format, frames, writes] : cases) {
        Recorder recorder;
        std::FILE* out = recordingStream(recorder);
        std::string message;
        EXPECT_EQ(ZeroFrames(channels, format).write(frames, &recorder.running, message, out),
                  frames);
        std::fclose(out);
        EXPECT_EQ(recorder.writes, writes) << channels << " channels";
        EXPECT_TRUE(recorder.zerosOnly);
        EXPECT_EQ(message, "");
    }
}

TEST(ZeroFrames, StopsBetweenWritesOnAStopRequestAndEndsOnAFailedWrite) {
    std::string message;
    Recorder stopping;
    stopping.stopAfterFirst = true;
    std::FILE* out = recordingStream(stopping);
    EXPECT_EQ(ZeroFrames(2, SampleFormat::F32).write(20'000, &stopping.running, message, out),
              8'192u);
    // The zeros due at a stop itself are written whatever the flag says.
    EXPECT_EQ(ZeroFrames(2, SampleFormat::F32).write(20'000, nullptr, message, out), 20'000u);
    std::fclose(out);
    EXPECT_EQ(message, "");

    Recorder failing;
    failing.fail = true;
    out = recordingStream(failing);
    EXPECT_EQ(ZeroFrames(2, SampleFormat::F32).write(20'000, nullptr, message, out), 0u);
    std::fclose(out);
    EXPECT_EQ(message, "stdout closed while writing audio");
}
