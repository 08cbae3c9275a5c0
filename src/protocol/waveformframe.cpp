#include "waveformframe.h"

#include "commandset.h"

namespace waveform
{

namespace
{
int16_t le16s(const uint8_t *p)
{
    return static_cast<int16_t>(uint16_t(p[0] | (p[1] << 8)));
}

uint16_t le16(const uint8_t *p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

int32_t le24s(const uint8_t *p)
{
    const int32_t v = int32_t(p[0]) | (int32_t(p[1]) << 8) | (int32_t(p[2]) << 16);
    return (v & 0x800000) ? v - 0x1000000 : v;
}

void put16(QByteArray &b, uint16_t v)
{
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
}

QByteArray header(uint8_t number)
{
    QByteArray b;
    b.append(char(command::PageRequest));
    b.append(char(BufferPage >> 8));
    b.append(char(BufferPage & 0xFF));
    b.append(char(0));
    b.append(char(number));
    return b;
}
} // namespace

QByteArray captureRequestBody(uint16_t address)
{
    return command::rawDirectBody(address, CaptureByte);
}

QByteArray bufferReadBody(uint16_t address)
{
    QByteArray b;
    b.append(char(command::PageRequest));
    b.append(char(address >> 8));
    b.append(char(address & 0xFF));
    b.append(char(BufferPage >> 8));
    b.append(char(BufferPage & 0xFF));
    b.append(char(0));
    b.append(char(BufferFrames));
    return b;
}

bool decodeVoltageFrame(const uint8_t *data, int length, VoltageFrame &frame)
{
    if (!data || (length != VoltageDataLength && length != PageFrameDataLength) ||
        data[0] != command::PageRequest || data[4] != 1)
        return false;
    frame.calU = le16s(data + 5);
    frame.calW = le16s(data + 7);
    for (int k = 0; k < Samples; ++k)
        frame.samples[size_t(k)] = le16s(data + 9 + 2 * k);
    return true;
}

bool decodeCurrentFrame(const uint8_t *data, int length, CurrentFrame &frame)
{
    if (!data || (length != CurrentDataLength && length != PageFrameDataLength) ||
        data[0] != command::PageRequest || data[4] != 2)
        return false;
    frame.rmsCurrent = le16(data + 5);
    frame.rmsVoltage = le16(data + 7);
    frame.activePower = le16(data + 9);
    frame.apparentPower = le16(data + 11);
    for (int k = 0; k < Samples; ++k)
        frame.samples[size_t(k)] = le24s(data + 13 + 3 * k);
    return true;
}

QByteArray encodeVoltageFrame(const VoltageFrame &frame)
{
    QByteArray b = header(1);
    put16(b, uint16_t(frame.calU));
    put16(b, uint16_t(frame.calW));
    for (int16_t s : frame.samples)
        put16(b, uint16_t(s));
    return b;
}

QByteArray encodeCurrentFrame(const CurrentFrame &frame)
{
    QByteArray b = header(2);
    put16(b, frame.rmsCurrent);
    put16(b, frame.rmsVoltage);
    put16(b, frame.activePower);
    put16(b, frame.apparentPower);
    for (int32_t s : frame.samples) {
        const uint32_t v = uint32_t(s) & 0xFFFFFF;
        b.append(char(v & 0xFF));
        b.append(char((v >> 8) & 0xFF));
        b.append(char((v >> 16) & 0xFF));
    }
    return b;
}

} // namespace waveform
