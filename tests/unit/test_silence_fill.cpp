// Zeros for the time nothing plays, against a virtual clock: placement of each packet, quiet
// spells, stops, and the writes that carry the zeros.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "stream/silence_fill.h"

namespace {

constexpr std::uint64_t kOrigin = 1'000'000'000;  // the counter at Start: 100 s, in 100-ns units
constexpr std::uint64_t kTick = 10'000;           // 1 ms
constexpr double kCounterAtZero = -100'000;       // the time, in ms from Start, of a counter of 0

// The counter `milliseconds` after Start.
std::uint64_t at(double milliseconds) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(kOrigin) +
                                      std::llround(milliseconds * kTick));
}

// Frames in `milliseconds` at 48000 Hz, for the derivations beside expected counts.
constexpr std::uint64_t ms(double milliseconds) {
    return static_cast<std::uint64_t>(milliseconds * 48);
}

// The zeros the capture loop writes before `packet`, asking the rules as it does.
std::uint64_t zerosBefore(SilenceFill& fill, const CapturedPacket& packet, std::uint64_t now) {
    const std::optional<std::uint64_t> start = fill.place(packet, now);
    return start ? fill.zerosUpTo(*start) : 0;
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

// One step of a run: a 10 ms packet with its position and flags got at `now` ('p', or 'n' for the
// first packet of a new device), a wake with nothing waiting ('i'), or a stop ('s'), and the zero
// frames due then.
struct Step {
    char kind;
    double nowMs;
    std::uint64_t zeros;
    double positionMs = 0;
    std::uint32_t flags = 0;
};

struct PlacementRun {
    std::uint32_t rate;
    std::vector<Step> steps;
};

TEST(SilenceFill, PlacesZerosAsEachRunRequires) {
    const std::uint32_t lost = kBufferFlagDiscontinuity, badTime = kBufferFlagTimestampError;
    const PlacementRun runs[] = {
        // Quiet from the start: zeros up to 100 ms ago, after 100 ms, in spans of 10 ms or more;
        // a stop then writes up to now, whole frames only.
        {48000,
         {{'i', 100, 0},
          {'i', 150, ms(50)},
          {'i', 159.9, 0},
          {'i', 160, ms(10)},
          {'s', 163.01, 7824 - ms(60)}}},  // 163.01 ms hold 7824.48 frames
        // 10 ms at 11025 Hz are 110.25 frames: a span of 110 is less.
        {11025, {{'i', 110, 0}, {'i', 110.1, 111}}},
        // A first packet goes where its position puts it.
        {48000, {{'p', 40, ms(30), 30, lost}, {'p', 50, 0, 40}, {'s', 50, 0}}},
        // A gap is filled exactly; within 70 ms of the last end a packet continues.
        {48000, {{'p', 10, 0, 0}, {'p', 510, ms(500) - ms(10), 500}, {'s', 1000, ms(490)}}},
        {48000, {{'p', 10, 0, 0}, {'p', 80, 0, 80}, {'p', 161, ms(161) - ms(20), 161}}},
        // A flagged loss is placed even where it would fit; a slow reader's queue continues.
        {48000, {{'p', 10, 0, 0}, {'p', 40, ms(30) - ms(10), 30, lost}}},
        {48000, {{'p', 200, 0, 0}, {'p', 200, 0, 10}, {'p', 200, 0, 20}, {'s', 200, ms(170)}}},
        // Quiet after a packet: zeros only 100 ms past its end; a late packet goes at once.
        {48000, {{'p', 10, 0, 0}, {'i', 110, 0}, {'i', 130, ms(30) - ms(10)}}},
        {48000,
         {{'p', 10, 0, 0},
          {'i', 350, ms(250) - ms(10)},
          {'p', 360, 0, 200},
          {'s', 400, ms(400) - ms(260)}}},
        // A position flagged, from the future or earlier than the last good one: the packet's
        // time is now less its 10 ms.
        {48000,
         {{'p', 10, 0, 0},
          {'p', 210, ms(200) - ms(10), 200, lost},
          {'p', 300, ms(290) - ms(210), 295, badTime},
          {'p', 500, ms(490) - ms(300), 600},
          {'p', 700, ms(690) - ms(500), 150}}},
        // Inside continuous audio such a packet continues when its time is close enough: one read
        // 25 ms late, a counter stuck at one value, a counter of 0.
        {48000, {{'p', 10, 0, 0}, {'p', 20, 0, 10}, {'p', 55, 0, 20, badTime}, {'p', 55, 0, 30}}},
        {48000, {{'p', 10, 0, 0}, {'p', 20, 0, 0}, {'p', 300, ms(290) - ms(20), 0}}},
        {48000,
         {{'p', 10, 0, 0},
          {'p', 20, 0, kCounterAtZero},
          {'p', 300, ms(290) - ms(20), kCounterAtZero}}},
        // Nor is a position trusted from more than 70 ms before the last packet's time, or from
        // more than a second before Start.
        {48000,
         {{'p', 10, 0, 0},
          {'p', 1510, ms(1500) - ms(10), 1500, badTime},
          {'p', 3000, ms(2990) - ms(1510), 1420}}},
        {48000, {{'p', 300, ms(290), -1000.1}}},
        {48000, {{'p', 300, 0, -1000}}},
        // A new device's first packet is a seam: it goes where its position puts it, even 5 ms on.
        {48000, {{'p', 10, 0, 0}, {'n', 25, ms(15) - ms(10), 15}, {'p', 35, 0, 25}}},
        // A stop writes up to a second of zeros, and a little more for the drift of a long run.
        {48000, {{'p', 10, 0, 0}, {'s', 1010, ms(1000)}}},
        {48000, {{'p', 10, 0, 0}, {'s', 1010.2, 0}}}};  // 48009 due > 48006 for 1 s + 1.01 s / 7200
    for (std::size_t run = 0; run < std::size(runs); ++run) {
        const std::uint32_t rate = runs[run].rate, frames = rate / 100;
        SilenceFill fill(rate, kOrigin);
        for (std::size_t i = 0; i < runs[run].steps.size(); ++i) {
            const Step& step = runs[run].steps[i];
            const std::uint64_t now = at(step.nowMs);
            std::uint64_t zeros = fill.zerosAtStop(now);
            if (step.kind == 'p' || step.kind == 'n') {
                const bool seam = step.kind == 'n';
                const std::uint32_t flags = seam ? kBufferFlagDiscontinuity : step.flags;
                const std::optional<std::uint64_t> start =
                    fill.place({at(step.positionMs), flags, 10 * kTick}, now);
                zeros = start ? fill.zerosUpTo(*start, seam) : 0;
            }
            if (step.kind == 'i') zeros = fill.zerosWhileIdle(now);
            EXPECT_EQ(zeros, step.zeros) << "run " << run << ", step " << i;
            fill.wrote(zeros + (step.kind == 'p' || step.kind == 'n' ? frames : 0));
        }
    }
    // Sixty days at 384 kHz: frames x 10^7 would not fit in 64 bits.
    SilenceFill days(384'000, kOrigin);
    days.wrote(60ull * 86'400 * 384'000 - 384'000);
    EXPECT_EQ(days.zerosAtStop(kOrigin + 60ull * 86'400 * 10'000'000), 384'000u);
}

// Hours of continuous audio in 1 s packets on a device clock `ppm` slower than the counter, the
// reader waking between packets, then a stop `stallMs` after the last packet ended. The stream
// lags by the drift; the stop fills it in, unless more is due than drift explains (over 1 s plus
// 500 ms an hour).
TEST(SilenceFill, LongRunsDriftWithoutZerosAndAStopMakesUpForTheDrift) {
    const struct {
        int hours;
        double ppm, stallMs;
        bool filled;
    } cases[] = {{4, 100, 0, true},      // 1.44 s due
                 {4, 100, 1600, false},  // 3.04 s due, more than 3 s
                 {1, 0, 1400, true},     // 1.4 s due, less than 1.5 s
                 {1, 0, 1600, false}};
    for (const auto& c : cases) {
        SilenceFill fill(48000, kOrigin);
        const double secondOnTheCounter = 1e7 * (1 + c.ppm * 1e-6);
        std::uint64_t idleZeros = 0, end = kOrigin;
        for (int second = 0; second < c.hours * 3600; ++second) {
            const auto position = kOrigin + static_cast<std::uint64_t>(second * secondOnTheCounter);
            end = kOrigin + static_cast<std::uint64_t>((second + 1) * secondOnTheCounter);
            fill.wrote(zerosBefore(fill, {position, 0, kTicksPerSecond}, end + 5 * kTick) + 48000);
            idleZeros += fill.zerosWhileIdle(end + 50 * kTick);
        }
        EXPECT_EQ(idleZeros, 0u) << c.hours << " h";
        const std::uint64_t stop = end + static_cast<std::uint64_t>(c.stallMs * kTick);
        const std::uint64_t due = (stop - kOrigin) * 48000 / kTicksPerSecond - fill.written();
        EXPECT_EQ(fill.zerosAtStop(stop), c.filled ? due : 0) << c.hours << " h " << c.stallMs;
    }
}

// Frames from the origin to `time` at `rate`, worked out another way than the code does.
std::uint64_t ideal(std::uint32_t rate, std::uint64_t time) {
    return static_cast<std::uint64_t>((unsigned __int128)(time - kOrigin) * rate / 10'000'000);
}

// One packet of a random run, as the device made it and as the reader found it.
struct RandomPacket {
    CapturedPacket packet;
    std::uint64_t realPosition;  // where the device put it, whatever its stamp says
    std::uint64_t arrival;       // when it could first be read
    bool startsStretch;          // the first after a quiet spell
};

// Random runs: four stretches of 10 ms packets on a device clock that drifts up to 100 ppm
// against the counter, with quiet spells between them; packets that arrive up to 50 ms after their
// end, flagged losses, and bad stamps inside stretches (flagged, stuck at the previous value, 0,
// far back, from the future); a reader that wakes every 1 to 15 ms, now and then only after half
// a second, and is stopped up to 0.8 s after the last packet, now and then while fetching one.
TEST(SilenceFill, RandomRunsKeepTimeWithoutDisplacingAudio) {
    std::mt19937_64 random(20261208);
    const auto upTo = [&random](std::uint64_t most) {
        return std::uniform_int_distribution<std::uint64_t>(0, most)(random);
    };
    for (int run = 0; run < 300; ++run) {
        const std::uint32_t rate = run % 3 == 0 ? 44100 : run % 3 == 1 ? 48000 : 384000;
        const std::uint32_t frames = rate / 100;
        const std::uint64_t length = 10 * kTick;
        const double drift = std::uniform_real_distribution<>(-100e-6, 100e-6)(random);
        std::vector<RandomPacket> packets;
        double position = static_cast<double>(kOrigin + upTo(300 * kTick));
        for (int stretch = 0; stretch < 4; ++stretch) {
            for (std::uint64_t i = 0, count = 1 + upTo(100); i < count; ++i) {
                const auto real = static_cast<std::uint64_t>(position);
                CapturedPacket p{real, 0, length};
                if (upTo(50) == 0) p.flags |= kBufferFlagDiscontinuity;
                const std::uint64_t stamp = i == 0 ? 0 : upTo(30);
                if (stamp == 1) p.flags |= kBufferFlagTimestampError;
                if (stamp == 2) p.position = packets.back().packet.position;
                if (stamp == 3) p.position = 0;
                if (stamp == 4) p.position = real - std::min(real, 1400 * kTick);
                if (stamp == 5) p.position = real + 900 * kTick;
                position += frames * 1e7 / (rate * (1 + drift));
                const std::uint64_t arrival =
                    static_cast<std::uint64_t>(position) + upTo(50 * kTick);
                packets.push_back({p, real, arrival, i == 0});
            }
            position += static_cast<double>((200 + upTo(3000)) * kTick);
        }
        const std::uint64_t stopAt = packets.back().arrival + upTo(800 * kTick);
        const bool stopWhileFetching = upTo(4) == 0;
        SilenceFill fill(rate, kOrigin);
        std::uint64_t now = kOrigin, lateness = 0;
        for (std::size_t next = 0; next < packets.size() || now < stopAt;) {
            if (next == packets.size() || packets[next].arrival > now) {
                // Zeros come in spans of 10 ms or more, and never reach where audio is to come.
                const std::uint64_t zeros = fill.zerosWhileIdle(now);
                EXPECT_TRUE(zeros == 0 || zeros >= frames) << run;
                if (zeros > 0 && next < packets.size()) {
                    EXPECT_LE(fill.written() + zeros, ideal(rate, packets[next].realPosition));
                }
                fill.wrote(zeros);
                now += (1 + upTo(upTo(100) == 0 ? 500 : 14)) * kTick;
                continue;
            }
            const RandomPacket& p = packets[next];
            const std::uint64_t zeros = zerosBefore(fill, p.packet, now);
            const std::uint64_t place = ideal(rate, p.realPosition);
            // Inside a stretch no zeros go between packets, whatever their stamps say, as long as
            // this packet and the one before were read on time (a stamp not trusted is replaced
            // by the time the packet was read). After a quiet spell, audio lands exactly where
            // its timestamp puts it, unless the stream is already past that.
            const std::uint64_t readAfter = now - p.arrival;
            if (!p.startsStretch && (p.packet.flags & kBufferFlagDiscontinuity) == 0 &&
                readAfter <= 15 * kTick && lateness <= 15 * kTick) {
                EXPECT_EQ(zeros, 0u) << run << " packet " << next;
            }
            if (p.startsStretch && p.packet.flags == 0 && next > 0 && lateness <= 15 * kTick &&
                fill.written() + frames <= place) {
                EXPECT_EQ(fill.written() + zeros, place) << run;
            }
            lateness = readAfter;
            fill.wrote(zeros + frames);
            ++next;
            if (stopWhileFetching && next == packets.size()) break;
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
    // How the run ends: 's' a stop after the first write, 'f' failing writes, 'x' stopped before
    // (the first write still goes out), 'n' stopped before but not asked (the zeros due at a stop
    // itself), ' ' none of these.
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
                 {2, f32, 20'000, 'x', {65'536}},
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
