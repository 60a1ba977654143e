#include "stream/resampler.h"

#include <soxr.h>

#include <cmath>
#include <new>

namespace {

// A packet's output can come out a frame longer than its share, as libsoxr rounds.
constexpr std::size_t kSpareFrames = 16;

}  // namespace

Resampler::~Resampler() {
    if (state_ != nullptr) soxr_delete(state_);
}

bool Resampler::open(std::uint32_t inputRate, std::uint32_t outputRate, std::size_t channels,
                     std::string& errorMessage) {
    // High quality (20-bit precision, linear phase) keeps tones within 0.01 dB and aliases
    // more than 120 dB down, at thousands of times real time on one core. One thread: the
    // capture loop is the only user and packets are short.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    state_ = soxr_create(inputRate, outputRate, static_cast<unsigned>(channels), &error, &io,
                         &quality, &runtime);
    if (state_ == nullptr || error != nullptr) {
        errorMessage = "Cannot resample from " + std::to_string(inputRate) + " Hz to " +
                       std::to_string(outputRate) + " Hz: " + (error ? error : "unknown error");
        return false;
    }
    channels_ = channels;
    ratio_ = static_cast<double>(outputRate) / inputRate;
    return true;
}

bool Resampler::makeRoom(std::size_t frames, std::string& errorMessage) {
    if (frames <= capacity()) return true;
    try {
        output_.resize(frames * channels_);
    } catch (const std::bad_alloc&) {
        errorMessage = "Not enough memory to resample " + std::to_string(frames) + " frames";
        return false;
    }
    return true;
}

std::size_t Resampler::process(const float* input, std::size_t frames, std::string& errorMessage) {
    if (flushed_ && !clear(errorMessage)) return 0;
    const auto share = static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio_));
    if (!makeRoom(share + kSpareFrames, errorMessage)) return 0;
    std::size_t taken = 0;
    std::size_t produced = 0;
    while (taken < frames) {
        // libsoxr takes only as much input as the room left for output can hold.
        if (produced == capacity() && !makeRoom(2 * capacity(), errorMessage)) return 0;
        std::size_t takenNow = 0;
        std::size_t producedNow = 0;
        const soxr_error_t error = soxr_process(state_, input + taken * channels_, frames - taken,
                                                &takenNow, output_.data() + produced * channels_,
                                                capacity() - produced, &producedNow);
        if (error != nullptr) {
            errorMessage = std::string("Resampling failed: ") + error;
            return 0;
        }
        if (takenNow == 0 && producedNow == 0) {
            errorMessage = "Resampling failed: the resampler took no input";
            return 0;
        }
        taken += takenNow;
        produced += producedNow;
    }
    return produced;
}

std::size_t Resampler::flush(std::string& errorMessage) {
    // No input has ever come when there is no room yet: nothing is held.
    if (capacity() == 0) return 0;
    flushed_ = true;
    std::size_t produced = 0;
    const soxr_error_t error =
        soxr_process(state_, nullptr, 0, nullptr, output_.data(), capacity(), &produced);
    if (error != nullptr) {
        errorMessage = std::string("Resampling failed: ") + error;
        return 0;
    }
    return produced;
}

bool Resampler::clear(std::string& errorMessage) {
    const soxr_error_t error = soxr_clear(state_);
    flushed_ = false;
    if (error != nullptr) {
        errorMessage = std::string("Resampling failed: ") + error;
        return false;
    }
    return true;
}
