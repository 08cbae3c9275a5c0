#include "journalentries.h"

#include "periods.h"

namespace
{
const char *const OriginWords[] = {"run", "detection", "collection", "listen"};
const char *const AskWords[] = {"none", "all", "window", "new"};

template <typename E, size_t N> E fromWord(const QString &text, const char *const (&words)[N])
{
    for (size_t i = 0; i < N; ++i)
        if (text == QLatin1String(words[i]))
            return E(i);
    return E(0);
}
} // namespace

QString originText(StatusOrigin origin)
{
    return QString::fromLatin1(OriginWords[int(origin)]);
}

StatusOrigin originFromText(const QString &text)
{
    return fromWord<StatusOrigin>(text, OriginWords);
}

QString askText(CollectionAsk ask)
{
    return QString::fromLatin1(AskWords[int(ask)]);
}

CollectionAsk askFromText(const QString &text)
{
    return fromWord<CollectionAsk>(text, AskWords);
}

StatusEntry StatusEntry::fromAnswer(const answer::Status &status, const QDateTime &pcTime, int rssi,
                                    uint16_t relay, StatusOrigin origin)
{
    StatusEntry e;
    e.pcTimeMs = pcTime.toMSecsSinceEpoch();
    e.serialNumber = uint16_t(status.serialNumber & 0xFFFF);
    e.sensorType = status.sensorType;
    e.sensorClock = status.clock;
    if (status.clock.isValid() && pcTime.isValid())
        e.clockOffsetS = pcTime.secsTo(status.clock);
    e.periodCode = status.periodCode;
    e.periodSeconds = periods::secondsOfCode(status.periodCode);
    e.channelMask = status.channelMask;
    e.pageCount = status.pageCount;
    e.firstPage = status.firstPage;
    e.lastPage = status.lastPage;
    e.batteryIndex = status.batteryIndex & 0x0F;
    e.rssi = rssi;
    e.relay = relay;
    e.version = status.version;
    e.origin = origin;
    return e;
}
