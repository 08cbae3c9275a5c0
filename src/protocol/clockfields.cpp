#include "clockfields.h"

#include "commandset.h"

namespace clockfields {

void write(uint8_t block[17], const QDateTime &time)
{
    command::putBcdDateTime(block + command::ClockBytes, time);
    block[8] = 0;
    block[command::SubSecondByte] = command::subSecondByte(time.time().msec());
}

} // namespace clockfields
