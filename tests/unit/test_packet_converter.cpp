#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

#include "stream/packet_converter.h"

using F32 = std::vector<float>;
using Rows = std::vector<F32>;  // one row of weights per output channel, a weight per source one

constexpr double kPi = 3.14159265358979323846;

// A float mix format record: WAVEFORMATEXTENSIBLE with `mask`, or a plain WAVEFORMATEX.
static MixFormatInfo floatFormat(std::uint16_t channels, std::uint32_t mask, bool extensible) {
    using U16 = std::uint16_t;
    const U16 tag = extensible ? 0xFFFE : 3;
    const auto low = static_cast<U16>(mask), high = static_cast<U16>(mask >> 16);
    const U16 record[20] = {tag, channels, 0, 0, 0, 0,    0,    32,     22,     32,
                            low, high,     3, 0, 0, 0x10, 0x80, 0xAA00, 0x3800, 0x719B};
    return classifyMixFormat(record);
}

static RunConfig options(std::int32_t channels, SampleFormat format, std::uint32_t outputRate,
                         bool downmix) {
    RunConfig config;
    config.channels = channels;
    config.format = format;
    config.outputRate = outputRate;
    config.downmix = downmix;
    return config;
}

static std::vector<unsigned char> readBack(std::FILE* file) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    return bytes;
}

static F32 floatsOf(const std::vector<unsigned char>& bytes) {
    F32 values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

// Frame k of the packet has 1.0 in source channel k and 0 elsewhere, so output frame k holds the
// weight of source channel k in each output channel.
TEST(Downmix, WeighsEachSourceChannelByItsPosition) {
    const float f5 = 0.414216f, s5 = 0.292892f, f7 = 0.320379f, s7 = 0.226540f;
    const float half = 0.5f, mf5 = 0.207108f, ms5 = 0.146446f;
    // Source channels, mask, extensible record, output channels, expected rows.
    const std::tuple<std::uint16_t, std::uint32_t, bool, std::int32_t, Rows> cases[] = {
        {2, 0x3, true, 1, {{half, half}}},
        {2, 0, false, 1, {{half, half}}},
        // 5.1 with side channels, then with back ones: FL FR FC LFE, then SL SR or BL BR.
        {6, 0x60F, true, 2, {{f5, 0, s5, 0, s5, 0}, {0, f5, s5, 0, 0, s5}}},
        {6, 0x3F, true, 2, {{f5, 0, s5, 0, s5, 0}, {0, f5, s5, 0, 0, s5}}},
        {6, 0x60F, true, 1, {{mf5, mf5, s5, 0, ms5, ms5}}},
        // 7.1: FL FR FC LFE BL BR SL SR.
        {8, 0x63F, true, 2, {{f7, 0, s7, 0, s7, 0, s7, 0}, {0, f7, s7, 0, 0, s7, 0, s7}}},
        // Without a mask, the usual order; channels past the eighth have no position.
        {6, 0, false, 2, {{f5, 0, s5, 0, s5, 0}, {0, f5, s5, 0, 0, s5}}},
        {10, 0, true, 2, {{f7, 0, s7, 0, s7, 0, s7, 0, 0, 0}, {0, f7, s7, 0, 0, s7, 0, s7, 0, 0}}},
        // Positions follow the mask, not the usual order: 5.0 puts SL where LFE would be.
        {5, 0x607, true, 2, {{f5, 0, s5, s5, 0}, {0, f5, s5, 0, s5}}},
        // Channels past the mask's positions, and positions other than these (TC, FLC), are left
        // out; a side with nothing at its positions stays silent.
        {4, 0x802, true, 2, {{0, 0, 0, 0}, {1, 0, 0, 0}}},
        {4, 0x840, true, 1, {{0, 0, 0, 0}}},
        // Output channels past the second repeat the first.
        {6, 0x3F, true, 3, {{f5, 0, s5, 0, s5, 0}, {0, f5, s5, 0, 0, s5}, {f5, 0, s5, 0, s5, 0}}},
        // No more source channels than output channels: the channels as they are.
        {3, 0x7, true, 3, {{1, 0, 0}, {0, 1, 0}, {1, 0, 0}}}};
    for (const auto& [sourceChannels, mask, extensible, channels, rows] : cases) {
        SCOPED_TRACE(testing::Message()
                     << sourceChannels << " channels, mask " << mask << " to " << channels);
        F32 identity(std::size_t{sourceChannels} * sourceChannels, 0.0f);
        for (std::size_t k = 0; k < sourceChannels; ++k) identity[k * sourceChannels + k] = 1.0f;
        PacketConverter converter;
        std::string error;
        ASSERT_TRUE(converter.configure(floatFormat(sourceChannels, mask, extensible), 48000,
                                        options(channels, SampleFormat::F32, 0, true), error));
        EXPECT_EQ(converter.convert(identity.data(), sourceChannels, 0, error), sourceChannels);
        const F32& out = converter.converted().f32;
        ASSERT_EQ(out.size(), std::size_t{sourceChannels} * rows.size());
        for (std::size_t k = 0; k < sourceChannels; ++k) {
            for (std::size_t c = 0; c < rows.size(); ++c) {
                EXPECT_NEAR(out[k * rows.size() + c], rows[c][k], 1e-6) << "source " << k;
            }
        }
    }
}

// Every channel at full scale, of either sign, comes out at full scale and no further.
TEST(Downmix, KeepsFullScaleWithinFullScale) {
    const std::pair<std::uint16_t, std::uint32_t> layouts[] = {
        {2, 0x3}, {6, 0x60F}, {6, 0x3F}, {8, 0x63F}, {6, 0}};
    for (const auto& [sourceChannels, mask] : layouts) {
        for (const std::int32_t channels : {1, 2}) {
            SCOPED_TRACE(testing::Message() << "mask " << mask << " to " << channels);
            F32 in(std::size_t{sourceChannels}, 1.0f);
            in.resize(2 * in.size(), -1.0f);
            const MixFormatInfo source = floatFormat(sourceChannels, mask, mask != 0);
            PacketConverter s16;
            PacketConverter f32;
            std::string error;
            ASSERT_TRUE(
                s16.configure(source, 48000, options(channels, SampleFormat::S16, 0, true), error));
            ASSERT_TRUE(
                f32.configure(source, 48000, options(channels, SampleFormat::F32, 0, true), error));
            s16.convert(in.data(), 2, 0, error);
            f32.convert(in.data(), 2, 0, error);
            const auto c = static_cast<std::size_t>(channels);
            std::vector<std::int16_t> fullScale(c, 32767);
            fullScale.resize(2 * c, -32767);
            EXPECT_EQ(s16.converted().s16, fullScale);
            for (std::size_t i = 0; i < 2 * c; ++i) {
                EXPECT_NEAR(std::fabs(f32.converted().f32[i]), 1.0f, 1e-6f);
            }
        }
    }
}

// Without resampling and without a fold-down the stream is what convertSamples makes of the
// packets, byte for byte, NaN payloads included; the converter returns every frame.
TEST(PacketConverter, WritesThePacketsAsTheyComeWhenNothingIsResampledOrFolded) {
    F32 odd{-std::nanf("0x12345"), -INFINITY, 0x1p-149f, -0.0f, 0.5f, 1.5f, -1.5f, NAN};
    odd.resize(6 * 4, 0.25f);
    const MixFormatInfo stereo = floatFormat(2, 0x3, true);
    const MixFormatInfo surround = floatFormat(6, 0x3F, true);
    const MixFormatInfo mono = floatFormat(1, 0, false);
    // Source, its rate, the run's options.
    const std::tuple<MixFormatInfo, std::uint32_t, RunConfig> cases[] = {
        {stereo, 48000, options(2, SampleFormat::F32, 0, false)},
        {stereo, 44100, options(2, SampleFormat::F32, 44100, false)},
        {stereo, 44100, options(6, SampleFormat::S16, 44100, true)},
        {surround, 48000, options(2, SampleFormat::F32, 0, false)},
        {surround, 48000, options(6, SampleFormat::F32, 0, true)},
        {mono, 96000, options(2, SampleFormat::S16, 0, true)}};
    for (const auto& [source, rate, config] : cases) {
        SCOPED_TRACE(testing::Message()
                     << source.sourceChannels << " channels to " << config.channels);
        PacketConverter converter;
        std::string error;
        ASSERT_TRUE(converter.configure(source, rate, config, error));
        EXPECT_EQ(converter.outputRate(), rate);
        std::FILE* const file = std::tmpfile();
        std::vector<unsigned char> expected;
        for (const auto& [data, flags] : {std::pair<const void*, std::uint32_t>{odd.data(), 0},
                                          {odd.data(), kBufferFlagSilent},
                                          {nullptr, 0}}) {
            EXPECT_EQ(converter.write(data, 4, flags, error, file), 4u);
            OutputBuffers buffers;
            convertSamples(source, data, 4, flags, config.channels, config.format, buffers);
            const bool f32 = config.format == SampleFormat::F32;
            const auto* bytes = f32 ? reinterpret_cast<const unsigned char*>(buffers.f32.data())
                                    : reinterpret_cast<const unsigned char*>(buffers.s16.data());
            const std::size_t size = f32 ? buffers.f32.size() * sizeof(float)
                                         : buffers.s16.size() * sizeof(std::int16_t);
            expected.insert(expected.end(), bytes, bytes + size);
        }
        EXPECT_EQ(converter.drain(error, file), 0u);
        EXPECT_EQ(error, "");
        EXPECT_EQ(readBack(file), expected);
    }
}

// The frames of a 10 ms packet at `rate`, as the engine delivers them.
static std::uint32_t packetFrames(std::uint32_t rate) {
    return rate / 100;
}

// A mono tone of `seconds` at `from` Hz, faded in and out over 10 ms (so that its start and end
// bring no frequencies of their own), through a converter to `to` Hz, drained at the end.
static F32 resampleTone(std::uint32_t from, std::uint32_t to, double frequency, double amplitude,
                        double seconds) {
    PacketConverter converter;
    std::string error;
    EXPECT_TRUE(converter.configure(floatFormat(1, 0, false), from,
                                    options(1, SampleFormat::F32, to, false), error));
    const std::uint32_t packet = packetFrames(from);
    const auto total = static_cast<std::uint32_t>(seconds * from);
    F32 samples(packet);
    std::FILE* const file = std::tmpfile();
    for (std::uint32_t start = 0; start < total; start += packet) {
        for (std::uint32_t i = 0; i < packet; ++i) {
            const std::uint32_t n = start + i;
            const double edge = std::min(n, total - 1 - n) / (0.01 * from);
            const double fade = edge < 1 ? 0.5 - 0.5 * std::cos(kPi * edge) : 1.0;
            samples[i] =
                static_cast<float>(amplitude * fade * std::sin(2 * kPi * frequency * n / from));
        }
        converter.write(samples.data(), packet, 0, error, file);
    }
    converter.drain(error, file);
    EXPECT_EQ(error, "");
    return floatsOf(readBack(file));
}

struct ToneFit {
    double gainDb;   // the fitted tone's amplitude against `amplitude`
    double sinadDb;  // the fitted tone's power against everything else
};

// Least-squares fit of a tone of `frequency` to the samples from 20 ms after the start to 20 ms
// before the end, clear of the fades and of the filter's reach beyond them.
static ToneFit fitTone(const F32& samples, double rate, double frequency, double amplitude) {
    const auto skip = static_cast<std::size_t>(0.02 * rate);
    double cc = 0, cs = 0, ss = 0, yc = 0, ys = 0;
    for (std::size_t n = skip; n + skip < samples.size(); ++n) {
        const double phase = 2 * kPi * frequency * static_cast<double>(n) / rate;
        const double c = std::cos(phase);
        const double s = std::sin(phase);
        cc += c * c, cs += c * s, ss += s * s, yc += samples[n] * c, ys += samples[n] * s;
    }
    const double determinant = cc * ss - cs * cs;
    const double a = (yc * ss - ys * cs) / determinant;
    const double b = (ys * cc - yc * cs) / determinant;
    double tone = 0, rest = 0;
    for (std::size_t n = skip; n + skip < samples.size(); ++n) {
        const double phase = 2 * kPi * frequency * static_cast<double>(n) / rate;
        const double fitted = a * std::cos(phase) + b * std::sin(phase);
        tone += fitted * fitted;
        rest += (samples[n] - fitted) * (samples[n] - fitted);
    }
    return {20 * std::log10(std::hypot(a, b) / amplitude), 10 * std::log10(tone / rest)};
}

// The level of the samples between the fades against a full tone of `amplitude`.
static double levelDb(const F32& samples, double rate, double amplitude) {
    const auto skip = static_cast<std::size_t>(0.02 * rate);
    double power = 0;
    for (std::size_t n = skip; n + skip < samples.size(); ++n) power += samples[n] * samples[n];
    power /= static_cast<double>(samples.size() - 2 * skip);
    return 10 * std::log10(power / (amplitude * amplitude / 2));
}

struct RatePair {
    std::uint32_t from;
    std::uint32_t to;
    double aboveNyquist;  // a tone above the output's Nyquist frequency; 0 when upsampling
};

const RatePair kRatePairs[] = {{48000, 16000, 11000},
                               {44100, 48000, 0},
                               {48000, 44100, 23000},
                               {16000, 48000, 0},
                               {96000, 16000, 13000}};

TEST(Resampling, KeepsTonesBelowTheLowerNyquistAndRemovesThoseAboveTheOutputs) {
    const double amplitude = std::pow(10.0, -1.0 / 20);  // -1 dBFS
    for (const RatePair& rates : kRatePairs) {
        SCOPED_TRACE(testing::Message() << rates.from << " Hz to " << rates.to << " Hz");
        const ToneFit kilohertz = fitTone(resampleTone(rates.from, rates.to, 1000, amplitude, 0.5),
                                          rates.to, 1000, amplitude);
        EXPECT_NEAR(kilohertz.gainDb, 0, 0.05);
        EXPECT_GE(kilohertz.sinadDb, 100);
        const double high = 0.8 * std::min(rates.from, rates.to) / 2;
        EXPECT_NEAR(fitTone(resampleTone(rates.from, rates.to, high, amplitude, 0.5), rates.to,
                            high, amplitude)
                        .gainDb,
                    0, 0.1);
        if (rates.aboveNyquist == 0) continue;
        EXPECT_LE(levelDb(resampleTone(rates.from, rates.to, rates.aboveNyquist, amplitude, 0.5),
                          rates.to, amplitude),
                  -100);
    }
}

// The frame in [begin, end) where |channel| of interleaved stereo peaks.
static std::size_t peakFrame(const F32& stereo, std::size_t channel, std::size_t begin,
                             std::size_t end) {
    std::size_t peak = begin;
    for (std::size_t frame = begin; frame < end && 2 * frame < stereo.size(); ++frame) {
        if (std::fabs(stereo[2 * frame + channel]) > std::fabs(stereo[2 * peak + channel])) {
            peak = frame;
        }
    }
    return peak;
}

// Two stretches of a quarter second, drained after each as before a gap: every input second
// gives an output second, and a click in either channel lands where its time puts it.
TEST(Resampling, LosesAndShiftsNothingAndGoesOnAfterADrain) {
    for (const RatePair& rates : kRatePairs) {
        SCOPED_TRACE(testing::Message() << rates.from << " Hz to " << rates.to << " Hz");
        PacketConverter converter;
        std::string error;
        ASSERT_TRUE(converter.configure(floatFormat(2, 0x3, true), rates.from,
                                        options(2, SampleFormat::F32, rates.to, false), error));
        const std::uint32_t packet = packetFrames(rates.from);
        const std::uint32_t stretch = rates.from / 4;
        const double ratio = static_cast<double>(rates.to) / rates.from;
        std::FILE* const file = std::tmpfile();
        // Left clicks at 100 ms + 7 frames and 60 ms + 3 frames, right ones 20 ms later.
        const std::uint32_t clicks[] = {rates.from / 10 + 7, rates.from * 3 / 50 + 3};
        const std::uint32_t rightDelay = rates.from / 50;
        std::uint64_t written[2] = {0, 0};
        F32 samples(2 * std::size_t{packet});
        for (std::size_t k = 0; k < 2; ++k) {
            for (std::uint32_t start = 0; start < stretch; start += packet) {
                std::fill(samples.begin(), samples.end(), 0.0f);
                for (std::uint32_t i = 0; i < packet; ++i) {
                    if (start + i == clicks[k]) samples[2 * i] = 1.0f;
                    if (start + i == clicks[k] + rightDelay) samples[2 * i + 1] = 1.0f;
                }
                written[k] += converter.write(samples.data(), packet, 0, error, file);
            }
            written[k] += converter.drain(error, file);
        }
        EXPECT_EQ(error, "");
        const F32 out = floatsOf(readBack(file));
        EXPECT_EQ(out.size(), 2 * (written[0] + written[1]));
        for (std::size_t k = 0; k < 2; ++k) {
            SCOPED_TRACE(k == 0 ? "first stretch" : "after the drain");
            EXPECT_NEAR(static_cast<double>(written[k]), std::round(stretch * ratio), 1);
            const std::size_t begin = k == 0 ? 0 : written[0];
            const auto at = [&](std::size_t channel) {
                const std::size_t end = begin + written[k];
                return static_cast<double>(peakFrame(out, channel, begin, end) - begin);
            };
            EXPECT_NEAR(at(0), std::round(clicks[k] * ratio), 1);
            EXPECT_NEAR(at(1), std::round((clicks[k] + rightDelay) * ratio), 1);
        }
    }
}

// A NaN or an infinity in a packet must not stay in the filter and spoil what follows.
TEST(Resampling, ForgetsSamplesThatAreNoNumbers) {
    PacketConverter converter;
    std::string error;
    ASSERT_TRUE(converter.configure(floatFormat(1, 0, false), 48000,
                                    options(1, SampleFormat::F32, 16000, false), error));
    F32 samples(480, 0.5f);
    samples[100] = NAN;
    samples[200] = INFINITY;
    samples[300] = -INFINITY;
    std::FILE* const file = std::tmpfile();
    converter.write(samples.data(), 480, 0, error, file);
    std::fill(samples.begin(), samples.end(), 0.5f);
    for (int packet = 0; packet < 9; ++packet) converter.write(samples.data(), 480, 0, error, file);
    converter.drain(error, file);
    const F32 out = floatsOf(readBack(file));
    EXPECT_EQ(out.size(), 1600u);
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](float x) { return !std::isfinite(x); }), 0);
}

TEST(PacketConverter, SaysWhyTheStreamCannotGoOn) {
    PacketConverter converter;
    std::string error;
    // libsoxr refuses a rate of 0, which no engine has: the run gets a message.
    EXPECT_FALSE(converter.configure(floatFormat(2, 0x3, true), 0,
                                     options(2, SampleFormat::S16, 16000, false), error));
    EXPECT_EQ(error.rfind("Cannot resample from 0 Hz to 16000 Hz: ", 0), 0u) << error;
    EXPECT_GT(error.size(), 39u);
    // stdin takes no writes, of packets or of what a drain brings.
    const F32 samples(2 * 4800, 0.5f);
    for (const std::uint32_t rate : {48000u, 44100u}) {
        error.clear();
        ASSERT_TRUE(converter.configure(floatFormat(2, 0x3, true), rate,
                                        options(2, SampleFormat::S16, 48000, false), error));
        EXPECT_EQ(converter.write(samples.data(), 4800, 0, error, stdin), 0u);
        EXPECT_EQ(error, "stdout closed while writing audio");
    }
    error.clear();
    std::FILE* const file = std::tmpfile();
    EXPECT_GT(converter.write(samples.data(), 480, 0, error, file), 0u);
    EXPECT_EQ(converter.drain(error, stdin), 0u);
    EXPECT_EQ(error, "stdout closed while writing audio");
    // A drain cut short leaves the state to clear before libsoxr may see input again.
    error.clear();
    EXPECT_GT(converter.write(samples.data(), 4800, 0, error, file), 0u);
    EXPECT_EQ(error, "");
    std::fclose(file);
}
