#include "stream/silence_fill.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kMilliseconds = kTicksPerSecond / 1000;
// A packet whose position lies this close to where the previous one ended continues it.
constexpr std::uint64_t kContinuityTolerance = 70 * kMilliseconds;
// Zeros for a quiet spell stop this far short of now: packets may still be on their way (process
// loopback delivers 30 to 50 ms late), and zeros must not take the place of real audio.
constexpr std::uint64_t kIdleHoldBack = 100 * kMilliseconds;
constexpr std::size_t kMaxWriteBytes = 64 * 1024;
// Beyond a second, a stop fill may be as long as 500 ms an hour since the origin (1/7200 of the
// time), more than clocks 100 ppm apart drift.
constexpr std::uint64_t kDriftAllowanceDivisor = 7200;

std::uint64_t distance(std::uint64_t a, std::uint64_t b) {
    return a > b ? a - b : b - a;
}

}  // namespace

std::uint64_t counterTo100ns(std::uint64_t counter, std::uint64_t frequency) {
    if (frequency == 0) return 0;
    // Whole seconds and the remainder apart, so that nothing overflows.
    return counter / frequency * kTicksPerSecond +
           counter % frequency * kTicksPerSecond / frequency;
}

std::uint64_t framesToTicks(std::uint64_t frames, std::uint32_t rate) {
    return frames / rate * kTicksPerSecond + frames % rate * kTicksPerSecond / rate;
}

SilenceFill::SilenceFill(std::uint32_t rate, std::uint64_t origin)
    : rate_(rate), origin_(origin), minimumZeros_((std::uint64_t{rate} + 99) / 100) {}

// Frames from the origin to `time`, computed afresh from the origin every time (never summed up)
// and split like counterTo100ns, so that runs of days at any rate neither drift nor overflow.
std::uint64_t SilenceFill::idealFrames(std::uint64_t time) const {
    return time <= origin_ ? 0 : framesIn(time - origin_);
}

std::uint64_t SilenceFill::framesIn(std::uint64_t ticks) const {
    return ticks / kTicksPerSecond * rate_ + ticks % kTicksPerSecond * rate_ / kTicksPerSecond;
}

// Timestamps can be flagged as wrong, and bogus ones are reported without a flag: a counter that
// reads 0, or that sticks at one value (two packets never start at the same time). One from the
// future, or from well before the previous packet (more than the continuity tolerance: the
// capture buffer holds a second, so a position much older than what was just written cannot be
// real) is not trusted either. Nor is one from long before the stream started.
bool SilenceFill::trusted(const CapturedPacket& packet, std::uint64_t now) const {
    if ((packet.flags & kBufferFlagTimestampError) != 0) return false;
    if (packet.position == 0 || packet.position > now) return false;
    if (packet.position + kTicksPerSecond < origin_) return false;
    if (packet.position <= lastValidPosition_) return false;
    return !seenPacket_ || packet.position + kContinuityTolerance >= lastTime_;
}

std::optional<std::uint64_t> SilenceFill::place(const CapturedPacket& packet, std::uint64_t now) {
    const bool valid = trusted(packet, now);
    // Without a trusted position, the packet ended about when it was read.
    const std::uint64_t time = valid ? packet.position : now - std::min(now, packet.length);
    // Continuity is decided on the packet's time, trusted or not: a packet read late inside
    // continuous audio must not get zeros before it.
    const bool continues = seenPacket_ && (packet.flags & kBufferFlagDiscontinuity) == 0 &&
                           distance(time, lastEnd_) <= kContinuityTolerance;
    seenPacket_ = true;
    if (valid) lastValidPosition_ = packet.position;
    lastTime_ = time;
    lastEnd_ = time + packet.length;
    if (continues) return std::nullopt;
    return idealFrames(time);
}

std::uint64_t SilenceFill::zerosUpTo(std::uint64_t frame, bool seam) const {
    const std::uint64_t least = seam ? 1 : minimumZeros_;
    return frame >= written_ + least ? frame - written_ : 0;
}

std::uint64_t SilenceFill::zerosWhileIdle(std::uint64_t now) const {
    const std::uint64_t quietSince = seenPacket_ ? lastEnd_ : origin_;
    if (now <= quietSince + kIdleHoldBack) return 0;
    return zerosUpTo(idealFrames(now - kIdleHoldBack));
}

std::uint64_t SilenceFill::zerosAtStop(std::uint64_t now) const {
    const std::uint64_t target = idealFrames(now);
    const std::uint64_t due = target > written_ ? target - written_ : 0;
    // The device clock drifts from the counter by up to about 100 ppm (0.36 s an hour) while audio
    // plays without a break, so long runs end with some of that due. More than a second beyond
    // drift means the computer slept or stalled: a stop ends the run rather than wait for that.
    const std::uint64_t elapsed = now > origin_ ? now - origin_ : 0;
    return due > framesIn(kTicksPerSecond + elapsed / kDriftAllowanceDivisor) ? 0 : due;
}

ZeroFrames::ZeroFrames(std::int32_t channels, SampleFormat format)
    : frameBytes_(static_cast<std::size_t>(channels) *
                  (format == SampleFormat::F32 ? sizeof(float) : sizeof(std::int16_t))),
      framesPerWrite_(std::max<std::size_t>(1, kMaxWriteBytes / frameBytes_)),
      block_(framesPerWrite_ * frameBytes_, 0) {}

std::uint64_t ZeroFrames::write(std::uint64_t frames, const std::atomic<bool>* running,
                                std::string& errorMessage, std::FILE* out) {
    std::uint64_t done = 0;
    while (done < frames && (done == 0 || running == nullptr || running->load())) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames - done, framesPerWrite_));
        if (std::fwrite(block_.data(), frameBytes_, count, out) != count) {
            errorMessage = "stdout closed while writing audio";
            break;
        }
        done += count;
    }
    return done;
}
