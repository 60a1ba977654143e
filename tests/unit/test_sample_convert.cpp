#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <tuple>

#include "stream/packet_converter.h"
#include "stream/sample_convert.h"

// Allocations fail from a size on: running out of memory must be reported, and a packet no
// larger than an earlier one must get by without a new buffer. Kept out of line so that the
// compiler never sees malloc's pointer reach operator delete and take that for a mismatch.
static std::size_t failAllocationsFrom = SIZE_MAX;
[[gnu::noinline]] void* operator new(std::size_t size) {
    return size < failAllocationsFrom ? std::malloc(size + 1) : throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

using Bytes = std::vector<unsigned char>;
using F32 = std::vector<float>;

static Bytes bytesOf(const F32& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    return Bytes(bytes, bytes + values.size() * sizeof(float));
}

using U16 = std::uint16_t;
constexpr U16 kPcm = 1, kFloat = 3, kExt = 0xFFFE;

// The record as little-endian 16-bit words; the sub-format GUID starts at word 12 and only its
// first word varies here.
static MixFormatInfo mix(U16 tag, U16 channels, U16 bits, U16 valid = 0, U16 guid = 1) {
    const U16 record[20] = {tag, channels, 0,    0, 0, 0,    0,    bits,   22,     valid,
                            0,   0,        guid, 0, 0, 0x10, 0x80, 0xAA00, 0x3800, 0x719B};
    return classifyMixFormat(record);
}

// From the engine's record to the output of two frames: how each encoding decodes and encodes,
// when nothing is decoded, and which source channel each output channel carries.
TEST(ConvertSamples, GivesTheKnownOutputForEachFormat) {
    const auto f32 = SampleFormat::F32, s16 = SampleFormat::S16, other = SampleFormat(7);
    const MixFormatInfo stereo = mix(kFloat, 2, 32);
    // A NaN with sign and payload, -inf, a denormal and -0 pass untouched.
    const F32 odd{-std::nanf("0x12345"), -INFINITY, 0x1p-149f, -0.0f};
    const Bytes x = bytesOf(F32{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    // Source, flags, source samples, output format and samples.
    const std::tuple<MixFormatInfo, std::uint32_t, Bytes, SampleFormat, F32> cases[] = {
        // S16 is clamped to +-32767, NaN to the top; any format other than F32 means S16, and
        // flags other than silent change nothing.
        {stereo, 0x5, bytesOf(F32{.5, -.5, 1.5, -1.5}), other, {16384, -16384, 32767, -32767}},
        {stereo, 0, bytesOf(F32{INFINITY, -INFINITY, NAN, 0}), s16, {32767, -32767, 32767, 0}},
        {mix(kExt, 2, 32, 32, 3), 0, bytesOf(odd), f32, odd},
        // Containers of 16 and 24 bits ignore the valid bits.
        {mix(kExt, 1, 16, 12), 0, Bytes{0, 0x80, 0xFF, 0x7F}, f32, {-1, 1 - 0x1p-15f}},
        {mix(kExt, 1, 24, 20), 0, Bytes{0, 0, 0x80, 0xFF, 0xFF, 0x7F}, f32, {-1, 1 - 0x1p-23f}},
        // In 32-bit containers the low valid bits hold the sample when there are 1 to 31.
        {mix(kExt, 1, 32, 24), 0, Bytes{0, 0, 0x80, 0, 0, 0xFF, 0xFF, 0x7F}, f32, {-1, -0x1p-15f}},
        {mix(kExt, 1, 32, 31), 0, Bytes{0, 0, 0, 0x40, 1, 0, 0, 0x80}, f32, {-1, 0x1p-30f}},
        {mix(kExt, 1, 32, 1), 0, Bytes{1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}, f32, {-1, 0}},
        {mix(kPcm, 1, 32, 24), 0, Bytes{0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}, f32, {-1, 1}},
        {mix(kExt, 1, 32, 0), 0, Bytes{0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}, f32, {-1, 1}},
        // Nothing to decode.
        {mix(kFloat, 1, 32), kBufferFlagSilent, x, f32, {0, 0}},
        {mix(kFloat, 1, 32), 0, Bytes(), f32, {0, 0}},
        {mix(kExt, 1, 32, 32, 0x0103), 0, x, f32, {0, 0}},
        {mix(kFloat, 0, 32), 0, x, f32, {0, 0}},
        // Output channels 0 and 1 carry source channels 0 and 1, the others channel 0 again.
        {mix(kFloat, 1, 32), 0, x, f32, {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2}},
        {stereo, 0, x, f32, {1, 3}},
        {stereo, 0, x, f32, {1, 2, 1, 1, 1, 1, 3, 4, 3, 3, 3, 3}},
        {mix(kExt, 8, 32, 32, 3), 0, x, f32, {1, 2, 9, 10}}};
    for (const auto& [info, flags, in, format, expected] : cases) {
        const auto channels = static_cast<std::int32_t>(expected.size() / 2);
        OutputBuffers out;
        // One frame first, whose samples the packet must replace.
        convertSamples(mix(kFloat, 1, 32), x.data() + 4, 1, 0, channels, format, out);
        convertSamples(info, in.empty() ? nullptr : in.data(), 2, flags, channels, format, out);
        const F32 got = format == f32 ? out.f32 : F32(out.s16.begin(), out.s16.end());
        EXPECT_EQ(bytesOf(got), bytesOf(expected));
    }
}

// Whatever the conversion, a packet no larger than the first needs no new memory (the first
// packets of a resampled stream give less output than later ones); a larger one that cannot have
// it ends the run with a message.
TEST(PacketConverter, NeedsNoNewMemoryForPacketsNoLargerThanTheFirst) {
    const MixFormatInfo surround = mix(kExt, 6, 32, 32, 3);
    const F32 in(6 * 4410, 0.25f);
    // Output channels, format, rate and fold-down, from 6 channels at 44.1 kHz.
    const std::tuple<std::int32_t, SampleFormat, std::uint32_t, bool> cases[] = {
        {2, SampleFormat::F32, 0, false},
        {2, SampleFormat::S16, 0, true},
        {2, SampleFormat::F32, 48000, false},
        {1, SampleFormat::S16, 16000, true}};
    for (const auto& [channels, format, rate, downmix] : cases) {
        RunConfig config;
        config.channels = channels;
        config.format = format;
        config.outputRate = rate;
        config.downmix = downmix;
        PacketConverter converter;
        std::string error;
        ASSERT_TRUE(converter.configure(surround, 44100, config, error));
        std::FILE* const file = std::tmpfile();
        converter.write(in.data(), 441, 0, error, file);
        std::string later;
        failAllocationsFrom = 128;
        for (int packet = 0; packet < 20; ++packet) converter.write(in.data(), 441, 0, later, file);
        converter.write(in.data(), 100, 0, later, file);
        std::string larger;
        converter.write(in.data(), 4410, 0, larger, file);
        failAllocationsFrom = SIZE_MAX;
        EXPECT_EQ(error + later, "") << rate;
        EXPECT_EQ(larger, "Not enough memory to convert a packet of 4410 frames") << rate;
        std::fclose(file);
    }
}
