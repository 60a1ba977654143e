// Throughput of packet conversion next to three baselines measured in the same run: the
// per-sample path, memcpy of the output bytes, and libswresample doing the closest job it can.
// Every benchmark reports output samples as items, so ratios of items_per_second compare equal
// work. Like the engine's capture buffer, the source is a ring of packets taken in turn; a
// single fixed source would tie every figure to one placement of input against output, and
// store-to-load address aliasing makes some placements much slower than others.
//
// `convert_bench --repeat=CASE/FRAMES [--count=N]` runs only convertSamples N times, for
// instruction counts under callgrind.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "stream/sample_convert.h"
#include "stream/sample_kernels.h"

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

MixFormatInfo infoFor(const BenchCase& c) {
    MixFormatInfo info;
    info.sourceChannels = c.sourceChannels;
    switch (c.source) {
        case Source::Float32:
            info.isFloat = true;
            info.bitsPerSample = 32;
            break;
        case Source::Pcm16:
            info.isPcm = true;
            info.bitsPerSample = 16;
            break;
        case Source::Pcm24:
            info.isPcm = true;
            info.bitsPerSample = 24;
            break;
        case Source::Pcm32Valid24:
            info.isPcm = true;
            info.bitsPerSample = 32;
            break;
    }
    info.validBitsPerSample = c.source == Source::Pcm32Valid24 ? 24 : info.bitsPerSample;
    return info;
}

std::size_t sourceBytesPerSample(Source source) {
    switch (source) {
        case Source::Pcm16:
            return 2;
        case Source::Pcm24:
            return 3;
        default:
            return 4;
    }
}

// Audio-like content: floats within [-1, 1], integers using their full valid range.
std::vector<unsigned char> makeSource(const BenchCase& c, std::uint32_t frames) {
    const std::size_t count = std::size_t{frames} * static_cast<std::size_t>(c.sourceChannels);
    std::vector<unsigned char> bytes(count * sourceBytesPerSample(c.source));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (std::size_t i = 0; i < count; ++i) {
        const float value = unit(random);
        unsigned char* at = bytes.data() + i * sourceBytesPerSample(c.source);
        switch (c.source) {
            case Source::Float32:
                std::memcpy(at, &value, 4);
                break;
            case Source::Pcm16: {
                const auto sample = static_cast<std::int16_t>(value * 32767.0f);
                std::memcpy(at, &sample, 2);
                break;
            }
            case Source::Pcm24: {
                const auto sample = static_cast<std::int32_t>(value * 8388607.0f);
                std::memcpy(at, &sample, 3);  // little-endian host: the low three bytes
                break;
            }
            case Source::Pcm32Valid24: {
                const auto sample = static_cast<std::int32_t>(value * 8388607.0f);
                std::memcpy(at, &sample, 4);
                break;
            }
        }
    }
    return bytes;
}

std::size_t outputSamples(const BenchCase& c, std::uint32_t frames) {
    return std::size_t{frames} * static_cast<std::size_t>(c.channels);
}

void countOutput(benchmark::State& state, const BenchCase& c, std::uint32_t frames) {
    state.SetItemsProcessed(state.iterations() *
                            static_cast<std::int64_t>(outputSamples(c, frames)));
}

std::size_t packetBytes(const BenchCase& c, std::uint32_t frames) {
    return std::size_t{frames} * static_cast<std::size_t>(c.sourceChannels) *
           sourceBytesPerSample(c.source);
}

using ConvertFunction = void (*)(const MixFormatInfo&, const void*, std::uint32_t, std::uint32_t,
                                 std::int32_t, SampleFormat, OutputBuffers&);

// Cycles through a ring of packets, as the engine hands them out, so that no run gets to keep
// one packet in the innermost cache.
void benchConversion(benchmark::State& state, const BenchCase& c, std::uint32_t frames,
                     ConvertFunction convert) {
    const std::vector<unsigned char> ring = makeSource(c, frames * kRingPackets);
    const MixFormatInfo info = infoFor(c);
    OutputBuffers buffers;
    std::size_t packet = 0;
    for (auto _ : state) {
        const unsigned char* source = ring.data() + packet * packetBytes(c, frames);
        packet = (packet + 1) % kRingPackets;
        convert(info, source, frames, 0, c.channels, c.format, buffers);
        benchmark::DoNotOptimize(buffers.f32.data());
        benchmark::DoNotOptimize(buffers.s16.data());
        benchmark::ClobberMemory();
    }
    countOutput(state, c, frames);
}

void benchOurs(benchmark::State& state, const BenchCase& c, std::uint32_t frames) {
    benchConversion(state, c, frames, convertSamples);
}

void benchPerSample(benchmark::State& state, const BenchCase& c, std::uint32_t frames) {
    benchConversion(state, c, frames, convertSamplesPerSample);
}

void benchMemcpy(benchmark::State& state, const BenchCase& c, std::uint32_t frames) {
    const std::size_t bytes = outputSamples(c, frames) * (c.format == SampleFormat::F32 ? 4 : 2);
    const std::vector<unsigned char> ring(bytes * kRingPackets, 1);
    std::vector<unsigned char> to(bytes);
    std::size_t packet = 0;
    for (auto _ : state) {
        std::memcpy(to.data(), ring.data() + packet * bytes, bytes);
        packet = (packet + 1) % kRingPackets;
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    countOutput(state, c, frames);
}

// libswresample has no packed 24-bit format; the 24-bit cases read 32-bit containers instead,
// which is the nearest it gets. Where our channel mapping is not one of its standard downmixes
// or upmixes, a custom matrix makes it copy channels 0 and 1 like we do.
void benchSwresample(benchmark::State& state, const BenchCase& c, std::uint32_t frames) {
    const std::vector<unsigned char> source = makeSource(c, frames * kRingPackets);
    std::vector<unsigned char> widened;
    const unsigned char* ring = source.data();
    std::size_t inputPacketBytes = packetBytes(c, frames);
    AVSampleFormat inputFormat = AV_SAMPLE_FMT_FLT;
    if (c.source == Source::Pcm16) inputFormat = AV_SAMPLE_FMT_S16;
    if (c.source == Source::Pcm24 || c.source == Source::Pcm32Valid24) {
        inputFormat = AV_SAMPLE_FMT_S32;
        if (c.source == Source::Pcm24) {
            const std::size_t count = source.size() / 3;
            widened.resize(count * 4);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t top = std::uint32_t{source[3 * i]} << 8 |
                                          std::uint32_t{source[3 * i + 1]} << 16 |
                                          std::uint32_t{source[3 * i + 2]} << 24;
                std::memcpy(widened.data() + 4 * i, &top, 4);
            }
            ring = widened.data();
            inputPacketBytes = inputPacketBytes / 3 * 4;
        }
    }
    const AVSampleFormat outputFormat =
        c.format == SampleFormat::F32 ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16;

    AVChannelLayout inputLayout;
    AVChannelLayout outputLayout;
    av_channel_layout_default(&inputLayout, c.sourceChannels);
    av_channel_layout_default(&outputLayout, c.channels);
    SwrContext* context = nullptr;
    if (swr_alloc_set_opts2(&context, &outputLayout, outputFormat, 48000, &inputLayout, inputFormat,
                            48000, 0, nullptr) < 0) {
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
    std::vector<unsigned char> output(outputSamples(c, frames) * 4);
    const auto frameCount = static_cast<int>(frames);
    std::size_t packet = 0;
    for (auto _ : state) {
        std::uint8_t* outputs[] = {output.data()};
        const std::uint8_t* inputs[] = {ring + packet * inputPacketBytes};
        packet = (packet + 1) % kRingPackets;
        const int converted = swr_convert(context, outputs, frameCount, inputs, frameCount);
        if (converted != frameCount) {
            state.SkipWithError("swr_convert returned a short count");
            break;
        }
        benchmark::ClobberMemory();
    }
    countOutput(state, c, frames);
    swr_free(&context);
    av_channel_layout_uninit(&inputLayout);
    av_channel_layout_uninit(&outputLayout);
}

void registerBenchmarks() {
    struct Implementation {
        const char* name;
        void (*run)(benchmark::State&, const BenchCase&, std::uint32_t);
    };
    const Implementation implementations[] = {
        {"ours", benchOurs},
        {"per_sample", benchPerSample},
        {"memcpy", benchMemcpy},
        {"swresample", benchSwresample},
    };
    for (const BenchCase& c : kCases) {
        for (std::uint32_t frames : kFrameCounts) {
            for (const Implementation& implementation : implementations) {
                const std::string name =
                    std::string(implementation.name) + "/" + c.name + "/" + std::to_string(frames);
                const auto run = implementation.run;
                benchmark::RegisterBenchmark(
                    name.c_str(),
                    [run, &c, frames](benchmark::State& state) { run(state, c, frames); });
            }
        }
    }
}

// Runs convertSamples `count` times on an already sized buffer, so that a profiler collecting
// inside convertSamples sees steady-state packets only.
int repeatCase(const std::string& caseAndFrames, long count) {
    for (const BenchCase& c : kCases) {
        for (std::uint32_t frames : kFrameCounts) {
            if (caseAndFrames != std::string(c.name) + "/" + std::to_string(frames)) continue;
            const std::vector<unsigned char> source = makeSource(c, frames);
            const MixFormatInfo info = infoFor(c);
            OutputBuffers buffers;
            buffers.f32.resize(outputSamples(c, frames));
            buffers.s16.resize(outputSamples(c, frames));
            activeConversionKernels();
            for (long i = 0; i < count; ++i) {
                convertSamples(info, source.data(), frames, 0, c.channels, c.format, buffers);
            }
            std::printf("%s: %ld packets, %zu output samples each\n", caseAndFrames.c_str(), count,
                        outputSamples(c, frames));
            return 0;
        }
    }
    std::fprintf(stderr, "unknown case %s\n", caseAndFrames.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string repeat;
    long count = 100;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--repeat=", 0) == 0) repeat = argument.substr(9);
        if (argument.rfind("--count=", 0) == 0) count = std::atol(argument.c_str() + 8);
    }
    if (!repeat.empty()) return repeatCase(repeat, count);

    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
