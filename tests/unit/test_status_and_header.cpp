#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/status_text.h"
#include "stream/stream_header.h"

namespace {

TEST(StatusText, KeepsTheSystemTextAndAppendsEightLowerCaseDigits) {
    EXPECT_EQ(formatStatusText("Element not found.\r\n", 0x80070490u),
              "Element not found.\r\n (0x80070490)");
    EXPECT_EQ(formatStatusText(nullptr, 0x88890004u), "Unknown error (0x88890004)");
    EXPECT_EQ(formatStatusText(nullptr, 0u), "Unknown error (0x00000000)");
    EXPECT_EQ(formatStatusText("", 0x8889000Au), " (0x8889000a)");
    EXPECT_EQ(formatStatusText(nullptr, 0xFFFFFFFFu), "Unknown error (0xffffffff)");
}

std::vector<std::uint8_t> bytesOf(std::uint32_t rate, std::int32_t channels, SampleFormat format) {
    const auto bytes = encodeStreamHeader(makeStreamHeader(rate, channels, format));
    return {bytes.begin(), bytes.end()};
}

TEST(StreamHeader, EncodesLittleEndianFields) {
    EXPECT_EQ(bytesOf(48000, 2, SampleFormat::F32),
              (std::vector<std::uint8_t>{0x4F, 0x41, 0x48, 0x31, 0x80, 0xBB, 0, 0, 2, 0, 2, 0, 0,
                                         0, 0, 0}));
    EXPECT_EQ(bytesOf(44100, 1, SampleFormat::S16),
              (std::vector<std::uint8_t>{0x4F, 0x41, 0x48, 0x31, 0x44, 0xAC, 0, 0, 1, 0, 1, 0, 0,
                                         0, 0, 0}));
    // The channel field keeps the low 16 bits; any format other than F32 is announced as S16.
    EXPECT_EQ(bytesOf(0x01020304, 65537, static_cast<SampleFormat>(7)),
              (std::vector<std::uint8_t>{0x4F, 0x41, 0x48, 0x31, 4, 3, 2, 1, 1, 0, 1, 0, 0, 0, 0,
                                         0}));
}

TEST(StreamHeader, WritesOnceAndReportsAShortWrite) {
    std::FILE* out = std::tmpfile();
    std::string errorMessage;
    writeStreamHeader(96000, 6, SampleFormat::S16, errorMessage, out);
    EXPECT_EQ(errorMessage, "");
    EXPECT_EQ(std::ftell(out), 16);
    std::fclose(out);

    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    errorMessage = "an earlier failure";
    writeStreamHeader(48000, 2, SampleFormat::F32, errorMessage, full);
    EXPECT_EQ(errorMessage, "stdout closed while writing header");
    std::fclose(full);
}

}  // namespace
