#pragma once

#include <cstdint>
#include <vector>

// A received page frame as the link hands it over: 5 bytes, then `pages` pages of two samples
// 1 s apart, page k starting at 12:0k:00 on 1 March 2026. The words of page k count up from
// first + step * k, one per recorded channel and sample.
std::vector<uint8_t> pageFrame(int pages, uint8_t channelMask, int first, int step);
