#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "stream/sample_convert.h"
#include "stream/sample_kernels.h"

// Every allocation through operator new is counted, so that steady streaming can be shown to
// allocate nothing, and can be made to start 16 bytes past a 32-byte boundary, so that the
// kernels meet both starts malloc hands out. Replacing the operators (rather than intercepting
// malloc) keeps working under AddressSanitizer, which owns malloc.
namespace {
std::atomic<long> allocationCount{0};
std::atomic<std::uintptr_t> allocationShift{0};
std::atomic<std::size_t> failAllocationsFrom{SIZE_MAX};  // bytes; smaller requests succeed

void* countedAllocation(std::size_t size) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (size >= failAllocationsFrom.load(std::memory_order_relaxed)) return nullptr;
    // Room to reach the boundary, to shift past it, and for the pointer free() needs.
    auto* raw = static_cast<unsigned char*>(std::malloc(size + 80));
    if (raw == nullptr) return nullptr;
    const std::uintptr_t boundary =
        (reinterpret_cast<std::uintptr_t>(raw) + 16 + 31) & ~std::uintptr_t{31};
    unsigned char* memory = raw + (boundary - reinterpret_cast<std::uintptr_t>(raw)) +
                            allocationShift.load(std::memory_order_relaxed);
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

void* operator new(std::size_t size) {
    if (void* memory = countedAllocation(size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void operator delete(void* memory) noexcept {
    release(memory);
}
void operator delete[](void* memory) noexcept {
    release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    release(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    release(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    release(memory);
}

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                         0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void putU16(Bytes& bytes, std::size_t at, unsigned value) {
    bytes[at] = static_cast<unsigned char>(value & 0xFF);
    bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

// A 40-byte record; cbSize and nBlockAlign hold nonsense to show they are not consulted.
Bytes mixFormatRecord(unsigned tag, unsigned channels, unsigned bits, unsigned validBits = 0,
                      unsigned subFormatData1 = 0) {
    Bytes record(40, 0);
    putU16(record, 0, tag);
    putU16(record, 2, channels);
    putU16(record, 12, 0x1234);  // nBlockAlign
    putU16(record, 14, bits);
    putU16(record, 16, 0xBEEF);  // cbSize
    putU16(record, 18, validBits);
    record[24] = static_cast<unsigned char>(subFormatData1);
    std::memcpy(record.data() + 28, kGuidTail, sizeof kGuidTail);
    return record;
}

MixFormatInfo pcmInfo(std::int32_t channels, std::int32_t bits, std::int32_t validBits) {
    MixFormatInfo info;
    info.isPcm = true;
    info.sourceChannels = channels;
    info.bitsPerSample = bits;
    info.validBitsPerSample = validBits;
    return info;
}

MixFormatInfo floatInfo(std::int32_t channels) {
    MixFormatInfo info;
    info.isFloat = true;
    info.sourceChannels = channels;
    info.bitsPerSample = 32;
    info.validBitsPerSample = 32;
    return info;
}

std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float floatFromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <typename Value>
Bytes bytesOf(const std::vector<Value>& values) {
    Bytes bytes(values.size() * sizeof(Value));
    if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// The kernel sets this machine can run; tests that go through convertSamples run each of them.
std::vector<ConversionPath> runnablePaths() {
    std::vector<ConversionPath> paths;
    for (ConversionPath path :
         {ConversionPath::Portable, ConversionPath::Sse2, ConversionPath::Avx2}) {
        if (setConversionPathForTesting(path)) paths.push_back(path);
    }
    setConversionPathForTesting(ConversionPath::Automatic);
    return paths;
}

const char* pathName(ConversionPath path) {
    switch (path) {
        case ConversionPath::Portable:
            return "portable";
        case ConversionPath::Sse2:
            return "sse2";
        case ConversionPath::Avx2:
            return "avx2";
        default:
            return "automatic";
    }
}

struct ForcedPath {
    explicit ForcedPath(ConversionPath path) { EXPECT_TRUE(setConversionPathForTesting(path)); }
    ~ForcedPath() { setConversionPathForTesting(ConversionPath::Automatic); }
};

Bytes outputBytes(const OutputBuffers& buffers, SampleFormat format) {
    return format == SampleFormat::F32 ? bytesOf(buffers.f32) : bytesOf(buffers.s16);
}

// A FILE* that records what reaches it and how many write calls it saw; unbuffered, so each
// fwrite arrives as one call. Only glibc can build one; elsewhere the tests that need it skip.
struct CapturedWrites {
    int calls = 0;
    std::size_t acceptedBytes = static_cast<std::size_t>(-1);  // the rest of a write fails
    Bytes bytes;
};

#if defined(__GLIBC__)
ssize_t captureWrite(void* cookie, const char* data, std::size_t size) {
    auto& capture = *static_cast<CapturedWrites*>(cookie);
    ++capture.calls;
    const std::size_t room =
        capture.acceptedBytes - std::min(capture.acceptedBytes, capture.bytes.size());
    const std::size_t taken = std::min(size, room);
    capture.bytes.insert(capture.bytes.end(), data, data + taken);
    return static_cast<ssize_t>(taken);
}

std::FILE* openCapture(CapturedWrites& capture) {
    cookie_io_functions_t functions{};
    functions.write = captureWrite;
    std::FILE* stream = fopencookie(&capture, "w", functions);
    if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}
#else
std::FILE* openCapture(CapturedWrites&) {
    return nullptr;
}
#endif

TEST(ClassifyMixFormat, ReadsTheFieldsThatDecideTheDecoding) {
    struct Case {
        const char* name;
        Bytes record;
        bool isFloat, isPcm;
        std::int32_t channels, bits, validBits;
    };
    const Case cases[] = {
        {"pcm", mixFormatRecord(1, 2, 16, 20), false, true, 2, 16, 16},
        {"ieee float", mixFormatRecord(3, 6, 32, 24), true, false, 6, 32, 32},
        {"adpcm tag", mixFormatRecord(2, 2, 4), false, false, 2, 4, 4},
        {"extensible float", mixFormatRecord(0xFFFE, 8, 32, 32, 3), true, false, 8, 32, 32},
        {"extensible pcm 24 in 32", mixFormatRecord(0xFFFE, 2, 32, 24, 1), false, true, 2, 32, 24},
        {"extensible valid bits 0", mixFormatRecord(0xFFFE, 2, 32, 0, 1), false, true, 2, 32, 32},
        {"extensible other subformat", mixFormatRecord(0xFFFE, 2, 16, 16, 6), false, false, 2, 16,
         16},
        {"wide fields", mixFormatRecord(0xFFFE, 0xFFFF, 0xFFFF, 0x8000, 1), false, true, 0xFFFF,
         0xFFFF, 0x8000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MixFormatInfo info = classifyMixFormat(c.record.data());
        EXPECT_EQ(info.isFloat, c.isFloat);
        EXPECT_EQ(info.isPcm, c.isPcm);
        EXPECT_EQ(info.sourceChannels, c.channels);
        EXPECT_EQ(info.bitsPerSample, c.bits);
        EXPECT_EQ(info.validBitsPerSample, c.validBits);
    }
    Bytes almostFloat = mixFormatRecord(0xFFFE, 2, 32, 32, 3);
    almostFloat[39] ^= 1;
    const MixFormatInfo info = classifyMixFormat(almostFloat.data());
    EXPECT_FALSE(info.isFloat || info.isPcm);
}

// Mono in, mono out; the values repeat over 37 frames so that the vector loops and their tails
// both see every one of them.
TEST(ReadSampleAsFloat, ReadsTheLastChannelForChannelsTheSourceLacks) {
    const std::vector<float> mono = {0.1f, 0.2f, 0.3f};
    const std::vector<float> stereo = {0.1f, -0.1f, 0.2f, -0.2f};
    struct Case {
        const float* data;
        std::int32_t sourceChannels;
        std::uint32_t frame;
        std::int32_t channel;
        float expected;
    };
    const Case cases[] = {
        {mono.data(), 1, 1, 0, 0.2f},    {mono.data(), 1, 1, 1, 0.2f},
        {mono.data(), 1, 0, 5, 0.1f},    {stereo.data(), 2, 1, 1, -0.2f},
        {stereo.data(), 2, 0, 7, -0.1f}, {stereo.data(), 2, 1, 0, 0.2f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readSampleAsFloat(floatInfo(c.sourceChannels), c.data, c.frame, c.channel),
                  c.expected)
            << c.sourceChannels << " channels, frame " << c.frame << ", channel " << c.channel;
    }
}

TEST(ConvertSamples, GivesTheKnownValues) {
    struct Case {
        const char* name;
        MixFormatInfo info;
        Bytes samples;
        SampleFormat format;
        std::vector<std::int16_t> s16;
        std::vector<float> f32;
    };
    const float inf = floatFromBits(0x7F800000);
    const float nan = floatFromBits(0x7FC00000);
    const float signallingNan = floatFromBits(0xFFA00001);
    const Case cases[] = {
        {"float to s16",
         floatInfo(1),
         bytesOf(std::vector<float>{0.5f, -0.5f, 0.25f, 1.0f, 1.5f, inf, -1.0f, -1.5f, -inf, nan,
                                    1e-5f, -0.0f}),
         SampleFormat::S16,
         {16384, -16384, 8192, 32767, 32767, 32767, -32767, -32767, -32767, 32767, 0, 0},
         {}},
        {"float to f32 untouched",
         floatInfo(1),
         bytesOf(std::vector<float>{signallingNan, -inf, 3.5f, floatFromBits(1), -0.0f}),
         SampleFormat::F32,
         {},
         {signallingNan, -inf, 3.5f, floatFromBits(1), -0.0f}},
        {"pcm16 to s16",
         pcmInfo(1, 16, 16),
         bytesOf(std::vector<std::int16_t>{-32768, 32767, 16384, 16383, 24576, 1, 0}),
         SampleFormat(7),
         {-32767, 32766, 16384, 16382, 24575, 1, 0},
         {}},
        {"pcm16 to f32",
         pcmInfo(1, 16, 16),
         bytesOf(std::vector<std::int16_t>{-32768, 16384, 0}),
         SampleFormat::F32,
         {},
         {-1.0f, 0.5f, 0.0f}},
        {"pcm24 to f32",
         pcmInfo(1, 24, 24),
         Bytes{0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF},
         SampleFormat::F32,
         {},
         {-1.0f, 1.0f - 0x1p-23f, -0x1p-23f}},
        {"pcm32 valid 24 to f32",
         pcmInfo(1, 32, 24),
         bytesOf(std::vector<std::uint32_t>{0x00800000, 0x007FFFFF, 0x7FFFFF00}),
         SampleFormat::F32,
         {},
         {-1.0f, 1.0f - 0x1p-23f, -0x1p-15f}},
        {"pcm32 valid 32 to f32",
         pcmInfo(1, 32, 32),
         bytesOf(std::vector<std::uint32_t>{0x80000000, 0x7FFFFFFF}),
         SampleFormat::F32,
         {},
         {-1.0f, 1.0f}},
        {"extensible pcm32 valid 0 to f32",
         classifyMixFormat(mixFormatRecord(0xFFFE, 1, 32, 0, 1).data()),
         bytesOf(std::vector<std::uint32_t>{0x80000000, 0x7FFFFFFF}),
         SampleFormat::F32,
         {},
         {-1.0f, 1.0f}},
    };
    constexpr std::uint32_t kFrames = 37;
    for (const Case& c : cases) {
        const std::size_t distinct = std::max(c.s16.size(), c.f32.size());
        const std::size_t sampleBytes = c.samples.size() / distinct;
        Bytes source;
        Bytes expected;
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            const std::size_t k = f % distinct;
            source.insert(source.end(), c.samples.begin() + static_cast<long>(k * sampleBytes),
                          c.samples.begin() + static_cast<long>((k + 1) * sampleBytes));
            const Bytes one = c.format == SampleFormat::F32
                                  ? bytesOf(std::vector<float>{c.f32[k]})
                                  : bytesOf(std::vector<std::int16_t>{c.s16[k]});
            expected.insert(expected.end(), one.begin(), one.end());
        }
        OutputBuffers reference;
        convertSamplesPerSample(c.info, source.data(), kFrames, 0, 1, c.format, reference);
        EXPECT_EQ(outputBytes(reference, c.format), expected) << c.name << " per sample";
        for (ConversionPath path : runnablePaths()) {
            ForcedPath forced(path);
            OutputBuffers buffers;
            convertSamples(c.info, source.data(), kFrames, 0, 1, c.format, buffers);
            EXPECT_EQ(outputBytes(buffers, c.format), expected) << c.name << " " << pathName(path);
        }
    }
}

TEST(ConvertSamples, MapsSourceChannelsToOutputChannels) {
    struct Case {
        std::int32_t sourceChannels;
        std::int32_t channels;
        std::vector<int> sourceChannelOf;  // per output channel
    };
    const Case cases[] = {
        {1, 2, {0, 0}},    {2, 1, {0}},       {6, 6, {0, 1, 0, 0, 0, 0}},          {8, 2, {0, 1}},
        {2, 3, {0, 1, 0}}, {1, 3, {0, 0, 0}}, {2, 9, {0, 1, 0, 0, 0, 0, 0, 0, 0}},
    };
    constexpr std::uint32_t kFrames = 41;
    for (const Case& c : cases) {
        std::vector<float> source;
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            for (int s = 0; s < c.sourceChannels; ++s) {
                source.push_back(static_cast<float>(f) * 0.01f + static_cast<float>(s) * 0.1f);
            }
        }
        std::vector<float> expected;
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            for (int s : c.sourceChannelOf) {
                expected.push_back(source[f * static_cast<std::uint32_t>(c.sourceChannels) +
                                          static_cast<std::uint32_t>(s)]);
            }
        }
        OutputBuffers reference;
        convertSamplesPerSample(floatInfo(c.sourceChannels), source.data(), kFrames, 0, c.channels,
                                SampleFormat::F32, reference);
        EXPECT_EQ(reference.f32, expected) << c.sourceChannels << " to " << c.channels;
        for (ConversionPath path : runnablePaths()) {
            ForcedPath forced(path);
            OutputBuffers buffers;
            convertSamples(floatInfo(c.sourceChannels), source.data(), kFrames, 0, c.channels,
                           SampleFormat::F32, buffers);
            EXPECT_EQ(buffers.f32, expected)
                << c.sourceChannels << " to " << c.channels << " " << pathName(path);
        }
    }
}

// Silence, missing data and formats that cannot be decoded all write the packet's worth of
// zeros in one write, without an error.
TEST(ConvertPacket, WritesZerosWhenThereIsNothingToDecode) {
    const std::vector<float> loud(960 * 8, 0.75f);
    struct Case {
        const char* name;
        MixFormatInfo info;
        const void* data;
        std::uint32_t flags;
        SampleFormat format;
        std::size_t bytes;
    };
    const Case cases[] = {
        {"silent flag", floatInfo(2), loud.data(), kBufferFlagSilent, SampleFormat::F32, 3840},
        {"silent among other flags", floatInfo(2), loud.data(), 0x7, SampleFormat::S16, 1920},
        {"no data", floatInfo(2), nullptr, 0, SampleFormat::F32, 3840},
        {"8-bit pcm", pcmInfo(2, 8, 8), loud.data(), 0, SampleFormat::S16, 1920},
        {"other subformat", classifyMixFormat(mixFormatRecord(0xFFFE, 2, 32, 32, 6).data()),
         loud.data(), 0, SampleFormat::F32, 3840},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedWrites capture;
        std::FILE* stream = openCapture(capture);
        if (stream == nullptr) GTEST_SKIP() << "no capturing stream on this C library";
        OutputBuffers buffers;
        std::string error;
        // A larger packet first: the zeros must replace its samples, not follow them.
        convertSamples(floatInfo(2), loud.data(), 960, 0, 2, c.format, buffers);
        convertPacket(c.info, c.data, 480, c.flags, 2, c.format, buffers, error, stream);
        std::fclose(stream);
        EXPECT_EQ(capture.calls, 1);
        EXPECT_EQ(capture.bytes, Bytes(c.bytes, 0));
        EXPECT_EQ(error, "");
    }
}

TEST(ConvertPacket, WritesNothingForAnEmptyPacket) {
    CapturedWrites capture;
    std::FILE* stream = openCapture(capture);
    if (stream == nullptr) GTEST_SKIP() << "no capturing stream on this C library";
    const float sample = 0.5f;
    OutputBuffers buffers;
    std::string error;
    convertPacket(floatInfo(2), &sample, 0, 0, 2, SampleFormat::F32, buffers, error, stream);
    std::fclose(stream);
    EXPECT_TRUE(capture.bytes.empty());
    EXPECT_EQ(error, "");
}

TEST(ConvertPacket, ReportsAShortWriteOnceWithoutRetrying) {
    const std::vector<std::int16_t> source(2 * 480, 1000);
    for (std::size_t accepted : {std::size_t{0}, std::size_t{1000}, std::size_t{1920}}) {
        CapturedWrites capture;
        capture.acceptedBytes = accepted;
        std::FILE* stream = openCapture(capture);
        if (stream == nullptr) GTEST_SKIP() << "no capturing stream on this C library";
        OutputBuffers buffers;
        std::string error = "earlier text";
        convertPacket(pcmInfo(2, 16, 16), source.data(), 480, 0, 2, SampleFormat::S16, buffers,
                      error, stream);
        std::fclose(stream);
        EXPECT_EQ(capture.calls, 1) << accepted;
        Bytes written = bytesOf(buffers.s16);
        written.resize(accepted);
        EXPECT_EQ(capture.bytes, written);
        EXPECT_EQ(error, accepted == 1920 ? "earlier text" : "stdout closed while writing audio")
            << accepted;
    }
}

// One mix format under test: how it is described and how big its samples are.
struct SourceKind {
    const char* name;
    MixFormatInfo info;
    std::size_t bytesPerSample;
};

Bytes randomSamples(const SourceKind& kind, std::size_t count, std::mt19937& random) {
    Bytes bytes(count * kind.bytesPerSample);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random() & 0xFF);
    if (!kind.info.isFloat) return bytes;
    // Floats mostly from the values where conversions go wrong, the rest as random bits.
    const std::uint32_t special[] = {
        0x7FC00000, 0xFFC00000, 0x7FC12345, 0x7F800001, 0xFFBFFFFF,  // NaNs
        0x7F800000, 0xFF800000, 0x00000001, 0x807FFFFF, 0x00400000,  // infinities, denormals
        0x3F800000, 0xBF800000, 0x3F7FFFFF, 0xBF800001, 0x80000000,  // around and at +-1, -0
        0x3FC00000, 0xC0000000, 0x7F7FFFFF, 0x38000100, 0x37FFFFFF,  // beyond +-1, rounding ties
    };
    std::uniform_real_distribution<float> nearUnit(-1.25f, 1.25f);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        switch (random() % 4) {
            case 0:
                bits = special[random() % (sizeof special / sizeof special[0])];
                break;
            case 1:
                bits = bitsOf(nearUnit(random));
                break;
            case 2:
                bits = bitsOf(static_cast<float>(random() % 65536) / 65536.0f - 0.5f);
                break;
            default:
                continue;  // keep the random bits
        }
        std::memcpy(bytes.data() + 4 * i, &bits, 4);
    }
    return bytes;
}

void expectSameOutput(const OutputBuffers& fast, const OutputBuffers& reference,
                      SampleFormat format) {
    const Bytes fastBytes = outputBytes(fast, format);
    const Bytes referenceBytes = outputBytes(reference, format);
    ASSERT_EQ(fastBytes.size(), referenceBytes.size());
    const auto mismatch = std::mismatch(fastBytes.begin(), fastBytes.end(), referenceBytes.begin());
    EXPECT_TRUE(mismatch.first == fastBytes.end())
        << "first difference at byte " << (mismatch.first - fastBytes.begin());
}

TEST(ConvertSamples, MatchesThePerSamplePathOnRandomPackets) {
    const SourceKind kinds[] = {
        {"float32", floatInfo(1), 4},
        {"float32 with odd bit count",
         [] {
             MixFormatInfo i = floatInfo(1);
             i.bitsPerSample = 64;
             return i;
         }(),
         4},
        {"pcm16", pcmInfo(1, 16, 16), 2},
        {"pcm24", pcmInfo(1, 24, 24), 3},
        {"pcm32", pcmInfo(1, 32, 32), 4},
        {"pcm32 valid 24", pcmInfo(1, 32, 24), 4},
        {"pcm32 valid 20", pcmInfo(1, 32, 20), 4},
        {"pcm32 valid 1", pcmInfo(1, 32, 1), 4},
        {"pcm32 valid 0", pcmInfo(1, 32, 0), 4},
        {"pcm32 valid 40", pcmInfo(1, 32, 40), 4},
        {"pcm8", pcmInfo(1, 8, 8), 1},
    };
    const std::uint32_t frameCounts[] = {0, 1, 2, 3, 16, 17, 255, 256, 257, 1000, 1001};
    std::mt19937 random(20240611);
    for (ConversionPath path : runnablePaths()) {
        ForcedPath forced(path);
        for (const SourceKind& kind : kinds) {
            for (std::int32_t sourceChannels : {1, 2, 6, 8}) {
                MixFormatInfo info = kind.info;
                info.sourceChannels = sourceChannels;
                for (std::uint32_t frames : frameCounts) {
                    // Misaligned starts too: the engine's buffers carry no alignment promise.
                    const std::size_t offset = frames % 3;
                    const Bytes samples = randomSamples(
                        kind, frames * static_cast<std::uint32_t>(sourceChannels), random);
                    Bytes shifted(offset, 0);
                    shifted.insert(shifted.end(), samples.begin(), samples.end());
                    const unsigned char* data = shifted.data() + offset;
                    for (std::int32_t channels : {1, 2, 3, 6}) {
                        for (SampleFormat format :
                             {SampleFormat::S16, SampleFormat::F32, SampleFormat(0)}) {
                            SCOPED_TRACE(testing::Message()
                                         << pathName(path) << " " << kind.name << " "
                                         << sourceChannels << " to " << channels << " channels, "
                                         << frames << " frames, format "
                                         << static_cast<int>(format));
                            OutputBuffers reference;
                            convertSamplesPerSample(info, data, frames, 0, channels, format,
                                                    reference);
                            // Outputs starting on and 16 bytes off a 32-byte boundary.
                            for (std::uintptr_t shift : {0, 16}) {
                                allocationShift = shift;
                                OutputBuffers fast;
                                convertSamples(info, data, frames, 0, channels, format, fast);
                                allocationShift = 0;
                                expectSameOutput(fast, reference, format);
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(ConvertSamples, MatchesThePerSamplePathForEvery16BitSample) {
    std::vector<std::int16_t> everyValue;
    for (int v = -32768; v <= 32767; ++v) everyValue.push_back(static_cast<std::int16_t>(v));
    for (ConversionPath path : runnablePaths()) {
        ForcedPath forced(path);
        for (std::int32_t channels : {1, 2}) {
            const MixFormatInfo info = pcmInfo(channels, 16, 16);
            const auto frames = static_cast<std::uint32_t>(everyValue.size()) /
                                static_cast<std::uint32_t>(channels);
            for (SampleFormat format : {SampleFormat::S16, SampleFormat::F32}) {
                SCOPED_TRACE(testing::Message()
                             << pathName(path) << " " << channels << " channels, format "
                             << static_cast<int>(format));
                OutputBuffers fast;
                OutputBuffers reference;
                convertSamples(info, everyValue.data(), frames, 0, channels, format, fast);
                convertSamplesPerSample(info, everyValue.data(), frames, 0, channels, format,
                                        reference);
                expectSameOutput(fast, reference, format);
            }
        }
    }
}

TEST(ConvertSamples, AllocatesNothingOncePacketsKeepTheirSize) {
    const std::vector<float> source(8 * 960, 0.25f);
    struct Case {
        const char* name;
        MixFormatInfo info;
        std::int32_t channels;
        SampleFormat format;
        std::uint32_t flags;
    };
    const Case cases[] = {
        {"same layout", floatInfo(2), 2, SampleFormat::F32, 0},
        {"pcm to s16", pcmInfo(2, 16, 16), 2, SampleFormat::S16, 0},
        {"downmix through blocks", floatInfo(8), 2, SampleFormat::S16, 0},
        {"mono spread", pcmInfo(1, 24, 24), 6, SampleFormat::F32, 0},
        {"silence", floatInfo(2), 2, SampleFormat::S16, kBufferFlagSilent},
    };
    for (const Case& c : cases) {
        OutputBuffers buffers;
        convertSamples(c.info, source.data(), 480, c.flags, c.channels, c.format, buffers);
        const long before = allocationCount.load();
        for (std::uint32_t frames : {480u, 480u, 100u, 480u, 0u, 480u}) {
            convertSamples(c.info, source.data(), frames, c.flags, c.channels, c.format, buffers);
        }
        EXPECT_EQ(allocationCount.load() - before, 0) << c.name;
    }
}

TEST(ConvertPacket, RunningOutOfMemoryIsReportedNotThrown) {
    const std::vector<float> source(2 * 480, 0.5f);
    OutputBuffers buffers;
    std::string errorMessage;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    failAllocationsFrom = 1024;  // the packet's buffer, not the message
    convertPacket(floatInfo(2), source.data(), 480, 0, 2, SampleFormat::S16, buffers, errorMessage,
                  out);
    failAllocationsFrom = SIZE_MAX;
    EXPECT_EQ(errorMessage, "Not enough memory to convert a packet of 480 frames");
    EXPECT_EQ(std::ftell(out), 0);
    std::fclose(out);
}

}  // namespace
