#pragma once

#include <QByteArray>
#include <cstdint>

// A sensor frame being sent, or the last frame received, in a fixed buffer.
//
// Every operation stays inside the buffer whatever it is given: an operation whose result would
// not fit refuses (returns false) and leaves the frame as it was, so a hostile length from the
// radio can never write past the end.
class FrameBuffer
{
public:
    static constexpr int Capacity = 1300;
    static constexpr uint8_t Start = 0xC0;
    static constexpr uint8_t End = 0xC1;
    static constexpr uint8_t Escape = 0x7D;
    // A valid answer after checkSensorFrame: 53 bytes from 0xC0 to 0xC1 plus the radio's extra
    // byte.
    static constexpr int AnswerLength = 54;

    FrameBuffer() { clear(); }

    // Fills with 0xFF and sets the length to 0.
    void clear();
    // Copies `length` bytes. Refuses (clears, returns false) a negative length or one over
    // Capacity.
    bool setData(const char *bytes, int length);
    bool setData(const QByteArray &bytes) { return setData(bytes.constData(), bytes.size()); }

    const uint8_t *data() const { return m_bytes; }
    int length() const { return m_length; }
    QByteArray toByteArray() const;

    // C0, stuffed payload and CRC (low byte first), C1, then a 0 terminator outside the length.
    // Refuses a payload whose stuffed frame would not fit.
    bool buildSensorFrame(const QByteArray &payload);

    // Stuffs positions 1 .. length-2; the last byte keeps its place at the new end.
    // Frames of fewer than 3 bytes are left alone. Refuses when the result would not fit.
    bool escapeFrame();
    // Unstuffs positions from .. to-2 and moves the byte at to-1 (the end byte) up behind them.
    // An unstuffed 0xC0/0xC1 in the range, or a 0x7D with nothing after it inside the range,
    // leaves the frame unchanged and returns false.
    bool unescapeFrame(int from, int to);

    // On an unstuffed frame without extra byte: CRC of positions 1 .. length-4 against the
    // little-endian value at length-3.
    bool checkCrc() const;
    // 0 valid; 1 bad start or end byte; 2 CRC error; 3 wrong length. Leaves the frame unstuffed
    // with the radio's extra byte (or 0xFF when there was none) appended as its last byte.
    int checkSensorFrame();
    // The same check without its diagnostic lines, for code that only explains a frame.
    int checkSensorFrameQuietly();
    void dumpFrame() const;

private:
    bool crcMatches(bool report) const;
    int check(bool report);

    uint8_t m_bytes[Capacity];
    int m_length = 0;
};
