// Keeping a capture stream in step with the wall clock ("--fill-silence"): how many zero frames
// go into the stream before a packet, while nothing plays, and at a requested stop, and writing
// them. Windows delivers no packets at all while nothing renders, so without this the stream's
// sample count is not time.
//
// Times are performance-counter readings in 100-ns units, the unit of GetBuffer's QPC position.
// Nothing here reads a clock: the capture loop passes its readings in, so the rules run against a
// virtual clock in the tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/run_config.h"

inline constexpr std::uint32_t kBufferFlagDiscontinuity = 0x1;   // ..._DATA_DISCONTINUITY
inline constexpr std::uint32_t kBufferFlagTimestampError = 0x4;  // ..._TIMESTAMP_ERROR

inline constexpr std::uint64_t kTicksPerSecond = 10'000'000;  // 100-ns units

// A performance-counter reading in 100-ns units, for a counter of any frequency (10 MHz is
// common but not promised). Exact, and without overflow for frequencies up to 1 THz.
std::uint64_t counterTo100ns(std::uint64_t counter, std::uint64_t frequency);

// What the capture loop knows of a packet when it has it.
struct CapturedPacket {
    std::uint64_t position;  // GetBuffer's QPC position of the packet's first frame
    std::uint32_t flags;
    std::uint64_t length;  // how long it plays, in 100-ns units
};

// The length in 100-ns units of `frames` frames at `rate` (not 0).
std::uint64_t framesToTicks(std::uint64_t frames, std::uint32_t rate);

// The placement rules. `origin` is the counter read right after the stream started; frame n of
// the stream belongs at origin + n / rate, `rate` being the stream's. A packet that continues the
// one before (its time close to where that one ended, no flagged loss) goes right after it, so
// the device clock's drift against the counter (up to about 100 ppm) shows only where a gap is
// filled.
class SilenceFill {
  public:
    SilenceFill(std::uint32_t rate, std::uint64_t origin);

    // Where `packet`, which the loop got at `now`, belongs in the stream: the frame it starts at
    // when it does not continue the one before, nothing when it does. The packet is then the last
    // one seen. Zeros up to that frame are due (zerosUpTo); whatever is written goes to wrote().
    std::optional<std::uint64_t> place(const CapturedPacket& packet, std::uint64_t now);
    // The zero frames that take the stream to `frame`: none when that is already behind the
    // stream's end (a late packet is written at once, never cut), or less than 10 ms away (not
    // worth a gap in real audio) unless the packet there starts at a seam anyway.
    std::uint64_t zerosUpTo(std::uint64_t frame, bool seam = false) const;
    // The zero frames due at a wake that found no packet waiting.
    std::uint64_t zerosWhileIdle(std::uint64_t now) const;
    // The zero frames due when a stop was requested at `now`, a fill having gone out whole.
    std::uint64_t zerosAtStop(std::uint64_t now) const;

    void wrote(std::uint64_t frames) { written_ += frames; }
    std::uint64_t written() const { return written_; }
    std::uint64_t origin() const { return origin_; }

  private:
    std::uint64_t idealFrames(std::uint64_t time) const;
    std::uint64_t framesIn(std::uint64_t ticks) const;
    bool trusted(const CapturedPacket& packet, std::uint64_t now) const;

    std::uint32_t rate_;
    std::uint64_t origin_;
    std::uint64_t minimumZeros_;  // 10 ms of frames, rounded up
    std::uint64_t written_ = 0;
    bool seenPacket_ = false;
    std::uint64_t lastValidPosition_ = 0;
    std::uint64_t lastTime_ = 0;  // the last packet's time: its position, or when it was read
    std::uint64_t lastEnd_ = 0;
};

// Zero frames in the stream's encoding, written from one zeroed block made once: writes of at
// most 64 KiB, or of one frame when a frame is larger.
class ZeroFrames {
  public:
    ZeroFrames(std::int32_t channels, SampleFormat format);

    // Writes `frames` zero frames and returns how many went out. The first write always goes out;
    // between writes it gives up when `running` is given and has turned false. A failed write
    // sets errorMessage as a failed packet write does.
    std::uint64_t write(std::uint64_t frames, const std::atomic<bool>* running,
                        std::string& errorMessage, std::FILE* out);

  private:
    std::size_t frameBytes_;
    std::size_t framesPerWrite_;
    std::vector<char> block_;
};
