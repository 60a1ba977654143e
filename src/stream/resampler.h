// A stream's rate conversion: interleaved float frames at one rate in, at another rate out, through
// libsoxr. One object lives as long as the stream; its state carries the filter from one packet to
// the next, and its output buffer grows only when a packet yields more frames than any before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct soxr;  // libsoxr's state, kept out of this header

class Resampler {
  public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // False, with the reason in errorMessage, when libsoxr refuses the conversion.
    bool open(std::uint32_t inputRate, std::uint32_t outputRate, std::size_t channels,
              std::string& errorMessage);

    // Takes `frames` interleaved frames and returns how many output frames came out; they are in
    // output() until the next call. libsoxr keeps back the frames its filter still needs: those
    // come out of later calls, or of flush(). Returns 0 and sets errorMessage on failure.
    std::size_t process(const float* input, std::size_t frames, std::string& errorMessage);

    // Once no more input comes: the next block of what the filter still holds, in output().
    // Returns its frames, 0 when nothing is left; then clear() readies the state for new input.
    // libsoxr must not see input between the two: process() clears first if need be.
    std::size_t flush(std::string& errorMessage);
    bool clear(std::string& errorMessage);

    const float* output() const { return output_.data(); }
    // The most frames one call gives back (it grows with the packets).
    std::size_t capacity() const { return output_.size() / channels_; }

  private:
    bool makeRoom(std::size_t frames, std::string& errorMessage);

    soxr* state_ = nullptr;
    std::size_t channels_ = 1;
    double ratio_ = 1.0;    // output frames per input frame
    bool flushed_ = false;  // flushed and not yet cleared
    std::vector<float> output_;
};
