// Arbitrary mix format records and packets through the packet converter, under ASan and UBSan: no
// read may leave the packet the record describes, the output holds channels x frames samples of
// the run's format only, S16 never goes below -32767, and a fold-down or a resampler never gives
// a NaN or an infinity.
//
// Input layout:
//   bytes 0-39   the mix format record, as the engine would hand it over; its rate (bytes 4-7)
//                counts only for resampling, brought into 8000 to 384000 Hz
//   bytes 40-41  frame count, little-endian
//   byte  42     buffer flags (bits 0-4); bit 5 resamples to 48 kHz (44.1 kHz from 48 kHz), bit 6
//                asks for the fold-down, bit 7 passes no data pointer
//   bytes 43-44  output channels - 1, little-endian
//   byte  45     output format: 1 S16, 2 F32, anything else as is (read as S16)
//   the rest     sample bytes, repeated to fill the packet
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "stream/packet_converter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size <= 46) return 0;
    const auto u16 = [&](std::size_t at) { return input[at] | std::size_t{input[at + 1]} << 8; };
    const MixFormatInfo info = classifyMixFormat(input);
    const auto sourceChannels = static_cast<std::size_t>(std::max(info.sourceChannels, 1));
    const std::size_t channels = 1 + u16(43) % 65535;
    const bool resample = (input[42] & 0x20) != 0;
    // Few enough frames to keep source and output small, and a resampler quick.
    const std::size_t frameLimit = resample ? 4096 : 65536;
    const std::size_t frames = u16(40) % (1 + frameLimit / (sourceChannels + channels));
    // Exactly the bytes the record implies; undecodable formats read none.
    const auto width =
        info.isFloat ? 4 : static_cast<std::size_t>(std::min(info.bitsPerSample, 32)) / 8;
    std::vector<std::uint8_t> packet(frames * sourceChannels * width);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = input[46 + i % (size - 46)];

    RunConfig config;
    config.channels = static_cast<std::int32_t>(channels);
    config.format = static_cast<SampleFormat>(input[45]);
    config.downmix = (input[42] & 0x40) != 0;
    const auto recordRate = static_cast<std::uint32_t>(u16(4) | u16(6) << 16);
    const std::uint32_t sourceRate = kMinOutputRate + recordRate % (kMaxOutputRate - 7999);
    if (resample) config.outputRate = sourceRate == 48000 ? 44100 : 48000;
    PacketConverter converter;
    std::string error;
    if (!converter.configure(info, sourceRate, config, error)) std::abort();

    const std::uint64_t written =
        converter.convert(input[42] & 0x80 ? nullptr : packet.data(),
                          static_cast<std::uint32_t>(frames), input[42] & 0x1Fu, error);
    const OutputBuffers& out = converter.converted();
    const bool f32 = config.format == SampleFormat::F32;
    const std::size_t samples = written * channels;
    const bool sized = error.empty() && (resample || written == frames) &&
                       out.f32.size() == (f32 ? samples : 0) &&
                       out.s16.size() == (f32 ? 0 : samples);
    const bool folds = config.downmix && info.sourceChannels > config.channels;
    const bool mixedFinite =
        !(folds || resample) ||
        std::all_of(out.f32.begin(), out.f32.end(), [](float x) { return std::isfinite(x); });
    if (!sized || !mixedFinite || std::count(out.s16.begin(), out.s16.end(), INT16_MIN) != 0) {
        std::abort();
    }
    // What the filter holds back comes out whole, and the converter goes on after it.
    static std::FILE* const nowhere = std::fopen("/dev/null", "wb");
    converter.drain(error, nowhere);
    converter.convert(packet.data(), static_cast<std::uint32_t>(frames), 0, error);
    if (!error.empty()) std::abort();
    return 0;
}
