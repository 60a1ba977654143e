#include "stream/packet_converter.h"

#include <new>

bool PacketConverter::configure(const MixFormatInfo& source, std::uint32_t sourceRate,
                                const RunConfig& config, std::string& errorMessage) {
    source_ = source;
    channels_ = config.channels;
    format_ = config.format;
    outputRate_ = config.outputRate != 0 ? config.outputRate : sourceRate;
    mix_ = planChannelMix(source, config.channels, config.downmix);
    resampler_.reset();
    if (outputRate_ == sourceRate) return true;
    // Only the distinct channels are resampled; the others are copies made afterwards.
    resampler_.emplace();
    if (!resampler_->open(sourceRate, outputRate_, mix_.outputs, errorMessage)) {
        resampler_.reset();
        return false;
    }
    return true;
}

std::uint64_t PacketConverter::convert(const void* data, std::uint32_t frames, std::uint32_t flags,
                                       std::string& errorMessage) {
    // A packet larger than any before grows the buffers; running out of memory there ends the
    // run through its message, like a failed write, instead of ending the process.
    try {
        if (!resampler_ && !mix_.foldDown) {
            convertSamples(source_, data, frames, flags, channels_, format_, buffers_);
            return frames;
        }
        mixSamples(source_, mix_, data, frames, flags, mixed_);
        if (!resampler_) {
            encodeFrames(mixed_.data(), frames, mix_.outputs, channels_, format_, buffers_);
            return frames;
        }
        const std::size_t produced = resampler_->process(mixed_.data(), frames, errorMessage);
        if (!errorMessage.empty()) return 0;
        // The first packets give less than their share while the filter fills: the output
        // buffer is sized for a full share at once, so that later packets find it ready.
        reserve(resampler_->capacity());
        encodeFrames(resampler_->output(), produced, mix_.outputs, channels_, format_, buffers_);
        return produced;
    } catch (const std::bad_alloc&) {
        errorMessage =
            "Not enough memory to convert a packet of " + std::to_string(frames) + " frames";
        return 0;
    }
}

void PacketConverter::reserve(std::size_t frames) {
    const std::size_t samples = frames * static_cast<std::size_t>(channels_);
    if (format_ == SampleFormat::F32) {
        buffers_.f32.reserve(samples);
    } else {
        buffers_.s16.reserve(samples);
    }
}

std::uint64_t PacketConverter::writeConverted(std::string& errorMessage, std::FILE* out) {
    const bool floatOutput = format_ == SampleFormat::F32;
    const void* samples = floatOutput ? static_cast<const void*>(buffers_.f32.data())
                                      : static_cast<const void*>(buffers_.s16.data());
    const std::size_t count = floatOutput ? buffers_.f32.size() : buffers_.s16.size();
    const std::size_t sampleBytes = floatOutput ? sizeof(float) : sizeof(std::int16_t);
    if (count == 0) return 0;
    // A short count means the reader has gone; the caller ends the capture on the message.
    const std::size_t written = std::fwrite(samples, sampleBytes, count, out);
    if (written != count) errorMessage = "stdout closed while writing audio";
    return written / static_cast<std::size_t>(channels_);
}

std::uint64_t PacketConverter::write(const void* data, std::uint32_t frames, std::uint32_t flags,
                                     std::string& errorMessage, std::FILE* out) {
    convert(data, frames, flags, errorMessage);
    if (!errorMessage.empty()) return 0;
    return writeConverted(errorMessage, out);
}

std::uint64_t PacketConverter::drain(std::string& errorMessage, std::FILE* out) {
    if (!resampler_) return 0;
    std::uint64_t written = 0;
    try {
        for (;;) {
            const std::size_t frames = resampler_->flush(errorMessage);
            if (frames == 0) break;
            encodeFrames(resampler_->output(), frames, mix_.outputs, channels_, format_, buffers_);
            written += writeConverted(errorMessage, out);
            if (!errorMessage.empty()) return written;
        }
    } catch (const std::bad_alloc&) {
        errorMessage = "Not enough memory to drain the resampler";
        return written;
    }
    if (errorMessage.empty()) resampler_->clear(errorMessage);
    return written;
}
