#pragma once

#include "pagecheck.h"

#include <QByteArray>
#include <QHash>
#include <QVector>
#include <cstdint>

// Whether a received page may be written. A page frame carries only an additive 8-bit sum: a frame
// with two or more damaged bytes passes it one time in 256, and its page would be wrong rows in
// the operator's file for good. On a line that has shown no damage one copy that passes every
// check is taken, so a clean download goes at full speed. Once the line shows damage (the link's
// faults, or a page header that fails its check) a page is written only when two copies from
// separate requests agree byte for byte; a third decides when two differ. After a run of clean
// frames one copy is enough again.
namespace pagevouch
{

// What a download did with its pages, for the run's summary.
struct Stats {
    int fetched = 0;     // pages written
    int reRequested = 0; // requests made again for pages already asked for
    int verified = 0;    // pages written once a second copy agreed
    int refused = 0;     // pages given up: the download ended there
};

class Vouch
{
public:
    // Frames without a fault after which one copy is trusted again. At one damaged byte in two
    // thousand, a run this long is all but never seen; a line that loses a frame now and then
    // without damaging any comes back to single copies within about seven requests.
    static constexpr int CleanRunToTrust = 64;
    // Requests from one page that bring something back without it being vouched for; then it is
    // given up. Through a line that damages a third of the frames a page is vouched for within
    // six requests on average; forty fail about once in a hundred thousand pages.
    static constexpr int MaxFruitless = 40;
    // Copies kept of one page that agree with no other.
    static constexpr int MaxCopies = 6;
    // Pages whose copies are kept at once; more than a request's worth is a stream gone astray.
    static constexpr int MaxHeldPages = 32;

    enum class Verdict {
        Accept,   // one copy is enough: the line is clean
        Verified, // a copy from another request agrees with it
        Hold      // kept until another copy agrees
    };

    // `linkCleanRun`: frames the link took since its last fault, so a download that starts on a
    // line that was damaged a moment ago verifies from its first page.
    explicit Vouch(int linkCleanRun = CleanRunToTrust);

    // The link met a fault, or a page failed its header check.
    void fault();
    // A frame passed every check with no fault on the link meanwhile.
    void cleanFrame();
    bool verifying() const { return m_cleanRun < CleanRunToTrust; }

    // A copy of page `number` that came in answer to request `request`; `reason` is its header
    // check. A page that fails the check is damage until a second copy shows the sensor holds it.
    Verdict offer(int number, int request, const uint8_t *page, pagecheck::Reason reason);
    // Keeps a copy of a page that came before its turn, for offer() to compare with later.
    void keep(int number, int request, const uint8_t *page);
    // The page was written (or given up): its copies are dropped.
    void done(int number);

    // A request from `page` brought frames back but did not get it written. True when the page is
    // to be given up.
    bool fruitless(int page);

    Stats stats;

private:
    void store(int number, int request, const uint8_t *page);
    struct Copy {
        int request;
        QByteArray bytes;
    };
    int m_cleanRun;
    QHash<int, QVector<Copy>> m_copies;
    int m_fruitlessPage = -1;
    int m_fruitless = 0;
};

} // namespace pagevouch
