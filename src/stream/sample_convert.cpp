#include "stream/sample_convert.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

#include "stream/sample_kernels.h"

namespace {

constexpr std::uint16_t kWaveFormatPcm = 0x0001;
constexpr std::uint16_t kWaveFormatIeeeFloat = 0x0003;
constexpr std::uint16_t kWaveFormatExtensible = 0xFFFE;

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT as they lie in memory: Data1 to Data3
// little-endian, then Data4. They differ only in the first byte.
constexpr unsigned char kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr unsigned char kSubtypeIeeeFloat[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t readU16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// The packet layout the fast path works from. False when the samples cannot be decoded, in
// which case every output sample is zero.
bool describeSource(const MixFormatInfo& info, SourceDecoding& decoding) {
    if (info.isFloat) {
        decoding.container = SourceContainer::Float32;
        decoding.bytesPerSample = 4;
        return true;
    }
    if (!info.isPcm) return false;
    int significantBits = info.bitsPerSample;
    switch (info.bitsPerSample) {
        case 16:
            decoding.container = SourceContainer::Int16;
            decoding.bytesPerSample = 2;
            break;
        case 24:
            decoding.container = SourceContainer::Int24;
            decoding.bytesPerSample = 3;
            break;
        case 32:
            decoding.container = SourceContainer::Int32;
            decoding.bytesPerSample = 4;
            if (info.validBitsPerSample >= 1 && info.validBitsPerSample <= 31) {
                significantBits = info.validBitsPerSample;
            }
            decoding.int32Shift = 32 - significantBits;
            break;
        default:
            return false;
    }
    // 2^(1 - bits) assembled from its exponent field (bits is 1 to 32, well inside the normal
    // range), which spares a libm call per packet.
    const auto exponentField = static_cast<std::uint32_t>(127 + 1 - significantBits) << 23;
    std::memcpy(&decoding.toUnit, &exponentField, sizeof decoding.toUnit);
    decoding.toS16 = decoding.toUnit * 32767.0f;
    return true;
}

template <typename Sample>
void fillZeros(std::vector<Sample>& samples, std::uint64_t count) {
    samples.assign(static_cast<std::size_t>(count), Sample{});
}

template <typename Sample>
Sample* sizedOutput(std::vector<Sample>& samples, std::uint64_t count) {
    samples.resize(static_cast<std::size_t>(count));
    return samples.data();
}

template <typename Sample>
void duplicateMono(const Sample* mono, Sample* pairs, std::size_t frames) {
    for (std::size_t f = 0; f < frames; ++f) {
        std::memcpy(pairs + 2 * f, mono + f, sizeof(Sample));
        std::memcpy(pairs + 2 * f + 1, mono + f, sizeof(Sample));
    }
}

// Frames are converted in blocks small enough for the intermediate values to stay in the
// first-level cache.
constexpr std::size_t kBlockFrames = 256;

// Every layout other than "as many output channels as source channels, one or two": the
// first two source channels are brought to float pairs (or one float per frame for a mono
// source), encoded, and spread over the output channels.
template <typename Sample>
void convertInBlocks(const ConversionKernels& kernels, const SourceDecoding& decoding,
                     const unsigned char* source, std::size_t sourceChannels, std::size_t frames,
                     std::size_t channels, Sample* out) {
    constexpr bool kFloatOutput = std::is_same_v<Sample, float>;
    const std::size_t container = containerIndex(decoding.container);
    const std::size_t frameBytes = sourceChannels * decoding.bytesPerSample;
    const bool floatSource = decoding.container == SourceContainer::Float32;

    float decoded[2 * kBlockFrames];
    std::int16_t encoded[2 * kBlockFrames];
    Sample spread[2 * kBlockFrames];

    for (std::size_t first = 0; first < frames; first += kBlockFrames) {
        const std::size_t count = std::min(kBlockFrames, frames - first);
        const unsigned char* block = source + first * frameBytes;
        Sample* outBlock = out + first * channels;

        if (sourceChannels == 1) {
            const float* mono = decoded;
            if (floatSource) {
                mono = reinterpret_cast<const float*>(block);
            } else {
                kernels.toFloat[container](block, decoded, count, decoding);
            }
            const Sample* monoOut;
            if constexpr (kFloatOutput) {
                monoOut = mono;
            } else {
                kernels.toS16[containerIndex(SourceContainer::Float32)](mono, encoded, count,
                                                                        decoding);
                monoOut = encoded;
            }
            if (channels == 2) {
                duplicateMono(monoOut, outBlock, count);
            } else {
                duplicateMono(monoOut, spread, count);
                if constexpr (kFloatOutput) {
                    kernels.expandPairs32(spread, outBlock, count, channels);
                } else {
                    kernels.expandPairs16(spread, outBlock, count, channels);
                }
            }
            continue;
        }

        const float* pairs = decoded;
        if (sourceChannels == 2) {
            if (floatSource) {
                pairs = reinterpret_cast<const float*>(block);
            } else {
                kernels.toFloat[container](block, decoded, 2 * count, decoding);
            }
        } else {
            float* gathered = decoded;
            if constexpr (kFloatOutput) {
                // Float pairs are then the output itself, and the block is done.
                if (channels == 2) gathered = outBlock;
            }
            kernels.gatherPairs[container](block, frameBytes, gathered, count, decoding);
            if (gathered != decoded) continue;
        }

        if constexpr (kFloatOutput) {
            if (channels == 1) {
                kernels.leftOfPairs(pairs, outBlock, count);
            } else {
                kernels.expandPairs32(pairs, outBlock, count, channels);
            }
        } else {
            const auto floatsToS16 = kernels.toS16[containerIndex(SourceContainer::Float32)];
            if (channels == 1) {
                kernels.leftOfPairsToS16(pairs, outBlock, count);
            } else if (channels == 2) {
                floatsToS16(pairs, outBlock, 2 * count, decoding);
            } else {
                floatsToS16(pairs, encoded, 2 * count, decoding);
                kernels.expandPairs16(encoded, outBlock, count, channels);
            }
        }
    }
}

template <typename Sample>
void convertFast(const SourceDecoding& decoding, const unsigned char* source,
                 std::size_t sourceChannels, std::size_t frames, std::size_t channels,
                 Sample* out) {
    const ConversionKernels& kernels = activeConversionKernels();
    const std::size_t container = containerIndex(decoding.container);
    if (sourceChannels == channels && channels <= 2) {
        // Source and output hold the same samples in the same order.
        if constexpr (std::is_same_v<Sample, float>) {
            kernels.toFloat[container](source, out, frames * channels, decoding);
        } else {
            kernels.toS16[container](source, out, frames * channels, decoding);
        }
        return;
    }
    if (decoding.container == SourceContainer::Float32 && sourceChannels == 2) {
        // Stereo float sources are already the pairs the spreading loops read, so whole packets
        // go through in one call when no intermediate encoding is needed.
        const auto* pairs = reinterpret_cast<const float*>(source);
        if constexpr (std::is_same_v<Sample, float>) {
            if (channels == 1) {
                kernels.leftOfPairs(pairs, out, frames);
            } else {
                kernels.expandPairs32(pairs, out, frames, channels);
            }
            return;
        } else if (channels == 1) {
            kernels.leftOfPairsToS16(pairs, out, frames);
            return;
        }
    }
    convertInBlocks(kernels, decoding, source, sourceChannels, frames, channels, out);
}

// The reference: literally one readSampleAsFloat per source sample that reaches the output.
template <typename Sample, typename Encode>
void convertEachSample(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                       std::uint64_t channels, Sample* out, Encode encode) {
    for (std::uint32_t f = 0; f < frames; ++f) {
        Sample* frame = out + f * channels;
        const float left = readSampleAsFloat(info, data, f, 0);
        if (channels == 1) {
            frame[0] = encode(left);
            continue;
        }
        const float right = info.sourceChannels >= 2 ? readSampleAsFloat(info, data, f, 1) : left;
        frame[0] = encode(left);
        frame[1] = encode(right);
        for (std::uint64_t c = 2; c < channels; ++c) frame[c] = frame[0];
    }
}

}  // namespace

MixFormatInfo classifyMixFormat(const void* mixFormat) {
    const auto* bytes = static_cast<const unsigned char*>(mixFormat);
    const std::uint16_t tag = readU16(bytes);
    const bool extensible = tag == kWaveFormatExtensible;

    MixFormatInfo info;
    info.sourceChannels = readU16(bytes + 2);
    info.bitsPerSample = readU16(bytes + 14);
    info.validBitsPerSample = info.bitsPerSample;
    if (extensible) {
        const unsigned char* subFormat = bytes + 24;
        info.isFloat = std::memcmp(subFormat, kSubtypeIeeeFloat, sizeof kSubtypeIeeeFloat) == 0;
        info.isPcm = std::memcmp(subFormat, kSubtypePcm, sizeof kSubtypePcm) == 0;
        const std::uint16_t validBits = readU16(bytes + 18);
        if (validBits != 0) info.validBitsPerSample = validBits;
    } else {
        info.isFloat = tag == kWaveFormatIeeeFloat;
        info.isPcm = tag == kWaveFormatPcm;
    }
    return info;
}

float readSampleAsFloat(const MixFormatInfo& info, const void* data, std::uint32_t frame,
                        std::int32_t channel) {
    // Wrapping arithmetic keeps odd records (no channels at all) from overflowing; the engine
    // never reports those.
    const auto lastChannel =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(info.sourceChannels) - 1u);
    if (channel > lastChannel) channel = lastChannel;
    const auto index =
        static_cast<std::int32_t>(frame * static_cast<std::uint32_t>(info.sourceChannels) +
                                  static_cast<std::uint32_t>(channel));
    const auto* bytes = static_cast<const unsigned char*>(data);

    if (info.isFloat) {
        float sample;
        std::memcpy(&sample, bytes + static_cast<std::ptrdiff_t>(index) * 4, sizeof sample);
        return sample;
    }
    if (!info.isPcm) return 0.0f;
    switch (info.bitsPerSample) {
        case 16: {
            std::int16_t sample;
            std::memcpy(&sample, bytes + static_cast<std::ptrdiff_t>(index) * 2, sizeof sample);
            return static_cast<float>(sample) * 0x1p-15f;
        }
        case 24: {
            const unsigned char* sample = bytes + static_cast<std::ptrdiff_t>(index) * 3;
            const std::uint32_t top = std::uint32_t{sample[0]} << 8 |
                                      std::uint32_t{sample[1]} << 16 |
                                      std::uint32_t{sample[2]} << 24;
            return static_cast<float>(static_cast<std::int32_t>(top) >> 8) * 0x1p-23f;
        }
        case 32: {
            std::uint32_t container;
            std::memcpy(&container, bytes + static_cast<std::ptrdiff_t>(index) * 4,
                        sizeof container);
            const std::int32_t validBits = info.validBitsPerSample;
            if (validBits >= 1 && validBits <= 31) {
                const auto unused = static_cast<std::uint32_t>(32 - validBits);
                const std::int32_t value = static_cast<std::int32_t>(container << unused) >> unused;
                return static_cast<float>(value) /
                       static_cast<float>(std::uint32_t{1} << (validBits - 1));
            }
            return static_cast<float>(static_cast<std::int32_t>(container)) * 0x1p-31f;
        }
        default:
            return 0.0f;
    }
}

namespace {

// Zero bytes are +0.0f and 0 alike, so silence is the same in either encoding.
void fillSilence(OutputBuffers& buffers, bool floatOutput, std::uint64_t total) {
    if (floatOutput) {
        fillZeros(buffers.f32, total);
    } else {
        fillZeros(buffers.s16, total);
    }
}

}  // namespace

void convertSamplesPerSample(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                             std::uint32_t flags, std::int32_t channels, SampleFormat format,
                             OutputBuffers& buffers) {
    const auto outputChannels = static_cast<std::uint64_t>(channels);
    const std::uint64_t total = outputChannels * frames;
    const bool floatOutput = format == SampleFormat::F32;
    if ((flags & kBufferFlagSilent) != 0 || data == nullptr) {
        fillSilence(buffers, floatOutput, total);
        return;
    }
    if (floatOutput) {
        convertEachSample(info, data, frames, outputChannels, sizedOutput(buffers.f32, total),
                          [](float sample) { return sample; });
    } else {
        convertEachSample(info, data, frames, outputChannels, sizedOutput(buffers.s16, total),
                          encodeS16);
    }
}

void convertSamples(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                    std::uint32_t flags, std::int32_t channels, SampleFormat format,
                    OutputBuffers& buffers) {
    const auto outputChannels = static_cast<std::uint64_t>(channels);
    const std::uint64_t total = outputChannels * frames;
    const bool floatOutput = format == SampleFormat::F32;
    SourceDecoding decoding;
    if ((flags & kBufferFlagSilent) != 0 || data == nullptr || !describeSource(info, decoding)) {
        fillSilence(buffers, floatOutput, total);
        return;
    }
    // Sample indices are 32-bit in readSampleAsFloat. Records without channels, or packets too
    // large for that index, never come from the engine; the per-sample path defines them.
    const auto sourceChannels = static_cast<std::uint64_t>(info.sourceChannels);
    if (info.sourceChannels < 1 || sourceChannels * frames > (std::uint64_t{1} << 31)) {
        convertSamplesPerSample(info, data, frames, flags, channels, format, buffers);
        return;
    }
    const auto* source = static_cast<const unsigned char*>(data);
    if (floatOutput) {
        convertFast(decoding, source, sourceChannels, frames, outputChannels,
                    sizedOutput(buffers.f32, total));
    } else {
        convertFast(decoding, source, sourceChannels, frames, outputChannels,
                    sizedOutput(buffers.s16, total));
    }
}

void convertPacket(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                   std::uint32_t flags, std::int32_t channels, SampleFormat format,
                   OutputBuffers& buffers, std::string& errorMessage, std::FILE* out) {
    // A packet larger than any before grows the buffer; running out of memory there ends the
    // run through its message, like a failed write, instead of ending the process.
    try {
        convertSamples(info, data, frames, flags, channels, format, buffers);
    } catch (const std::bad_alloc&) {
        errorMessage = "Not enough memory to convert a packet of " + std::to_string(frames) +
                       " frames";
        return;
    }
    const bool floatOutput = format == SampleFormat::F32;
    const void* samples = floatOutput ? static_cast<const void*>(buffers.f32.data())
                                      : static_cast<const void*>(buffers.s16.data());
    const std::size_t count = floatOutput ? buffers.f32.size() : buffers.s16.size();
    const std::size_t sampleBytes = floatOutput ? sizeof(float) : sizeof(std::int16_t);
    if (count == 0) return;
    // A short count means the reader has gone; the caller ends the capture on the message.
    if (std::fwrite(samples, sampleBytes, count, out) != count) {
        errorMessage = "stdout closed while writing audio";
    }
}
