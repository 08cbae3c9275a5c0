#include "clockfields.h"

#include "page.h"

namespace clockfields {

uint8_t subSecondByte(int milliseconds)
{
    // floor(ms / 15.625 + 0.5) in integers: (16 ms + 125) / 250
    if (milliseconds < 0)
        milliseconds = 0;
    return static_cast<uint8_t>(2 * ((16 * milliseconds + 125) / 250));
}

void write(uint8_t block[17], const QDateTime &time)
{
    const QDate d = time.date();
    const QTime t = time.time();
    block[2] = page::toBcd(d.year() % 100);
    block[3] = page::toBcd(d.month());
    block[4] = page::toBcd(d.day());
    block[5] = page::toBcd(t.hour());
    block[6] = page::toBcd(t.minute());
    block[7] = page::toBcd(t.second());
    block[8] = 0;
    block[16] = subSecondByte(t.msec());
}

} // namespace clockfields
