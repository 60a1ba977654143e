// The 16-byte header that starts every capture stream.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/run_config.h"

inline constexpr std::uint32_t kStreamMagic = 0x3148414Fu;  // "OAH1" read as little-endian
inline constexpr std::size_t kStreamHeaderSize = 16;

struct StreamHeader {
    std::uint32_t magic = kStreamMagic;
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0;
    std::uint16_t format = 0;
    std::uint32_t reserved = 0;
};

StreamHeader makeStreamHeader(std::uint32_t sampleRate, std::int32_t channels, SampleFormat format);

// The header's bytes, little-endian whatever the host's byte order.
std::array<std::uint8_t, kStreamHeaderSize> encodeStreamHeader(const StreamHeader& header);

// Writes the header with one fwrite; on a short write sets errorMessage to
// "stdout closed while writing header".
void writeStreamHeader(std::uint32_t sampleRate, std::int32_t channels, SampleFormat format,
                       std::string& errorMessage, std::FILE* out = stdout);
