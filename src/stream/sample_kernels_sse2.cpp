// SSE2 kernels: the baseline of every x86-64 processor, so this set needs no run-time check.
// Only the portable set exists on other processors.
#include "stream/sample_kernels.h"

#if defined(__SSE2__)

#include <emmintrin.h>

#include <cstring>

namespace {

using Bytes = const unsigned char*;

constexpr std::size_t kIndexFloat32 = containerIndex(SourceContainer::Float32);
constexpr std::size_t kIndexInt16 = containerIndex(SourceContainer::Int16);
constexpr std::size_t kIndexInt24 = containerIndex(SourceContainer::Int24);
constexpr std::size_t kIndexInt32 = containerIndex(SourceContainer::Int32);

// Finishes what the vector loops leave over.
inline const ConversionKernels& portable() {
    return portableConversionKernels();
}

inline __m128i loadLow64(Bytes bytes) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes));
}

inline __m128i load32(const void* bytes) {
    std::int32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return _mm_cvtsi32_si128(value);
}

inline __m128 loadFloats(Bytes bytes) {
    return _mm_loadu_ps(reinterpret_cast<const float*>(bytes));
}

inline void storeLow64(void* to, __m128i value) {
    _mm_storel_epi64(static_cast<__m128i*>(to), value);
}

// movhps through its builtin; GCC's _mm_storeh_pd dereferences a double pointer, which would be
// a misaligned access in the language's terms.
inline void storeHigh64(void* to, __m128i value) {
    _mm_storeh_pi(static_cast<__m64*>(to), _mm_castsi128_ps(value));
}

// Float samples to S16 in two steps: 32-bit lanes clamped from above, then packed and clamped
// from below. minps returns its second operand when either is NaN, exactly like the scalar
// `x < 1 ? x : 1`, and cvtps2dq rounds half to even like lrintf. The lower clamp can wait until
// after packing: whatever lies below -1 (-inf included) rounds or saturates to at most -32767,
// and the 16-bit max lifts it to exactly the -32767 that clamping first would have given.
inline __m128i floatsToS16Lanes(__m128 samples) {
    const __m128 clamped = _mm_min_ps(samples, _mm_set1_ps(1.0f));
    return _mm_cvtps_epi32(_mm_mul_ps(clamped, _mm_set1_ps(32767.0f)));
}

inline __m128i packS16(__m128i low, __m128i high) {
    return _mm_max_epi16(_mm_packs_epi32(low, high), _mm_set1_epi16(-32767));
}

inline __m128 scaled(__m128i integers, float scale) {
    return _mm_mul_ps(_mm_cvtepi32_ps(integers), _mm_set1_ps(scale));
}

// Sign-extends eight 16-bit samples into two vectors of 32-bit lanes.
inline __m128i int16LowHalf(__m128i samples) {
    return _mm_srai_epi32(_mm_unpacklo_epi16(samples, samples), 16);
}
inline __m128i int16HighHalf(__m128i samples) {
    return _mm_srai_epi32(_mm_unpackhi_epi16(samples, samples), 16);
}

// Two pairs of packed 24-bit samples, taken from the first six of the eight bytes at `first`
// and at `second`, as four 32-bit lanes. SSE2 has no byte shuffle, so each sample is moved to the
// top three bytes of its lane by whole-register byte shifts and the arithmetic shift restores
// the value with its sign.
inline __m128i int24Quad(Bytes first, Bytes second) {
    const __m128i both = _mm_unpacklo_epi64(loadLow64(first), loadLow64(second));
    const __m128 byOne = _mm_castsi128_ps(_mm_slli_si128(both, 1));  // lanes 0 and 2 in place
    const __m128 byTwo = _mm_castsi128_ps(_mm_slli_si128(both, 2));  // lanes 1 and 3 in place
    const __m128i picked = _mm_castps_si128(_mm_shuffle_ps(byOne, byTwo, _MM_SHUFFLE(3, 1, 2, 0)));
    return _mm_srai_epi32(_mm_shuffle_epi32(picked, _MM_SHUFFLE(3, 1, 2, 0)), 8);
}

inline __m128i int32Lanes(__m128i containers, __m128i shift) {
    return _mm_sra_epi32(_mm_sll_epi32(containers, shift), shift);
}

void copyFloats(const void* source, float* out, std::size_t count, const SourceDecoding&) {
    if (count != 0) std::memcpy(out, source, count * sizeof(float));
}

void floatsToS16(const void* source, std::int16_t* out, std::size_t count,
                 const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i low = floatsToS16Lanes(loadFloats(in + 4 * i));
        const __m128i high = floatsToS16Lanes(loadFloats(in + 4 * i + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packS16(low, high));
    }
    if (i < count) portable().toS16[kIndexFloat32](in + 4 * i, out + i, count - i, decoding);
}

void int16ToFloat(const void* source, float* out, std::size_t count,
                  const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        _mm_storeu_ps(out + i, scaled(int16LowHalf(samples), decoding.toUnit));
        _mm_storeu_ps(out + i + 4, scaled(int16HighHalf(samples), decoding.toUnit));
    }
    if (i < count) portable().toFloat[kIndexInt16](in + 2 * i, out + i, count - i, decoding);
}

void int16ToS16(const void* source, std::int16_t* out, std::size_t count,
                const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        const __m128i low = _mm_cvtps_epi32(scaled(int16LowHalf(samples), decoding.toS16));
        const __m128i high = _mm_cvtps_epi32(scaled(int16HighHalf(samples), decoding.toS16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(low, high));
    }
    if (i < count) portable().toS16[kIndexInt16](in + 2 * i, out + i, count - i, decoding);
}

// The second load of int24Quad reaches two bytes past the four samples, hence the extra sample
// that must remain after each step.
void int24ToFloat(const void* source, float* out, std::size_t count,
                  const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    std::size_t i = 0;
    for (; i + 5 <= count; i += 4) {
        const __m128i lanes = int24Quad(in + 3 * i, in + 3 * i + 6);
        _mm_storeu_ps(out + i, scaled(lanes, decoding.toUnit));
    }
    if (i < count) portable().toFloat[kIndexInt24](in + 3 * i, out + i, count - i, decoding);
}

void int24ToS16(const void* source, std::int16_t* out, std::size_t count,
                const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    std::size_t i = 0;
    for (; i + 9 <= count; i += 8) {
        const __m128i low = int24Quad(in + 3 * i, in + 3 * i + 6);
        const __m128i high = int24Quad(in + 3 * i + 12, in + 3 * i + 18);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_packs_epi32(_mm_cvtps_epi32(scaled(low, decoding.toS16)),
                                         _mm_cvtps_epi32(scaled(high, decoding.toS16))));
    }
    if (i < count) portable().toS16[kIndexInt24](in + 3 * i, out + i, count - i, decoding);
}

void int32ToFloat(const void* source, float* out, std::size_t count,
                  const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i containers = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
        _mm_storeu_ps(out + i, scaled(int32Lanes(containers, shift), decoding.toUnit));
    }
    if (i < count) portable().toFloat[kIndexInt32](in + 4 * i, out + i, count - i, decoding);
}

void int32ToS16(const void* source, std::int16_t* out, std::size_t count,
                const SourceDecoding& decoding) {
    const auto in = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const auto* vectors = reinterpret_cast<const __m128i*>(in + 4 * i);
        const __m128i low = int32Lanes(_mm_loadu_si128(vectors), shift);
        const __m128i high = int32Lanes(_mm_loadu_si128(vectors + 1), shift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_packs_epi32(_mm_cvtps_epi32(scaled(low, decoding.toS16)),
                                         _mm_cvtps_epi32(scaled(high, decoding.toS16))));
    }
    if (i < count) portable().toS16[kIndexInt32](in + 4 * i, out + i, count - i, decoding);
}

void gatherFloatPairs(const void* source, std::size_t frameBytes, float* pairs, std::size_t frames,
                      const SourceDecoding& decoding) {
    auto frame = static_cast<Bytes>(source);
    std::size_t f = 0;
    for (; f + 2 <= frames; f += 2, frame += 2 * frameBytes) {
        const __m128i two = _mm_unpacklo_epi64(loadLow64(frame), loadLow64(frame + frameBytes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs + 2 * f), two);
    }
    if (f < frames)
        portable().gatherPairs[kIndexFloat32](frame, frameBytes, pairs + 2 * f, frames - f,
                                              decoding);
}

void gatherInt16Pairs(const void* source, std::size_t frameBytes, float* pairs, std::size_t frames,
                      const SourceDecoding& decoding) {
    auto frame = static_cast<Bytes>(source);
    std::size_t f = 0;
    for (; f + 4 <= frames; f += 4, frame += 4 * frameBytes) {
        const __m128i first = _mm_unpacklo_epi32(load32(frame), load32(frame + frameBytes));
        const __m128i second =
            _mm_unpacklo_epi32(load32(frame + 2 * frameBytes), load32(frame + 3 * frameBytes));
        const __m128i samples = _mm_unpacklo_epi64(first, second);
        _mm_storeu_ps(pairs + 2 * f, scaled(int16LowHalf(samples), decoding.toUnit));
        _mm_storeu_ps(pairs + 2 * f + 4, scaled(int16HighHalf(samples), decoding.toUnit));
    }
    if (f < frames)
        portable().gatherPairs[kIndexInt16](frame, frameBytes, pairs + 2 * f, frames - f, decoding);
}

// A frame of three or more 24-bit samples has at least nine bytes, so the eight-byte loads of
// int24Quad stay inside it.
void gatherInt24Pairs(const void* source, std::size_t frameBytes, float* pairs, std::size_t frames,
                      const SourceDecoding& decoding) {
    auto frame = static_cast<Bytes>(source);
    std::size_t f = 0;
    for (; f + 2 <= frames; f += 2, frame += 2 * frameBytes) {
        _mm_storeu_ps(pairs + 2 * f, scaled(int24Quad(frame, frame + frameBytes), decoding.toUnit));
    }
    if (f < frames)
        portable().gatherPairs[kIndexInt24](frame, frameBytes, pairs + 2 * f, frames - f, decoding);
}

void gatherInt32Pairs(const void* source, std::size_t frameBytes, float* pairs, std::size_t frames,
                      const SourceDecoding& decoding) {
    auto frame = static_cast<Bytes>(source);
    const __m128i shift = _mm_cvtsi32_si128(decoding.int32Shift);
    std::size_t f = 0;
    for (; f + 2 <= frames; f += 2, frame += 2 * frameBytes) {
        const __m128i two = _mm_unpacklo_epi64(loadLow64(frame), loadLow64(frame + frameBytes));
        _mm_storeu_ps(pairs + 2 * f, scaled(int32Lanes(two, shift), decoding.toUnit));
    }
    if (f < frames)
        portable().gatherPairs[kIndexInt32](frame, frameBytes, pairs + 2 * f, frames - f, decoding);
}

inline __m128 leftOfFourPairs(const float* pairs) {
    return _mm_shuffle_ps(_mm_loadu_ps(pairs), _mm_loadu_ps(pairs + 4), _MM_SHUFFLE(2, 0, 2, 0));
}

void leftOfPairs(const float* pairs, float* out, std::size_t frames) {
    std::size_t f = 0;
    for (; f + 4 <= frames; f += 4) _mm_storeu_ps(out + f, leftOfFourPairs(pairs + 2 * f));
    if (f < frames) portable().leftOfPairs(pairs + 2 * f, out + f, frames - f);
}

void leftOfPairsToS16(const float* pairs, std::int16_t* out, std::size_t frames) {
    std::size_t f = 0;
    for (; f + 8 <= frames; f += 8) {
        const __m128i low = floatsToS16Lanes(leftOfFourPairs(pairs + 2 * f));
        const __m128i high = floatsToS16Lanes(leftOfFourPairs(pairs + 2 * f + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + f), packS16(low, high));
    }
    if (f < frames) portable().leftOfPairsToS16(pairs + 2 * f, out + f, frames - f);
}

// With up to six channels one four-sample store fills a frame from channel 2 on; it runs up to
// three samples into the next frame, which is written afterwards and so overwrites them. The
// last frame has no successor and is left to the portable loop. Wider frames are filled by
// stores that stay inside the frame, the final one overlapping its predecessor.
void expandFloatPairs(const float* pairs, float* out, std::size_t frames, std::size_t channels) {
    std::size_t f = 0;
    if (channels <= 6) {
        for (; f + 3 <= frames; f += 2) {
            const __m128i two = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * f));
            float* first = out + f * channels;
            float* second = first + channels;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(first + 2), _mm_shuffle_epi32(two, 0x00));
            storeLow64(first, two);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 2), _mm_shuffle_epi32(two, 0xAA));
            storeHigh64(second, two);
        }
    } else {
        for (; f < frames; ++f) {
            const __m128i pair = loadLow64(reinterpret_cast<Bytes>(pairs + 2 * f));
            const __m128i fill = _mm_shuffle_epi32(pair, 0x00);
            float* frame = out + f * channels;
            std::size_t c = 2;
            for (; c + 4 <= channels; c += 4) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + c), fill);
            }
            if (c < channels) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + channels - 4), fill);
            }
            storeLow64(frame, pair);
        }
    }
    if (f < frames)
        portable().expandPairs32(pairs + 2 * f, out + f * channels, frames - f, channels);
}

// The same scheme with 16-bit samples: an eight-byte store fills four channels.
void expandS16Pairs(const std::int16_t* pairs, std::int16_t* out, std::size_t frames,
                    std::size_t channels) {
    std::size_t f = 0;
    if (channels <= 6) {
        for (; f + 5 <= frames; f += 4) {
            const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * f));
            std::int16_t* frame = out + f * channels;
            storeLow64(frame + 2, _mm_shufflelo_epi16(four, 0x00));
            std::memcpy(frame, pairs + 2 * f, 4);
            frame += channels;
            storeLow64(frame + 2, _mm_shufflelo_epi16(four, 0xAA));
            std::memcpy(frame, pairs + 2 * f + 2, 4);
            frame += channels;
            storeHigh64(frame + 2, _mm_shufflehi_epi16(four, 0x00));
            std::memcpy(frame, pairs + 2 * f + 4, 4);
            frame += channels;
            storeHigh64(frame + 2, _mm_shufflehi_epi16(four, 0xAA));
            std::memcpy(frame, pairs + 2 * f + 6, 4);
        }
    } else {
        for (; f < frames; ++f) {
            const __m128i fill = _mm_shufflelo_epi16(load32(pairs + 2 * f), 0x00);
            std::int16_t* frame = out + f * channels;
            std::size_t c = 2;
            for (; c + 4 <= channels; c += 4) storeLow64(frame + c, fill);
            if (c < channels) storeLow64(frame + channels - 4, fill);
            std::memcpy(frame, pairs + 2 * f, 4);
        }
    }
    if (f < frames)
        portable().expandPairs16(pairs + 2 * f, out + f * channels, frames - f, channels);
}

const ConversionKernels kSse2Kernels = {
    {copyFloats, int16ToFloat, int24ToFloat, int32ToFloat},
    {floatsToS16, int16ToS16, int24ToS16, int32ToS16},
    {gatherFloatPairs, gatherInt16Pairs, gatherInt24Pairs, gatherInt32Pairs},
    leftOfPairs,
    leftOfPairsToS16,
    expandFloatPairs,
    expandS16Pairs,
};

}  // namespace

const ConversionKernels* sse2ConversionKernels() {
    return &kSse2Kernels;
}

#else

const ConversionKernels* sse2ConversionKernels() {
    return nullptr;
}

#endif
