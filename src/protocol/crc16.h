#pragma once

#include <cstdint>

// CRC-16/X-25 (HDLC frame check sequence): reflected 0x1021, init 0xFFFF, final XOR 0xFFFF.
// Returns the CRC of `count` bytes; a null pointer or a count of 0 or less gives the CRC of nothing.
uint16_t computeCrc16(const uint8_t *bytes, int count);
