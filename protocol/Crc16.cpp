#include "protocol/Crc16.h"

#include <array>

namespace {

constexpr uint16_t kReflectedPolynomial = 0x8408;

// One entry per byte value: the register after shifting that byte through
// eight steps. Processing a byte at once equals the bit-by-bit form.
constexpr std::array<uint16_t, 256> makeTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        uint16_t reg = static_cast<uint16_t>(value);
        for (int bit = 0; bit < 8; ++bit)
            reg =
                (reg & 1u) ? static_cast<uint16_t>((reg >> 1) ^ kReflectedPolynomial) : static_cast<uint16_t>(reg >> 1);
        table[value] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

} // namespace

uint16_t crc16(const uint8_t* data, size_t length)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFFu]);
    return crc;
}

void crc16Append(uint8_t* buf, uint16_t n)
{
    const uint16_t crc = crc16(buf, n);
    buf[n] = static_cast<uint8_t>(crc & 0xFFu);
    buf[n + 1] = static_cast<uint8_t>(crc >> 8);
}

bool crc16Check(uint8_t* buf, uint16_t n)
{
    const uint8_t low = buf[n];
    const uint8_t high = buf[n + 1];
    crc16Append(buf, n);
    return buf[n] == low && buf[n + 1] == high;
}
