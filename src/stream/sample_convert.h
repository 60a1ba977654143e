// Decoding captured packets in the engine's mix format into the output encoding and channel
// count. Portable: the mix format record is read by byte offsets.
#pragma once

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
};

// Output buffers reused across packets; only the one for the run's format is used.
struct OutputBuffers {
    std::vector<std::int16_t> s16;
    std::vector<float> f32;
};

// `mixFormat` points at a WAVEFORMATEX, or a WAVEFORMATEXTENSIBLE (40 bytes) when its tag says so.
MixFormatInfo classifyMixFormat(const void* mixFormat);

// One source sample scaled to [-1, 1] (float samples as they are). A channel past the source's
// last gives the last; a format that cannot be decoded gives 0.
float readSampleAsFloat(const MixFormatInfo& info, const void* data, std::uint32_t frame,
                        std::int32_t channel);

// Fills the buffer of `format` with channels x frames output samples: output channel 0 is source
// channel 0, channel 1 is source channel 1 (channel 0 of a mono source), and every further one
// repeats channel 0. Silent packets, missing data and formats that cannot be decoded give zeros.
// `channels` must be at least 1.
void convertSamples(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                    std::uint32_t flags, std::int32_t channels, SampleFormat format,
                    OutputBuffers& buffers);

// convertSamples, then one fwrite of the result; on a short write sets errorMessage to
// "stdout closed while writing audio".
void convertPacket(const MixFormatInfo& info, const void* data, std::uint32_t frames,
                   std::uint32_t flags, std::int32_t channels, SampleFormat format,
                   OutputBuffers& buffers, std::string& errorMessage, std::FILE* out = stdout);
