#pragma once

#include <QDateTime>
#include <cstdint>

// A sensor memory page as it comes off the radio: a 16-byte header (big-endian fields, BCD
// time) and 512 bytes of samples (little-endian words). Accessors never read or write outside
// the 528 bytes, whatever the header's sample count says.
namespace page {

constexpr int Size = 528;
constexpr int SampleOffset = 16;
constexpr int SampleBytes = Size - SampleOffset;
constexpr int SampleWords = SampleBytes / 2;
// The header counts a page's samples in one byte: a one-channel page stops at 255 samples,
// one word short of its room.
constexpr int MaxSampleCount = 255;
// Pages in a sensor's memory ring.
constexpr int RingPages = 3968;
// Offsets inside the data of a one- or two-page API frame: the number of the first page it
// carries (2 bytes, big-endian), then the pages.
constexpr int FramePageNumber = 1;
constexpr int FrameFirstPage = 5;
// Type 10 (three-axis accelerometer) packs X, Y, Z as 12-bit values in 5-byte records.
constexpr int AccelType = 10;
constexpr int AccelRecordBytes = 5;
constexpr int AccelRecords = SampleBytes / AccelRecordBytes;
// A stop marker word: top nibble 0xA, low 12 bits the seconds after the last sample.
constexpr uint16_t StopTag = 0xA000;

// Recording period in seconds by period index (indexes 13 to 15 are not periods).
extern const uint16_t periodSeconds[16];
// Battery level text by the 4-bit battery index (not in voltage order; 0 is unknown).
extern const char *const batteryLabels[16];
// The levels the table shows in red: 2.2 V to 2.4 V.
inline bool lowBattery(int index)
{
    return index >= 4 && index <= 6;
}

// The decimal number written by the two hexadecimal digits; 0 when a digit is above 9.
int fromBcd(uint8_t byte);
// Two decimal digits of value % 100.
uint8_t toBcd(int value);

struct Header
{
    int year = 0; // two digits, 2000 added by time()
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int periodIndex = 0;  // 0..15
    int batteryIndex = 0; // 0..15
    uint8_t channelMask = 0;
    int sampleCount = 0; // as written, 0..255: may promise more than the page holds
    uint16_t high2 = 0;  // counter high words at the start of the page
    uint16_t high3 = 0;

    // The time as written, in UTC (no zone conversion); invalid when the date or time is.
    QDateTime time() const;
    // Takes the wall-clock fields of `t` (year modulo 100).
    void setTime(const QDateTime &t);
};

Header readHeader(const uint8_t *page);
// Whether the date bytes (year, month, day) and the clock bytes (hour, minute, second) hold
// decimal digits only. readHeader reads a byte with another digit as 0, which passes for
// midnight: a page that is being checked must not be read that way.
bool dateIsBcd(const uint8_t *page);
bool clockIsBcd(const uint8_t *page);
// The number of the first page a page frame carries, from its data (at least 3 bytes).
uint16_t framePageNumber(const uint8_t *frameData);
// Writes the header fields (BCD time) and leaves bytes 0-1 and 15 as they are.
void writeHeader(uint8_t *page, const Header &header);

int channelCount(uint8_t mask);
// How many whole samples of `channels` words fit in a page (all 256 words when 0 channels).
int samplesThatFit(int channels);
// Word `index` of the sample area; 0 outside the page.
uint16_t sampleWord(const uint8_t *page, int index);
bool setSampleWord(uint8_t *page, int index, uint16_t word);

struct Accel
{
    int x = 0;
    int y = 0;
    int z = 0;
};
// Record `index` of a type-10 page, each value sign-extended from bit 11; zeros outside.
Accel accelRecord(const uint8_t *page, int index);
bool setAccelRecord(uint8_t *page, int index, const Accel &value);

} // namespace page
