#include "stream/sample_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

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

std::uint32_t readU32(const unsigned char* bytes) {
    return std::uint32_t{readU16(bytes)} | std::uint32_t{readU16(bytes + 2)} << 16;
}

// Speaker positions as the channel mask has them.
constexpr std::uint32_t kFrontLeft = 0x1;
constexpr std::uint32_t kFrontRight = 0x2;
constexpr std::uint32_t kFrontCenter = 0x4;
constexpr std::uint32_t kLowFrequency = 0x8;
constexpr std::uint32_t kBackLeft = 0x10;
constexpr std::uint32_t kBackRight = 0x20;
constexpr std::uint32_t kSideLeft = 0x200;
constexpr std::uint32_t kSideRight = 0x400;

// The positions of the channels of a record without a mask, in channel order.
constexpr std::uint32_t kDefaultPositions[] = {kFrontLeft, kFrontRight, kFrontCenter, kLowFrequency,
                                               kBackLeft,  kBackRight,  kSideLeft,    kSideRight};

// Channel n sits at the mask's n-th set bit, counted from the lowest; 0 is no known position.
std::uint32_t positionOf(std::size_t channel, std::uint32_t mask) {
    if (mask == 0) return channel < std::size(kDefaultPositions) ? kDefaultPositions[channel] : 0;
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((mask & bit) == 0) continue;
        if (channel == 0) return bit;
        --channel;
    }
    return 0;
}

// -3 dB: the centre goes to both sides at half its power, and the surround channels join their
// side at the same level.
constexpr double kSurroundWeight = 0.7071;

// A position's weight in the left (side 0) or right (side 1) fold-down; 0 leaves it out.
double sideWeight(std::uint32_t position, int side) {
    if (position == kFrontCenter) return kSurroundWeight;
    if (side == 0) {
        if (position == kFrontLeft) return 1.0;
        if (position == kSideLeft || position == kBackLeft) return kSurroundWeight;
    } else {
        if (position == kFrontRight) return 1.0;
        if (position == kSideRight || position == kBackRight) return kSurroundWeight;
    }
    return 0.0;
}

void addTap(ChannelMix& mix, std::size_t output, std::size_t channel, double weight) {
    if (weight == 0.0) return;
    mix.taps[output][mix.tapCounts[output]++] = {channel, static_cast<float>(weight)};
}

// The fold-down of `sourceChannels` channels into `outputs` (1 or 2). Every position appears
// once at most, so no side gets more taps than it has positions.
ChannelMix planFoldDown(std::size_t sourceChannels, std::uint32_t mask, std::size_t outputs) {
    double sums[2] = {0.0, 0.0};
    for (std::size_t channel = 0; channel < sourceChannels; ++channel) {
        for (int side = 0; side < 2; ++side) {
            sums[side] += sideWeight(positionOf(channel, mask), side);
        }
    }
    ChannelMix mix;
    mix.foldDown = true;
    mix.outputs = outputs;
    for (std::size_t channel = 0; channel < sourceChannels; ++channel) {
        double weights[2];
        for (int side = 0; side < 2; ++side) {
            // A side with nothing at its positions stays silent.
            weights[side] =
                sums[side] > 0.0 ? sideWeight(positionOf(channel, mask), side) / sums[side] : 0.0;
        }
        if (outputs == 1) {
            addTap(mix, 0, channel, (weights[0] + weights[1]) / 2);
        } else {
            addTap(mix, 0, channel, weights[0]);
            addTap(mix, 1, channel, weights[1]);
        }
    }
    return mix;
}

// How a packet's samples are stored, worked out once per packet.
struct SourceLayout {
    bool isFloat = true;
    std::size_t width = 4;  // bytes per sample
    // Integers: the bits above the significant ones, shifted out and back in so that the top
    // significant bit becomes the sign.
    std::uint32_t unusedBits = 0;
    // Integers to [-1, 1]: 2^(1 - significant bits), so multiplying equals dividing.
    float scale = 1.0f;
};

// False when the samples cannot be decoded, which makes every output sample zero.
bool describeSource(const MixFormatInfo& info, SourceLayout& layout) {
    if (info.sourceChannels < 1) return false;
    if (info.isFloat) return true;
    const std::int32_t bits = info.bitsPerSample;
    if (!info.isPcm || (bits != 16 && bits != 24 && bits != 32)) return false;
    // Only 32-bit containers take their valid bits, the low ones, when there are 1 to 31.
    const std::int32_t valid = info.validBitsPerSample;
    const std::int32_t significantBits = bits == 32 && valid >= 1 && valid <= 31 ? valid : bits;
    layout.isFloat = false;
    layout.width = static_cast<std::size_t>(bits / 8);
    layout.unusedBits = static_cast<std::uint32_t>(32 - significantBits);
    layout.scale = 1.0f / static_cast<float>(std::uint32_t{1} << (significantBits - 1));
    return true;
}

// Samples are little-endian. Floats are copied as bytes so that NaN payloads pass unchanged.
float decodeFloat(const unsigned char* sample) {
    float value;
    std::memcpy(&value, sample, sizeof value);
    return value;
}

float decodeInteger(const unsigned char* sample, std::size_t width, std::uint32_t unusedBits,
                    float scale) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < width; ++i) bits |= std::uint32_t{sample[i]} << 8 * i;
    const auto value = static_cast<std::int32_t>(bits << unusedBits) >> unusedBits;
    return static_cast<float>(value) * scale;
}

float decode(const SourceLayout& layout, const unsigned char* sample) {
    if (layout.isFloat) return decodeFloat(sample);
    return decodeInteger(sample, layout.width, layout.unusedBits, layout.scale);
}

// The same decoding with the storage fixed at compile time, for the mixing loops: a branch per
// sample there costs as much as the resampler does.
struct FloatSample {
    float operator()(const unsigned char* sample) const { return decodeFloat(sample); }
};

template <std::size_t Width>
struct IntegerSample {
    std::uint32_t unusedBits;
    float scale;
    float operator()(const unsigned char* sample) const {
        return decodeInteger(sample, Width, unusedBits, scale);
    }
};

// A NaN or an infinity would stay in a resampler's memory and spoil every frame after it.
float finite(float sample) {
    return std::isfinite(sample) ? sample : 0.0f;
}

template <typename Decode>
void mixWith(const Decode& decode, const ChannelMix& mix, const unsigned char* source,
             std::size_t frames, std::size_t frameBytes, std::size_t width, float* out) {
    if (!mix.foldDown && mix.outputs == 1) {
        for (std::size_t f = 0; f < frames; ++f, source += frameBytes) {
            out[f] = finite(decode(source));
        }
        return;
    }
    if (!mix.foldDown) {
        for (std::size_t f = 0; f < frames; ++f, source += frameBytes, out += 2) {
            out[0] = finite(decode(source));
            out[1] = finite(decode(source + width));
        }
        return;
    }
    for (std::size_t f = 0; f < frames; ++f, source += frameBytes) {
        for (std::size_t output = 0; output < mix.outputs; ++output) {
            float sum = 0.0f;
            for (std::size_t t = 0; t < mix.tapCounts[output]; ++t) {
                const ChannelMix::Tap& tap = mix.taps[output][t];
                sum += tap.weight * decode(source + tap.channel * width);
            }
            *out++ = finite(sum);
        }
    }
}

void encode(float sample, float& out) {
    out = sample;
}

void encode(float sample, std::int16_t& out) {
    // Written so that NaN ends up at 1.0 and the infinities at the bounds.
    float clamped = sample < 1.0f ? sample : 1.0f;
    clamped = clamped > -1.0f ? clamped : -1.0f;
    out = static_cast<std::int16_t>(std::lrintf(clamped * 32767.0f));
}

template <typename Sample>
void convertInto(std::vector<Sample>& buffer, const MixFormatInfo& info, const void* data,
                 std::uint32_t frames, std::uint32_t flags, std::size_t channels) {
    const std::size_t total = channels * frames;
    SourceLayout layout;
    if ((flags & kBufferFlagSilent) != 0 || data == nullptr || !describeSource(info, layout)) {
        buffer.assign(total, Sample{});
        return;
    }
    buffer.resize(total);
    const auto* source = static_cast<const unsigned char*>(data);
    const std::size_t frameBytes = layout.width * static_cast<std::size_t>(info.sourceChannels);
    const std::size_t right = info.sourceChannels >= 2 ? layout.width : 0;
    Sample* out = buffer.data();
    for (std::size_t f = 0; f < frames; ++f, source += frameBytes, out += channels) {
        encode(decode(layout, source), out[0]);
        if (channels == 1) continue;
        encode(decode(layout, source + right), out[1]);
        for (std::size_t c = 2; c < channels; ++c) out[c] = out[0];
    }
}

template <typename Sample>
void encodeInto(std::vector<Sample>& buffer, const float* mixed, std::size_t frames,
                std::size_t distinct, std::size_t channels) {
    if constexpr (std::is_same_v<Sample, float>) {
        if (channels == distinct) {
            buffer.assign(mixed, mixed + channels * frames);
            return;
        }
    }
    buffer.resize(channels * frames);
    Sample* out = buffer.data();
    for (std::size_t f = 0; f < frames; ++f, mixed += distinct, out += channels) {
        for (std::size_t c = 0; c < distinct; ++c) encode(mixed[c], out[c]);
        for (std::size_t c = distinct; c < channels; ++c) out[c] = out[0];
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
        info.channelMask = readU32(bytes + 20);
    } else {
        info.isFloat = tag == kWaveFormatIeeeFloat;
        info.isPcm = tag == kWaveFormatPcm;
    }
    return info;
}

void convertSamples(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                    std::uint32_t flags, std::int32_t channels, SampleFormat format,
                    OutputBuffers& buffers) {
    const auto outputChannels = static_cast<std::size_t>(channels);
    if (format == SampleFormat::F32) {
        convertInto(buffers.f32, info, data, frames, flags, outputChannels);
    } else {
        convertInto(buffers.s16, info, data, frames, flags, outputChannels);
    }
}

ChannelMix planChannelMix(const MixFormatInfo& info, std::int32_t channels, bool downmix) {
    if (downmix && info.sourceChannels > channels) {
        return planFoldDown(static_cast<std::size_t>(info.sourceChannels), info.channelMask,
                            channels >= 2 ? 2 : 1);
    }
    ChannelMix mix;
    mix.outputs = channels >= 2 && info.sourceChannels >= 2 ? 2 : 1;
    return mix;
}

void mixSamples(const MixFormatInfo& info, const ChannelMix& mix, const void* data,
                std::uint32_t frames, std::uint32_t flags, std::vector<float>& mixed) {
    const std::size_t total = mix.outputs * frames;
    SourceLayout layout;
    if ((flags & kBufferFlagSilent) != 0 || data == nullptr || !describeSource(info, layout)) {
        mixed.assign(total, 0.0f);
        return;
    }
    mixed.resize(total);
    const auto* source = static_cast<const unsigned char*>(data);
    const std::size_t width = layout.width;
    const std::size_t frameBytes = width * static_cast<std::size_t>(info.sourceChannels);
    float* out = mixed.data();
    if (layout.isFloat) {
        mixWith(FloatSample{}, mix, source, frames, frameBytes, width, out);
    } else if (width == 2) {
        mixWith(IntegerSample<2>{layout.unusedBits, layout.scale}, mix, source, frames, frameBytes,
                width, out);
    } else if (width == 3) {
        mixWith(IntegerSample<3>{layout.unusedBits, layout.scale}, mix, source, frames, frameBytes,
                width, out);
    } else {
        mixWith(IntegerSample<4>{layout.unusedBits, layout.scale}, mix, source, frames, frameBytes,
                width, out);
    }
}

void encodeFrames(const float* mixed, std::size_t frames, std::size_t distinct,
                  std::int32_t channels, SampleFormat format, OutputBuffers& buffers) {
    const auto outputChannels = static_cast<std::size_t>(channels);
    if (format == SampleFormat::F32) {
        encodeInto(buffers.f32, mixed, frames, distinct, outputChannels);
    } else {
        encodeInto(buffers.s16, mixed, frames, distinct, outputChannels);
    }
}
