#include "sensoranswer.h"

#include "commandset.h"
#include "framebuffer.h"

namespace answer
{

namespace
{
void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
} // namespace

uint16_t read16(const uint8_t *frame, int offset)
{
    return static_cast<uint16_t>((frame[offset] << 8) | frame[offset + 1]);
}

uint32_t read32(const uint8_t *frame, int offset)
{
    return (uint32_t(frame[offset]) << 24) | (uint32_t(frame[offset + 1]) << 16) |
           (uint32_t(frame[offset + 2]) << 8) | uint32_t(frame[offset + 3]);
}

QByteArray buildPayload(const Status &s)
{
    // Work on the frame's own offsets (index 0 stands for the 0xC0) and drop index 0 at the end.
    uint8_t f[1 + PayloadLength] = {};
    put32(f + SerialNumber, s.serialNumber);
    f[Function] = s.function;
    if (s.clock.isValid())
        command::putBcdDateTime(f + Clock, s.clock);
    if (s.recordingStart.isValid())
        command::putBcdDateTime(f + RecordingStart, s.recordingStart);
    f[PeriodCode] = s.periodCode;
    put16(f + PageCount, s.pageCount);
    f[TimeSet] = s.timeSet;
    put16(f + FirstPage, s.firstPage);
    put16(f + LastPage, s.lastPage);
    f[SensorType] = s.sensorType;
    f[ChannelMask] = s.channelMask;
    f[Version] = s.version;
    if (s.memory) {
        for (int i = 0; i < MemoryByteCount; ++i)
            f[MemoryBytes + i] = (*s.memory)[size_t(i)];
    } else {
        put16(f + LastValue0, static_cast<uint16_t>(s.lastValue0));
        put16(f + LastValue1, static_cast<uint16_t>(s.lastValue1));
        put32(f + LastValue2, s.lastValue2);
    }
    f[Battery] = s.batteryIndex & 0x0F;
    f[Mode] = s.mode;
    f[ErrorFlag] = s.errorFlag;
    put32(f + LastValue3, s.lastValue3);
    return QByteArray(reinterpret_cast<const char *>(f + 1), PayloadLength);
}

QByteArray buildFrame(const Status &status)
{
    FrameBuffer frame;
    frame.buildSensorFrame(buildPayload(status));
    return frame.toByteArray();
}

std::optional<Status> parse(const uint8_t *f, int length)
{
    if (!f || length < CheckedLength || f[0] != FrameBuffer::Start)
        return std::nullopt;
    Status s;
    s.serialNumber = read32(f, SerialNumber);
    s.function = f[Function];
    s.clock = command::bcdDateTime(f + Clock);
    s.recordingStart = command::bcdDateTime(f + RecordingStart);
    s.periodCode = f[PeriodCode];
    s.pageCount = read16(f, PageCount);
    s.timeSet = f[TimeSet];
    s.firstPage = read16(f, FirstPage);
    s.lastPage = read16(f, LastPage);
    s.sensorType = f[SensorType];
    s.channelMask = f[ChannelMask];
    s.version = f[Version];
    s.lastValue0 = static_cast<int16_t>(read16(f, LastValue0));
    s.lastValue1 = static_cast<int16_t>(read16(f, LastValue1));
    s.lastValue2 = read32(f, LastValue2);
    std::array<uint8_t, MemoryByteCount> memory{};
    for (int i = 0; i < MemoryByteCount; ++i)
        memory[size_t(i)] = f[MemoryBytes + i];
    s.memory = memory;
    s.batteryIndex = f[Battery] & 0x0F;
    s.mode = f[Mode];
    s.errorFlag = f[ErrorFlag];
    s.lastValue3 = read32(f, LastValue3);
    s.extra = f[Extra];
    return s;
}

std::optional<Status> parse(const QByteArray &frame)
{
    return parse(reinterpret_cast<const uint8_t *>(frame.constData()), frame.size());
}

} // namespace answer
