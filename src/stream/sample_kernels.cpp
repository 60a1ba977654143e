// The portable kernel set, which also finishes the tails of the SIMD loops, and the choice of
// the set convertSamples runs.
#include "stream/sample_kernels.h"

#include <atomic>
#include <cstring>

namespace {

// Samples are moved with memcpy rather than as float values: an x87 load would quiet a
// signalling NaN, and the float output must keep every payload.
float loadFloat(const unsigned char* bytes) {
    float value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

template <SourceContainer Container>
std::int32_t loadInteger(const unsigned char* bytes, const SourceDecoding& decoding) {
    if constexpr (Container == SourceContainer::Int16) {
        std::int16_t value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    } else if constexpr (Container == SourceContainer::Int24) {
        const std::uint32_t top = std::uint32_t{bytes[0]} << 8 | std::uint32_t{bytes[1]} << 16 |
                                  std::uint32_t{bytes[2]} << 24;
        return static_cast<std::int32_t>(top) >> 8;
    } else {
        std::uint32_t value;
        std::memcpy(&value, bytes, sizeof value);
        const auto shift = static_cast<std::uint32_t>(decoding.int32Shift);
        return static_cast<std::int32_t>(value << shift) >> shift;
    }
}

template <SourceContainer Container>
constexpr std::size_t kBytes = Container == SourceContainer::Int16   ? 2
                               : Container == SourceContainer::Int24 ? 3
                                                                     : 4;

void copyFloats(const void* source, float* out, std::size_t count, const SourceDecoding&) {
    if (count != 0) std::memcpy(out, source, count * sizeof(float));
}

template <SourceContainer Container>
void integersToFloat(const void* source, float* out, std::size_t count,
                     const SourceDecoding& decoding) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t value = loadInteger<Container>(bytes + i * kBytes<Container>, decoding);
        out[i] = static_cast<float>(value) * decoding.toUnit;
    }
}

void floatsToS16(const void* source, std::int16_t* out, std::size_t count, const SourceDecoding&) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < count; ++i) out[i] = encodeS16(loadFloat(bytes + i * 4));
}

template <SourceContainer Container>
void integersToS16(const void* source, std::int16_t* out, std::size_t count,
                   const SourceDecoding& decoding) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t value = loadInteger<Container>(bytes + i * kBytes<Container>, decoding);
        out[i] = encodeScaledInteger(static_cast<float>(value) * decoding.toS16);
    }
}

void gatherFloatPairs(const void* source, std::size_t frameBytes, float* pairs, std::size_t frames,
                      const SourceDecoding&) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    for (std::size_t f = 0; f < frames; ++f) {
        std::memcpy(pairs + 2 * f, bytes + f * frameBytes, 2 * sizeof(float));
    }
}

template <SourceContainer Container>
void gatherIntegerPairs(const void* source, std::size_t frameBytes, float* pairs,
                        std::size_t frames, const SourceDecoding& decoding) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    for (std::size_t f = 0; f < frames; ++f) {
        const unsigned char* frame = bytes + f * frameBytes;
        const std::int32_t left = loadInteger<Container>(frame, decoding);
        const std::int32_t right = loadInteger<Container>(frame + kBytes<Container>, decoding);
        pairs[2 * f] = static_cast<float>(left) * decoding.toUnit;
        pairs[2 * f + 1] = static_cast<float>(right) * decoding.toUnit;
    }
}

void leftOfFloatPairs(const float* pairs, float* out, std::size_t frames) {
    for (std::size_t f = 0; f < frames; ++f) std::memcpy(out + f, pairs + 2 * f, sizeof(float));
}

void leftOfFloatPairsToS16(const float* pairs, std::int16_t* out, std::size_t frames) {
    for (std::size_t f = 0; f < frames; ++f) {
        out[f] = encodeS16(loadFloat(reinterpret_cast<const unsigned char*>(pairs + 2 * f)));
    }
}

template <typename Sample>
void expandPairs(const Sample* pairs, Sample* out, std::size_t frames, std::size_t channels) {
    for (std::size_t f = 0; f < frames; ++f) {
        Sample* frame = out + f * channels;
        std::memcpy(frame, pairs + 2 * f, 2 * sizeof(Sample));
        for (std::size_t c = 2; c < channels; ++c) std::memcpy(frame + c, frame, sizeof(Sample));
    }
}

const ConversionKernels kPortableKernels = {
    {copyFloats, integersToFloat<SourceContainer::Int16>, integersToFloat<SourceContainer::Int24>,
     integersToFloat<SourceContainer::Int32>},
    {floatsToS16, integersToS16<SourceContainer::Int16>, integersToS16<SourceContainer::Int24>,
     integersToS16<SourceContainer::Int32>},
    {gatherFloatPairs, gatherIntegerPairs<SourceContainer::Int16>,
     gatherIntegerPairs<SourceContainer::Int24>, gatherIntegerPairs<SourceContainer::Int32>},
    leftOfFloatPairs,
    leftOfFloatPairsToS16,
    expandPairs<float>,
    expandPairs<std::int16_t>,
};

// Written only by tests, read once per packet.
std::atomic<const ConversionKernels*> forcedKernels{nullptr};

const ConversionKernels& bestKernels() {
    static const ConversionKernels* const best = [] {
        if (const ConversionKernels* kernels = avx2ConversionKernels()) return kernels;
        if (const ConversionKernels* kernels = sse2ConversionKernels()) return kernels;
        return &kPortableKernels;
    }();
    return *best;
}

}  // namespace

const ConversionKernels& portableConversionKernels() {
    return kPortableKernels;
}

const ConversionKernels& activeConversionKernels() {
    const ConversionKernels* forced = forcedKernels.load(std::memory_order_relaxed);
    return forced != nullptr ? *forced : bestKernels();
}

bool setConversionPathForTesting(ConversionPath path) {
    const ConversionKernels* kernels = nullptr;
    switch (path) {
        case ConversionPath::Automatic:
            kernels = nullptr;
            break;
        case ConversionPath::Portable:
            kernels = &kPortableKernels;
            break;
        case ConversionPath::Sse2:
            kernels = sse2ConversionKernels();
            break;
        case ConversionPath::Avx2:
            kernels = avx2ConversionKernels();
            break;
    }
    if (path != ConversionPath::Automatic && kernels == nullptr) return false;
    forcedKernels.store(kernels, std::memory_order_relaxed);
    return true;
}
