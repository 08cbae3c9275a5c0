#include "lorarun.h"
#include "actionrun_p.h"
#include "hextext.h"
#include "linkwait.h"

#include "commandset.h"
#include "loraframe.h"
#include "manageserialport.h"
#include "page.h"
#include "pagecheck.h"
#include "pagerange.h"
#include "rowrefresh.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

namespace
{
using FM = FleetModel;

constexpr int DownloadWaitMs = 3600000; // a LoRa page is a transaction: a whole ring takes long

using actionrun::Interrupted;
using actionrun::Timeout;
using actionrun::WaitResponse;
} // namespace

LoraRun::LoraRun(FleetModel *model, ManageSerialPort *link, QObject *parent)
    : FleetRun(model, link, parent)
{
}

LoraRun::~LoraRun() = default;

void LoraRun::stop_run()
{
    m_connectionTimer.stop();
    // Ending the wait under way is not enough: the link would go on with the wake-up pass of
    // the same transaction, a minute long. Its own stop request ends both passes.
    if (m_inRun && m_link->isBusy())
        m_link->requestStop();
    m_running = false;
    m_progress.finish();
    if (m_link->isBusy()) {
        if (LinkWait *wait = LinkWait::current())
            wait->stop();
    } else if (m_link->isOpen()) {
        m_link->flushInput();
    }
    endRun();
}

bool LoraRun::prepare()
{
    if (!folderReady())
        return false;
    resetRows();
    if (!pendingChangesReady())
        return false;
    announceRun();
    return true;
}

void LoraRun::announceRun()
{
    // The dongle hears the run start (05) and end (04); it answers neither in a way the run reads.
    m_link->sendApiFrame(QByteArray(1, char(command::RunStart)), 0);
}

bool LoraRun::portWentAway()
{
    if (m_link->isOpen())
        LinkWait::yield();
    return !m_link->isOpen();
}

bool LoraRun::linkBack()
{
    if (m_link->isOpen())
        return m_running;
    // The dongle's absence is no sensor's fault: the download's own time-out stands still.
    const bool timing = m_connectionTimer.isActive();
    const int left = timing ? m_connectionTimer.remainingTime() : 0;
    m_connectionTimer.stop();
    if (!actionrun::await_port(*m_link, m_running, m_portTimedOut, [this] { stop_run(); }))
        return false;
    qDebug() << QStringLiteral("port open again, going on");
    // The link configured the dongle at the open; the run under way is the run's to tell.
    announceRun();
    if (timing)
        m_connectionTimer.start(qMax(left, 0));
    return m_running;
}

void LoraRun::lora_action_run()
{
    m_inRun = true;
    beginRun();
    m_reRequests = 0;
    if (prepare()) {
        for (int r = 0; r < m_model->size() && m_running; ++r) {
            const uint32_t sn = m_model->sensor(r).record.serial_number;
            m_model->compute_selection(sn, m_selection);
            const bool answered = lora_sensor_cycle(sn);
            m_progress.downloadEnded();
            const int row = m_model->find_row(sn);
            if (row < 0)
                continue;
            if (answered) {
                markServed(sn, row);
            } else if (m_running) {
                // Both passes went unanswered (out of reach, another channel, flat battery):
                // the row must not go on waiting for a response once the run is over.
                qDebug() << hex4(sn) << QStringLiteral("Error when applying settings");
                m_model->set_status(row, Timeout, FM::Tone::Bad);
            }
        }
        if (m_link->isOpen())
            m_link->sendApiFrame(QByteArray(1, char(command::RunEnd)), 0);
        if (!m_running)
            markUnserved();
    }
    m_model->clear_pending_marks();
    emit finished();
    if (m_running)
        stop_run();
    m_inRun = false;
}

bool LoraRun::refresh_row_from_answer(uint32_t serialNumber, int mode)
{
    rowrefresh::Context c;
    c.lora = true;
    c.downloadRunning = m_downloading;
    c.selectedChannelMask = m_selection.channelMask;
    c.selectedPeriodCode = m_selection.periodCode;
    return rowrefresh::refresh_row_from_answer(*m_model, serialNumber, mode, m_answer, c);
}

bool LoraRun::lora_sensor_cycle(uint32_t serialNumber)
{
    command::Block payload;
    prepareNewData(serialNumber);
    if (m_model->build_param_payload(serialNumber, m_selection, payload) < 0)
        return false;
    // With "Set Time" the link stamps the clock fields into the block as each attempt leaves,
    // air time included: a sensor woken by the long preamble gets the time of that attempt.
    qDebug() << QStringLiteral("send param lora") << hex4(serialNumber);
    bool answered = false;
    while (!answered && linkBack()) {
        answered = m_link->sendLoraCommand(serialNumber, payload);
        // A sensor out of reach is this sensor's failure; a dongle pulled out is not: the same
        // block goes again once the port is back.
        if (!answered && !portWentAway())
            return false;
    }
    if (!answered)
        return false;
    m_answer = QByteArray(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
    refresh_row_from_answer(serialNumber, rowrefresh::AfterAction);
    if (!m_model->choice().anyDownload())
        return true;
    const int row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    // A sensor with nothing in the window answers the "no page" mark: reading it as a range
    // would fetch the previous run's pages, or the whole ring.
    if (!pagerange::readRange(m_answer)) {
        qDebug() << QStringLiteral("no page range in the answer");
        actionrun::end_download(*m_model, row,
                                m_model->choice().downloadNew ? DownloadEnd::NothingNew
                                                              : DownloadEnd::NoData);
        return true;
    }
    read_page_range(serialNumber);
    download_pages_lora(serialNumber);
    return true;
}

void LoraRun::read_page_range(uint32_t serialNumber)
{
    actionrun::store_page_range(*m_model, serialNumber, m_answer);
}

bool LoraRun::request_page_lora(uint32_t serialNumber, uint16_t page)
{
    qDebug() << QStringLiteral("page :") << page;
    command::Block block = command::loraPageRequest(page);
    if (!m_link->sendLoraCommand(serialNumber, block))
        return false;
    // Short fragments reassemble into less than a page: that answer is no page.
    return m_link->lastFrameLength() >= page::FrameFirstPage + page::Size;
}

void LoraRun::showProgress(int row, int received, int total)
{
    m_model->show_progress(row, pagerange::loraProgress(received, total));
}

bool LoraRun::download_pages_lora(uint32_t serialNumber)
{
    int row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    m_downloading = true;
    SensorRecord *rec = &m_model->edit(row).record;
    const uint16_t end = rec->end_page;
    const uint16_t pageCount = rec->page_count;
    const std::optional<int> total = pagerange::loraTotal(rec->start_page, end, pageCount);
    if (!total) {
        m_downloading = false;
        return true;
    }
    qDebug() << QStringLiteral("Nb Pages : ") << *total;
    if (!rec->download_started) {
        rec->current_page = rec->start_page;
        rec->download_started = true;
    }
    m_progress.downloadStarted(*total,
                               *total - pagerange::pagesLeft(rec->current_page, end, pageCount));
    m_timedOut = false;
    m_connectionTimer.start(DownloadWaitMs);

    // A page goes out as a transaction of its own, so every copy comes from a request of its
    // own; the rules for vouching for it are those of the 802.15.4 download.
    pagevouch::Vouch vouch(m_link->health().cleanRun());
    pagevouch::Stats &stats = m_stats[serialNumber];
    quint64 faultsSeen = m_link->health().faults();
    QByteArray previous; // the page accepted before, for the order of the start times
    int received = 0;
    int request = 0;
    int refusedPage = -1;
    bool complete = false;
    bool lastDecoded = true; // no page decoded yet is no failure
    bool writeFailed = false;
    while (m_running && !m_timedOut && !complete) {
        const uint16_t page = rec->current_page;
        qDebug() << QStringLiteral("new request");
        if (!linkBack())
            break;
        ++request;
        const bool arrived = request_page_lora(serialNumber, page);
        // The transaction kept processing events: the row may have moved.
        row = m_model->find_row(serialNumber);
        if (row < 0)
            break;
        rec = &m_model->edit(row).record;
        const bool damaged = m_link->health().faults() != faultsSeen;
        faultsSeen = m_link->health().faults();
        if (damaged)
            vouch.fault();
        if (!arrived) {
            // A lost port is waited for before the next request (the same page, into the same
            // files); only a transaction lost on the air counts as asked again.
            if (!portWentAway()) {
                ++m_reRequests;
                ++stats.reRequested;
                // Damaged answers are the sensor answering: a page that only ever comes so is
                // given up. Silence is left to the download's time-out.
                if (damaged && vouch.fruitless(page)) {
                    refusedPage = page;
                    break;
                }
            } else {
                qDebug() << QStringLiteral("port lost during download :") << hex4(serialNumber)
                         << page;
            }
            continue;
        }
        if (!damaged)
            vouch.cleanFrame();
        const uint8_t *d = m_link->lastFrameData();
        const int number = lora::pageAnswerNumber(d);
        const uint8_t *bytes = d + page::FrameFirstPage;
        // The link's checksum is a byte sum: a page it passes may still be damaged, and a
        // damaged page decoded is wrong rows in the file for good.
        const pagecheck::Reason reason = pagecheck::check(
            bytes, number, page, rec->sensor_type,
            previous.isEmpty() ? nullptr : reinterpret_cast<const uint8_t *>(previous.constData()));
        const pagevouch::Vouch::Verdict verdict = reason == pagecheck::Reason::WrongNumber
                                                      ? pagevouch::Vouch::Verdict::Hold
                                                      : vouch.offer(page, request, bytes, reason);
        if (reason == pagecheck::Reason::WrongNumber)
            vouch.fault();
        if (verdict == pagevouch::Vouch::Verdict::Hold) {
            if (reason != pagecheck::Reason::None)
                qDebug() << QStringLiteral("page refused :") << page
                         << pagecheck::reasonName(reason);
            ++m_reRequests;
            ++stats.reRequested;
            if (vouch.fruitless(page)) {
                refusedPage = page;
                break;
            }
            continue;
        }
        if (verdict == pagevouch::Vouch::Verdict::Verified)
            ++stats.verified;
        if (reason != pagecheck::Reason::None)
            qDebug() << QStringLiteral("page taken as the sensor holds it :") << page
                     << pagecheck::reasonName(reason);
        vouch.done(page);
        previous = QByteArray(reinterpret_cast<const char *>(bytes), page::Size);
        lastDecoded = decode_pages(serialNumber, 1);
        writeFailed = lastDecode() == FM::Decoded::NotWritten;
        row = m_model->find_row(serialNumber);
        if (row < 0 || writeFailed)
            break;
        rec = &m_model->edit(row).record;
        ++stats.fetched;
        ++received;
        complete = page == end;
        rec->current_page = pagerange::wrap(page + 1, pageCount);
        showProgress(row, received, *total);
        if (complete)
            qDebug() << hex4(serialNumber) + QStringLiteral(" : download finish");
    }

    m_connectionTimer.stop();
    m_downloading = false;
    row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    qDebug() << hex4(serialNumber) << downloadSummary(serialNumber);
    // No stop body: every page is a transaction of its own, so nothing keeps streaming.
    return endDownload(serialNumber, row, {refusedPage, writeFailed, complete, lastDecoded});
}
