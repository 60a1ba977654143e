// Decoding captured packets in the engine's mix format into the output encoding and channel
// count. Portable: the mix format record is read by byte offsets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/run_config.h"

inline constexpr std::uint32_t kBufferFlagSilent = 0x2;  // AUDCLNT_BUFFERFLAGS_SILENT

// The engine's mix format reduced to what the conversion needs.
struct MixFormatInfo {
    bool isFloat = false;
    bool isPcm = false;
    std::int32_t sourceChannels = 0;
    std::int32_t bitsPerSample = 0;
    std::int32_t validBitsPerSample = 0;
    std::uint32_t channelMask = 0;  // speaker positions of the channels; 0 when the record has none
};

// Output buffers reused across packets; only the one for the run's format is used.
struct OutputBuffers {
    std::vector<std::int16_t> s16;
    std::vector<float> f32;
};

// `mixFormat` points at a WAVEFORMATEX, or a WAVEFORMATEXTENSIBLE (40 bytes) when its tag says so.
MixFormatInfo classifyMixFormat(const void* mixFormat);

// Fills the buffer of `format` with channels x frames output samples: output channel 0 is source
// channel 0, channel 1 is source channel 1 (channel 0 of a mono source), and every further one
// repeats channel 0. Silent packets, missing data and formats that cannot be decoded give zeros.
// `channels` must be at least 1.
void convertSamples(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                    std::uint32_t flags, std::int32_t channels, SampleFormat format,
                    OutputBuffers& buffers);

// Which source channels, with which weights, make each distinct output channel. There are at most
// two, since output channels past the second repeat the first. Worked out once per stream.
struct ChannelMix {
    struct Tap {
        std::size_t channel = 0;
        float weight = 0.0f;
    };
    // A fold-down to mono draws on at most seven positions: front, side and back of either side,
    // and the centre.
    static constexpr std::size_t kMaxTaps = 7;

    std::size_t outputs = 1;  // distinct output channels, 1 or 2
    // False: output channels 0 and 1 are source channels 0 and 1, and no taps are given.
    bool foldDown = false;
    std::array<std::array<Tap, kMaxTaps>, 2> taps{};
    std::array<std::size_t, 2> tapCounts{};
};

// With `downmix` and more source channels than output channels, the fold-down: each side is its
// front channel at 1 and the centre, side and back channels of that side at 0.7071, scaled by the
// sum of those present so that full scale stays full scale; mono is the mean of the two sides.
// Positions come from the channel mask, or without one from the usual order (front left and
// right, centre, LFE, back left and right, side left and right). Otherwise the channels that
// convertSamples takes: output channel 0 is source channel 0, channel 1 source channel 1 (channel 0
// of a mono source).
ChannelMix planChannelMix(const MixFormatInfo& info, std::int32_t channels, bool downmix);

// Fills `mixed` with frames x mix.outputs floats, the packet's samples scaled to [-1, 1] and mixed
// by `mix`. Silent packets, missing data and formats that cannot be decoded give zeros, and so do
// NaNs and infinities.
void mixSamples(const MixFormatInfo& info, const ChannelMix& mix, const void* data,
                std::uint32_t frames, std::uint32_t flags, std::vector<float>& mixed);

// Fills the buffer of `format` with frames of `channels` output samples from frames of
// `distinct` (1 or 2, at most `channels`) floats; channels past `distinct` repeat the first.
void encodeFrames(const float* mixed, std::size_t frames, std::size_t distinct,
                  std::int32_t channels, SampleFormat format, OutputBuffers& buffers);
