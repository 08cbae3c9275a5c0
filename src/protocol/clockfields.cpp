#include "clockfields.h"

#include "commandset.h"

namespace clockfields
{

void write(command::Block &block, const QDateTime &time)
{
    command::putBcdDateTime(block.data() + command::ClockBytes, time);
    block[command::WindowEndBytes] = 0;
    block[command::SubSecondByte] = command::subSecondByte(time.time().msec());
}

} // namespace clockfields
