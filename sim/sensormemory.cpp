#include "sensormemory.h"

#include "page.h"

#include <QDateTime>

#include <algorithm>

namespace sim
{

namespace
{
constexpr int64_t NoTime = INT64_MIN;
}

SensorMemory::SensorMemory(int sensorType)
    : m_ring(page::RingPages * page::Size, char(0xFF)), m_accel(sensorType == page::AccelType),
      m_counterMask(typeTraits(sensorType).counterMask),
      m_pageStart(size_t(page::RingPages), NoTime)
{
    static_assert(page::Size == 528, "pageAt() assumes 528-byte pages");
}

void SensorMemory::clear()
{
    m_ring.fill(char(0xFF));
    std::fill(m_pageStart.begin(), m_pageStart.end(), NoTime);
    m_written = 0;
    m_current = -1;
    m_open = false;
    m_count = 0;
    m_lastSample = 0;
}

void SensorMemory::skipPages(int pages)
{
    if (pages <= 0)
        return;
    m_written += pages;
    m_current = int((m_current + int64_t(pages)) % page::RingPages);
    m_open = false;
}

int SensorMemory::pagesUsed() const
{
    return int(std::min<int64_t>(m_written, page::RingPages));
}

int SensorMemory::oldestPage() const
{
    if (m_written == 0)
        return -1;
    if (m_written < page::RingPages)
        return int((m_current - m_written + 1 + page::RingPages) % page::RingPages);
    return (m_current + 1) % page::RingPages;
}

int SensorMemory::newestPage() const
{
    return m_written ? m_current : -1;
}

const uint8_t *SensorMemory::page(int index) const
{
    if (index < 0 || index >= page::RingPages)
        return nullptr;
    return reinterpret_cast<const uint8_t *>(m_ring.constData()) + index * page::Size;
}

QByteArray SensorMemory::pageBytes(int index) const
{
    if (index < 0 || index >= page::RingPages)
        return QByteArray(page::Size, char(0xFF));
    return m_ring.mid(index * page::Size, page::Size);
}

bool SensorMemory::pokeByte(int offset, uint8_t value)
{
    if (offset < 0 || offset >= m_ring.size())
        return false;
    m_ring[offset] = char(value);
    return true;
}

int SensorMemory::samplesPerPage(uint8_t mask) const
{
    if (m_accel)
        return page::AccelRecords;
    return std::min(page::samplesThatFit(page::channelCount(mask)), page::MaxSampleCount);
}

void SensorMemory::openPage(int64_t seconds, const Sample &sample, uint8_t mask, int periodCode,
                            int batteryIndex)
{
    m_current = (m_current + 1) % page::RingPages;
    ++m_written;
    uint8_t *p = pageAt(m_current);
    std::fill(p, p + page::Size, uint8_t(0xFF));
    const QDateTime t = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    page::Header h;
    h.setTime(t);
    h.periodIndex = periodCode & 0x0F;
    h.batteryIndex = batteryIndex & 0x0F;
    h.channelMask = mask;
    h.sampleCount = 0;
    // The decoder starts each page from these high words, so they belong to the first sample.
    h.high2 = (m_counterMask & 0x04) ? uint16_t(uint64_t(sample.values[2]) >> 16) : 0;
    h.high3 = (m_counterMask & 0x08) ? uint16_t(uint64_t(sample.values[3]) >> 16) : 0;
    page::writeHeader(p, h);
    p[0] = p[1] = 0x00;
    p[15] = 0x00;
    m_pageStart[size_t(m_current)] = seconds;
    m_open = true;
    m_count = 0;
    m_mask = mask;
    m_period = periodCode;
}

void SensorMemory::record(int64_t seconds, const Sample &sample, uint8_t mask, int periodCode,
                          int batteryIndex)
{
    if (!m_open || m_mask != mask || m_period != periodCode || m_count >= samplesPerPage(mask))
        openPage(seconds, sample, mask, periodCode, batteryIndex);
    uint8_t *p = pageAt(m_current);
    if (m_accel) {
        page::Accel a;
        a.x = int(sample.values[0]);
        a.y = int(sample.values[1]);
        a.z = int(sample.values[2]);
        page::setAccelRecord(p, m_count, a);
    } else {
        const int c = page::channelCount(mask);
        int w = m_count * c;
        for (int ch = 0; ch < Channels; ++ch)
            if (mask & (1u << ch))
                page::setSampleWord(p, w++, uint16_t(uint64_t(sample.values[size_t(ch)]) & 0xFFFF));
    }
    const int index = m_count++;
    p[10] = uint8_t(m_count);
    m_lastSample = seconds;
    if (m_sink)
        m_sink(m_current, index, seconds, sample, mask);
}

void SensorMemory::endSegment(int64_t seconds)
{
    if (!m_open)
        return;
    m_open = false;
    if (m_accel)
        return;
    const int c = page::channelCount(m_mask);
    const int64_t after = seconds - m_lastSample;
    const int64_t period = page::periodSeconds[m_period & 0x0F];
    if (c == 0 || m_count * c > 255 || after < 0 || after > period || after > 0x0FFF)
        return;
    page::setSampleWord(pageAt(m_current), m_count * c, uint16_t(page::StopTag | after));
}

std::optional<SensorMemory::Range> SensorMemory::rangeAll() const
{
    if (m_written == 0)
        return std::nullopt;
    return Range{oldestPage(), newestPage()};
}

std::optional<SensorMemory::Range> SensorMemory::rangeBetween(int64_t from, int64_t to) const
{
    if (m_written == 0 || from > to || from > m_lastSample)
        return std::nullopt;
    const int used = pagesUsed();
    const int oldest = oldestPage();
    int first = -1;
    int last = -1;
    for (int k = 0; k < used; ++k) {
        const int index = (oldest + k) % page::RingPages;
        const int64_t start = m_pageStart[size_t(index)];
        if (start == NoTime)
            continue; // skipped long ago: its contents are not ours to offer
        if (start <= from || first < 0)
            first = index;
        if (start <= to)
            last = index;
    }
    if (first < 0 || last < 0)
        return std::nullopt;
    return Range{first, last};
}

} // namespace sim
