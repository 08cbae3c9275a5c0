#pragma once

#include "apiframe.h"
#include "commandblock.h"

#include <QByteArray>
#include <QDateTime>
#include <QVector>
#include <array>
#include <cstdint>
#include <optional>

// The words the program and the devices exchange: the one sensor function and its 17-byte
// blocks, and the short bodies the dongle and the relays understand. Sender and decoder both
// build and read these bytes through here so they cannot disagree.
namespace command
{

// Every command to a sensor is this function with a 17-byte block.
constexpr uint8_t SensorFunction = 0x0F;

// Action block: byte 0 is the sum of the flags of the chosen actions.
enum ActionFlag : uint8_t {
    SetClock = 0x01,
    ChangePeriod = 0x02,
    ClearData = 0x04,
    DownloadBetween = 0x08,
    DownloadAll = 0x10,
    SelectChannels = 0x40,
};
constexpr uint8_t KnownActionFlags =
    SetClock | ChangePeriod | ClearData | DownloadBetween | DownloadAll | SelectChannels;

// Offsets inside an action block.
constexpr int FlagsByte = 0;
constexpr int PeriodCodeByte = 1;
constexpr int ClockBytes = 2;       // 6 BCD bytes: yy MM dd hh mm ss
constexpr int WindowStartBytes = 2; // same layout, first date of "download between"
constexpr int WindowEndBytes = 8;   // same layout, second date
constexpr int ChannelMaskByte = 14;
constexpr int SensorTypeByte = 15;
constexpr int SubSecondByte = 16; // 1/128 s

// Memory block: byte 0 is 0, byte 1 the operation.
enum MemoryOperation : uint8_t {
    ReadEeprom = 0x12,
    WriteEeprom = 0x13,
    ReadRam = 0x14,
};
constexpr int MemoryOperationByte = 1;
constexpr int MemoryAddressBytes = 2; // high, low
constexpr int MemoryValueByte = 4;
constexpr int MemoryRestartByte = 5;

// LoRa page request block: 0x80 (fragmented answer wanted), 0x00, page (big-endian), zeros.
constexpr uint8_t LoraFragmented = 0x80;
constexpr int LoraPageBytes = 2;

// Six BCD bytes (year modulo 100, month, day, hour, minute, second) of a date-time as written.
void putBcdDateTime(uint8_t *six, const QDateTime &when);
// The date-time the six bytes write (year + 2000) in `spec`; invalid when any field is.
QDateTime bcdDateTime(const uint8_t *six, Qt::TimeSpec spec = Qt::LocalTime);
// Sub-second part in 1/128 s: 2 x the nearest integer to ms / 15.625.
uint8_t subSecondByte(int milliseconds);
// Milliseconds a sub-second byte stands for (at most 1000).
int subSecondMilliseconds(uint8_t byte);

// The relay a relay list body (register 0x40, release 0x41, add current 0x43: op, serial
// number, relay) is for; 0 for any other body. The relay answers these with its whole list.
uint16_t relayListTarget(const QByteArray &body);
// The serial number a dongle or relay list body names (bytes 1-2); 0 when it is too short.
uint16_t listBodySerial(const QByteArray &body);

Block emptyBlock();
// Flags and the bytes the flags need; `when` is the clock to set or the window start.
struct Actions {
    uint8_t flags = 0;
    uint8_t periodCode = 0;
    QDateTime clock;       // SetClock
    int clockMs = 0;       // SetClock: sub-second part
    QDateTime windowStart; // DownloadBetween
    QDateTime windowEnd;   // DownloadBetween
    uint8_t channelMask = 0;
    uint8_t sensorType = 0;
};
Block actionBlock(const Actions &actions);
Actions parseActionBlock(const Block &block);

Block memoryRead(bool ram, uint16_t address);
Block memoryWrite(uint16_t address, uint8_t value, bool restart);
Block loraPageRequest(uint16_t page);
// The LoRa terminal's wake-up button: device 0x0430 writes 0x64 at EEPROM 0x0078, no restart.
constexpr uint32_t ReveilSerial = 0x0430;
Block reveilBlock();
QByteArray toBytes(const Block &block);
// The first 17 bytes (missing ones read as 0).
Block blockFromBytes(const QByteArray &bytes);

// Raw data bytes carried by a transmit request to a device instead of a sensor frame.
constexpr uint8_t Attention = 0x60;
constexpr uint8_t AnnounceAck = 0x61;

// Dongle and relay bodies (first byte).
constexpr uint8_t WakeTarget = 0x20; // add to the dongle list; 0x20 00 00 clears it
constexpr uint8_t AckDirect = 0x21;  // end of the current sensor heard directly
constexpr uint8_t SetCurrent = 0x23;
constexpr uint8_t PageRequest = 0x24;      // '$'
constexpr uint8_t PageRequestRelay = 0x44; // 'D'
constexpr uint8_t RelayRefresh = 0x30;
constexpr uint8_t RssiLists = 0x31;    // request, and first byte of the list frames
constexpr uint8_t RelayListAck = 0x32; // first byte of a relay list acknowledgement
constexpr uint8_t RelayRegister = 0x40;
constexpr uint8_t RelayRelease = 0x41;
constexpr uint8_t RelayAddCurrent = 0x43;
constexpr uint8_t RelayChannel = 0x46; // 'F', also the first byte of its answer
constexpr uint8_t SetChannel = api::SetChannel;
constexpr uint8_t ReadChannel = api::ReadChannel;
constexpr uint8_t ReadVersion = api::ReadVersion;
// A run's first and last frames to the dongle (the same byte as the LoRa presence query ends it).
constexpr uint8_t RunStart = api::RunStart;   // 0x05
constexpr uint8_t RunEnd = api::LoraPresence; // 0x04
// Serial numbers from here on belong to always-listening devices: no dongle list bodies.
constexpr uint16_t AlwaysListeningFrom = 0x9000;
// The relay class: relays and power meters (types 6 and 8). They listen at all times and
// announce themselves; a relay passes other sensors' frames on.
constexpr bool isRelayType(uint8_t type)
{
    return type == 6 || type == 8;
}
// Devices that listen at all times: the relay class, and devices of a type not known yet
// numbered from AlwaysListeningFrom on.
constexpr bool listensAlways(uint8_t type, uint16_t serialNumber)
{
    return isRelayType(type) || (type == 0 && serialNumber >= AlwaysListeningFrom);
}
constexpr uint16_t RelayRangeFirst = 0x8000;
constexpr uint16_t RelayRangeLast = 0x8FFF;
// Every device / every relay.
constexpr uint16_t Everyone = 0xFFFF;

QByteArray wakeTargetBody(uint16_t serialNumber);
QByteArray ackDirectBody(uint16_t serialNumber);
QByteArray setCurrentBody(uint16_t serialNumber);
QByteArray relayRefreshBody();
QByteArray rssiListsBody(uint16_t address = Everyone);
// op is RelayRegister, RelayRelease or RelayAddCurrent.
QByteArray relayListBody(uint8_t op, uint16_t serialNumber, uint16_t relay);
QByteArray relayChannelBody(uint8_t value, uint16_t serialNumber);
QByteArray setChannelBody(uint8_t channel);
QByteArray readChannelBody();
QByteArray readVersionBody();
// 0x24: the sixth byte tells an always-listening device from a sensor.
QByteArray pageRequestBody(uint16_t serialNumber, uint16_t firstPage, uint8_t count);
QByteArray pageRequestRelayBody(uint16_t serialNumber, uint16_t relay, uint16_t firstPage,
                                uint16_t count);
// Transmit requests carrying one raw byte (0x60 or 0x61), directly or through a relay.
QByteArray rawDirectBody(uint16_t serialNumber, uint8_t byte);
QByteArray rawRelayBody(uint16_t serialNumber, uint16_t relay, uint8_t byte);

// RSSI list frame: 0x31 then 4-byte entries (serial number, RSSI byte, age in units of 4 s).
struct RssiEntry {
    uint16_t serialNumber = 0;
    uint8_t rssi = 0;
    uint8_t ageUnits = 0;
    int ageSeconds() const { return ageUnits * 4; }
    bool operator==(const RssiEntry &o) const
    {
        return serialNumber == o.serialNumber && rssi == o.rssi && ageUnits == o.ageUnits;
    }
};
constexpr int RssiEntrySize = 4;
constexpr int RssiAgeUnitSeconds = 4;
QByteArray rssiListFrame(const QVector<RssiEntry> &entries);
// Empty optional when the frame does not start with 0x31 or its length - 1 is not a multiple of 4.
std::optional<QVector<RssiEntry>> parseRssiList(const QByteArray &data);

// Relay list acknowledgement: 0x32 then 16-bit serial numbers, high byte first.
QByteArray relayListAckFrame(const QVector<uint16_t> &serialNumbers);
// Empty optional when the frame does not start with 0x32 or its length - 1 is odd.
std::optional<QVector<uint16_t>> parseRelayListAck(const QByteArray &data);

} // namespace command
