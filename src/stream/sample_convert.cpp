#include "stream/sample_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

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
float decode(const SourceLayout& layout, const unsigned char* sample) {
    if (layout.isFloat) {
        float value;
        std::memcpy(&value, sample, sizeof value);
        return value;
    }
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < layout.width; ++i) bits |= std::uint32_t{sample[i]} << 8 * i;
    const auto value = static_cast<std::int32_t>(bits << layout.unusedBits) >> layout.unusedBits;
    return static_cast<float>(value) * layout.scale;
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
    SourceLayout layout;
    if (!describeSource(info, layout)) return 0.0f;
    const auto sourceChannels = static_cast<std::size_t>(info.sourceChannels);
    const std::size_t index =
        frame * sourceChannels + std::min(static_cast<std::size_t>(channel), sourceChannels - 1);
    return decode(layout, static_cast<const unsigned char*>(data) + index * layout.width);
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

void convertPacket(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                   std::uint32_t flags, std::int32_t channels, SampleFormat format,
                   OutputBuffers& buffers, std::string& errorMessage, std::FILE* out) {
    // A packet larger than any before grows the buffer; running out of memory there ends the
    // run through its message, like a failed write, instead of ending the process.
    try {
        convertSamples(info, data, frames, flags, channels, format, buffers);
    } catch (const std::bad_alloc&) {
        errorMessage =
            "Not enough memory to convert a packet of " + std::to_string(frames) + " frames";
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
