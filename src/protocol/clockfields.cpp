#include "clockfields.h"

#include "commandset.h"

namespace clockfields {

void write(uint8_t block[17], const QDateTime &time)
{
    command::putBcdDateTime(block + command::ClockBytes, time);
    block[command::WindowEndBytes] = 0;
    block[command::SubSecondByte] = command::subSecondByte(time.time().msec());
}

} // namespace clockfields
