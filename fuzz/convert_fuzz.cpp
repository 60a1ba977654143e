// Arbitrary mix format records and packets through convertSamples, under ASan and UBSan: no read
// may leave the packet the record describes, the output holds channels x frames samples of the
// run's format only, and S16 never goes below -32767.
//
// Input layout:
//   bytes 0-39   the mix format record, as the engine would hand it over
//   bytes 40-41  frame count, little-endian
//   byte  42     buffer flags; bit 7 instead passes no data pointer
//   bytes 43-44  output channels - 1, little-endian
//   byte  45     output format: 1 S16, 2 F32, anything else as is (read as S16)
//   the rest     sample bytes, repeated to fill the packet
#include <algorithm>
#include <cstdlib>

#include "stream/sample_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size <= 46) return 0;
    const auto u16 = [&](std::size_t at) { return input[at] | std::size_t{input[at + 1]} << 8; };
    const MixFormatInfo info = classifyMixFormat(input);
    const auto sourceChannels = static_cast<std::size_t>(std::max(info.sourceChannels, 1));
    const std::size_t channels = 1 + u16(43) % 65535;
    // Few enough frames to keep source and output small.
    const std::size_t frames = u16(40) % (1 + 65536 / (sourceChannels + channels));
    // Exactly the bytes the record implies; undecodable formats read none.
    const auto width =
        info.isFloat ? 4 : static_cast<std::size_t>(std::min(info.bitsPerSample, 32)) / 8;
    std::vector<std::uint8_t> packet(frames * sourceChannels * width);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = input[46 + i % (size - 46)];
    const auto format = static_cast<SampleFormat>(input[45]);
    OutputBuffers out;
    convertSamples(info, input[42] & 0x80 ? nullptr : packet.data(),
                   static_cast<std::uint32_t>(frames), input[42] & 0x7Fu,
                   static_cast<std::int32_t>(channels), format, out);
    const bool f32 = format == SampleFormat::F32;
    const bool sized = out.f32.size() == (f32 ? frames * channels : 0) &&
                       out.s16.size() == (f32 ? 0 : frames * channels);
    if (!sized || std::count(out.s16.begin(), out.s16.end(), INT16_MIN) != 0) std::abort();
    return 0;
}
