#include "pagecheck.h"

#include "page.h"

#include <QDate>
#include <algorithm>
#include <cstring>

namespace pagecheck
{

const char *reasonName(Reason reason)
{
    switch (reason) {
    case Reason::None:
        return "ok";
    case Reason::WrongNumber:
        return "wrong page number";
    case Reason::Erased:
        return "erased";
    case Reason::BadDate:
        return "bad date";
    case Reason::BadTime:
        return "bad time";
    case Reason::UnknownPeriod:
        return "unknown period";
    case Reason::TooManySamples:
        return "too many samples";
    case Reason::BeforePrevious:
        return "before previous page";
    }
    return "?";
}

namespace
{
int capacity(uint8_t mask, int sensorType)
{
    if (sensorType == page::AccelType)
        return page::AccelRecords;
    // With no channel recorded a sample has no words: a count above 0 cannot be the sensor's.
    const int channels = page::channelCount(mask);
    return channels > 0 ? page::samplesThatFit(channels) : 0;
}
} // namespace

Reason check(const uint8_t *p, int number, int requested, int sensorType, const uint8_t *previous)
{
    if (number != requested)
        return Reason::WrongNumber;
    if (std::all_of(p, p + page::Size, [](uint8_t b) { return b == 0xFF; }))
        return Reason::Erased;
    const page::Header h = page::readHeader(p);
    if (!page::dateIsBcd(p) || h.month < 1 || h.month > 12 || h.day < 1 || h.day > 31 ||
        !QDate(2000 + h.year, h.month, h.day).isValid())
        return Reason::BadDate;
    if (!page::clockIsBcd(p) || h.hour > 23 || h.minute > 59 || h.second > 59)
        return Reason::BadTime;
    if (page::periodSeconds[h.periodIndex] == 0)
        return Reason::UnknownPeriod;
    if (h.sampleCount > capacity(h.channelMask, sensorType))
        return Reason::TooManySamples;
    if (previous) {
        // A previous page that was taken although its time is unreadable orders nothing.
        const QDateTime before = page::readHeader(previous).time();
        if (page::dateIsBcd(previous) && page::clockIsBcd(previous) && before.isValid() &&
            h.time() < before)
            return Reason::BeforePrevious;
    }
    return Reason::None;
}

} // namespace pagecheck
