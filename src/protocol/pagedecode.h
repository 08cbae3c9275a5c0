#pragma once

#include "page.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <limits>

// Turns downloaded memory pages into the rows of a .tsv data file and the records of a .pdc
// file. Everything here is bytes in, bytes out: the caller owns the files.
namespace pagedecode
{

constexpr int Channels = 8;
constexpr int PdcRecordSize = 548;
// Page k of a received page frame starts at data byte FrameFirstPage + 528 k.
constexpr int MaxPagesPerFrame = 2;

// What the decoder needs to know of a sensor type (the catalogue's description of it).
struct Layout {
    int sensorType = 0;
    int channelCount = 0; // NB_DATA: how many "SN" columns the first header line gets
    // Channel titles; a channel whose title has fewer than two characters has no column.
    std::array<QString, Channels> titles;
    std::array<int, Channels> decimals{};
    std::array<float, Channels> coefficients{1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    // Channels 2 and 3 hold the low words of 32-bit counters when set.
    std::array<bool, Channels> wideCounter{};

    bool hasColumn(int channel) const { return titles[channel].size() > 1; }
};

struct Options {
    // Two more fields per sample row: the page number and the battery label.
    bool debugColumns = false;
    // Only samples between the two date-times, both inclusive, give rows. The page times are
    // the sensor's clock as it was set from the PC's local time, so they are compared with the
    // wall-clock values of the bounds, whatever their Qt::TimeSpec.
    bool window = false;
    QDateTime from;
    QDateTime to;
    // Only rows after this time (seconds since the epoch, the wall clock as written; exclusive)
    // are written, for every type and the stop rows too: what an archive holds already is not
    // written again.
    int64_t after = NoLowerBound;
    static constexpr int64_t NoLowerBound = INT64_MIN;
};

// The first two lines of a .tsv file, without a final line break (every row starts with one).
// Titles are written in the locale's 8-bit encoding.
QByteArray tsvHeader(uint32_t serialNumber, const Layout &layout);

// A 548-byte .pdc record wrapping one page as received.
QByteArray pdcRecord(const uint8_t *page, uint32_t serialNumber, int pageNumber, uint8_t sensorType,
                     uint8_t identByte);

struct PageResult {
    bool timeValid = false;    // false: an unreadable date or time, the page gave no row
    int samples = 0;           // rows that count as samples (inside the window)
    bool stopRow = false;      // a recording-stop row was written
    int samplesBeyondPage = 0; // promised by the header's count but not held by the page
};

// The decoder of one download: the sensor's layout and the options are fixed when the download
// starts, the count of sample rows runs across its pages.
class PageDecoder
{
public:
    PageDecoder() = default;
    PageDecoder(uint32_t serialNumber, uint8_t identByte, const Layout &layout,
                const Options &options);

    // Appends the rows of one page to `rows`. Only samples the page holds whole are read: a
    // header count beyond what fits gives the samples that fit, and no stop row.
    PageResult decodePage(const uint8_t *page, int pageNumber, QByteArray &rows);
    QByteArray pdcRecord(const uint8_t *page, int pageNumber) const;
    QByteArray header() const { return tsvHeader(m_serial, m_layout); }

    uint32_t samplesWritten() const { return m_samples; }
    uint32_t serialNumber() const { return m_serial; }
    const Layout &layout() const { return m_layout; }

private:
    void appendTime(QByteArray &out, int64_t secs);
    PageResult decodeAccelPage(const uint8_t *page, const page::Header &h, int64_t t,
                               const QByteArray &debug, QByteArray &rows);

    uint32_t m_serial = 0;
    uint8_t m_ident = 0;
    Layout m_layout;
    Options m_options;
    int64_t m_fromMs = 0;
    int64_t m_toMs = 0;
    uint32_t m_samples = 0;
    // "dd/MM/yy " of the last day formatted: consecutive rows mostly share it.
    int64_t m_cachedDay = -1;
    char m_dayText[9] = {};
};

struct FramePage {
    const uint8_t *page = nullptr;
    int number = 0;
};

// The pages of a received page frame (data as lastFrameData(), `dataLength` bytes) to decode:
// `count` pages numbered from `currentPage`, only the first when `currentPage` is `endPage` or
// the last page of memory (the second page of such a frame is not part of the range), and
// never a page the frame does not hold whole. Returns how many were put in `pages`.
int framePages(const uint8_t *data, int dataLength, int count, int currentPage, int endPage,
               int pageCount, FramePage pages[MaxPagesPerFrame]);

// Appends `value` written exactly as QString::number(value, 'f', decimals) writes it.
void appendFixed(QByteArray &out, double value, int decimals);

} // namespace pagedecode
