#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

// The arithmetic of a download over a sensor's memory ring: which pages to ask for next, how far
// along the download is, and when it is done. The ring holds `pageCount` pages numbered from 0;
// a range runs from `start` to `end` inclusive and wraps past the last page when end < start.
namespace pagerange
{

// The dongle streams at most this many pages for one request.
constexpr uint16_t MaxRequestPages = 10;
// Shown while the last pages are still coming: 100 % is never shown, the completion message
// takes its place.
constexpr int ProgressCap = 99;

struct Range {
    uint16_t start = 0;
    uint16_t end = 0;
    uint16_t pageCount = 0;
};

struct Request {
    uint16_t first = 0;
    uint16_t count = 0;
};

// The range a sensor's answer offers, with the ring size every sensor has; empty when the
// answer is too short or either bound is the "no page" mark.
std::optional<Range> readRange(const QByteArray &answer);

// Whether both bounds are pages of the ring. A bound equal to the page count names no page: a
// range ending there would never see its last page arrive.
bool fitsRing(uint16_t start, uint16_t end, uint16_t pageCount);

// Pages from `current` to `end` inclusive, going round the ring when current is past end.
uint16_t pagesLeft(uint16_t current, uint16_t end, uint16_t pageCount);

// The next request from `current`: at most MaxRequestPages, never past the last page of the
// ring (the next request starts again at page 0). Count 0 when current is not a page of it.
Request nextRequest(uint16_t current, uint16_t end, uint16_t pageCount);

// The page after one received and advanced by its frame's page count: 0 past the last page.
uint16_t wrap(int advanced, uint16_t pageCount);

// Whether a frame whose first page is `first` and which carries `pages` pages (1 or 2) ends the
// download: either of its pages is the range's end. `first` is as the frame gave it, not wrapped.
bool completes(int first, int pages, uint16_t end);

// The "N % downloaded" of the page loop once `next` (the advanced page, before it wraps) is the
// page to fetch next.
int progress(uint16_t start, uint16_t end, int next, uint16_t pageCount);

// Pages the LoRa download (one page per request) fetches: the pages of the range, going round
// the ring when end < start. Empty when the range does not fit the ring (nothing is requested).
std::optional<int> loraTotal(uint16_t start, uint16_t end, uint16_t pageCount);
// Its "N % downloaded" after `received` pages.
int loraProgress(int received, int total);

} // namespace pagerange
