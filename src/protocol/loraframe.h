#pragma once

#include "commandblock.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// Frames from the LoRa dongle: the same 7E / length / payload / checksum framing as the API
// frames, with payloads of 1 to 65 bytes.
namespace lora
{

constexpr int MaxPayload = 65;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t Accepted = 0x01;
constexpr uint8_t Answer = 0x02;
constexpr uint8_t Presence = 0x11;
constexpr int PresenceLength = 3;

// The 3-byte frame beginning 0x11 is also the dongle's radio report: the level of the last
// reception and a status byte. A radio level byte reads as dBm 137 below its value; a LoRa
// sensor answer ends with such a byte too.
constexpr int RssiByteOffset = 137;
inline int rssiDbm(uint8_t levelByte)
{
    return int(levelByte) - RssiByteOffset;
}
struct RadioReport {
    int rssiDbm = 0;
    uint8_t status = 0;
};
// The report, when `frame` is one (exactly 3 bytes beginning 0x11).
std::optional<RadioReport> parseRadioReport(const QByteArray &frame);
// Frames beginning 0x11 are the dongle's own, never an answer to show.
bool isDongleReport(const QByteArray &frame);

// A LoRa answer stored as the last received frame: C0 00 00 00, the payload, then its second
// byte once more, so the fields sit where an 802.15.4 sensor answer has them.
constexpr int SensorFramePrefix = 4;
QByteArray answerAsSensorFrame(const QByteArray &payload);

// Asks the dongle for its configuration: 03 00.
QByteArray readConfigBody();

struct Extracted {
    QByteArray payload; // empty when no complete frame is there yet
    QString error;      // last framing error met on the way, empty when none
};

// Takes at most one payload out of `buffer`. Consumed frames, framing errors and bytes in
// front of the next start byte leave the buffer, so noise never piles up and an error is
// reported once; an incomplete frame stays for the next call.
Extracted extractLoraFrame(QByteArray &buffer);

// True when the buffer still holds a complete frame or something that would be reported.
bool holdsWork(const QByteArray &buffer);

} // namespace lora

namespace lora
{

constexpr int RequestLength = 30;
constexpr uint8_t RequestKind = 0x01;
constexpr uint8_t ReadConfig = 0x03;
// A fragmented answer: ten numbered 0x02 frames; fragment 0 brings 5 header bytes, every
// fragment up to 53 data bytes from its byte 5.
constexpr int Fragments = 10;
constexpr int FragmentHeader = 5;
// The page a reassembled page answer carries: the last two bytes of its fragment header,
// big-endian.
inline uint16_t pageAnswerNumber(const uint8_t *answer)
{
    return uint16_t((answer[FragmentHeader - 2] << 8) | answer[FragmentHeader - 1]);
}
constexpr int FragmentData = 53;

// 01, preamble size, serial number (big-endian), 0F, bytes 0-15 of the block, seven 00.
QByteArray requestBody(uint32_t serialNumber, int preambleSize, const command::Block &block);
// Air time the request spends before the sensor reads its clock: long preambles take longer.
int airTimeMs(int preambleSize);
// How long to wait for the dongle's 06 acknowledgement: a wake-up preamble keeps the radio busy.
int acknowledgementWindowMs(int preambleSize);

} // namespace lora
