#pragma once

#include <cstdint>

// What a received page can prove about itself before it is decoded. A page frame carries only an
// additive 8-bit checksum, so a frame with a few wrong bytes is often accepted by the link; the
// header of a page the sensor wrote follows rules that such bytes mostly break.
namespace pagecheck
{

enum class Reason {
    None,           // the page passes
    WrongNumber,    // the frame numbers it as another page than the one asked for
    Erased,         // every byte 0xFF: the sensor never wrote it
    BadDate,        // not BCD, month outside 1-12, or no such day in that month
    BadTime,        // not BCD, hour 24 or more, minute or second 60 or more
    UnknownPeriod,  // a period code no sensor records with
    TooManySamples, // more samples than the page holds for its channels
    BeforePrevious, // starts before the page received before it in the same download
};

// A short word for the diagnostic line of a refused page.
const char *reasonName(Reason reason);

// Checks one page (page::Size bytes). `number` is the page number the frame gives it and
// `requested` the one asked for; `previous` is the page accepted before it in the same download,
// or null for the first one. The period may change from one page to the next (a sensor can be
// told a new period while it records), so only the order of the start times is checked.
Reason check(const uint8_t *page, int number, int requested, int sensorType,
             const uint8_t *previous = nullptr);

} // namespace pagecheck
