// Bulk conversion loops behind convertSamples, one set per instruction-set level. Each set gives
// bit for bit the same results as readSampleAsFloat followed by the output encoding; the tests
// compare every set against the per-sample path.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

// How the samples of one source channel are stored.
enum class SourceContainer : std::uint8_t { Float32 = 0, Int16 = 1, Int24 = 2, Int32 = 3 };
inline constexpr std::size_t kSourceContainerCount = 4;

inline constexpr std::size_t containerIndex(SourceContainer container) {
    return static_cast<std::size_t>(container);
}

struct SourceDecoding {
    SourceContainer container = SourceContainer::Float32;
    std::size_t bytesPerSample = 4;
    // Int32 only: the bits above the valid ones, shifted out so that the sign bit of the valid
    // part becomes the sign of the container.
    std::int32_t int32Shift = 0;
    // Integer to [-1, 1]. Always a power of two, so it can replace the division by 2^(bits-1)
    // without changing a single result.
    float toUnit = 1.0f;
    // toUnit x 32767, exact because toUnit is a power of two. Multiplying an integer sample by it
    // rounds once, just like scaling to [-1, 1] (exact) and then by 32767.
    float toS16 = 32767.0f;
};

// Every loop works on `count` consecutive samples or `frames` whole frames and never reads or
// writes outside them. Pointers need no particular alignment.
struct ConversionKernels {
    // Consecutive source samples to floats in [-1, 1] (floats are copied untouched).
    void (*toFloat[kSourceContainerCount])(const void* source, float* out, std::size_t count,
                                           const SourceDecoding& decoding);
    // Consecutive source samples straight to the S16 output encoding.
    void (*toS16[kSourceContainerCount])(const void* source, std::int16_t* out, std::size_t count,
                                         const SourceDecoding& decoding);
    // Channels 0 and 1 of frames `frameBytes` apart (three or more channels) as float pairs.
    void (*gatherPairs[kSourceContainerCount])(const void* source, std::size_t frameBytes,
                                               float* pairs, std::size_t frames,
                                               const SourceDecoding& decoding);
    // The left value of each float pair, untouched or encoded as S16.
    void (*leftOfPairs)(const float* pairs, float* out, std::size_t frames);
    void (*leftOfPairsToS16)(const float* pairs, std::int16_t* out, std::size_t frames);
    // Output pairs spread over `channels` (3 or more) per frame: left, right, then left again.
    void (*expandPairs32)(const float* pairs, float* out, std::size_t frames, std::size_t channels);
    void (*expandPairs16)(const std::int16_t* pairs, std::int16_t* out, std::size_t frames,
                          std::size_t channels);
};

enum class ConversionPath { Automatic, Portable, Sse2, Avx2 };

// The set convertSamples uses: the one forced for testing, or else the best this processor runs.
const ConversionKernels& activeConversionKernels();

// Forces a set until called again; Automatic goes back to choosing by processor. Returns false,
// changing nothing, when this build or processor cannot run the requested set.
bool setConversionPathForTesting(ConversionPath path);

// The individual sets. The SIMD ones are nullptr when this build or processor lacks them.
const ConversionKernels& portableConversionKernels();
const ConversionKernels* sse2ConversionKernels();
const ConversionKernels* avx2ConversionKernels();

// The output encodings of one decoded sample, shared by all sets for their scalar parts.
inline std::int16_t encodeS16(float sample) {
    // The comparisons are written so that NaN ends up at 1.0 and infinities at the bounds.
    float clamped = sample < 1.0f ? sample : 1.0f;
    clamped = clamped > -1.0f ? clamped : -1.0f;
    return static_cast<std::int16_t>(std::lrintf(clamped * 32767.0f));
}

// An integer sample already scaled by SourceDecoding::toS16 is within +-32767 and never NaN, so
// the clamp cannot change it.
inline std::int16_t encodeScaledInteger(float scaled) {
    return static_cast<std::int16_t>(std::lrintf(scaled));
}
