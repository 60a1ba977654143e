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
        {123, 0, 0}};
    for (const auto& [counter, frequency, expected] : cases)
        EXPECT_EQ(counterTo100ns(counter, frequency), expected) << counter << " at " << frequency;
}

// One step of a run at 48000 Hz (10 ms = 480 frames, the least worth filling): a 10 ms packet
// with its position and flags got at `now`, a wake with nothing waiting ('i'), or a stop ('s'),
// and the zero frames due then.
struct Step {
    char kind;
    double nowMs;
    std::uint64_t zeros;
    double positionMs = 0;
    std::uint32_t flags = 0;
};

TEST(SilenceFill, PlacesZerosAsEachRunRequires) {
    const std::uint32_t lost = kBufferFlagDiscontinuity, badTime = kBufferFlagTimestampError;
    const std::vector<Step> runs[] = {
        // Quiet from the start: zeros up to 100 ms ago, after 100 ms, in spans of 10 ms or more;
        // a stop then writes up to now.
        {{'i', 100, 0}, {'i', 150, 2400}, {'i', 159.9, 0}, {'i', 160, 480}, {'s', 163, 4944}},
        // A first packet goes where its position puts it.
        {{'p', 40, 1440, 30, lost}, {'p', 50, 0, 40}, {'s', 50, 0}},
        // A gap is filled exactly; within 70 ms of the last end a packet continues.
        {{'p', 10, 0, 0}, {'p', 510, 23520, 500}, {'s', 1000, 23520}},
        {{'p', 10, 0, 0}, {'p', 80, 0, 80}, {'p', 161, 6768, 161}},
        // A flagged loss is placed even where it would fit; a slow reader's queue continues.
        {{'p', 10, 0, 0}, {'p', 40, 960, 30, lost}},
        {{'p', 200, 0, 0}, {'p', 200, 0, 10}, {'p', 200, 0, 20}, {'s', 200, 8160}},
        // Quiet after a packet: zeros only 100 ms past its end; a late packet goes at once.
        {{'p', 10, 0, 0}, {'i', 110, 0}, {'i', 130, 960}},
        {{'p', 10, 0, 0}, {'i', 350, 11520}, {'p', 360, 0, 200}, {'s', 400, 6720}},
        // A position flagged, from the future or earlier than the last good one: now less 10 ms.
        {{'p', 10, 0, 0},
         {'p', 210, 9120, 200, lost},
         {'p', 300, 3840, 0, badTime},
         {'p', 500, 9120, 600},
         {'p', 700, 9120, 150}},
        // A stop writes up to a second of zeros, none when more is due.
        {{'p', 10, 0, 0}, {'s', 1010, 48000}},
        {{'p', 10, 0, 0}, {'s', 1010.03, 0}}};
    for (std::size_t run = 0; run < std::size(runs); ++run) {
        SilenceFill fill(48000, kOrigin);
        for (std::size_t i = 0; i < runs[run].size(); ++i) {
            const Step& step = runs[run][i];
            const std::uint64_t now = at(step.nowMs);
            std::uint64_t zeros = fill.zerosAtStop(now);
            if (step.kind == 'p')
                zeros = fill.zerosBefore({at(step.positionMs), step.flags, 480}, now);
            if (step.kind == 'i') zeros = fill.zerosWhileIdle(now);
            EXPECT_EQ(zeros, step.zeros) << "run " << run << ", step " << i;
            fill.wrote(zeros + (step.kind == 'p' ? 480 : 0));
        }
    }
    // Ten days at 384 kHz: frames x 10^7 would not fit in 64 bits.
    SilenceFill days(384'000, kOrigin);
    days.wrote(10ull * 86'400 * 384'000 - 384'000);
    EXPECT_EQ(days.zerosAtStop(kOrigin + 10ull * 86'400 * 10'000'000), 384'000u);
}

// Frames from the origin to `time` at `rate`, worked out another way than the code does.
std::uint64_t ideal(std::uint32_t rate, std::uint64_t time) {
    return static_cast<std::uint64_t>((unsigned __int128)(time - kOrigin) * rate / 10'000'000);
}

// Random runs: four stretches of 10 ms packets on a device clock that drifts up to 100 ppm
// against the counter, with quiet spells between them; packets that arrive up to 50 ms after their
// end, flagged losses and bad timestamps; a reader that wakes every 1 to 15 ms, now and then only
// after half a second, and is stopped up to 0.8 s after the last packet.
TEST(SilenceFill, RandomRunsKeepTimeWithoutDisplacingAudio) {
    std::mt19937_64 random(20261208);
    const auto upTo = [&random](std::uint64_t most) {
        return std::uniform_int_distribution<std::uint64_t>(0, most)(random);
    };
    for (int run = 0; run < 300; ++run) {
        const std::uint32_t rate = run % 3 == 0 ? 44100 : run % 3 == 1 ? 48000 : 384000;
        const std::uint32_t frames = rate / 100;
        const double drift = std::uniform_real_distribution<>(-100e-6, 100e-6)(random);
        std::vector<std::tuple<CapturedPacket, std::uint64_t, bool>> packets;  // arrival, first
        double position = static_cast<double>(kOrigin + upTo(300 * kTick));
        for (int stretch = 0; stretch < 4; ++stretch) {
            for (std::uint64_t i = 0, count = 1 + upTo(100); i < count; ++i) {
                CapturedPacket p{static_cast<std::uint64_t>(position), 0, frames};
                if (upTo(50) == 0) p.flags |= kBufferFlagDiscontinuity;
                if (upTo(50) == 0) p.flags |= kBufferFlagTimestampError, p.position = 7;
                position += frames * 1e7 / (rate * (1 + drift));
                packets.emplace_back(p, static_cast<std::uint64_t>(position) + upTo(50 * kTick),
                                     i == 0);
            }
            position += static_cast<double>((200 + upTo(3000)) * kTick);
        }
        const std::uint64_t stopAt = std::get<1>(packets.back()) + upTo(800 * kTick);
        SilenceFill fill(rate, kOrigin);
        std::uint64_t now = kOrigin;
        for (std::size_t next = 0; next < packets.size() || now < stopAt;) {
            if (next == packets.size() || std::get<1>(packets[next]) > now) {
                // Zeros come in spans of 10 ms or more, and never reach where audio is to come.
                const std::uint64_t zeros = fill.zerosWhileIdle(now);
                EXPECT_TRUE(zeros == 0 || zeros >= frames) << run;
                if (zeros > 0 && next < packets.size() &&
                    std::get<0>(packets[next]).position != 7) {
                    EXPECT_LE(fill.written() + zeros,
                              ideal(rate, std::get<0>(packets[next]).position));
                }
                fill.wrote(zeros);
                now += (1 + upTo(upTo(100) == 0 ? 500 : 14)) * kTick;
                continue;
            }
            const auto& [p, arrival, startsStretch] = packets[next];
            const std::uint64_t zeros = fill.zerosBefore(p, now), place = ideal(rate, p.position);
            // Drift is left alone while audio plays; after a quiet spell, audio lands exactly
            // where its timestamp puts it, unless the stream is already past that.
            EXPECT_TRUE(startsStretch || p.flags != 0 || zeros == 0) << run;
            if (startsStretch && p.flags == 0 && next > 0 && fill.written() + frames <= place) {
                EXPECT_EQ(fill.written() + zeros, place) << run;
            }
            fill.wrote(zeros + frames);
            ++next;
        }
        // A run of T seconds carries T seconds of frames, unless audio already made it longer.
        const std::uint64_t before = fill.written();
        fill.wrote(fill.zerosAtStop(now));
        EXPECT_EQ(fill.written(), std::max(before, ideal(rate, now))) << run;
    }
}

// Each write that reaches a stream, which can stop the run after its first write or fail.
struct Recorder {
    std::vector<std::size_t> writes;
    std::atomic<bool> running{true};
    bool stopAfterFirst = false, fail = false;
};

TEST(ZeroFrames, WritesAtMost64KiBOrOneFrameAtATimeUntilAStopOrAFailedWrite) {
    const auto f32 = SampleFormat::F32, s16 = SampleFormat::S16;
    // How the run ends: 's' a stop after the first write, 'f' failing writes, 'x' stopped before,
    // 'n' stopped before but not asked (the zeros due at a stop itself), ' ' none of these.
    struct Case {
        std::int32_t channels;
        SampleFormat format;
        std::uint64_t frames;
        char ending;
        std::vector<std::size_t> writes;
    } cases[] = {{2, f32, 10'000, ' ', {65'536, 14'464}},
                 {3, s16, 10'923, ' ', {65'532, 6}},
                 {65'535, f32, 2, ' ', {262'140, 262'140}},
                 {2, f32, 20'000, 's', {65'536}},
                 {2, f32, 20'000, 'f', {}},
                 {2, f32, 20'000, 'x', {}},
                 {1, s16, 32'768, 'n', {65'536}}};
    for (const Case& c : cases) {
        Recorder recorder;
        recorder.stopAfterFirst = c.ending == 's', recorder.fail = c.ending == 'f';
        recorder.running = c.ending != 'x' && c.ending != 'n';
        cookie_io_functions_t io{};
        io.write = [](void* cookie, const char*, std::size_t size) -> ssize_t {
            auto& r = *static_cast<Recorder*>(cookie);
            if (r.fail) return 0;  // how a cookie stream reports an error
            r.writes.push_back(size);
            if (r.stopAfterFirst) r.running = false;
            return static_cast<ssize_t>(size);
        };
        std::FILE* out = fopencookie(&recorder, "w", io);
        std::setvbuf(out, nullptr, _IONBF, 0);
        std::string message;
        const std::uint64_t written =
            ZeroFrames(c.channels, c.format)
                .write(c.frames, c.ending == 'n' ? nullptr : &recorder.running, message, out);
        std::fclose(out);
        std::size_t bytes = 0;
        for (const std::size_t size : recorder.writes) bytes += size;
        EXPECT_EQ(recorder.writes, c.writes) << c.channels << " '" << c.ending << "'";
        EXPECT_EQ(written, bytes / (c.channels * (c.format == f32 ? 4u : 2u)));
        EXPECT_EQ(message, c.ending == 'f' ? "stdout closed while writing audio" : "");
    }
}
