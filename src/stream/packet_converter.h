// One capture stream's conversion from the engine's packets to the stream the parent asked for:
// the output encoding and channel count, the fold-down of surplus channels ("--downmix") and the
// output rate ("--output-rate="). Portable; the capture loop owns one per stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/run_config.h"
#include "stream/resampler.h"
#include "stream/sample_convert.h"

class PacketConverter {
  public:
    // Takes the engine's mix format and rate and the run's options. False, with the reason in
    // errorMessage, when the stream cannot be converted (the resampler refused the rates).
    bool configure(const MixFormatInfo& source, std::uint32_t sourceRate, const RunConfig& config,
                   std::string& errorMessage);

    // The stream's rate: "--output-rate=", or the engine's without it.
    std::uint32_t outputRate() const { return outputRate_; }

    // Converts one packet of `frames` frames at the engine's rate (a SILENT flag gives zeros) and
    // writes what comes out; returns the output frames written. A short write sets errorMessage
    // to "stdout closed while writing audio". While resampling, the frames the filter still needs
    // come out with later packets, or from drain().
    std::uint64_t write(const void* data, std::uint32_t frames, std::uint32_t flags,
                        std::string& errorMessage, std::FILE* out);

    // Writes what the resampler holds back and readies it for audio that does not continue the
    // last packet (before a gap is filled with zeros, and at a stop); returns the output frames
    // written, 0 when nothing is resampled. Like write(), for a run whose errorMessage is empty.
    std::uint64_t drain(std::string& errorMessage, std::FILE* out);

    // What write() does short of writing: the frames come out in converted(), in the run's
    // format, until the next call.
    std::uint64_t convert(const void* data, std::uint32_t frames, std::uint32_t flags,
                          std::string& errorMessage);
    const OutputBuffers& converted() const { return buffers_; }

  private:
    void reserve(std::size_t frames);
    std::uint64_t writeConverted(std::string& errorMessage, std::FILE* out);

    MixFormatInfo source_;
    std::int32_t channels_ = 2;
    SampleFormat format_ = SampleFormat::F32;
    std::uint32_t outputRate_ = 0;
    ChannelMix mix_;
    std::optional<Resampler> resampler_;  // only when the rates differ
    std::vector<float> mixed_;
    OutputBuffers buffers_;
};
