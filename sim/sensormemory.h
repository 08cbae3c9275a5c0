#pragma once

#include "generator.h"

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace sim
{

// A sensor's recorded memory: a ring of page::RingPages pages of page::Size bytes, laid out as
// the program decodes them. Samples are appended one at a time; a page is closed when it is
// full or when the recording changes (period, channels, clock), and then the next page of the
// ring is erased and opened. Times are the sensor's wall clock in seconds.
class SensorMemory
{
public:
    explicit SensorMemory(int sensorType = 1);

    // Erases everything: the next sample opens page 0.
    void clear();
    // Pretends `pages` whole pages were written and forgotten; used to start a scenario with a
    // ring that wrapped long ago without writing what would be overwritten anyway.
    void skipPages(int pages);
    // Appends one sample; `sink` (if set) is told where it went.
    void record(int64_t seconds, const Sample &sample, uint8_t mask, int periodCode,
                int batteryIndex);
    // The recording changes at `seconds`: the open page gets a stop marker when it has room and
    // the stop lies within one period of its last sample, and the next sample opens a page.
    void endSegment(int64_t seconds);

    using Sink = std::function<void(int page, int index, int64_t seconds, const Sample &sample,
                                    uint8_t mask)>;
    void setSink(Sink sink) { m_sink = std::move(sink); }

    int pagesUsed() const;
    bool isEmpty() const { return m_written == 0; }
    // Ring indexes of the oldest and newest written page; -1 when empty.
    int oldestPage() const;
    int newestPage() const;
    // The 528 bytes of a page; null outside the ring.
    const uint8_t *page(int index) const;
    QByteArray pageBytes(int index) const;
    // Writes one byte of a page (memory maintenance); false outside the ring.
    bool pokeByte(int offset, uint8_t value);
    int samplesPerPage(uint8_t mask) const;
    int64_t lastSampleSeconds() const { return m_lastSample; }

    using Range = std::pair<int, int>; // first, last (inclusive, ring order, may wrap)
    std::optional<Range> rangeAll() const;
    // Pages holding the samples from `from` to `to` (inclusive); none when nothing recorded
    // lies in the window.
    std::optional<Range> rangeBetween(int64_t from, int64_t to) const;

private:
    void openPage(int64_t seconds, const Sample &sample, uint8_t mask, int periodCode,
                  int batteryIndex);
    uint8_t *pageAt(int index) { return reinterpret_cast<uint8_t *>(m_ring.data()) + index * 528; }

    QByteArray m_ring;
    bool m_accel = false;
    uint8_t m_counterMask = 0;
    int64_t m_written = 0; // pages opened since the last clear (may exceed the ring)
    int m_current = -1;    // ring index of the newest page
    bool m_open = false;   // the newest page still takes samples
    int m_count = 0;       // samples in the open page
    uint8_t m_mask = 0;
    int m_period = 0;
    int64_t m_lastSample = 0;
    std::vector<int64_t> m_pageStart;
    Sink m_sink;
};

} // namespace sim
