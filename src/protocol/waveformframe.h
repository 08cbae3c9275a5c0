#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

// A power meter's captured waveform: the request that makes it capture one, the read of its
// two buffers, and the two receive frames they come back in. Every field of the answers is
// little-endian; offsets count from the first data byte of the receive frame.
namespace waveform
{

constexpr int Samples = 140;

// The single byte that asks a power meter to capture a new waveform.
constexpr uint8_t CaptureByte = 0xB0;
// The buffer read is a page request for this page, with flag 0 and two "pages".
constexpr uint16_t BufferPage = 0xFF00;
constexpr uint8_t BufferFrames = 2;

// Active power raw values above this are not a power (the meter's overflow marker).
constexpr uint16_t ActivePowerLimit = 0xEA60;

// Data bytes before the fields: request byte, buffer page (big-endian), frame number
// (big-endian, 1 or 2).
constexpr int HeaderBytes = 5;
// Where the samples of each frame begin.
constexpr int VoltageSamplesOffset = 9;
constexpr int CurrentSamplesOffset = 13;
constexpr int VoltageDataLength = VoltageSamplesOffset + 2 * Samples;  // 289
constexpr int CurrentDataLength = CurrentSamplesOffset + 3 * Samples; // 433
// Some meters send each buffer in a frame of a recorded page's length (API length 0x21A), the
// fields at the same offsets and the rest unused.
constexpr int PageFrameDataLength = 0x21A - 5;
// API body lengths of the two receive frames (identifier, source, RSSI, options, data).
constexpr int VoltageFrameLength = 5 + VoltageDataLength;
constexpr int CurrentFrameLength = 5 + CurrentDataLength;
inline bool isFrameLength(int apiLength)
{
    return apiLength == VoltageFrameLength || apiLength == CurrentFrameLength;
}

// 01 00 SN 01 B0: transmit request, frame number 0, options 1, the capture byte.
QByteArray captureRequestBody(uint16_t address);
// 24 SN FF 00 00 02.
QByteArray bufferReadBody(uint16_t address);

struct VoltageFrame {
    int16_t calU = 0;
    int16_t calW = 0;
    std::array<int16_t, Samples> samples{};
};

struct CurrentFrame {
    uint16_t rmsCurrent = 0;
    uint16_t rmsVoltage = 0; // hundredths of a volt
    uint16_t activePower = 0;
    uint16_t apparentPower = 0;
    std::array<int32_t, Samples> samples{}; // 24-bit signed
};

// False when the data is not that frame (length, request byte, frame number); `frame` is
// then untouched. Either length a meter sends is taken.
bool decodeVoltageFrame(const uint8_t *data, int length, VoltageFrame &frame);
bool decodeCurrentFrame(const uint8_t *data, int length, CurrentFrame &frame);

// The raw active power the meter means: 0 for the overflow marker values.
inline uint16_t activePower(uint16_t raw)
{
    return raw > ActivePowerLimit ? 0 : raw;
}

// The data of the two answers, as a power meter builds them (frame numbers 1 and 2).
QByteArray encodeVoltageFrame(const VoltageFrame &frame);
QByteArray encodeCurrentFrame(const CurrentFrame &frame);

} // namespace waveform
