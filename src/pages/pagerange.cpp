#include "pagerange.h"

#include "page.h"
#include "sensoranswer.h"

#include <algorithm>

namespace pagerange
{

std::optional<Range> readRange(const QByteArray &answer)
{
    if (answer.size() < answer::LastPage + 2)
        return std::nullopt;
    const auto *bytes = reinterpret_cast<const uint8_t *>(answer.constData());
    const uint16_t start = answer::read16(bytes, answer::FirstPage);
    const uint16_t end = answer::read16(bytes, answer::LastPage);
    if (start == answer::NoPage || end == answer::NoPage)
        return std::nullopt;
    return Range{start, end, uint16_t(page::RingPages)};
}

bool fitsRing(uint16_t start, uint16_t end, uint16_t pageCount)
{
    return start < pageCount && end < pageCount;
}

uint16_t pagesLeft(uint16_t current, uint16_t end, uint16_t pageCount)
{
    if (current <= end)
        return uint16_t(end + 1 - current);
    return uint16_t(end + pageCount + 1 - current);
}

Request nextRequest(uint16_t current, uint16_t end, uint16_t pageCount)
{
    // Past the ring the cut below would go negative and ask for thousands of pages.
    if (current >= pageCount)
        return Request{current, 0};
    uint16_t count = std::min(pagesLeft(current, end, pageCount), MaxRequestPages);
    if (current + count >= pageCount)
        count = uint16_t(pageCount - current);
    return Request{current, count};
}

uint16_t wrap(int advanced, uint16_t pageCount)
{
    return advanced >= pageCount ? 0 : uint16_t(advanced);
}

bool completes(int first, int pages, uint16_t end)
{
    return first == end || (pages == 2 && first + 1 == end);
}

int progress(uint16_t start, uint16_t end, int next, uint16_t pageCount)
{
    int percent = 0;
    if (start >= end) {
        // Wrapped, or a single page (whose total counts one page too many: the cap hides it).
        const int total = pageCount - start + end + 1;
        const int done = next < start ? pageCount - start + next + 1 : next + 1 - start;
        percent = total > 0 ? done * 100 / total : 0;
    } else {
        const double total = double(end) + 1 - start;
        const double done = double(next) + 1 - start;
        percent = int(done * 100 / total);
    }
    if (start == end || percent >= 100)
        return ProgressCap;
    return std::max(percent, 0);
}

std::optional<int> loraTotal(uint16_t start, uint16_t end, uint16_t pageCount)
{
    if (!fitsRing(start, end, pageCount))
        return std::nullopt;
    // A wrapped range is the pages to the last of the ring and those from page 0: taking the
    // whole ring for it would hold the progress near 0 % for a short wrapped range.
    if (end < start)
        return pageCount - start + end + 1;
    return end - start + 1;
}

int loraProgress(int received, int total)
{
    return total > 0 ? received * 100 / total : 0;
}

} // namespace pagerange
