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

SilenceFill::SilenceFill(std::uint32_t rate, std::uint64_t origin)
    : rate_(rate), origin_(origin), minimumZeros_((std::uint64_t{rate} + 99) / 100) {}

// Frames from the origin to `time`, computed afresh from the origin every time (never summed up)
// and split like counterTo100ns, so that runs of days at any rate neither drift nor overflow.
std::uint64_t SilenceFill::idealFrames(std::uint64_t time) const {
    if (time <= origin_) return 0;
    const std::uint64_t elapsed = time - origin_;
    return elapsed / kTicksPerSecond * rate_ + elapsed % kTicksPerSecond * rate_ / kTicksPerSecond;
}

// The rate is the one the stream was initialised with, which the engine never accepts as 0.
std::uint64_t SilenceFill::duration(std::uint32_t frames) const {
    return std::uint64_t{frames} * kTicksPerSecond / rate_;
}

std::uint64_t SilenceFill::zerosUpTo(std::uint64_t target) const {
    return target >= written_ + minimumZeros_ ? target - written_ : 0;
}

std::uint64_t SilenceFill::zerosBefore(const CapturedPacket& packet, std::uint64_t now) {
    // Timestamps can be flagged as wrong, and bogus ones have been seen: one from the future or
    // from before the last trusted one is not trusted either. Compared with the last trusted
    // position rather than the last packet's time: after a flagged packet, whose time is only
    // when it was read, the good positions that follow would otherwise all look too early.
    const bool positionValid = (packet.flags & kBufferFlagTimestampError) == 0 &&
                               packet.position <= now && packet.position >= lastValidPosition_;
    const std::uint64_t length = duration(packet.frames);
    const std::uint64_t time = positionValid ? packet.position : now - std::min(now, length);
    const bool continues = seenPacket_ && positionValid &&
                           (packet.flags & kBufferFlagDiscontinuity) == 0 &&
                           distance(packet.position, lastEnd_) <= kContinuityTolerance;
    seenPacket_ = true;
    if (positionValid) lastValidPosition_ = packet.position;
    lastEnd_ = time + length;
    // A late packet (its place already behind the stream's end) is written at once, never cut.
    return continues ? 0 : zerosUpTo(idealFrames(time));
}

std::uint64_t SilenceFill::zerosWhileIdle(std::uint64_t now) const {
    const std::uint64_t quietSince = seenPacket_ ? lastEnd_ : origin_;
    if (now <= quietSince + kIdleHoldBack) return 0;
    return zerosUpTo(idealFrames(now - kIdleHoldBack));
}

std::uint64_t SilenceFill::zerosAtStop(std::uint64_t now) const {
    const std::uint64_t target = idealFrames(now);
    const std::uint64_t due = target > written_ ? target - written_ : 0;
    // More than a second due means a catch-up (after a system sleep) was under way: a stop ends
    // the run at once rather than after it.
    return due > rate_ ? 0 : due;
}

ZeroFrames::ZeroFrames(std::int32_t channels, SampleFormat format)
    : frameBytes_(static_cast<std::size_t>(channels) *
                  (format == SampleFormat::F32 ? sizeof(float) : sizeof(std::int16_t))),
      framesPerWrite_(std::max<std::size_t>(1, kMaxWriteBytes / frameBytes_)),
      block_(framesPerWrite_ * frameBytes_, 0) {}

std::uint64_t ZeroFrames::write(std::uint64_t frames, const std::atomic<bool>* running,
                                std::string& errorMessage, std::FILE* out) {
    std::uint64_t done = 0;
    while (done < frames && (running == nullptr || running->load())) {
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
