#pragma once

#include <QByteArray>
#include <cstdint>
#include <functional>

class ManageSerialPort;

// A relay answers each of its list bodies (register, release, add as current) with its whole
// list: the body took effect when that list says so. Every run that changes a relay's list
// goes through here.
namespace relaylist
{

constexpr int Tries = 3;
constexpr int ReadListMs = 200;

// Sends `body` until the relay's acknowledgement confirms it, each try waiting ReadListMs for
// it. True once confirmed, or at once for an empty body (nothing to send); false after Tries
// tries, or as soon as `keepGoing` (when given) says the caller no longer wants the answer.
bool send_confirmed(ManageSerialPort &link, const QByteArray &body, uint16_t relay,
                    const std::function<bool()> &keepGoing = std::function<bool()>());

// The dongle's own list: a sensor to wake for, and the end of the current one. Sent once, then
// the pause the dongle needs; true without sending for an always-listening device, which the
// dongle's list never holds.
bool dongle_add_sensor(ManageSerialPort &link, uint32_t serialNumber);
bool sensor_ack_direct(ManageSerialPort &link, uint32_t serialNumber);

} // namespace relaylist
