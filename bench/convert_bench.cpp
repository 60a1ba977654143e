// Packet conversion throughput next to libswresample doing the closest job it can, measured in the
// same run. Both count 48 kHz frames of stream time as items (output frames where the rate stays
// 48 kHz), so items_per_second / 48000 is how many times faster than real time one core converts.
// Like the engine's capture buffer, the source is a ring of packets taken in turn: a single fixed
// source would tie every figure to one placement of input against output.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "stream/packet_converter.h"
#include "stream/sample_convert.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {

enum class Source { Float32, Pcm16, Pcm24, Pcm32Valid24 };

struct BenchCase {
    const char* name;
    Source source;
    std::int32_t sourceChannels;
    std::int32_t channels;
    SampleFormat format;
};

const BenchCase kCases[] = {
    {"f32x2-s16x2", Source::Float32, 2, 2, SampleFormat::S16},
    {"f32x2-f32x2", Source::Float32, 2, 2, SampleFormat::F32},
    {"f32x8-s16x2", Source::Float32, 8, 2, SampleFormat::S16},
    {"s16x2-f32x2", Source::Pcm16, 2, 2, SampleFormat::F32},
    {"s24x2-f32x2", Source::Pcm24, 2, 2, SampleFormat::F32},
    {"s32v24x2-f32x2", Source::Pcm32Valid24, 2, 2, SampleFormat::F32},
    {"f32x2-s16x1", Source::Float32, 2, 1, SampleFormat::S16},
    {"f32x2-f32x6", Source::Float32, 2, 6, SampleFormat::F32},
};

const std::uint32_t kFrameCounts[] = {480, 4800};
constexpr std::size_t kRingPackets = 4;

// A stream through the whole converter in 10 ms packets, float stereo in and out: at the engine's
// rate (nothing resampled, the baseline of the others) and at two other rates.
struct RateCase {
    const char* name;
    std::uint32_t from;
    std::uint32_t to;
};

const RateCase kRateCases[] = {
    {"f32x2-48k-48k", 48000, 48000},
    {"f32x2-48k-16k", 48000, 16000},
    {"f32x2-44k1-48k", 44100, 48000},
};
const BenchCase kFloatStereo = {"f32x2-f32x2", Source::Float32, 2, 2, SampleFormat::F32};

// Items for `frames` source frames at `rate`: 48 kHz frames of the same time.
std::int64_t streamTimeItems(std::int64_t frames, std::uint32_t rate) {
    return frames * 48000 / rate;
}

std::size_t bytesPerSample(Source source) {
    return source == Source::Pcm16 ? 2 : source == Source::Pcm24 ? 3 : 4;
}

MixFormatInfo infoFor(const BenchCase& c) {
    MixFormatInfo info;
    info.isFloat = c.source == Source::Float32;
    info.isPcm = !info.isFloat;
    info.sourceChannels = c.sourceChannels;
    info.bitsPerSample = static_cast<std::int32_t>(8 * bytesPerSample(c.source));
    info.validBitsPerSample = c.source == Source::Pcm32Valid24 ? 24 : info.bitsPerSample;
    return info;
}

std::size_t packetBytes(const BenchCase& c, std::uint32_t frames) {
    return std::size_t{frames} * static_cast<std::size_t>(c.sourceChannels) *
           bytesPerSample(c.source);
}

// Audio-like content: floats within [-1, 1], integers using their full valid range (the low
// bytes of a little-endian int32).
std::vector<unsigned char> makeSource(const BenchCase& c, std::uint32_t frames) {
    const std::size_t width = bytesPerSample(c.source);
    std::vector<unsigned char> bytes(packetBytes(c, frames));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (std::size_t at = 0; at < bytes.size(); at += width) {
        const float value = unit(random);
        const float scale = c.source == Source::Pcm16 ? 32767.0f : 8388607.0f;
        const auto sample = static_cast<std::int32_t>(value * scale);
        std::memcpy(&bytes[at],
                    c.source == Source::Float32 ? static_cast<const void*>(&value)
                                                : static_cast<const void*>(&sample),
                    width);
    }
    return bytes;
}

void benchOurs(benchmark::State& state, const BenchCase& c, std::uint32_t frames) {
    const std::vector<unsigned char> ring = makeSource(c, frames * kRingPackets);
    const MixFormatInfo info = infoFor(c);
    OutputBuffers buffers;
    std::size_t packet = 0;
    for (auto _ : state) {
        convertSamples(info, ring.data() + packet * packetBytes(c, frames), frames, 0, c.channels,
                       c.format, buffers);
        packet = (packet + 1) % kRingPackets;
        benchmark::DoNotOptimize(buffers.f32.data());
        benchmark::DoNotOptimize(buffers.s16.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// libswresample has no packed 24-bit format; the 24-bit cases read 32-bit containers instead,
// which is the nearest it gets. A custom matrix makes it copy channels 0 and 1 like we do where
// our channel mapping is not one of its standard downmixes or upmixes.
void benchSwresample(benchmark::State& state, const BenchCase& c, std::uint32_t frames,
                     std::uint32_t inputRate, std::uint32_t outputRate) {
    std::vector<unsigned char> ring = makeSource(c, frames * kRingPackets);
    std::size_t inputPacketBytes = packetBytes(c, frames);
    AVSampleFormat inputFormat = c.source == Source::Float32 ? AV_SAMPLE_FMT_FLT
                                 : c.source == Source::Pcm16 ? AV_SAMPLE_FMT_S16
                                                             : AV_SAMPLE_FMT_S32;
    if (c.source == Source::Pcm24) {
        std::vector<unsigned char> widened(ring.size() / 3 * 4, 0);
        for (std::size_t i = 0; i < ring.size() / 3; ++i) {
            std::memcpy(&widened[4 * i + 1], &ring[3 * i], 3);
        }
        ring = std::move(widened);
        inputPacketBytes = inputPacketBytes / 3 * 4;
    }
    const AVSampleFormat outputFormat =
        c.format == SampleFormat::F32 ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16;
    AVChannelLayout inputLayout;
    AVChannelLayout outputLayout;
    av_channel_layout_default(&inputLayout, c.sourceChannels);
    av_channel_layout_default(&outputLayout, c.channels);
    SwrContext* context = nullptr;
    if (swr_alloc_set_opts2(&context, &outputLayout, outputFormat, static_cast<int>(outputRate),
                            &inputLayout, inputFormat, static_cast<int>(inputRate), 0,
                            nullptr) < 0) {
        state.SkipWithError("swr_alloc_set_opts2 failed");
        return;
    }
    if (c.sourceChannels != c.channels) {
        std::vector<double> matrix(
            static_cast<std::size_t>(c.channels) * static_cast<std::size_t>(c.sourceChannels), 0.0);
        for (std::int32_t out = 0; out < c.channels; ++out) {
            const std::int32_t from = out == 1 && c.sourceChannels >= 2 ? 1 : 0;
            matrix[static_cast<std::size_t>(out * c.sourceChannels + from)] = 1.0;
        }
        swr_set_matrix(context, matrix.data(), c.sourceChannels);
    }
    if (swr_init(context) < 0) {
        state.SkipWithError("swr_init failed");
        swr_free(&context);
        return;
    }
    // Room for a packet's share of output and what the filter may release with it.
    const std::uint32_t outputFrames = frames * outputRate / inputRate + 256;
    std::vector<unsigned char> output(std::size_t{outputFrames} *
                                      static_cast<std::size_t>(c.channels) * 4);
    std::size_t packet = 0;
    for (auto _ : state) {
        std::uint8_t* outputs[] = {output.data()};
        const std::uint8_t* inputs[] = {ring.data() + packet * inputPacketBytes};
        packet = (packet + 1) % kRingPackets;
        const int converted = swr_convert(context, outputs, static_cast<int>(outputFrames), inputs,
                                          static_cast<int>(frames));
        if (converted < 0 || (inputRate == outputRate && converted != static_cast<int>(frames))) {
            state.SkipWithError("swr_convert failed or returned a short count");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(streamTimeItems(state.iterations() * frames, inputRate));
    swr_free(&context);
    av_channel_layout_uninit(&inputLayout);
    av_channel_layout_uninit(&outputLayout);
}

void benchConverter(benchmark::State& state, const RateCase& r) {
    const std::uint32_t frames = r.from / 100;
    const std::vector<unsigned char> ring = makeSource(kFloatStereo, frames * kRingPackets);
    RunConfig config;
    config.channels = kFloatStereo.channels;
    config.format = kFloatStereo.format;
    config.outputRate = r.to;
    PacketConverter converter;
    std::string error;
    if (!converter.configure(infoFor(kFloatStereo), r.from, config, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::size_t packet = 0;
    for (auto _ : state) {
        converter.convert(ring.data() + packet * packetBytes(kFloatStereo, frames), frames, 0,
                          error);
        packet = (packet + 1) % kRingPackets;
        benchmark::DoNotOptimize(converter.converted().f32.data());
        benchmark::ClobberMemory();
    }
    if (!error.empty()) state.SkipWithError(error.c_str());
    state.SetItemsProcessed(streamTimeItems(state.iterations() * frames, r.from));
}

}  // namespace

int main(int argc, char** argv) {
    for (const BenchCase& c : kCases) {
        for (std::uint32_t frames : kFrameCounts) {
            const std::string name = std::string(c.name) + "/" + std::to_string(frames);
            benchmark::RegisterBenchmark(("ours/" + name).c_str(), benchOurs, c, frames);
            benchmark::RegisterBenchmark(("swresample/" + name).c_str(), benchSwresample, c, frames,
                                         48000u, 48000u);
        }
    }
    for (const RateCase& r : kRateCases) {
        const std::uint32_t frames = r.from / 100;
        const std::string name = std::string(r.name) + "/" + std::to_string(frames);
        benchmark::RegisterBenchmark(("ours/" + name).c_str(), benchConverter, r);
        benchmark::RegisterBenchmark(("swresample/" + name).c_str(), benchSwresample, kFloatStereo,
                                     frames, r.from, r.to);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
