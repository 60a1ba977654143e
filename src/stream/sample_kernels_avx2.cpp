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

#include <cstring>

#define OAH_AVX2 __attribute__((target("avx2")))
#define OAH_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

using Bytes = const unsigned char*;

// Finishes what the 16-sample loops leave over, itself handing the last few to portable code.
inline const ConversionKernels& sse2() { return *sse2ConversionKernels(); }

OAH_AVX2_INLINE __m128i loadVector128(Bytes bytes) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

// See floatsToS16Lanes in the SSE2 kernels for why these instructions match the scalar code.
OAH_AVX2_INLINE __m256i floatsToS16Lanes(__m256 samples) {
    const __m256 clamped =
        _mm256_max_ps(_mm256_min_ps(samples, _mm256_set1_ps(1.0f)), _mm256_set1_ps(-1.0f));
    return _mm256_cvtps_epi32(_mm256_mul_ps(clamped, _mm256_set1_ps(32767.0f)));
}

// packs works inside each 128-bit half; the permute puts the four 64-bit groups back in order.
OAH_AVX2_INLINE __m256i packInOrder(__m256i first, __m256i second) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(first, second), _MM_SHUFFLE(3, 1, 2, 0));
}

OAH_AVX2_INLINE void store256(void* to, __m256i value) {
    _mm256_storeu_si256(static_cast<__m256i*>(to), value);
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
        const __m256i both = _mm256_inserti128_si256(
            _mm256_castsi128_si256(loadVector128(bytes)), loadVector128(bytes + 8), 1);
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
OAH_AVX2 void integersToFloat(const void* source, float* out, std::size_t count,
                              const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    const __m256 scale = _mm256_set1_ps(decoding.toUnit);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i first = Lanes::load(in + i * Lanes::kBytes, shift);
        const __m256i second = Lanes::load(in + (i + 8) * Lanes::kBytes, shift);
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(first), scale));
        _mm256_storeu_ps(out + i + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(second), scale));
    }
    sse2().toFloat[Lanes::kIndex](in + i * Lanes::kBytes, out + i, count - i, decoding);
}

template <class Lanes>
OAH_AVX2 void integersToS16(const void* source, std::int16_t* out, std::size_t count,
                            const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    const __m256 scale = _mm256_set1_ps(decoding.toS16);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i first = Lanes::load(in + i * Lanes::kBytes, shift);
        const __m256i second = Lanes::load(in + (i + 8) * Lanes::kBytes, shift);
        store256(out + i,
                 packInOrder(_mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(first), scale)),
                             _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(second), scale))));
    }
    sse2().toS16[Lanes::kIndex](in + i * Lanes::kBytes, out + i, count - i, decoding);
}

OAH_AVX2 void floatsToS16(const void* source, std::int16_t* out, std::size_t count,
                          const SourceDecoding& decoding) {
    const auto in = static_cast<const float*>(source);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i first = floatsToS16Lanes(_mm256_loadu_ps(in + i));
        const __m256i second = floatsToS16Lanes(_mm256_loadu_ps(in + i + 8));
        store256(out + i, packInOrder(first, second));
    }
    sse2().toS16[containerIndex(SourceContainer::Float32)](in + i, out + i, count - i, decoding);
}

// Left values of eight pairs, in the order [0 1 4 5 | 2 3 6 7] that shufps leaves them in.
OAH_AVX2_INLINE __m256 leftOfEightPairs(const float* pairs) {
    return _mm256_shuffle_ps(_mm256_loadu_ps(pairs), _mm256_loadu_ps(pairs + 8),
                             _MM_SHUFFLE(2, 0, 2, 0));
}

OAH_AVX2 void leftOfPairs(const float* pairs, float* out, std::size_t frames) {
    std::size_t f = 0;
    for (; f + 8 <= frames; f += 8) {
        const __m256d mixed = _mm256_castps_pd(leftOfEightPairs(pairs + 2 * f));
        _mm256_storeu_pd(reinterpret_cast<double*>(out + f),
                         _mm256_permute4x64_pd(mixed, _MM_SHUFFLE(3, 1, 2, 0)));
    }
    sse2().leftOfPairs(pairs + 2 * f, out + f, frames - f);
}

// After packing two mixed-order vectors the 32-bit groups hold frames (0,1) (4,5) (8,9) (12,13)
// (2,3) (6,7) (10,11) (14,15); one cross-lane permute puts them in order.
OAH_AVX2 void leftOfPairsToS16(const float* pairs, std::int16_t* out, std::size_t frames) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t f = 0;
    for (; f + 16 <= frames; f += 16) {
        const __m256i first = floatsToS16Lanes(leftOfEightPairs(pairs + 2 * f));
        const __m256i second = floatsToS16Lanes(leftOfEightPairs(pairs + 2 * f + 16));
        store256(out + f, _mm256_permutevar8x32_epi32(_mm256_packs_epi32(first, second), order));
    }
    sse2().leftOfPairsToS16(pairs + 2 * f, out + f, frames - f);
}

}  // namespace

const ConversionKernels* avx2ConversionKernels() {
    static const ConversionKernels* const kernels = []() -> const ConversionKernels* {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("avx2")) return nullptr;
        static ConversionKernels table = *sse2ConversionKernels();
        table.toFloat[Int16Lanes::kIndex] = integersToFloat<Int16Lanes>;
        table.toFloat[Int24Lanes::kIndex] = integersToFloat<Int24Lanes>;
        table.toFloat[Int32Lanes::kIndex] = integersToFloat<Int32Lanes>;
        table.toS16[containerIndex(SourceContainer::Float32)] = floatsToS16;
        table.toS16[Int16Lanes::kIndex] = integersToS16<Int16Lanes>;
        table.toS16[Int24Lanes::kIndex] = integersToS16<Int24Lanes>;
        table.toS16[Int32Lanes::kIndex] = integersToS16<Int32Lanes>;
        table.leftOfPairs = leftOfPairs;
        table.leftOfPairsToS16 = leftOfPairsToS16;
        return &table;
    }();
    return kernels;
}

#else

const ConversionKernels* avx2ConversionKernels() { return nullptr; }

#endif
