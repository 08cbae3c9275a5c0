#include "memorycommand.h"

namespace memorycommand
{

DeviceClass deviceClass(uint16_t serialNumber)
{
    if (serialNumber >= command::AlwaysListeningFrom)
        return DeviceClass::AlwaysListening;
    if (serialNumber >= command::RelayRangeFirst && serialNumber <= command::RelayRangeLast)
        return DeviceClass::Relay;
    return DeviceClass::Sensor;
}

QByteArray attentionBody(uint16_t serialNumber)
{
    switch (deviceClass(serialNumber)) {
    case DeviceClass::Sensor:
        return command::wakeTargetBody(serialNumber);
    case DeviceClass::AlwaysListening:
        return command::rawDirectBody(serialNumber, command::Attention);
    case DeviceClass::Relay:
        break;
    }
    return {};
}

QByteArray clearTargetBody()
{
    return command::wakeTargetBody(0);
}

std::optional<uint32_t> parseHex(const QString &text, uint32_t maxValue)
{
    bool ok = false;
    const uint v = text.trimmed().toUInt(&ok, 16);
    if (!ok || v > maxValue)
        return std::nullopt;
    return v;
}

namespace
{
Plan invalid(const QString &why)
{
    Plan p;
    p.error = why;
    return p;
}

Plan memory(const command::Block &block)
{
    Plan p;
    p.kind = Plan::MemoryCommand;
    p.block = block;
    return p;
}

Plan relayChannel(uint8_t channel, uint16_t serialNumber)
{
    Plan p;
    p.kind = Plan::RelayChannel;
    p.relayBody = command::relayChannelBody(channel, serialNumber);
    return p;
}

const QString BadAddress = QStringLiteral("The address must be hexadecimal, 0000 to FFFF");
const QString BadValue = QStringLiteral("The value must be hexadecimal");
} // namespace

Plan plan(Operation operation, uint16_t serialNumber, const Fields &f)
{
    const bool relay = deviceClass(serialNumber) == DeviceClass::Relay;
    if (operation == Operation::Channel) {
        if (f.channelIndex < 0 || f.channelIndex >= ChannelCount)
            return invalid(QStringLiteral("Invalid channel selected"));
        const uint8_t channel = uint8_t(f.channelIndex + FirstChannel);
        if (relay)
            return relayChannel(channel, serialNumber);
        return memory(command::memoryWrite(RadioChannelAddress, channel, true));
    }
    if (operation == Operation::ReadError)
        return memory(command::memoryRead(false, ErrorIndexAddress));
    if (operation == Operation::ClearError)
        return memory(command::memoryWrite(ErrorIndexAddress, 0, true));

    // The four operations of the memory groups share the relay's channel shortcut.
    bool decimal = false;
    if (relay && f.writeAddress.trimmed().toInt(&decimal, 10) == RelayChannelField && decimal) {
        // Only the low byte of the value travels, as for a write.
        const std::optional<uint32_t> value = parseHex(f.value, 0xFFFFFFFFu);
        if (!value)
            return invalid(BadValue);
        return relayChannel(uint8_t(*value & 0xFF), serialNumber);
    }
    switch (operation) {
    case Operation::Save:
        return memory(dumpRead(f.ram, 0));
    case Operation::Read: {
        const std::optional<uint32_t> address = parseHex(f.readAddress, 0xFFFF);
        if (!address)
            return invalid(BadAddress);
        return memory(command::memoryRead(f.ram, uint16_t(*address)));
    }
    case Operation::Write: {
        const std::optional<uint32_t> address = parseHex(f.writeAddress, 0xFFFF);
        if (!address)
            return invalid(BadAddress);
        const std::optional<uint32_t> value = parseHex(f.value, 0xFFFFFFFFu);
        if (!value)
            return invalid(BadValue);
        return memory(command::memoryWrite(uint16_t(*address), uint8_t(*value & 0xFF), f.reset));
    }
    case Operation::Upload:
        return memory(command::memoryWrite(LoaderMarkAddress, LoaderMark, true));
    default:
        break;
    }
    return invalid(QString());
}

command::Block dumpRead(bool ram, uint16_t address)
{
    return command::memoryRead(ram, address);
}

command::Block errorWordRead(uint8_t index)
{
    return command::memoryRead(false, uint16_t(ErrorTableAddress + 2 * index));
}

QString bytesText(const uint8_t *frame, int length, int first, int count)
{
    if (!frame || first < 0 || count < 0 || length < first + count)
        return QString();
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1 ").arg(frame[first + i], 2, 16, QChar('0'));
    return text;
}

QString readText(const uint8_t *frame, int length, bool lora)
{
    return bytesText(frame, length, answer::MemoryBytes, lora ? 6 : answer::MemoryByteCount);
}

QString dumpLine(uint16_t address, const uint8_t *frame, int length)
{
    const QString bytes = readText(frame, length, false);
    if (bytes.isEmpty())
        return QString();
    return QStringLiteral("%1\t").arg(address, 4, 16, QChar('0')) + bytes + QStringLiteral("\r\n");
}

std::optional<uint8_t> errorIndex(const uint8_t *frame, int length)
{
    if (!frame || length <= answer::MemoryBytes)
        return std::nullopt;
    return frame[answer::MemoryBytes];
}

std::optional<uint16_t> errorWord(const uint8_t *frame, int length)
{
    if (!frame || length <= answer::MemoryBytes + 1)
        return std::nullopt;
    return uint16_t(frame[answer::MemoryBytes] | (frame[answer::MemoryBytes + 1] << 8));
}

QString errorWordText(uint16_t word)
{
    return QStringLiteral("%1 ").arg(word, 4, 16, QChar('0'));
}

bool fromDevice(const uint8_t *frame, int length, uint16_t serialNumber)
{
    return frame && length >= answer::FrameLength &&
           uint16_t((frame[answer::SerialNumberLow] << 8) | frame[answer::SerialNumberLow + 1]) ==
               serialNumber;
}

uint8_t identification(const uint8_t *frame, int length)
{
    return frame && length > answer::Version ? frame[answer::Version] : 0;
}

} // namespace memorycommand
