#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "stream/sample_convert.h"
#include "stream/sample_kernels.h"

// Every allocation through operator new is counted, so that steady streaming can be shown to
// allocate nothing; allocations can be made to fail from a size on, and to start 16 bytes past
// a 32-byte boundary, so that the kernels meet both starts malloc hands out. Replacing the
// operators (rather than intercepting malloc) keeps working under AddressSanitizer.
namespace {
std::atomic<long> allocationCount{0};
std::atomic<std::uintptr_t> allocationShift{0};
std::atomic<std::size_t> failAllocationsFrom{SIZE_MAX};

void* countedAllocation(std::size_t size) {
    ++allocationCount;
    if (size >= failAllocationsFrom) return nullptr;
    auto* raw = static_cast<unsigned char*>(std::malloc(size + 64));
    if (raw == nullptr) return nullptr;
    // The first 32-byte boundary with room before it for the pointer free() needs.
    const std::uintptr_t boundary =
        (reinterpret_cast<std::uintptr_t>(raw) + sizeof raw + 31) & ~std::uintptr_t{31};
    auto* memory = reinterpret_cast<unsigned char*>(boundary + allocationShift);
    std::memcpy(memory - sizeof raw, &raw, sizeof raw);
    return memory;
}

// Out of line so that the compiler, seeing operator new and free meet after inlining, does not
// take the pair for a mismatch.
[[gnu::noinline]] void release(void* memory) noexcept {
    if (memory == nullptr) return;
    void* raw;
    std::memcpy(&raw, static_cast<unsigned char*>(memory) - sizeof raw, sizeof raw);
    std::free(raw);
}
}  // namespace

// The scalar forms only: the library's array forms call them, and under AddressSanitizer its
// own array forms pair with each other.
void* operator new(std::size_t size) {
    if (void* memory = countedAllocation(size)) return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void operator delete(void* memory) noexcept {
    release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    release(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    release(memory);
}

namespace {

using Bytes = std::vector<unsigned char>;

enum Encoding { kOther, kPcm, kFloat };

MixFormatInfo mix(Encoding encoding, std::int32_t channels, std::int32_t bits, std::int32_t valid) {
    return {encoding == kFloat, encoding == kPcm, channels, bits, valid};
}

// A 40-byte record; nBlockAlign and cbSize hold nonsense to show they are not consulted.
Bytes record(unsigned tag, unsigned channels, unsigned bits, unsigned validBits, unsigned sub) {
    Bytes bytes(40, 0);
    const unsigned fields[][2] = {{0, tag},   {2, channels}, {12, 0x1234},
                                  {14, bits}, {16, 0xBEEF},  {18, validBits}};
    for (const auto& [at, value] : fields) {
        bytes[at] = static_cast<unsigned char>(value & 0xFF);
        bytes[at + 1] = static_cast<unsigned char>(value >> 8);
    }
    bytes[24] = static_cast<unsigned char>(sub);  // the sub-format GUID, whose first byte varies
    std::memcpy(bytes.data() + 28, "\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
    return bytes;
}

float floatFromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <typename Value>
Bytes bytesOf(const std::vector<Value>& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    return Bytes(bytes, bytes + values.size() * sizeof(Value));
}

Bytes outputBytes(const OutputBuffers& buffers, SampleFormat format) {
    return format == SampleFormat::F32 ? bytesOf(buffers.f32) : bytesOf(buffers.s16);
}

TEST(ClassifyMixFormat, ReadsTheFieldsThatDecideTheDecoding) {
    struct Case {
        const char* name;
        Bytes record;
        MixFormatInfo expected;
    };
    Bytes almostFloat = record(0xFFFE, 2, 32, 32, 3);
    almostFloat[39] ^= 1;
    const Case cases[] = {
        {"pcm", record(1, 2, 16, 20, 0), mix(kPcm, 2, 16, 16)},
        {"ieee float", record(3, 6, 32, 24, 0), mix(kFloat, 6, 32, 32)},
        {"adpcm tag", record(2, 2, 4, 0, 0), mix(kOther, 2, 4, 4)},
        {"extensible float", record(0xFFFE, 8, 32, 32, 3), mix(kFloat, 8, 32, 32)},
        {"extensible pcm 24 in 32", record(0xFFFE, 2, 32, 24, 1), mix(kPcm, 2, 32, 24)},
        {"extensible valid bits 0", record(0xFFFE, 2, 32, 0, 1), mix(kPcm, 2, 32, 32)},
        {"extensible other subformat", record(0xFFFE, 2, 16, 16, 6), mix(kOther, 2, 16, 16)},
        {"wide fields", record(0xFFFE, 0xFFFF, 0xFFFF, 0x8000, 1),
         mix(kPcm, 0xFFFF, 0xFFFF, 0x8000)},
        {"float sub-format but for its last byte", almostFloat, mix(kOther, 2, 32, 32)},
    };
    const auto fields = [](const MixFormatInfo& info) {
        return std::tuple(info.isFloat, info.isPcm, info.sourceChannels, info.bitsPerSample,
                          info.validBitsPerSample);
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fields(classifyMixFormat(c.record.data())), fields(c.expected)) << c.name;
    }
}

// The per-sample path is the reference the fast one is compared with below, so its arithmetic
// is pinned here, once per encoding.
TEST(ConvertSamplesPerSample, GivesTheKnownValues) {
    struct Case {
        const char* name;
        MixFormatInfo info;
        Bytes samples;
        SampleFormat format;
        Bytes expected;
    };
    using S16 = std::vector<std::int16_t>;
    using F32 = std::vector<float>;
    using U32 = std::vector<std::uint32_t>;
    const float inf = floatFromBits(0x7F800000), nan = floatFromBits(0x7FC00000);
    // A signalling NaN and a denormal come out untouched, bit for bit.
    const F32 untouched{floatFromBits(0xFFA00001), -inf, 3.5f, floatFromBits(1), -0.0f};
    const Case cases[] = {
        {"float to s16", mix(kFloat, 1, 32, 32),
         bytesOf(F32{0.5f, -0.5f, 0.25f, 1.0f, 1.5f, inf, -1.0f, -1.5f, -inf, nan, 1e-5f, -0.0f}),
         SampleFormat::S16,
         bytesOf(
             S16{16384, -16384, 8192, 32767, 32767, 32767, -32767, -32767, -32767, 32767, 0, 0})},
        {"float to f32", mix(kFloat, 1, 32, 32), bytesOf(untouched), SampleFormat::F32,
         bytesOf(untouched)},
        // Any format value other than F32 means S16.
        {"pcm16 to s16", mix(kPcm, 1, 16, 16),
         bytesOf(S16{-32768, 32767, 16384, 16383, 24576, 1, 0}), SampleFormat(7),
         bytesOf(S16{-32767, 32766, 16384, 16382, 24575, 1, 0})},
        {"pcm24 to f32", mix(kPcm, 1, 24, 24),
         Bytes{0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}, SampleFormat::F32,
         bytesOf(F32{-1.0f, 1.0f - 0x1p-23f, -0x1p-23f})},
        {"pcm32 valid 24 to f32", mix(kPcm, 1, 32, 24),
         bytesOf(U32{0x00800000, 0x007FFFFF, 0x7FFFFF00}), SampleFormat::F32,
         bytesOf(F32{-1.0f, 1.0f - 0x1p-23f, -0x1p-15f})},
        {"pcm32 valid 32 to f32", mix(kPcm, 1, 32, 32), bytesOf(U32{0x80000000, 0x7FFFFFFF}),
         SampleFormat::F32, bytesOf(F32{-1.0f, 1.0f})},
    };
    for (const Case& c : cases) {
        const auto frames = static_cast<std::uint32_t>(
            c.samples.size() * 8 / static_cast<std::size_t>(c.info.bitsPerSample));
        OutputBuffers out;
        convertSamplesPerSample(c.info, c.samples.data(), frames, 0, 1, c.format, out);
        EXPECT_EQ(outputBytes(out, c.format), c.expected) << c.name;
    }
}

TEST(ConvertSamplesPerSample, MapsSourceChannelsToOutputChannels) {
    // Per output channel, the source channel it carries: left, right, then left again.
    const std::pair<std::int32_t, std::vector<std::int32_t>> cases[] = {
        {1, {0, 0}},    {2, {0}},       {6, {0, 1, 0, 0, 0, 0}},          {8, {0, 1}},
        {2, {0, 1, 0}}, {1, {0, 0, 0}}, {2, {0, 1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& [sourceChannels, sourceOf] : cases) {
        constexpr std::int32_t kFrames = 3;
        std::vector<float> source(kFrames * static_cast<std::size_t>(sourceChannels));
        for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i);
        std::vector<float> expected;
        for (std::int32_t f = 0; f < kFrames; ++f) {
            for (std::int32_t s : sourceOf)
                expected.push_back(static_cast<float>(f * sourceChannels + s));
        }
        OutputBuffers out;
        convertSamplesPerSample(mix(kFloat, sourceChannels, 32, 32), source.data(), kFrames, 0,
                                static_cast<std::int32_t>(sourceOf.size()), SampleFormat::F32, out);
        EXPECT_EQ(out.f32, expected) << sourceChannels << " to " << sourceOf.size();
    }
    // Asked for a channel the source lacks, the reader gives the source's last one.
    const float samples[] = {0.1f, 0.2f, 0.3f, 0.4f};
    EXPECT_EQ(readSampleAsFloat(mix(kFloat, 2, 32, 32), samples, 0, 3), 0.2f);
    EXPECT_EQ(readSampleAsFloat(mix(kFloat, 1, 32, 32), samples, 1, 2), 0.2f);
}

// A FILE* that records what reaches it and how many write calls it saw; unbuffered, so each
// fwrite arrives as one call. Only glibc can build one, so only there is the writing tested.
#if defined(__GLIBC__)
struct CapturedWrites {
    int calls = 0;
    std::size_t acceptedBytes = SIZE_MAX;  // the rest of a write fails
    Bytes bytes;
};

std::FILE* openCapture(CapturedWrites& capture) {
    cookie_io_functions_t functions{};
    functions.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
        auto& capture = *static_cast<CapturedWrites*>(cookie);
        ++capture.calls;
        const std::size_t taken = std::min(
            size, capture.acceptedBytes - std::min(capture.acceptedBytes, capture.bytes.size()));
        capture.bytes.insert(capture.bytes.end(), data, data + taken);
        return static_cast<ssize_t>(taken);
    };
    std::FILE* stream = fopencookie(&capture, "w", functions);
    if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// Each packet goes out in one write: zeros when there is nothing to decode (silence, no data, a
// format that cannot be decoded), nothing at all for an empty packet. A short write is reported
// once and not retried; running out of memory is reported, not thrown.
TEST(ConvertPacket, WritesEachPacketOnceAndReportsWhatWentWrong) {
    const std::vector<float> loud(2 * 1920, 0.75f);
    const Bytes loudS16 = bytesOf(std::vector<std::int16_t>(2 * 480, 24575));
    const MixFormatInfo stereo = mix(kFloat, 2, 32, 32);
    const std::string kept = "earlier text", closed = "stdout closed while writing audio",
                      noMemory = "Not enough memory to convert a packet of 1920 frames";
    struct Case {
        const char* name;
        MixFormatInfo info;
        const void* data;
        std::uint32_t frames, flags;
        SampleFormat format;
        std::size_t accepted;  // by the stream; the rest of a write fails
        int calls;
        Bytes written;
        std::string error;
    };
    const Case cases[] = {
        {"silent", stereo, loud.data(), 480, kBufferFlagSilent, SampleFormat::F32, SIZE_MAX, 1,
         Bytes(3840, 0), kept},
        {"silent among other flags", stereo, loud.data(), 480, 0x7, SampleFormat::S16, SIZE_MAX, 1,
         Bytes(1920, 0), kept},
        {"no data", stereo, nullptr, 480, 0, SampleFormat::F32, SIZE_MAX, 1, Bytes(3840, 0), kept},
        {"8-bit pcm", mix(kPcm, 2, 8, 8), loud.data(), 480, 0, SampleFormat::S16, SIZE_MAX, 1,
         Bytes(1920, 0), kept},
        {"other subformat", mix(kOther, 2, 32, 32), loud.data(), 480, 0, SampleFormat::F32,
         SIZE_MAX, 1, Bytes(3840, 0), kept},
        {"no frames", stereo, loud.data(), 0, 0, SampleFormat::F32, SIZE_MAX, 0, Bytes(), kept},
        {"all taken", stereo, loud.data(), 480, 0, SampleFormat::S16, 1920, 1, loudS16, kept},
        {"part taken", stereo, loud.data(), 480, 0, SampleFormat::S16, 1000, 1,
         Bytes(loudS16.begin(), loudS16.begin() + 1000), closed},
        {"nothing taken", stereo, loud.data(), 480, 0, SampleFormat::S16, 0, 1, Bytes(), closed},
        {"out of memory", stereo, loud.data(), 1920, 0, SampleFormat::S16, SIZE_MAX, 0, Bytes(),
         noMemory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedWrites capture;
        capture.acceptedBytes = c.accepted;
        capture.bytes.reserve(8192);
        std::FILE* stream = openCapture(capture);
        ASSERT_NE(stream, nullptr);
        OutputBuffers buffers;
        std::string error = kept;
        // A larger packet first: zeros must replace its samples, not follow them. Later packets
        // up to that size need no new buffer, so allocations of 1 KiB and more can then fail.
        convertSamples(stereo, loud.data(), 960, 0, 2, c.format, buffers);
        failAllocationsFrom = 1024;
        convertPacket(c.info, c.data, c.frames, c.flags, 2, c.format, buffers, error, stream);
        failAllocationsFrom = SIZE_MAX;
        std::fclose(stream);
        EXPECT_EQ(capture.calls, c.calls);
        EXPECT_EQ(capture.bytes, c.written);
        EXPECT_EQ(error, c.error);
    }
}
#endif

// The fast path, with each kernel set this machine runs and with outputs starting on and 16
// bytes off a 32-byte boundary, gives the bytes the per-sample path gives, and allocates nothing
// once its buffer is large enough.
void expectFastMatchesPerSample(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                                std::int32_t channels, SampleFormat format) {
    OutputBuffers reference;
    convertSamplesPerSample(info, data, frames, 0, channels, format, reference);
    const Bytes expected = outputBytes(reference, format);
    for (ConversionPath path :
         {ConversionPath::Portable, ConversionPath::Sse2, ConversionPath::Avx2}) {
        if (!setConversionPathForTesting(path)) {
            EXPECT_NE(path, ConversionPath::Portable);
            continue;
        }
        for (std::uintptr_t shift : {0, 16}) {
            allocationShift = shift;
            OutputBuffers fast;
            convertSamples(info, data, frames, 0, channels, format, fast);
            allocationShift = 0;
            const Bytes got = outputBytes(fast, format);
            EXPECT_TRUE(got == expected)
                << "kernel set " << static_cast<int>(path) << ", output shifted by " << shift
                << ": " << got.size() << " bytes for " << expected.size()
                << ", first difference at "
                << std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
                       got.begin();
            // A packet no larger than one before reuses its buffer, even after an empty one.
            const long before = allocationCount.load();
            convertSamples(info, data, 0, 0, channels, format, fast);
            convertSamples(info, data, frames, 0, channels, format, fast);
            EXPECT_EQ(allocationCount.load() - before, 0)
                << "kernel set " << static_cast<int>(path);
        }
    }
    setConversionPathForTesting(ConversionPath::Automatic);
}

Bytes randomSamples(const MixFormatInfo& info, std::size_t count, std::mt19937& random) {
    const std::size_t width = info.isFloat ? 4 : static_cast<std::size_t>(info.bitsPerSample) / 8;
    Bytes bytes(count * width);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random() & 0xFF);
    // Many samples are replaced by values where conversions go wrong: integers at the ends of
    // their valid range and around zero; floats at NaNs, infinities, denormals, around and beyond
    // +-1, and values whose S16 scaling ends on a rounding tie.
    const int valid = info.isFloat ? 32
                      : info.validBitsPerSample >= 1 && info.validBitsPerSample < info.bitsPerSample
                          ? info.validBitsPerSample
                          : info.bitsPerSample;
    const std::int64_t top = std::int64_t{1} << (valid - 1);
    const std::int64_t integers[] = {-top, top - 1, 0, -1, 1};
    const std::uint32_t floats[] = {
        0x7FC00000, 0xFFC00000, 0x7FC12345, 0x7F800001, 0xFFBFFFFF, 0x7F800000, 0xFF800000,
        0x00000001, 0x807FFFFF, 0x00400000, 0x3F800000, 0xBF800000, 0x3F7FFFFF, 0xBF800001,
        0x80000000, 0x3FC00000, 0xC0000000, 0x7F7FFFFF, 0x38000100, 0x37FFFFFF,
    };
    std::uniform_real_distribution<float> nearUnit(-1.25f, 1.25f);
    for (std::size_t at = 0; at < bytes.size(); at += width) {
        const auto choice = random() % 4;
        if (!info.isFloat) {
            const std::int64_t value = integers[random() % std::size(integers)];
            if (choice == 0) std::memcpy(&bytes[at], &value, width);  // low bytes: little-endian
        } else if (choice < 3) {
            const float value = choice == 0 ? floatFromBits(floats[random() % std::size(floats)])
                                : choice == 1
                                    ? nearUnit(random)
                                    : static_cast<float>(random() % 65536) / 65536.0f - 0.5f;
            std::memcpy(&bytes[at], &value, sizeof value);
        }
    }
    return bytes;
}

TEST(ConvertSamples, MatchesThePerSamplePathOnRandomPackets) {
    // Float sources ignore their bit count; 32-bit integers take their valid bits when those are
    // 1 to 31; 8-bit integers cannot be decoded.
    const MixFormatInfo kinds[] = {
        mix(kFloat, 1, 32, 32), mix(kFloat, 1, 64, 64), mix(kPcm, 1, 16, 16), mix(kPcm, 1, 24, 24),
        mix(kPcm, 1, 32, 32),   mix(kPcm, 1, 32, 24),   mix(kPcm, 1, 32, 20), mix(kPcm, 1, 32, 1),
        mix(kPcm, 1, 32, 0),    mix(kPcm, 1, 32, 40),   mix(kPcm, 1, 8, 8),
    };
    std::mt19937 random(20240611);
    for (const MixFormatInfo& kind : kinds) {
        for (std::int32_t sourceChannels : {1, 2, 6, 8}) {
            MixFormatInfo info = kind;
            info.sourceChannels = sourceChannels;
            for (std::uint32_t frames : {0, 1, 2, 3, 16, 17, 255, 256, 257, 1000, 1001}) {
                // Misaligned starts too: the engine's buffers carry no alignment promise.
                const std::size_t offset = frames % 3;
                Bytes samples(offset, 0);
                const Bytes drawn = randomSamples(
                    info, frames * static_cast<std::uint32_t>(sourceChannels), random);
                samples.insert(samples.end(), drawn.begin(), drawn.end());
                for (std::int32_t channels : {1, 2, 3, 6}) {
                    for (SampleFormat format :
                         {SampleFormat::S16, SampleFormat::F32, SampleFormat(0)}) {
                        SCOPED_TRACE(testing::Message()
                                     << (info.isFloat ? "float " : "pcm ") << info.bitsPerSample
                                     << "/" << info.validBitsPerSample << ", " << sourceChannels
                                     << " to " << channels << " channels, " << frames
                                     << " frames, format " << static_cast<int>(format));
                        expectFastMatchesPerSample(info, samples.data() + offset, frames, channels,
                                                   format);
                    }
                }
            }
        }
    }
}

TEST(ConvertSamples, MatchesThePerSamplePathForEvery16BitSample) {
    std::vector<std::int16_t> everyValue;
    for (int v = -32768; v <= 32767; ++v) everyValue.push_back(static_cast<std::int16_t>(v));
    for (std::int32_t channels : {1, 2}) {
        for (SampleFormat format : {SampleFormat::S16, SampleFormat::F32}) {
            SCOPED_TRACE(testing::Message()
                         << channels << " channels, format " << static_cast<int>(format));
            expectFastMatchesPerSample(mix(kPcm, channels, 16, 16), everyValue.data(),
                                       65536u / static_cast<std::uint32_t>(channels), channels,
                                       format);
        }
    }
}

}  // namespace
