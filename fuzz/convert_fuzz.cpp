// Feeds arbitrary mix format records and packet parameters through the fast conversion and the
// per-sample reference and aborts when they differ in a single bit.
//
// Input layout:
//   bytes 0-39   the mix format record, as the engine would hand it over
//   bytes 40-41  frame count, little-endian, up to 2048
//   byte  42     buffer flags; bit 7 instead passes no data pointer
//   byte  43     output channels, 1 to 16
//   byte  44     output format: 1 S16, 2 F32, anything else as is (read as S16)
//   byte  45     kernel set: automatic, portable, SSE2 or AVX2
//   the rest     sample bytes, repeated to fill the packet
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/sample_convert.h"
#include "stream/sample_kernels.h"

namespace {

constexpr std::size_t kRecordBytes = 40;
constexpr std::size_t kControlBytes = 6;
constexpr std::uint32_t kMaxFrames = 2048;
// The product trusts the record, so the harness must supply a buffer as large as the record
// implies; capping frames x channels keeps that buffer small.
constexpr std::size_t kMaxSourceSamples = 1 << 16;

std::size_t bytesPerSourceSample(const MixFormatInfo& info) {
    if (info.isFloat) return 4;
    if (!info.isPcm) return 0;
    switch (info.bitsPerSample) {
        case 16:
            return 2;
        case 24:
            return 3;
        case 32:
            return 4;
        default:
            return 0;
    }
}

template <typename Sample>
bool sameBits(const std::vector<Sample>& a, const std::vector<Sample>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Sample)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < kRecordBytes + kControlBytes) return 0;
    const MixFormatInfo info = classifyMixFormat(input);
    const std::uint8_t* control = input + kRecordBytes;
    std::uint32_t frames =
        static_cast<std::uint32_t>(control[0] | control[1] << 8) % (kMaxFrames + 1);
    const bool noData = (control[2] & 0x80) != 0;
    const std::uint32_t flags = control[2] & 0x7Fu;
    const std::int32_t channels = 1 + control[3] % 16;
    const auto format = static_cast<SampleFormat>(control[4]);
    static constexpr ConversionPath kPaths[] = {ConversionPath::Automatic, ConversionPath::Portable,
                                                ConversionPath::Sse2, ConversionPath::Avx2};
    if (!setConversionPathForTesting(kPaths[control[5] % 4])) {
        setConversionPathForTesting(ConversionPath::Automatic);
    }

    const auto sourceChannels = static_cast<std::size_t>(info.sourceChannels);
    if (sourceChannels > 0) {
        frames = static_cast<std::uint32_t>(
            std::min<std::size_t>(frames, kMaxSourceSamples / sourceChannels));
    }
    // One spare sample in front: a record without channels makes every read land on index -1.
    const std::size_t sampleBytes = bytesPerSourceSample(info);
    const std::size_t packetBytes =
        static_cast<std::size_t>(frames) * std::max<std::size_t>(sourceChannels, 1) * sampleBytes;
    std::vector<std::uint8_t> buffer(sampleBytes + packetBytes);
    const std::uint8_t* samples = input + kRecordBytes + kControlBytes;
    const std::size_t sampleCount = size - kRecordBytes - kControlBytes;
    for (std::size_t i = 0; i < buffer.size() && sampleCount != 0; ++i) {
        buffer[i] = samples[i % sampleCount];
    }
    const void* data = noData ? nullptr : buffer.data() + sampleBytes;

    OutputBuffers fast;
    OutputBuffers reference;
    convertSamples(info, data, frames, flags, channels, format, fast);
    convertSamplesPerSample(info, data, frames, flags, channels, format, reference);
    if (!sameBits(fast.f32, reference.f32) || !sameBits(fast.s16, reference.s16)) std::abort();
    return 0;
}
