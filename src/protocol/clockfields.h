#pragma once

#include <QDateTime>
#include <cstdint>

// The clock a sensor is set to travels in its 17-byte parameter block: bytes 2-7 the BCD date
// and time (year modulo 100 first), byte 8 zero, byte 16 the sub-second part in 1/128 s.
namespace clockfields {

// 2 x the nearest integer to ms / 15.625, halves rounding up (0 .. 128).
uint8_t subSecondByte(int milliseconds);
void write(uint8_t block[17], const QDateTime &time);

} // namespace clockfields
