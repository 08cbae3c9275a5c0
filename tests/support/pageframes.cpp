#include "pageframes.h"

#include "page.h"

std::vector<uint8_t> pageFrame(int pages, uint8_t channelMask, int first, int step)
{
    std::vector<uint8_t> data(size_t(page::FrameFirstPage + pages * page::Size), 0);
    const int words = 2 * page::channelCount(channelMask);
    for (int k = 0; k < pages; ++k) {
        uint8_t *p = data.data() + page::FrameFirstPage + k * page::Size;
        page::Header h;
        h.year = 26;
        h.month = 3;
        h.day = 1;
        h.hour = 12;
        h.minute = k;
        h.channelMask = channelMask;
        h.sampleCount = 2;
        page::writeHeader(p, h);
        for (int w = 0; w < words; ++w)
            page::setSampleWord(p, w, uint16_t(first + step * k + w));
    }
    return data;
}
