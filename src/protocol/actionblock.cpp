#include "actionblock.h"

namespace actionblock
{

uint8_t flags(const Choice &c, const Sensor &s)
{
    uint8_t f = 0;
    if (c.setTime)
        f |= command::SetClock;
    if (c.changePeriod && s.reportedPeriodCode != s.selectedPeriodCode)
        f |= command::ChangePeriod;
    if (c.clearData)
        f |= command::ClearData;
    if (c.downloadBetween)
        f |= command::DownloadBetween;
    if (c.downloadAll || (c.downloadNew && !s.collectedUntil.isValid()))
        f |= command::DownloadAll;
    else if (c.downloadNew)
        f |= command::DownloadBetween;
    if (c.selectChannels && s.reportedChannelMask != s.selectedChannelMask)
        f |= command::SelectChannels;
    return f;
}

MemoryWrite memoryWrite(const QString &address, const QString &value)
{
    MemoryWrite w;
    const QString a = address.trimmed();
    w.requested = !address.isEmpty();
    if (!w.requested)
        return w;
    bool okAddress = false;
    bool okValue = false;
    const uint addr = a.toUInt(&okAddress, 16);
    const uint val = value.trimmed().toUInt(&okValue, 16);
    w.valid = okAddress && okValue && addr <= 0xFFFF && val <= 0xFF;
    if (w.valid) {
        w.address = static_cast<uint16_t>(addr);
        w.value = static_cast<uint8_t>(val);
    }
    return w;
}

Payload build(const Choice &c, const Sensor &s)
{
    Payload p;
    command::Actions a;
    a.flags = flags(c, s);
    a.periodCode = s.selectedPeriodCode;
    a.windowStart = c.windowStart;
    a.windowEnd = c.windowEnd;
    if (c.downloadNew && s.collectedUntil.isValid()) {
        // From the sample after the last one collected to the sensor's clock (the PC's when
        // it never told it). Samples are whole seconds apart.
        a.windowStart = s.collectedUntil.addSecs(1);
        a.windowEnd = s.sensorClock.isValid() ? s.sensorClock : QDateTime::currentDateTime();
        if (a.windowEnd <= a.windowStart)
            a.windowEnd = a.windowStart.addSecs(1);
    }
    a.channelMask = s.selectedChannelMask;
    a.sensorType = s.sensorType;
    // The clock is stamped in just before each send; until then its bytes are the window's or 0.
    const uint8_t withoutClock = a.flags & uint8_t(~command::SetClock);
    a.flags = withoutClock;
    p.block = command::actionBlock(a);
    p.block[command::FlagsByte] = flags(c, s);
    p.memory = memoryWrite(s.memoryAddress, s.memoryValue);
    if (p.block[command::FlagsByte] == 0 && p.memory.valid) {
        p.block = command::memoryWrite(p.memory.address, p.memory.value, true);
        p.memoryWrite = true;
    }
    return p;
}

WindowFault windowFault(const QDateTime &from, const QDateTime &to, const QDateTime &now)
{
    if (to < from)
        return WindowFault::Reversed;
    if (to == from)
        return WindowFault::Empty;
    if (from > now)
        return WindowFault::Future;
    return WindowFault::None;
}

} // namespace actionblock
