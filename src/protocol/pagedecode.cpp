#include "pagedecode.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pagedecode
{

namespace
{

constexpr double powersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr uint64_t integerPowersOfTen[] = {1ull,
                                           10ull,
                                           100ull,
                                           1000ull,
                                           10000ull,
                                           100000ull,
                                           1000000ull,
                                           10000000ull,
                                           100000000ull,
                                           1000000000ull,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull};
constexpr int FastDecimals = 15;
// Below 2^52 the fraction of a scaled value is exact once it is a double.
constexpr double FastLimit = 4.0e15;

char *writeUnsigned(char *end, uint64_t v)
{
    do {
        *--end = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    return end;
}

void appendInt(QByteArray &out, int v)
{
    char buf[16];
    char *end = buf + sizeof buf;
    const bool negative = v < 0;
    char *p = writeUnsigned(end, negative ? uint64_t(-int64_t(v)) : uint64_t(v));
    if (negative)
        *--p = '-';
    out.append(p, int(end - p));
}

void twoDigits(char *p, int v)
{
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
}

// Days since 1970-01-01 to a proleptic Gregorian date.
void civilFromDays(int64_t days, int &year, int &month, int &day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = int(doy - (153 * mp + 2) / 5 + 1);
    month = int(mp < 10 ? mp + 3 : mp - 9);
    year = int(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

int64_t floorDiv(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

int64_t wallClockMs(const QDateTime &t, int64_t fallback)
{
    if (!t.isValid())
        return fallback;
    return QDateTime(t.date(), t.time(), Qt::UTC).toMSecsSinceEpoch();
}

QByteArray serialText(uint32_t serialNumber)
{
    char buf[4];
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i)
        buf[i] = digits[(serialNumber >> (12 - 4 * i)) & 0xF];
    return QByteArray(buf, 4);
}

uint16_t wordAt(const uint8_t *page, int index)
{
    const uint8_t *w = page + page::SampleOffset + 2 * index;
    return static_cast<uint16_t>(w[0] | (w[1] << 8));
}

} // namespace

void appendFixed(QByteArray &out, double value, int decimals)
{
    if (decimals >= 0 && decimals <= FastDecimals && std::isfinite(value)) {
        const double scaled = std::fabs(value) * powersOfTen[decimals];
        if (scaled < FastLimit) {
            const double whole = std::floor(scaled);
            const double fraction = scaled - whole;
            // The product carries at most half an ulp of error: only a fraction that close to
            // one half could round the other way. Those, and negative values that round to
            // zero, are left to Qt.
            const bool nearTie = std::fabs(fraction - 0.5) <= scaled * 1e-15;
            const uint64_t rounded = uint64_t(whole) + (fraction > 0.5 ? 1 : 0);
            if (!nearTie && !(rounded == 0 && std::signbit(value))) {
                char buf[40];
                char *end = buf + sizeof buf;
                char *p = end;
                const uint64_t unit = integerPowersOfTen[decimals];
                if (decimals > 0) {
                    uint64_t fractionDigits = rounded % unit;
                    for (int i = 0; i < decimals; ++i) {
                        *--p = static_cast<char>('0' + fractionDigits % 10);
                        fractionDigits /= 10;
                    }
                    *--p = '.';
                }
                p = writeUnsigned(p, rounded / unit);
                if (value < 0)
                    *--p = '-';
                out.append(p, int(end - p));
                return;
            }
        }
    }
    out.append(QString::number(value, 'f', decimals).toLatin1());
}

QByteArray tsvHeader(uint32_t serialNumber, const Layout &layout)
{
    const QByteArray sn = serialText(serialNumber);
    QByteArray header = sn;
    for (int i = 0; i < layout.channelCount; ++i)
        header += "\tSN" + sn;
    header += "\r\nTime";
    for (int k = 0; k < Channels; ++k)
        if (layout.hasColumn(k))
            header += '\t' + layout.titles[k].toLocal8Bit();
    return header;
}

QByteArray pdcRecord(const uint8_t *page, uint32_t serialNumber, int pageNumber, uint8_t sensorType,
                     uint8_t identByte)
{
    QByteArray r(PdcRecordSize, '\0');
    uint8_t *b = reinterpret_cast<uint8_t *>(r.data());
    b[0] = 0x80;
    b[1] = 0x01;
    b[2] = 0x10;
    b[3] = 0x02;
    b[4] = 0x00;
    b[5] = 0x11;
    b[6] = static_cast<uint8_t>(serialNumber & 0xFF);
    b[7] = static_cast<uint8_t>((serialNumber >> 8) & 0xFF);
    b[10] = static_cast<uint8_t>((pageNumber >> 8) & 0xFF);
    b[11] = static_cast<uint8_t>(pageNumber & 0xFF);
    b[14] = sensorType;
    b[16] = identByte;
    std::copy(page, page + page::Size, b + 18);
    b[546] = 0x7F;
    b[547] = 0xFD;
    return r;
}

PageDecoder::PageDecoder(uint32_t serialNumber, uint8_t identByte, const Layout &layout,
                         const Options &options)
    : m_serial(serialNumber), m_ident(identByte), m_layout(layout), m_options(options)
{
    m_fromMs = wallClockMs(options.from, std::numeric_limits<int64_t>::min());
    m_toMs = wallClockMs(options.to, std::numeric_limits<int64_t>::max());
}

QByteArray PageDecoder::pdcRecord(const uint8_t *page, int pageNumber) const
{
    return pagedecode::pdcRecord(page, m_serial, pageNumber,
                                 static_cast<uint8_t>(m_layout.sensorType), m_ident);
}

void PageDecoder::appendTime(QByteArray &out, int64_t secs)
{
    const int64_t day = floorDiv(secs, 86400);
    if (day != m_cachedDay) {
        int y, m, d;
        civilFromDays(day, y, m, d);
        twoDigits(m_dayText, d);
        m_dayText[2] = '/';
        twoDigits(m_dayText + 3, m);
        m_dayText[5] = '/';
        twoDigits(m_dayText + 6, ((y % 100) + 100) % 100);
        m_cachedDay = day;
    }
    const int sod = int(secs - day * 86400);
    char buf[8 + 9 + 2];
    buf[0] = '\r';
    buf[1] = '\n';
    std::copy(m_dayText, m_dayText + 8, buf + 2);
    buf[10] = ' ';
    twoDigits(buf + 11, sod / 3600);
    buf[13] = ':';
    twoDigits(buf + 14, sod / 60 % 60);
    buf[16] = ':';
    twoDigits(buf + 17, sod % 60);
    out.append(buf, 19);
}

PageResult PageDecoder::decodeAccelPage(const uint8_t *page, const page::Header &h, int64_t t,
                                        const QByteArray &debug, QByteArray &rows)
{
    PageResult r;
    r.timeValid = true;
    const int period = page::periodSeconds[h.periodIndex];
    const int n = h.sampleCount;
    const int held = std::min(n, page::AccelRecords);
    r.samplesBeyondPage = n - held;
    for (int i = 0; i < held; ++i, t += period) {
        if (t <= m_options.after)
            continue;
        const page::Accel a = page::accelRecord(page, i);
        appendTime(rows, t);
        rows += '\t';
        appendInt(rows, a.x);
        rows += '\t';
        appendInt(rows, a.y);
        rows += '\t';
        appendInt(rows, a.z);
        rows += '\t';
        rows += debug;
        ++r.samples;
    }
    m_samples += uint32_t(r.samples);
    return r;
}

PageResult PageDecoder::decodePage(const uint8_t *page, int pageNumber, QByteArray &rows)
{
    PageResult r;
    const page::Header h = page::readHeader(page);
    const QDateTime start = h.time();
    if (!start.isValid())
        return r;
    int64_t t = start.toSecsSinceEpoch();

    QByteArray debug;
    if (m_options.debugColumns) {
        debug = QByteArray::number(pageNumber) + '\t' + page::batteryLabels[h.batteryIndex] + '\t';
    }
    if (m_layout.sensorType == page::AccelType)
        return decodeAccelPage(page, h, t, debug, rows);

    r.timeValid = true;
    const int period = page::periodSeconds[h.periodIndex];
    const int c = page::channelCount(h.channelMask);
    const int n = h.sampleCount;
    const int held = std::min(n, page::samplesThatFit(c));
    r.samplesBeyondPage = n - held;

    // The header's high words are the counters' at the first sample; a low word smaller than
    // the previous one means the counter carried into the high word within this page.
    uint16_t high[2] = {h.high2, h.high3};
    uint16_t previousLow[2] = {0, 0};
    const bool offsetChannel0 = m_layout.sensorType == 13;

    for (int i = 0; i < held; ++i) {
        if (i > 0)
            t += period;
        const bool inside = (!m_options.window || (t * 1000 >= m_fromMs && t * 1000 <= m_toMs)) &&
                            t > m_options.after;
        if (inside) {
            appendTime(rows, t);
            rows += '\t';
        }
        int word = i * c;
        for (int k = 0; k < Channels; ++k) {
            if (!(h.channelMask & (1u << k))) {
                if (inside && m_layout.hasColumn(k))
                    rows += '\t';
                continue;
            }
            const uint16_t w = wordAt(page, word++);
            double value;
            switch (k) {
            case 2:
            case 3:
                if (m_layout.wideCounter[k]) {
                    const int j = k - 2;
                    if (w < previousLow[j])
                        ++high[j];
                    previousLow[j] = w;
                    value = double(uint32_t(high[j]) << 16 | w);
                } else {
                    value = w;
                }
                break;
            case 4:
            case 5:
                value = w <= 60000 ? w : 0;
                break;
            default:
                value = int16_t(w);
                break;
            }
            if (!inside)
                continue;
            double product = value * double(m_layout.coefficients[k]);
            if (k == 0 && offsetChannel0)
                product += 100000;
            appendFixed(rows, product, m_layout.decimals[k]);
            rows += '\t';
        }
        if (inside) {
            rows += debug;
            ++r.samples;
        }
    }
    m_samples += uint32_t(r.samples);

    // A stop marker may follow the last sample: the seconds between that sample and the stop.
    if (n * c <= page::SampleWords - 1) {
        const uint16_t m = wordAt(page, n * c);
        const int seconds = m & 0x0FFF;
        if ((m & 0xF000) == page::StopTag && seconds <= period) {
            const int64_t stop = t + seconds;
            if ((!m_options.window || (stop * 1000 >= m_fromMs && stop * 1000 <= m_toMs)) &&
                stop > m_options.after) {
                appendTime(rows, stop);
                rows += "\t-1\t";
                for (int k = 1; k < c; ++k)
                    rows += "0\t";
                r.stopRow = true;
            }
        }
    }
    return r;
}

int framePages(const uint8_t *data, int dataLength, int count, int currentPage, int endPage,
               int pageCount, FramePage pages[MaxPagesPerFrame])
{
    if (!data || count <= 0)
        return 0;
    count = std::min(count, MaxPagesPerFrame);
    if (currentPage == endPage || currentPage >= pageCount - 1)
        count = 1;
    int taken = 0;
    for (int k = 0; k < count; ++k) {
        const int offset = page::FrameFirstPage + page::Size * k;
        if (offset + page::Size > dataLength)
            break;
        pages[taken].page = data + offset;
        pages[taken].number = currentPage + k;
        ++taken;
    }
    return taken;
}

} // namespace pagedecode
