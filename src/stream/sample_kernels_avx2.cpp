// AVX2 kernels for the loops that gain from 256-bit registers; the rest of the set is the SSE2
// one. The file is built without -mavx2 (the program must start on any x86-64 processor), so
// each function carries the target attribute and runs only after the processor check.
//
// 64-bit Windows does not keep the stack 32-byte aligned, and GCC then spills ymm registers
// with aligned moves to misaligned slots. These loops are kept small enough to live in
// registers; the MinGW assembly of this file must show no ymm spill.
#include "stream/sample_kernels.h"

#if defined(__SSE2__) && defined(__GNUC__)

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#define OAH_AVX2 __attribute__((target("avx2")))
#define OAH_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

using Bytes = const unsigned char*;

// Takes what the vector loops leave over, itself handing the last few to portable code.
inline const ConversionKernels& sse2() {
    return *sse2ConversionKernels();
}

// The loops below store 32 bytes at a time. When the output starts off a 32-byte boundary (as
// malloc'd buffers often do, 16 bytes off) half of those stores would straddle two cache lines.
// So a long run starts with one unaligned step and then restarts at the first boundary, writing
// the few samples in between twice with the same values. Returns where to restart.
template <typename Sample>
std::size_t restartAtBoundary(const Sample* out, std::size_t count) {
    const std::size_t offset = reinterpret_cast<std::uintptr_t>(out) % 32;
    if (offset % sizeof(Sample) != 0 || count < 64) return 0;
    return (32 - offset) % 32 / sizeof(Sample);
}

OAH_AVX2_INLINE __m128i loadVector128(Bytes bytes) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

OAH_AVX2_INLINE void store256(void* to, __m256i value) {
    _mm256_storeu_si256(static_cast<__m256i*>(to), value);
}

// The upper clamp and scaling of floatsToS16Lanes in the SSE2 kernels, which also explains why
// the lower clamp can wait until after packing.
OAH_AVX2_INLINE __m256i floatsToS16Lanes(__m256 samples) {
    const __m256 clamped = _mm256_min_ps(samples, _mm256_set1_ps(1.0f));
    return _mm256_cvtps_epi32(_mm256_mul_ps(clamped, _mm256_set1_ps(32767.0f)));
}

OAH_AVX2_INLINE __m256i clampBelow(__m256i packed) {
    return _mm256_max_epi16(packed, _mm256_set1_epi16(-32767));
}

// packs works inside each 128-bit half; the permute puts the four 64-bit groups back in order.
OAH_AVX2_INLINE __m256i packInOrder(__m256i first, __m256i second) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(first, second), _MM_SHUFFLE(3, 1, 2, 0));
}

OAH_AVX2_INLINE __m256i sixteenFloatsToS16(__m256 first, __m256 second) {
    return clampBelow(packInOrder(floatsToS16Lanes(first), floatsToS16Lanes(second)));
}

struct Int16Lanes {
    static constexpr std::size_t kIndex = containerIndex(SourceContainer::Int16);
    static constexpr std::size_t kBytes = 2;
    OAH_AVX2_INLINE static __m256i load(Bytes bytes, __m128i) {
        return _mm256_cvtepi16_epi32(loadVector128(bytes));
    }
};

// Eight packed 24-bit samples: the low half reads bytes 0-15 and uses 0-11, the high half reads
// bytes 8-23 and uses 12-23, so nothing past the 24 bytes is touched. Each sample lands in the
// top three bytes of its lane and the arithmetic shift brings it down with its sign.
struct Int24Lanes {
    static constexpr std::size_t kIndex = containerIndex(SourceContainer::Int24);
    static constexpr std::size_t kBytes = 3;
    OAH_AVX2_INLINE static __m256i load(Bytes bytes, __m128i) {
        const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(loadVector128(bytes)),
                                                     loadVector128(bytes + 8), 1);
        const __m256i toTop =
            _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                             -1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
        return _mm256_srai_epi32(_mm256_shuffle_epi8(both, toTop), 8);
    }
};

struct Int32Lanes {
    static constexpr std::size_t kIndex = containerIndex(SourceContainer::Int32);
    static constexpr std::size_t kBytes = 4;
    OAH_AVX2_INLINE static __m256i load(Bytes bytes, __m128i shift) {
        const __m256i containers = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
        return _mm256_sra_epi32(_mm256_sll_epi32(containers, shift), shift);
    }
};

template <class Lanes>
OAH_AVX2_INLINE void sixteenIntegersToFloat(Bytes in, float* out, __m128i shift, __m256 scale) {
    const __m256i first = Lanes::load(in, shift);
    const __m256i second = Lanes::load(in + 8 * Lanes::kBytes, shift);
    _mm256_storeu_ps(out, _mm256_mul_ps(_mm256_cvtepi32_ps(first), scale));
    _mm256_storeu_ps(out + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(second), scale));
}

template <class Lanes>
OAH_AVX2 void integersToFloat(const void* source, float* out, std::size_t count,
                              const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    const __m256 scale = _mm256_set1_ps(decoding.toUnit);
    const std::size_t restart = restartAtBoundary(out, count);
    if (restart != 0) sixteenIntegersToFloat<Lanes>(in, out, shift, scale);
    std::size_t i = restart;
    for (; i + 16 <= count; i += 16) {
        sixteenIntegersToFloat<Lanes>(in + i * Lanes::kBytes, out + i, shift, scale);
    }
    if (i < count) {
        sse2().toFloat[Lanes::kIndex](in + i * Lanes::kBytes, out + i, count - i, decoding);
    }
}

template <class Lanes>
OAH_AVX2_INLINE void sixteenIntegersToS16(Bytes in, std::int16_t* out, __m128i shift,
                                          __m256 scale) {
    const __m256i first = Lanes::load(in, shift);
    const __m256i second = Lanes::load(in + 8 * Lanes::kBytes, shift);
    store256(out,
             packInOrder(_mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(first), scale)),
                         _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(second), scale))));
}

template <class Lanes>
OAH_AVX2 void integersToS16(const void* source, std::int16_t* out, std::size_t count,
                            const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    const __m256 scale = _mm256_set1_ps(decoding.toS16);
    const std::size_t restart = restartAtBoundary(out, count);
    if (restart != 0) sixteenIntegersToS16<Lanes>(in, out, shift, scale);
    std::size_t i = restart;
    for (; i + 16 <= count; i += 16) {
        sixteenIntegersToS16<Lanes>(in + i * Lanes::kBytes, out + i, shift, scale);
    }
    if (i < count) {
        sse2().toS16[Lanes::kIndex](in + i * Lanes::kBytes, out + i, count - i, decoding);
    }
}

OAH_AVX2_INLINE void sixteenFloatsToS16(const float* in, std::int16_t* out) {
    store256(out, clampBelow(packInOrder(floatsToS16Lanes(_mm256_loadu_ps(in)),
                                         floatsToS16Lanes(_mm256_loadu_ps(in + 8)))));
}

OAH_AVX2 void floatsToS16(const void* source, std::int16_t* out, std::size_t count,
                          const SourceDecoding& decoding) {
    const auto in = static_cast<const float*>(source);
    const std::size_t restart = restartAtBoundary(out, count);
    if (restart != 0) sixteenFloatsToS16(in, out);
    std::size_t i = restart;
    for (; i + 32 <= count; i += 32) {
        sixteenFloatsToS16(in + i, out + i);
        sixteenFloatsToS16(in + i + 16, out + i + 16);
    }
    if (i + 16 <= count) {
        sixteenFloatsToS16(in + i, out + i);
        i += 16;
    }
    if (i < count) {
        sse2().toS16[containerIndex(SourceContainer::Float32)](in + i, out + i, count - i,
                                                               decoding);
    }
}

// The float-to-float case with unchanged channels is a copy. glibc's memcpy turns to rep movsb
// at packet sizes, which loses several times over when the destination is not 32-byte aligned;
// the output vector and the engine's buffer promise no alignment, and vector moves do not care.
OAH_AVX2 void copyFloats(const void* source, float* out, std::size_t count, const SourceDecoding&) {
    const auto in = static_cast<const float*>(source);
    const std::size_t restart = restartAtBoundary(out, count);
    if (restart != 0) _mm256_storeu_ps(out, _mm256_loadu_ps(in));
    std::size_t i = restart;
    for (; i + 32 <= count; i += 32) {
        const __m256 a = _mm256_loadu_ps(in + i);
        const __m256 b = _mm256_loadu_ps(in + i + 8);
        const __m256 c = _mm256_loadu_ps(in + i + 16);
        const __m256 d = _mm256_loadu_ps(in + i + 24);
        _mm256_storeu_ps(out + i, a);
        _mm256_storeu_ps(out + i + 8, b);
        _mm256_storeu_ps(out + i + 16, c);
        _mm256_storeu_ps(out + i + 24, d);
    }
    for (; i + 8 <= count; i += 8) _mm256_storeu_ps(out + i, _mm256_loadu_ps(in + i));
    if (i < count) std::memcpy(out + i, in + i, (count - i) * sizeof(float));
}

// Left values of eight pairs, in the order [0 1 4 5 | 2 3 6 7] that shufps leaves them in.
OAH_AVX2_INLINE __m256 leftOfEightPairs(const float* pairs) {
    return _mm256_shuffle_ps(_mm256_loadu_ps(pairs), _mm256_loadu_ps(pairs + 8),
                             _MM_SHUFFLE(2, 0, 2, 0));
}

OAH_AVX2_INLINE void leftOfEightPairsStored(const float* pairs, float* out) {
    const __m256d mixed = _mm256_castps_pd(leftOfEightPairs(pairs));
    _mm256_storeu_pd(reinterpret_cast<double*>(out),
                     _mm256_permute4x64_pd(mixed, _MM_SHUFFLE(3, 1, 2, 0)));
}

OAH_AVX2 void leftOfPairs(const float* pairs, float* out, std::size_t frames) {
    const std::size_t restart = restartAtBoundary(out, frames);
    if (restart != 0) leftOfEightPairsStored(pairs, out);
    std::size_t f = restart;
    for (; f + 8 <= frames; f += 8) leftOfEightPairsStored(pairs + 2 * f, out + f);
    if (f < frames) sse2().leftOfPairs(pairs + 2 * f, out + f, frames - f);
}

// After packing two mixed-order vectors the 32-bit groups hold frames (0,1) (4,5) (8,9) (12,13)
// (2,3) (6,7) (10,11) (14,15); one cross-lane permute puts them in order.
OAH_AVX2_INLINE void leftOfSixteenPairsToS16(const float* pairs, std::int16_t* out, __m256i order) {
    const __m256i first = floatsToS16Lanes(leftOfEightPairs(pairs));
    const __m256i second = floatsToS16Lanes(leftOfEightPairs(pairs + 16));
    const __m256i packed = _mm256_packs_epi32(first, second);
    store256(out, clampBelow(_mm256_permutevar8x32_epi32(packed, order)));
}

OAH_AVX2 void leftOfPairsToS16(const float* pairs, std::int16_t* out, std::size_t frames) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const std::size_t restart = restartAtBoundary(out, frames);
    if (restart != 0) leftOfSixteenPairsToS16(pairs, out, order);
    std::size_t f = restart;
    for (; f + 16 <= frames; f += 16) leftOfSixteenPairsToS16(pairs + 2 * f, out + f, order);
    if (f < frames) sse2().leftOfPairsToS16(pairs + 2 * f, out + f, frames - f);
}

// Six channels (5.1 output) is common enough for a loop of its own: four frames of pairs become
// three full stores with no overlap, where the general SSE2 loop needs two stores per frame.
OAH_AVX2_INLINE void fourPairsToSixChannels(const float* pairs, float* out, __m256i first,
                                            __m256i second, __m256i third) {
    const __m256 four = _mm256_loadu_ps(pairs);
    _mm256_storeu_ps(out, _mm256_permutevar8x32_ps(four, first));
    _mm256_storeu_ps(out + 8, _mm256_permutevar8x32_ps(four, second));
    _mm256_storeu_ps(out + 16, _mm256_permutevar8x32_ps(four, third));
}

OAH_AVX2 void expandFloatPairs(const float* pairs, float* out, std::size_t frames,
                               std::size_t channels) {
    std::size_t f = 0;
    if (channels == 6) {
        const __m256i first = _mm256_setr_epi32(0, 1, 0, 0, 0, 0, 2, 3);
        const __m256i second = _mm256_setr_epi32(2, 2, 2, 2, 4, 5, 4, 4);
        const __m256i third = _mm256_setr_epi32(4, 4, 6, 7, 6, 6, 6, 6);
        // Frames are 24 bytes; when the output is 8-byte aligned one of the first four frames
        // starts on a boundary, and the loop restarts there after one unaligned step.
        std::size_t restart = 0;
        const auto address = reinterpret_cast<std::uintptr_t>(out);
        if (address % 8 == 0 && frames >= 16) {
            while ((address + 24 * restart) % 32 != 0) ++restart;
        }
        if (restart != 0) fourPairsToSixChannels(pairs, out, first, second, third);
        for (f = restart; f + 4 <= frames; f += 4) {
            fourPairsToSixChannels(pairs + 2 * f, out + 6 * f, first, second, third);
        }
    }
    if (f < frames) {
        sse2().expandPairs32(pairs + 2 * f, out + f * channels, frames - f, channels);
    }
}

}  // namespace

const ConversionKernels* avx2ConversionKernels() {
    static const ConversionKernels* const kernels = []() -> const ConversionKernels* {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("avx2")) return nullptr;
        static ConversionKernels table = *sse2ConversionKernels();
        table.toFloat[containerIndex(SourceContainer::Float32)] = copyFloats;
        table.toFloat[Int16Lanes::kIndex] = integersToFloat<Int16Lanes>;
        table.toFloat[Int24Lanes::kIndex] = integersToFloat<Int24Lanes>;
        table.toFloat[Int32Lanes::kIndex] = integersToFloat<Int32Lanes>;
        table.toS16[containerIndex(SourceContainer::Float32)] = floatsToS16;
        table.toS16[Int16Lanes::kIndex] = integersToS16<Int16Lanes>;
        table.toS16[Int24Lanes::kIndex] = integersToS16<Int24Lanes>;
        table.toS16[Int32Lanes::kIndex] = integersToS16<Int32Lanes>;
        table.leftOfPairs = leftOfPairs;
        table.leftOfPairsToS16 = leftOfPairsToS16;
        table.expandPairs32 = expandFloatPairs;
        return &table;
    }();
    return kernels;
}

#else

const ConversionKernels* avx2ConversionKernels() {
    return nullptr;
}

#endif
