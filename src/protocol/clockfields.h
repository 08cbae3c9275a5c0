#pragma once

#include "commandblock.h"

#include <QDateTime>
#include <cstdint>

// Stamps the clock a sensor is set to into its 17-byte parameter block just before sending:
// bytes 2-7 the BCD date and time (year modulo 100 first), byte 8 zero, byte 16 the sub-second
// part in 1/128 s.
namespace clockfields
{

void write(command::Block &block, const QDateTime &time);

} // namespace clockfields
