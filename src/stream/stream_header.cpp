#include "stream/stream_header.h"

namespace {

void putLittleEndian(std::uint8_t* out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

StreamHeader makeStreamHeader(std::uint32_t sampleRate, std::int32_t channels,
                              SampleFormat format) {
    StreamHeader header;
    header.sampleRate = sampleRate;
    header.channels = static_cast<std::uint16_t>(static_cast<std::uint32_t>(channels) & 0xFFFFu);
    header.format = format == SampleFormat::F32 ? 2 : 1;
    return header;
}

std::array<std::uint8_t, kStreamHeaderSize> encodeStreamHeader(const StreamHeader& header) {
    std::array<std::uint8_t, kStreamHeaderSize> bytes{};
    putLittleEndian(&bytes[0], header.magic, 4);
    putLittleEndian(&bytes[4], header.sampleRate, 4);
    putLittleEndian(&bytes[8], header.channels, 2);
    putLittleEndian(&bytes[10], header.format, 2);
    putLittleEndian(&bytes[12], header.reserved, 4);
    return bytes;
}

void writeStreamHeader(std::uint32_t sampleRate, std::int32_t channels, SampleFormat format,
                       std::string& errorMessage, std::FILE* out) {
    const auto bytes = encodeStreamHeader(makeStreamHeader(sampleRate, channels, format));
    if (std::fwrite(bytes.data(), bytes.size(), 1, out) != 1)
        errorMessage = "stdout closed while writing header";
}
