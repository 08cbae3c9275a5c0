#pragma once

#include <QByteArray>
#include <QString>

// Frames from the LoRa dongle: the same 7E / length / payload / checksum framing as the API
// frames, with payloads of 1 to 65 bytes.
namespace lora {

constexpr int MaxPayload = 65;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t Accepted = 0x01;
constexpr uint8_t Answer = 0x02;
constexpr uint8_t Presence = 0x11;
constexpr int PresenceLength = 3;

struct Extracted
{
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
