// The action run's page loop: fetching a sensor's pages on the 802.15.4 link, checking and
// decoding them, and telling the row how far the download is.
#include "actionrun.h"
#include "actionrun_p.h"

#include "commandset.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "page.h"
#include "pagecheck.h"
#include "pagerange.h"
#include "sensoranswer.h"

#include <QCoreApplication>
#include <QDebug>
#include <algorithm>

using namespace actionrun;

void actionrun::store_page_range(FleetModel &model, uint32_t serialNumber, const QByteArray &answer)
{
    const int row = model.find_row(serialNumber);
    const std::optional<pagerange::Range> range = pagerange::readRange(answer);
    if (row < 0 || !range)
        return;
    SensorRecord &rec = model.edit(row).record;
    rec.start_page = range->start;
    rec.end_page = range->end;
    rec.page_count = range->pageCount;
    qDebug() << QStringLiteral("start page : ") << rec.start_page << QStringLiteral("end : ")
             << rec.end_page;
}

QString actionrun::downloadEndText(DownloadEnd end, int page)
{
    switch (end) {
    case DownloadEnd::Complete:
        return QStringLiteral("Download Complete");
    case DownloadEnd::NoData:
        return NoDataText;
    case DownloadEnd::NothingNew:
        return NothingNewText;
    case DownloadEnd::WriteError:
        return WriteError;
    case DownloadEnd::Refused:
        return FleetRun::pageRefusedText(page);
    case DownloadEnd::Interrupted:
        return QStringLiteral("Download Interrupted by user");
    case DownloadEnd::Timeout:
        return Timeout;
    case DownloadEnd::None:
        break;
    }
    return QString();
}

void actionrun::end_download(FleetModel &model, int row, DownloadEnd end, int page)
{
    if (!model.isSensorRow(row))
        return;
    model.edit(row).record.download_end = end;
    model.edit(row).record.refused_page = end == DownloadEnd::Refused ? page : -1;
    model.set_status(row, downloadEndText(end, page),
                     end == DownloadEnd::Complete || end == DownloadEnd::NothingNew
                         ? FM::Tone::Good
                         : FM::Tone::Bad);
}

void actionrun::end_download_on_write_error(FleetModel &model, uint32_t serialNumber)
{
    const int row = model.find_row(serialNumber);
    if (row < 0)
        return;
    end_download(model, row, DownloadEnd::WriteError);
    model.edit(row).record.download_started = false;
    model.files().close(serialNumber);
}

void ActionRun::read_page_range(uint32_t serialNumber)
{
    store_page_range(*m_model, serialNumber, m_answer);
}

bool ActionRun::request_pages(uint32_t serialNumber, uint16_t firstPage, uint8_t count)
{
    const bool sent = sendBody(command::pageRequestBody(uint16_t(serialNumber), firstPage, count));
    LinkWait::pauseFor(1);
    return sent;
}

bool ActionRun::request_pages_relay(uint32_t serialNumber, uint16_t firstPage, uint16_t count,
                                    uint16_t relay)
{
    const bool sent =
        sendBody(command::pageRequestRelayBody(uint16_t(serialNumber), relay, firstPage, count));
    LinkWait::pauseFor(1);
    return sent;
}

void ActionRun::showProgress(int row, int next)
{
    const SensorRecord &rec = m_model->sensor(row).record;
    const int percent = pagerange::progress(rec.start_page, rec.end_page, next, rec.page_count);
    m_model->show_progress(row, percent);
}

void ActionRun::closeDownload(uint32_t serialNumber)
{
    m_model->files().close(serialNumber);
}

ActionRun::PageChecks &ActionRun::checksFor(uint32_t serialNumber)
{
    auto it = m_checks.find(serialNumber);
    if (it == m_checks.end())
        it = m_checks.insert(serialNumber, {pagevouch::Vouch(m_link->health().cleanRun()), {}});
    return *it;
}

bool ActionRun::download_pages(uint32_t serialNumber)
{
    int row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    m_downloading = true;
    SensorRecord *rec = &m_model->edit(row).record;
    const uint16_t start = rec->start_page;
    const uint16_t end = rec->end_page;
    const uint16_t pageCount = rec->page_count;
    const uint16_t relay = rec->relay_address;
    if (!pagerange::fitsRing(start, end, pageCount)) {
        m_downloading = false;
        return true;
    }
    const uint16_t waitMs = uint16_t(isRelayType(rec->sensor_type) ? PageWaitShortMs : PageWaitMs);
    const bool askAgain = pagesMayBeAskedAgain(*rec);
    m_timedOut = false;
    m_connectionTimer.start(DownloadWaitMs);
    if (!rec->download_started) {
        rec->download_started = true;
        rec->current_page = start;
        m_checks.remove(serialNumber);
    }
    checksFor(serialNumber);
    pagevouch::Stats &stats = m_stats[serialNumber];
    const int toFetch = pagerange::pagesLeft(start, end, pageCount);
    m_progress.downloadStarted(toFetch,
                               toFetch - pagerange::pagesLeft(rec->current_page, end, pageCount));

    bool complete = false;
    bool lastDecoded = true; // no page decoded yet is no failure
    bool writeFailed = false;
    int refusedPage = -1;
    int frames = 0;
    // The link's faults seen so far: any new one means the line is damaging bytes.
    quint64 faultsSeen = m_link->health().faults();
    const auto noteLink = [&] {
        PageChecks &checks = checksFor(serialNumber);
        if (m_link->health().faults() != faultsSeen) {
            faultsSeen = m_link->health().faults();
            checks.vouch.fault();
        } else {
            checks.vouch.cleanFrame();
        }
    };
    // A sensor frame cuts the download only for a sensor the run still has to serve: this one
    // starting its wake again, or another one not served yet. One already served, or one not in
    // the fleet, wakes on its own schedule; cutting for it would cost this sensor a wake cycle.
    const auto wokeForThisRun = [&] {
        if (m_link->lastFrameLength() < answer::CheckedLength)
            return false;
        const uint16_t woke = answer::read16(m_link->lastFrameData(), answer::SerialNumberLow);
        if (woke == uint16_t(serialNumber))
            return true;
        const int other = m_model->find_row(woke);
        if (other >= 0 && !m_model->sensor(other).served)
            return true;
        qDebug() << QStringLiteral("sensor frame during download, not for this run :")
                 << hex4(woke);
        return false;
    };
    // Another sensor woke: the run serves it next, and this one resumes later.
    const auto serveOtherNext = [&] {
        takeAnswer();
        qDebug() << QStringLiteral("sensor frame during download, served next :")
                 << hex4(m_link->lastSourceAddress());
        m_answerWaiting = true;
        m_downloading = false;
        m_link->flushInput();
    };
    // The pages of the request before, to tell a request made again from a new one.
    int askedFrom = -1;
    int askedTo = -1;
    bool asked = false;
    while (m_running && !m_timedOut && !complete) {
        row = m_model->find_row(serialNumber);
        if (row < 0)
            break;
        // A frame that came in behind the last page asked for would go with the flush of the
        // next request: a sensor that woke then is heard now. Only a whole one is read: taking
        // the start of a frame still arriving would leave its tail to look like noise.
        if (asked && m_link->wholePageFrameWaiting() &&
            m_link->receivePageFrame(command::Everyone, 0) == ManageSerialPort::PageSensorFrame &&
            wokeForThisRun()) {
            serveOtherNext();
            return true;
        }
        asked = true;
        const uint16_t first = m_model->sensor(row).record.current_page;
        const int count = pagerange::nextRequest(first, end, pageCount).count;
        if (count == 0)
            break;
        const int lastAsked = first + count - 1;
        int request = 0;
        const auto ask = [&] {
            qDebug() << QStringLiteral("new request");
            m_announceCurrent = false;
            request = ++m_requestSeq;
            if (first >= askedFrom && first <= askedTo) {
                ++stats.reRequested;
                ++m_pageReRequests;
            }
            askedFrom = first;
            askedTo = lastAsked;
            // What came in before this request answers an earlier one: dropped now, not after
            // the request, which would throw away an answer that came at once.
            m_link->flushBeforeRequest();
            if (relay != 0)
                request_pages_relay(serialNumber, first, uint16_t(count), relay);
            else
                request_pages(serialNumber, first, uint8_t(count));
        };
        ask();
        bool answered = false; // the sensor sent something for this request: it is awake
        bool again = false;    // ask again from the page expected, at once
        int past = 0;          // frames of this request past the page expected
        int broken = 0;        // frames of this request that came broken
        int noiseBytes = 0;    // bytes of this request that were no frame
        int pages = 0;
        while (pages < count && !complete && m_running && !m_timedOut && !again) {
            int r = ManageSerialPort::NoPage;
            for (int attempt = 0; attempt < PageAttempts; ++attempt) {
                m_announceCurrent = false;
                while (m_refreshing && LinkWait::pauseFor(2) != LinkWait::Quitting) {
                }
                if (isRelayType(m_model->sensor(row).record.sensor_type) && m_listening.phase == 1)
                    m_listening.countdown = 2;
                // Every source is heard: a sensor that wakes meanwhile is served next instead
                // of being lost to the address filter.
                r = m_link->receivePageFrame(command::Everyone,
                                             answered ? uint16_t(std::min<int>(waitMs, StreamGapMs))
                                                      : waitMs);
                // Frames for the run's other business are passed over: the radio is alive, the
                // wait for this request goes on.
                if (r == ManageSerialPort::PageUnrelated ||
                    (r == ManageSerialPort::PageSensorFrame && !wokeForThisRun())) {
                    r = ManageSerialPort::NoPage;
                    if (!m_running || m_timedOut)
                        break;
                    --attempt;
                    LinkWait::yield();
                    continue;
                }
                if (r != ManageSerialPort::NoPage || !m_running || m_timedOut)
                    break;
                // The port closes from the event queue once its loss was seen.
                LinkWait::yield();
                if (!m_link->isOpen()) {
                    // Cut as after a lost frame: the files stay open and download_started set,
                    // so the sensor's next answer resumes from current_page into them once the
                    // dongle is back.
                    qDebug() << QStringLiteral("port lost during download :") << hex4(serialNumber)
                             << m_model->sensor(row).record.current_page;
                    m_downloading = false;
                    m_announceCurrent = true;
                    return true;
                }
                qDebug() << QStringLiteral("error com p. : ")
                         << m_model->sensor(row).record.current_page;
                // The sensor answered this request and then fell silent: the rest was lost on
                // the way, and it is still awake to be asked again.
                if (answered) {
                    again = true;
                    break;
                }
                if (!askAgain || attempt == PageAttempts - 1) {
                    m_downloading = false;
                    m_link->flushInput();
                    qDebug() << QStringLiteral("flag_dl_interrupt");
                    m_announceCurrent = true;
                    return true;
                }
                ask();
            }
            if (again || r == ManageSerialPort::NoPage)
                break;
            if (r == ManageSerialPort::PageSensorFrame) {
                serveOtherNext();
                return true;
            }
            answered = true;
            noteLink();
            if (r == ManageSerialPort::PageBroken) {
                // The frames behind a broken one are read on, from the next start byte: asked
                // for again at once, the rest of a frame cut on the way would still be coming
                // in, look broken in turn, and every request would end on it. The page it held
                // is missing from the stream like a lost one.
                // Noise is counted by the byte: the tail of one cut frame, arriving slowly,
                // would otherwise look like many broken frames and end every request.
                const bool noise = m_link->lastPageWasNoise();
                const int skipped = m_link->skipToFrameStart();
                noiseBytes += noise ? skipped + 1 : 0;
                if ((!noise && ++broken >= MaxBrokenInRequest) || noiseBytes > MaxNoiseInRequest)
                    again = true;
                continue;
            }
            if (r != ManageSerialPort::TwoPages && r != ManageSerialPort::OnePage)
                continue;
            const uint8_t *d = m_link->lastFrameData();
            const int inFrame = r == ManageSerialPort::TwoPages ? 2 : 1;
            row = m_model->find_row(serialNumber);
            if (row < 0)
                break;
            rec = &m_model->edit(row).record;
            rec->rssi = uint8_t(m_link->lastRssi());
            const int page = page::framePageNumber(d);
            if (m_link->lastSourceAddress() != uint16_t(serialNumber))
                continue;
            if (page == rec->current_page) {
                // The frame's checksum is a byte sum: a damaged page it passes would be wrong
                // rows in the file for good.
                const int usable = checkedPages(serialNumber, page, inFrame, request);
                if (usable > 0) {
                    // Only frames that wrote pages count towards the stream that never ends:
                    // while pages are verified, every page comes at least twice.
                    ++frames;
                    lastDecoded = decode_pages(serialNumber, usable);
                    writeFailed = m_lastDecode == FM::Decoded::NotWritten;
                    row = m_model->find_row(serialNumber);
                    if (row < 0 || !m_running || writeFailed)
                        break;
                    rec = &m_model->edit(row).record;
                    stats.fetched += usable;
                    const int next = page + usable;
                    complete = pagerange::completes(page, usable, end);
                    showProgress(row, next);
                    rec->current_page = pagerange::wrap(next, pageCount);
                    pages += usable;
                    past = 0;
                    if (complete)
                        qDebug() << hex4(serialNumber) + QStringLiteral(" : download finish");
                    if (frames >= MaxFrames)
                        complete = true;
                }
            } else if (page > rec->current_page && page <= lastAsked) {
                // The page expected went missing on the way while the sensor goes on sending.
                // A copy is worth keeping while pages are verified; otherwise, once a second
                // such frame shows it was no late frame of the request before, ask again at once
                // rather than wait out the stream.
                if (checksFor(serialNumber).vouch.verifying())
                    keepCopies(serialNumber, page, inFrame, request);
                else if (++past >= 2)
                    again = true;
            }
            // The last frame of the request came: nothing more will.
            if (!complete && page + inFrame - 1 >= lastAsked && page <= lastAsked && pages < count)
                again = true;
            LinkWait::yield();
        }
        if (writeFailed)
            break;
        row = m_model->find_row(serialNumber);
        if (row < 0)
            break;
        // A request that brought frames back without the page it started from counts against
        // that page: a page nobody can vouch for is given up instead of asked for for ever.
        if (!complete && answered && m_model->sensor(row).record.current_page == first &&
            checksFor(serialNumber).vouch.fruitless(first)) {
            refusedPage = first;
            break;
        }
    }

    m_downloading = false;
    m_announceCurrent = true;
    row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    // A sensor still streaming is told to stop: the rest would only be refused, fail again or
    // run past the end. A sensor that timed out is no longer listening.
    if (refusedPage >= 0 || writeFailed) {
        m_connectionTimer.stop();
        if (relay != 0)
            request_pages_relay(0, 0, 0, relay);
        else
            request_pages(0, 0, 0);
    } else if (complete) {
        m_connectionTimer.stop();
        if (relay != 0)
            request_pages_relay(0, 0, 0, relay);
    } else if (!m_running) {
        request_pages(0, 0, 0);
    }
    if (refusedPage >= 0)
        checksFor(serialNumber).vouch.done(refusedPage);
    const bool goesOn =
        endDownload(serialNumber, row, {refusedPage, writeFailed, complete, lastDecoded});
    if (!goesOn)
        endDownloadLine(serialNumber);
    return goesOn;
}

int ActionRun::pagesInFrame(const SensorRecord &rec, int page, int inFrame) const
{
    // The page after the last one, or past the end of memory, is not part of this download.
    if (page == rec.end_page || page >= rec.page_count - 1)
        return 1;
    return inFrame;
}

int ActionRun::checkedPages(uint32_t serialNumber, int page, int inFrame, int request)
{
    const int row = m_model->find_row(serialNumber);
    const SensorRecord &rec = m_model->sensor(row).record;
    inFrame = pagesInFrame(rec, page, inFrame);
    PageChecks &checks = checksFor(serialNumber);
    pagevouch::Stats &stats = m_stats[serialNumber];
    const uint8_t *frame = m_link->lastFrameData();
    for (int k = 0; k < inFrame; ++k) {
        const uint8_t *bytes = frame + page::FrameFirstPage + k * page::Size;
        const int number = page + k;
        const auto *previous = checks.previous.isEmpty()
                                   ? nullptr
                                   : reinterpret_cast<const uint8_t *>(checks.previous.constData());
        const pagecheck::Reason reason =
            pagecheck::check(bytes, number, number, rec.sensor_type, previous);
        if (reason != pagecheck::Reason::None) {
            qDebug() << QStringLiteral("page refused :") << number << pagecheck::reasonName(reason);
            emit pageRefused(serialNumber, number);
        }
        const pagevouch::Vouch::Verdict verdict =
            checks.vouch.offer(number, request, bytes, reason);
        if (verdict == pagevouch::Vouch::Verdict::Hold)
            return k;
        if (verdict == pagevouch::Vouch::Verdict::Verified)
            ++stats.verified;
        if (reason != pagecheck::Reason::None)
            qDebug() << QStringLiteral("page taken as the sensor holds it :") << number
                     << pagecheck::reasonName(reason);
        checks.vouch.done(number);
        checks.previous = QByteArray(reinterpret_cast<const char *>(bytes), page::Size);
    }
    return inFrame;
}

void ActionRun::keepCopies(uint32_t serialNumber, int page, int inFrame, int request)
{
    const int row = m_model->find_row(serialNumber);
    const SensorRecord &rec = m_model->sensor(row).record;
    inFrame = pagesInFrame(rec, page, inFrame);
    PageChecks &checks = checksFor(serialNumber);
    const uint8_t *frame = m_link->lastFrameData();
    for (int k = 0; k < inFrame; ++k) {
        const uint8_t *bytes = frame + page::FrameFirstPage + k * page::Size;
        // Only held: the page is written when the request that reaches it brings an agreeing
        // copy. Its header is checked then, against the page before it.
        checks.vouch.keep(page + k, request, bytes);
    }
}

void ActionRun::endDownloadLine(uint32_t serialNumber)
{
    qDebug() << hex4(serialNumber) << QStringLiteral("pages requested again :")
             << m_stats.value(serialNumber).reRequested;
    qDebug() << hex4(serialNumber) << downloadSummary(serialNumber);
}
