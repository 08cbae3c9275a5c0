#include "page.h"

namespace page {

const uint16_t periodSeconds[16] = {1, 2, 5, 10, 15, 20, 30, 60, 600, 3600, 120, 300, 900, 0, 0, 0};

const char *const batteryLabels[16] = {"~",    "2.9V", "3.0V", "3.4V", "2.2V", "2.3V",
                                       "2.4V", "2.5V", "2.6V", "2.7V", "2.8V", "3.1V",
                                       "3.2V", "3.3V", "3.5V", "3.7V"};

int fromBcd(uint8_t byte)
{
    const int high = byte >> 4;
    const int low = byte & 0x0F;
    if (high > 9 || low > 9)
        return 0;
    return high * 10 + low;
}

uint8_t toBcd(int value)
{
    value = ((value % 100) + 100) % 100;
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

QDateTime Header::time() const
{
    const QDate date(2000 + year, month, day);
    const QTime clock(hour, minute, second);
    if (!date.isValid() || !clock.isValid())
        return QDateTime();
    return QDateTime(date, clock, Qt::UTC);
}

void Header::setTime(const QDateTime &t)
{
    year = t.date().year() % 100;
    month = t.date().month();
    day = t.date().day();
    hour = t.time().hour();
    minute = t.time().minute();
    second = t.time().second();
}

Header readHeader(const uint8_t *p)
{
    Header h;
    h.year = fromBcd(p[2]);
    h.month = fromBcd(p[3]);
    h.day = fromBcd(p[4]);
    h.hour = fromBcd(p[5]);
    h.minute = fromBcd(p[6]);
    h.second = fromBcd(p[7] & 0x7F);
    h.periodIndex = p[8] & 0x0F;
    h.batteryIndex = p[8] >> 4;
    h.channelMask = p[9];
    h.sampleCount = p[10];
    h.high2 = static_cast<uint16_t>((p[11] << 8) | p[12]);
    h.high3 = static_cast<uint16_t>((p[13] << 8) | p[14]);
    return h;
}

static bool isBcd(uint8_t byte)
{
    return (byte >> 4) <= 9 && (byte & 0x0F) <= 9;
}

bool dateIsBcd(const uint8_t *p)
{
    return isBcd(p[2]) && isBcd(p[3]) && isBcd(p[4]);
}

bool clockIsBcd(const uint8_t *p)
{
    return isBcd(p[5]) && isBcd(p[6]) && isBcd(p[7] & 0x7F);
}

uint16_t framePageNumber(const uint8_t *data)
{
    return static_cast<uint16_t>((data[FramePageNumber] << 8) | data[FramePageNumber + 1]);
}

void writeHeader(uint8_t *p, const Header &h)
{
    p[2] = toBcd(h.year);
    p[3] = toBcd(h.month);
    p[4] = toBcd(h.day);
    p[5] = toBcd(h.hour);
    p[6] = toBcd(h.minute);
    p[7] = toBcd(h.second);
    p[8] = static_cast<uint8_t>((h.periodIndex & 0x0F) | ((h.batteryIndex & 0x0F) << 4));
    p[9] = h.channelMask;
    p[10] = static_cast<uint8_t>(h.sampleCount);
    p[11] = static_cast<uint8_t>(h.high2 >> 8);
    p[12] = static_cast<uint8_t>(h.high2 & 0xFF);
    p[13] = static_cast<uint8_t>(h.high3 >> 8);
    p[14] = static_cast<uint8_t>(h.high3 & 0xFF);
}

int channelCount(uint8_t mask)
{
    int c = 0;
    for (; mask; mask &= static_cast<uint8_t>(mask - 1))
        ++c;
    return c;
}

int samplesThatFit(int channels)
{
    return channels > 0 ? SampleWords / channels : SampleWords;
}

uint16_t sampleWord(const uint8_t *p, int index)
{
    if (index < 0 || index >= SampleWords)
        return 0;
    const uint8_t *w = p + SampleOffset + 2 * index;
    return static_cast<uint16_t>(w[0] | (w[1] << 8));
}

bool setSampleWord(uint8_t *p, int index, uint16_t word)
{
    if (index < 0 || index >= SampleWords)
        return false;
    uint8_t *w = p + SampleOffset + 2 * index;
    w[0] = static_cast<uint8_t>(word & 0xFF);
    w[1] = static_cast<uint8_t>(word >> 8);
    return true;
}

static int signExtend12(int v)
{
    return (v & 0x800) ? v - 0x1000 : v;
}

Accel accelRecord(const uint8_t *p, int index)
{
    Accel a;
    if (index < 0 || index >= AccelRecords)
        return a;
    const uint8_t *b = p + SampleOffset + AccelRecordBytes * index;
    a.x = signExtend12(b[0] | ((b[3] & 0xF0) << 4));
    a.y = signExtend12(b[1] | ((b[3] & 0x0F) << 8));
    a.z = signExtend12(b[2] | ((b[4] & 0x0F) << 8));
    return a;
}

bool setAccelRecord(uint8_t *p, int index, const Accel &v)
{
    if (index < 0 || index >= AccelRecords)
        return false;
    uint8_t *b = p + SampleOffset + AccelRecordBytes * index;
    const int x = v.x & 0xFFF, y = v.y & 0xFFF, z = v.z & 0xFFF;
    b[0] = static_cast<uint8_t>(x & 0xFF);
    b[1] = static_cast<uint8_t>(y & 0xFF);
    b[2] = static_cast<uint8_t>(z & 0xFF);
    b[3] = static_cast<uint8_t>(((x >> 8) << 4) | (y >> 8));
    b[4] = static_cast<uint8_t>((b[4] & 0xF0) | (z >> 8));
    return true;
}

} // namespace page
