// The CRC-16 against its augmented bit-by-bit definition and the known values.
#include "protocol/Crc16.h"
#include "protocol/Frames.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

namespace {

// The definition the terminal firmware was written from: a 24-bit register,
// each byte ORed into bits 16..23 and shifted through, then 16 zero bits.
uint16_t augmentedCrc(const uint8_t* data, size_t length)
{
    uint32_t reg = 0;
    auto step = [&reg] { reg = (reg & 1u) ? (reg >> 1) ^ 0x8408u : reg >> 1; };
    for (size_t i = 0; i < length; ++i) {
        reg |= uint32_t{data[i]} << 16;
        for (int bit = 0; bit < 8; ++bit)
            step();
    }
    for (int bit = 0; bit < 16; ++bit)
        step();
    return static_cast<uint16_t>(reg & 0xFFFFu);
}

std::array<uint8_t, 2> appended(std::vector<uint8_t> data)
{
    const auto n = static_cast<uint16_t>(data.size());
    data.resize(data.size() + 2);
    crc16Append(data.data(), n);
    return {data[n], data[n + 1]};
}

using CrcBytes = std::array<uint8_t, 2>;

TEST(Crc16, CheckValueOfTheCatalogue)
{
    const std::string text = "123456789";
    const std::vector<uint8_t> data(text.begin(), text.end());
    EXPECT_EQ(crc16(data.data(), data.size()), 0x2189);
    EXPECT_EQ(appended(data), (CrcBytes{0x89, 0x21}));
}

TEST(Crc16, EmptyInputIsZero)
{
    EXPECT_EQ(crc16(nullptr, 0), 0);
    EXPECT_EQ(augmentedCrc(nullptr, 0), 0);
}

TEST(Crc16, WorkedFrames)
{
    EXPECT_EQ(appended({0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8}), (CrcBytes{0xA4, 0xFC}));
    EXPECT_EQ(appended({0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF}), (CrcBytes{0xC3, 0x6A}));
    EXPECT_EQ(appended({0x2F, 0xC0, 0x04, 0x00, 0x14, 0x01, 0x2C}), (CrcBytes{0x56, 0x44}));
    EXPECT_EQ(appended({0x2F, 0x40, 0x03, 0x05, 0x01, 0xFC}), (CrcBytes{0x80, 0x41}));

    std::vector<uint8_t> listRequest(30, 0);
    listRequest[0] = 0x01;
    EXPECT_EQ(appended(listRequest), (CrcBytes{0xF3, 0x20}));

    std::vector<uint8_t> authorization(30, 0);
    authorization[0] = 0x03;
    authorization[1] = 0x01;
    EXPECT_EQ(appended(authorization), (CrcBytes{0x24, 0x98}));
}

TEST(Crc16, TableEqualsAugmentedDefinition)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t length = 0; length <= 300; ++length) {
        std::vector<uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<uint8_t>(byte(random));
        ASSERT_EQ(crc16(data.data(), data.size()), augmentedCrc(data.data(), data.size())) << "length " << length;
    }
    for (int value = 0; value < 256; ++value) {
        const uint8_t single = static_cast<uint8_t>(value);
        ASSERT_EQ(crc16(&single, 1), augmentedCrc(&single, 1)) << "byte " << value;
    }
}

TEST(Crc16, SlashFrameConstantsCarryTheirCrc)
{
    auto selfConsistent = [](auto frame) {
        const auto n = static_cast<uint16_t>(frame[kSlashCountOffset] + kSlashHeaderSize);
        const size_t expectedSize = n + kCrcSize;
        return frame.size() == expectedSize && crc16Check(frame.data(), n);
    };
    EXPECT_TRUE(selfConsistent(kOpeningFrame));
    EXPECT_TRUE(selfConsistent(kVarlenneStartFrame));
    EXPECT_TRUE(selfConsistent(kFirstReleaseFrame));
    EXPECT_TRUE(selfConsistent(kSecondReleaseFrame));
}

TEST(Crc16Check, AcceptsWhatAppendWrote)
{
    std::array<uint8_t, kBlockFrameSize> frame{};
    for (size_t i = 0; i < kBlockCrcOffset; ++i)
        frame[i] = static_cast<uint8_t>(i * 7 + 3);
    crc16Append(frame.data(), kBlockCrcOffset);
    EXPECT_TRUE(crc16Check(frame.data(), kBlockCrcOffset));
}

TEST(Crc16Check, AllZeroCommandFrameIsValid)
{
    std::array<uint8_t, kCommandFrameSize> frame{};
    EXPECT_TRUE(crc16Check(frame.data(), kCommandCrcOffset));
}

TEST(Crc16Check, SwappedCrcBytesFail)
{
    std::array<uint8_t, kCommandFrameSize> frame{};
    frame[0] = 0x03;
    frame[1] = 0x01;
    crc16Append(frame.data(), kCommandCrcOffset);
    ASSERT_NE(frame[30], frame[31]);
    std::swap(frame[30], frame[31]);
    EXPECT_FALSE(crc16Check(frame.data(), kCommandCrcOffset));
}

TEST(Crc16Check, ChangedDataBitFailsAndLeavesComputedCrc)
{
    std::array<uint8_t, kCommandFrameSize> frame{};
    frame[0] = 0x01;
    crc16Append(frame.data(), kCommandCrcOffset);
    frame[17] ^= 0x10;
    EXPECT_FALSE(crc16Check(frame.data(), kCommandCrcOffset));
    const uint16_t computed = crc16(frame.data(), kCommandCrcOffset);
    EXPECT_EQ(frame[30], computed & 0xFF);
    EXPECT_EQ(frame[31], computed >> 8);
}

} // namespace
