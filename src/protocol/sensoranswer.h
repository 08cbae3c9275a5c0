#pragma once

#include <QByteArray>
#include <QDateTime>
#include <array>
#include <cstdint>
#include <optional>

// The status answer a sensor or relay sends: 53 bytes from 0xC0 to 0xC1 (a 49-byte payload and
// its CRC), plus the byte the radio side appends once the frame is checked. Offsets count from
// the 0xC0.
namespace answer
{

constexpr int FrameLength = 53;   // unstuffed, 0xC0 .. 0xC1
constexpr int CheckedLength = 54; // with the radio's extra byte
constexpr int PayloadLength = 49; // offsets 1 .. 49

constexpr int SerialNumber = 1;    // 4 bytes, big-endian
constexpr int SerialNumberLow = 3; // its low 16 bits
constexpr int Function = 5;        // the function answered
constexpr int Clock = 6;           // 6 BCD bytes: yy MM dd hh mm ss
constexpr int RecordingStart = 12; // same layout
constexpr int PeriodCode = 18;
constexpr int PageCount = 19; // 2 bytes, big-endian
constexpr int TimeSet = 23;   // non-zero after the clock was set (read over LoRa)
constexpr int FirstPage = 25; // 2 bytes, big-endian
constexpr int LastPage = 27;  // 2 bytes, big-endian
constexpr int SensorType = 29;
constexpr int ChannelMask = 30;
constexpr int Version = 33;     // firmware version, the identification byte of a wake-up frame
constexpr int MemoryBytes = 34; // what a memory read returns, 8 bytes
constexpr int MemoryByteCount = 8;
constexpr int LastValue0 = 34; // signed 16-bit, big-endian
constexpr int LastValue1 = 36; // signed 16-bit, big-endian
constexpr int LastValue2 = 38; // 32-bit, big-endian (a 16-bit channel uses the low half)
constexpr int Battery = 42;    // bits 0-3: battery label index
constexpr int Mode = 43;
constexpr int ErrorFlag = 44;
constexpr int LastValue3 = 45; // 32-bit, big-endian (a 16-bit channel uses the low half)
constexpr int Crc = 50;        // low byte first
constexpr int End = 52;
constexpr int Extra = 53; // 0xFF heard directly; the relay's RSSI of the sensor when relayed

constexpr uint16_t NoPage = 0xFFFF;
// Answer byte 25 right after the memory was cleared.
constexpr uint8_t ClearedMark = 0x80;
constexpr uint8_t HeardDirectly = 0xFF;

struct Status {
    uint32_t serialNumber = 0;
    uint8_t function = 0;
    QDateTime clock;          // local time as the sensor keeps it
    QDateTime recordingStart; // local time
    uint8_t periodCode = 0;
    uint16_t pageCount = 0;
    uint8_t timeSet = 0;
    uint16_t firstPage = NoPage;
    uint16_t lastPage = NoPage;
    uint8_t sensorType = 0;
    uint8_t channelMask = 0;
    uint8_t version = 0;
    int16_t lastValue0 = 0;
    int16_t lastValue1 = 0;
    uint32_t lastValue2 = 0;
    uint32_t lastValue3 = 0;
    uint8_t batteryIndex = 0; // 0..15
    uint8_t mode = 0;
    uint8_t errorFlag = 0;
    // A memory read answers with these in place of the last values (offsets 34-41).
    std::optional<std::array<uint8_t, MemoryByteCount>> memory;
    uint8_t extra = HeardDirectly;
};

// The 49-byte payload (offsets 1 .. 49) of an answer.
QByteArray buildPayload(const Status &status);
// The frame as it goes on the air: 0xC0, stuffed payload and CRC, 0xC1 (without the extra byte).
QByteArray buildFrame(const Status &status);

// Reads a checked answer (at least CheckedLength bytes, as left by checkSensorFrame).
// Empty optional when it is shorter or does not start with 0xC0. Dates that do not decode stay
// invalid.
std::optional<Status> parse(const uint8_t *frame, int length);
std::optional<Status> parse(const QByteArray &frame);

// Big-endian 16-bit field.
uint16_t read16(const uint8_t *frame, int offset);
uint32_t read32(const uint8_t *frame, int offset);

} // namespace answer
