#pragma once

#include "commandset.h"
#include "sensoranswer.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// The maintenance words of a device: reading and writing single bytes of its memory, its radio
// channel and its stored error, as the advanced sensor window sends them. What the operator
// typed becomes bytes here, so the window only gathers the fields and shows the results.
namespace memorycommand
{

// Who the device is, by its serial number: it decides how its attention is asked for.
enum class DeviceClass { Sensor, Relay, AlwaysListening };
DeviceClass deviceClass(uint16_t serialNumber);

// The bytes that ask the device to show up. A sensor is made the dongle's wake-up target and
// answers when it next wakes; an always-listening device gets the attention byte; a relay is
// asked nothing (empty): it is waited for.
QByteArray attentionBody(uint16_t serialNumber);
// Clears the dongle's wake-up target once a read is over.
QByteArray clearTargetBody();

// Addresses of the device's EEPROM that the window works with.
constexpr uint16_t RadioChannelAddress = 0x0010;
constexpr uint16_t LoaderMarkAddress = 0x0101;
constexpr uint8_t LoaderMark = 0xE5; // the device enters its loader at the next restart
constexpr uint16_t ErrorIndexAddress = 0x0301;
constexpr uint16_t ErrorTableAddress = 0x0300; // + 2 x index: the error word, low byte first
// The dump reads 8 bytes at a time while the address is below the end: 0x0000 .. 0x2000.
constexpr int DumpStep = answer::MemoryByteCount;
constexpr int DumpEnd = 0x2008;
constexpr int DumpLines = DumpEnd / DumpStep; // 1025
// Radio channels 11 .. 26 are the combo's items 0 .. 15.
constexpr int FirstChannel = 11;
constexpr int ChannelCount = 16;
// A write-address field reading 12 (decimal) turns any memory operation on a relay into its
// channel command, the value field being the channel.
constexpr int RelayChannelField = 12;

enum class Operation { Read, Write, Upload, Save, Channel, ReadError, ClearError };

// What the operator filled in (the window's fields as typed).
struct Fields {
    QString readAddress = QStringLiteral("0000");
    bool ram = false;
    QString writeAddress = QStringLiteral("0000");
    QString value = QStringLiteral("00");
    bool reset = false;
    int channelIndex = ChannelCount; // "~": no channel chosen
};

// What an operation sends once the device has shown up.
struct Plan {
    enum Kind { MemoryCommand, RelayChannel, Invalid };
    Kind kind = Invalid;
    command::Block block{}; // MemoryCommand
    QByteArray relayBody;   // RelayChannel: sent at once, no attention asked
    QString error;          // Invalid: the reason, for the operator
};
// The plan of `operation` for device `serialNumber` (a dump plans its first line).
Plan plan(Operation operation, uint16_t serialNumber, const Fields &fields);

// The read of one dump line.
command::Block dumpRead(bool ram, uint16_t address);
// The second read of an error: the word of error `index`.
command::Block errorWordRead(uint8_t index);

// Hexadecimal text of at most `maxValue`; empty when it is not one.
std::optional<uint32_t> parseHex(const QString &text, uint32_t maxValue);

// Bytes `first` .. `first + count - 1` of an answer, each as two lower-case hexadecimal digits
// and a blank; empty when the frame is too short to hold them.
QString bytesText(const uint8_t *frame, int length, int first, int count);
// The read bytes of an answer (8 over 802.15.4, 6 over LoRa).
QString readText(const uint8_t *frame, int length, bool lora);
// A dump line: the address as 4 lower-case digits, a tab, the 8 bytes read, CR LF.
QString dumpLine(uint16_t address, const uint8_t *frame, int length);
// The error index (first byte read) and the error word (low byte first) of an answer.
std::optional<uint8_t> errorIndex(const uint8_t *frame, int length);
std::optional<uint16_t> errorWord(const uint8_t *frame, int length);
// The error word as the window shows it: 4 lower-case digits and a blank.
QString errorWordText(uint16_t word);
// The answer is a whole frame of the device `serialNumber` (the low 16 bits of its serial
// number). Nothing else in it tells a wake-up frame from the answer to a command: the device
// answers a command with its next frame.
bool fromDevice(const uint8_t *frame, int length, uint16_t serialNumber);
// The identification byte of a wake-up frame; 0 when the frame is too short.
uint8_t identification(const uint8_t *frame, int length);

} // namespace memorycommand
