#include "commandset.h"

#include "page.h"

#include <cmath>

namespace command
{

namespace
{
void put16(QByteArray &bytes, uint16_t value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xFF));
}

QByteArray body(uint8_t first, uint16_t a)
{
    QByteArray b(1, char(first));
    put16(b, a);
    return b;
}
} // namespace

void putBcdDateTime(uint8_t *six, const QDateTime &when)
{
    const QDate d = when.date();
    const QTime t = when.time();
    six[0] = page::toBcd(d.year() % 100);
    six[1] = page::toBcd(d.month());
    six[2] = page::toBcd(d.day());
    six[3] = page::toBcd(t.hour());
    six[4] = page::toBcd(t.minute());
    six[5] = page::toBcd(t.second());
}

QDateTime bcdDateTime(const uint8_t *six, Qt::TimeSpec spec)
{
    // fromBcd reads a bad digit as 0, which would turn a garbled month into a valid-looking
    // date of another month: refuse such bytes outright.
    for (int i = 0; i < 6; ++i)
        if ((six[i] >> 4) > 9 || (six[i] & 0x0F) > 9)
            return QDateTime();
    const QDate date(2000 + page::fromBcd(six[0]), page::fromBcd(six[1]), page::fromBcd(six[2]));
    const QTime time(page::fromBcd(six[3]), page::fromBcd(six[4]), page::fromBcd(six[5]));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, spec);
}

uint8_t subSecondByte(int milliseconds)
{
    milliseconds = qBound(0, milliseconds, 999);
    return static_cast<uint8_t>(2 * std::lround(milliseconds / 15.625));
}

int subSecondMilliseconds(uint8_t byte)
{
    return qMin(1000, int(std::lround(byte * 1000.0 / 128.0)));
}

Block emptyBlock()
{
    Block b;
    b.fill(0);
    return b;
}

Block actionBlock(const Actions &a)
{
    Block b = emptyBlock();
    b[FlagsByte] = a.flags;
    if (a.flags & ChangePeriod)
        b[PeriodCodeByte] = a.periodCode;
    if (a.flags & DownloadBetween) {
        putBcdDateTime(&b[WindowStartBytes], a.windowStart);
        putBcdDateTime(&b[WindowEndBytes], a.windowEnd);
    }
    if (a.flags & SetClock) {
        putBcdDateTime(&b[ClockBytes], a.clock);
        b[SubSecondByte] = subSecondByte(a.clockMs);
    }
    if (a.flags & SelectChannels) {
        b[ChannelMaskByte] = a.channelMask;
        b[SensorTypeByte] = a.sensorType;
    }
    return b;
}

Actions parseActionBlock(const Block &b)
{
    Actions a;
    a.flags = b[FlagsByte];
    a.periodCode = b[PeriodCodeByte];
    if (a.flags & SetClock) {
        a.clock = bcdDateTime(&b[ClockBytes]);
        a.clockMs = subSecondMilliseconds(b[SubSecondByte]);
    }
    if (a.flags & DownloadBetween) {
        a.windowStart = bcdDateTime(&b[WindowStartBytes]);
        a.windowEnd = bcdDateTime(&b[WindowEndBytes]);
    }
    a.channelMask = b[ChannelMaskByte];
    a.sensorType = b[SensorTypeByte];
    return a;
}

Block memoryRead(bool ram, uint16_t address)
{
    Block b = emptyBlock();
    b[MemoryOperationByte] = ram ? ReadRam : ReadEeprom;
    b[MemoryAddressBytes] = static_cast<uint8_t>(address >> 8);
    b[MemoryAddressBytes + 1] = static_cast<uint8_t>(address & 0xFF);
    return b;
}

Block memoryWrite(uint16_t address, uint8_t value, bool restart)
{
    Block b = emptyBlock();
    b[MemoryOperationByte] = WriteEeprom;
    b[MemoryAddressBytes] = static_cast<uint8_t>(address >> 8);
    b[MemoryAddressBytes + 1] = static_cast<uint8_t>(address & 0xFF);
    b[MemoryValueByte] = value;
    b[MemoryRestartByte] = restart ? 1 : 0;
    return b;
}

Block reveilBlock()
{
    return memoryWrite(0x0078, 0x64, false);
}

Block loraPageRequest(uint16_t page)
{
    Block b = emptyBlock();
    b[0] = LoraFragmented;
    b[LoraPageBytes] = static_cast<uint8_t>(page >> 8);
    b[LoraPageBytes + 1] = static_cast<uint8_t>(page & 0xFF);
    return b;
}

QByteArray toBytes(const Block &block)
{
    return QByteArray(reinterpret_cast<const char *>(block.data()), BlockSize);
}

Block blockFromBytes(const QByteArray &bytes)
{
    Block b = emptyBlock();
    for (int i = 0; i < BlockSize && i < bytes.size(); ++i)
        b[size_t(i)] = static_cast<uint8_t>(bytes[i]);
    return b;
}

QByteArray wakeTargetBody(uint16_t serialNumber)
{
    return body(WakeTarget, serialNumber);
}

QByteArray ackDirectBody(uint16_t serialNumber)
{
    return body(AckDirect, serialNumber);
}

QByteArray setCurrentBody(uint16_t serialNumber)
{
    return body(SetCurrent, serialNumber);
}

QByteArray relayRefreshBody()
{
    return QByteArray(1, char(RelayRefresh));
}

QByteArray rssiListsBody(uint16_t address)
{
    return body(RssiLists, address);
}

QByteArray relayListBody(uint8_t op, uint16_t serialNumber, uint16_t relay)
{
    QByteArray b = body(op, serialNumber);
    put16(b, relay);
    return b;
}

QByteArray relayChannelBody(uint8_t value, uint16_t serialNumber)
{
    QByteArray b(1, char(RelayChannel));
    b.append(char(value));
    b.append(char(0x00));
    put16(b, serialNumber);
    return b;
}

QByteArray setChannelBody(uint8_t channel)
{
    QByteArray b(1, char(SetChannel));
    b.append(char(channel));
    return b;
}

QByteArray readChannelBody()
{
    return QByteArray(1, char(ReadChannel));
}

QByteArray readVersionBody()
{
    return QByteArray(1, char(ReadVersion));
}

QByteArray pageRequestBody(uint16_t serialNumber, uint16_t firstPage, uint8_t count)
{
    QByteArray b = body(PageRequest, serialNumber);
    put16(b, firstPage);
    b.append(char(serialNumber < AlwaysListeningFrom ? 0x00 : 0x01));
    b.append(char(count));
    return b;
}

QByteArray pageRequestRelayBody(uint16_t serialNumber, uint16_t relay, uint16_t firstPage,
                                uint16_t count)
{
    QByteArray b = body(PageRequestRelay, serialNumber);
    put16(b, relay);
    put16(b, firstPage);
    put16(b, count);
    return b;
}

QByteArray rawDirectBody(uint16_t serialNumber, uint8_t byte)
{
    return api::txDirectBody(serialNumber, QByteArray(1, char(byte)));
}

QByteArray rawRelayBody(uint16_t serialNumber, uint16_t relay, uint8_t byte)
{
    return api::txRelayBody(serialNumber, relay, QByteArray(1, char(byte)));
}

QByteArray rssiListFrame(const QVector<RssiEntry> &entries)
{
    QByteArray b(1, char(RssiLists));
    for (const RssiEntry &e : entries) {
        put16(b, e.serialNumber);
        b.append(char(e.rssi));
        b.append(char(e.ageUnits));
    }
    return b;
}

std::optional<QVector<RssiEntry>> parseRssiList(const QByteArray &data)
{
    if (data.isEmpty() || uint8_t(data[0]) != RssiLists || (data.size() - 1) % RssiEntrySize)
        return std::nullopt;
    QVector<RssiEntry> entries;
    for (int at = 1; at + RssiEntrySize <= data.size(); at += RssiEntrySize) {
        RssiEntry e;
        e.serialNumber = static_cast<uint16_t>((uint8_t(data[at]) << 8) | uint8_t(data[at + 1]));
        e.rssi = uint8_t(data[at + 2]);
        e.ageUnits = uint8_t(data[at + 3]);
        entries.append(e);
    }
    return entries;
}

QByteArray relayListAckFrame(const QVector<uint16_t> &serialNumbers)
{
    QByteArray b(1, char(RelayListAck));
    for (uint16_t sn : serialNumbers)
        put16(b, sn);
    return b;
}

std::optional<QVector<uint16_t>> parseRelayListAck(const QByteArray &data)
{
    if (data.isEmpty() || uint8_t(data[0]) != RelayListAck || (data.size() - 1) % 2)
        return std::nullopt;
    QVector<uint16_t> list;
    for (int at = 1; at + 2 <= data.size(); at += 2)
        list.append(static_cast<uint16_t>((uint8_t(data[at]) << 8) | uint8_t(data[at + 1])));
    return list;
}

uint16_t relayListTarget(const QByteArray &body)
{
    if (body.size() < 5)
        return 0;
    const uint8_t op = uint8_t(body[0]);
    if (op != RelayRegister && op != RelayRelease && op != RelayAddCurrent)
        return 0;
    return uint16_t((uint8_t(body[3]) << 8) | uint8_t(body[4]));
}

uint16_t listBodySerial(const QByteArray &body)
{
    return body.size() < 3 ? uint16_t(0) : uint16_t((uint8_t(body[1]) << 8) | uint8_t(body[2]));
}

} // namespace command
