#include "crc16.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> makeTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();
static_assert(kTable[1] == 0x1189, "X-25 table generated from 0x8408");

} // namespace

uint16_t computeCrc16(const uint8_t *bytes, int count)
{
    uint16_t crc = 0xFFFF;
    for (int i = 0; bytes && i < count; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF]);
    return static_cast<uint16_t>(crc ^ 0xFFFF);
}
