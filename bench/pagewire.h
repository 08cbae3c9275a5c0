#pragma once

#include "page.h"
#include "pagerange.h"

#include <algorithm>
#include <cstdint>

// The least time the 802.15.4 dongle takes to stream a range of pages at a baud rate: the bytes
// of its page frames and its latency before the first frame of each request.
namespace pagewire
{

inline constexpr int Baud = 1000000;

// A receive frame carrying pages: start byte, two length bytes, the API header (frame type,
// source, RSSI, options) and the page header (request byte, first page, page count) before the
// pages, a checksum after them. Two pages: 0x42A bytes of length, 1070 in all.
inline constexpr int frameBytes(int pages)
{
    return 1 + 2 + 5 + 5 + pages * page::Size + 1;
}
static_assert(frameBytes(2) == 1070, "a two-page frame is 1070 bytes on the line");

struct Least {
    int baud = Baud;
    double latencyMs = 0; // a request's, besides its bytes
    int requests = 0;
    int frames = 0;
    qint64 bytes = 0;
    double wireMs() const { return double(bytes) * 10 / baud * 1000; }
    double ms() const { return wireMs() + requests * latencyMs; }
};

// The requests the range takes and the frames the dongle answers them with: two pages a frame
// while two are left, never across the last page of the ring.
inline Least leastTime(uint16_t start, uint16_t end, uint16_t pageCount, int latencyMs)
{
    Least least;
    least.latencyMs = latencyMs;
    uint16_t current = start;
    for (;;) {
        const pagerange::Request request = pagerange::nextRequest(current, end, pageCount);
        if (request.count == 0)
            return least;
        ++least.requests;
        int first = request.first;
        int remaining = std::min<int>(request.count, page::RingPages - first);
        while (remaining > 0) {
            const int n = remaining >= 2 && first + 1 < page::RingPages ? 2 : 1;
            ++least.frames;
            least.bytes += frameBytes(n);
            if (pagerange::completes(first, n, end))
                return least;
            first += n;
            remaining -= n;
        }
        current = pagerange::wrap(first, pageCount);
    }
}


} // namespace pagewire
