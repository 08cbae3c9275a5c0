#include "fleetrun.h"
#include "actionrun_p.h"
#include "detection.h"

#include "linkwait.h"
#include "manageserialport.h"
#include "pagerange.h"

#include <QDebug>

using namespace actionrun;

FleetRun::FleetRun(FleetModel *model, ManageSerialPort *link, QObject *parent)
    : QObject(parent), m_model(model), m_link(link)
{
    m_connectionTimer.setSingleShot(true);
    // A time-out is a lower bound: a coarse timer ends it up to 5 % early, and a sensor
    // answering near its end is given up.
    m_connectionTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_connectionTimer, &QTimer::timeout, this, &FleetRun::time_out);
    // Every wait ends at once from now on: the run ends as on a stop, rather than spin.
    connect(&LinkWait::quitNotice(), &QuitNotice::quitting, this, [this] {
        if (m_running)
            stop_run();
    });
}

FleetRun::~FleetRun() = default;

void FleetRun::time_out()
{
    m_connectionTimer.stop();
    m_timedOut = true;
}

bool FleetRun::isStopText(const QString &status)
{
    return status == Interrupted || status == downloadEndText(DownloadEnd::Interrupted);
}

bool FleetRun::isWaitingText(const QString &status)
{
    return status.isEmpty() || status == WaitResponse || status == FleetModel::WaitingForAction ||
           status == Detection::Waiting;
}

QString FleetRun::pageRefusedText(int page)
{
    return QStringLiteral("Page %1 could not be read without errors").arg(page);
}

QString FleetRun::downloadSummary(uint32_t serialNumber) const
{
    if (!m_stats.contains(serialNumber))
        return {};
    const pagevouch::Stats s = m_stats.value(serialNumber);
    return QStringLiteral("pages fetched %1, re-requested %2, verified %3, refused %4")
        .arg(s.fetched)
        .arg(s.reRequested)
        .arg(s.verified)
        .arg(s.refused);
}

void FleetRun::prepareNewData(uint32_t serialNumber)
{
    const int row = m_model->find_row(serialNumber);
    if (!m_model->choice().downloadNew || row < 0 || m_model->sensor(row).record.download_started)
        return;
    archive::Plan plan = archive::plan(m_settings.folder, serialNumber);
    const int64_t after = plan.after();
    m_model->edit(row).collected_until =
        after == archive::Nothing ? QDateTime() : QDateTime::fromSecsSinceEpoch(after, Qt::UTC);
    if (plan.latest && !plan.latest->end.usable)
        qDebug() << hex4(serialNumber) << QStringLiteral("archive not usable :")
                 << plan.latest->path << plan.latest->end.error;
    m_plans.insert(serialNumber, plan);
}

bool FleetRun::decode_pages(uint32_t serialNumber, int count)
{
    // Every page the download accepts comes through here, whatever the file makes of it.
    m_progress.pagesReceived(count);
    pagedecode::Options options;
    const actionblock::Choice &choice = m_model->choice();
    options.debugColumns = m_settings.debug;
    options.window = choice.downloadBetween;
    options.from = choice.windowStart;
    options.to = choice.windowEnd;
    const auto create = [this, serialNumber] {
        if (m_model->choice().downloadNew) {
            const int row = m_model->find_row(serialNumber);
            if (row < 0)
                return false;
            const FM::Sensor &s = m_model->sensor(row);
            archive::Plan plan = m_plans.value(serialNumber);
            plan.folder = archive::folderFor(m_settings.folder);
            plan.recordingStart = s.record.record_start;
            plan.ringFull = pagerange::pagesLeft(s.record.start_page, s.record.end_page,
                                                 s.record.page_count) >= s.record.page_count - 1;
            m_model->files().openArchive(serialNumber, s.type.layout(s.record.sensor_type),
                                         std::move(plan));
            return true;
        }
        if (m_hooks.createFiles)
            return m_hooks.createFiles(serialNumber);
        return m_model->files().create(serialNumber, m_settings.folder, m_settings.pdc, nullptr).ok;
    };
    m_lastDecode = m_model->decode_pages(serialNumber, count, m_link->lastFrameData(),
                                         m_link->lastFrameLength(), options, create,
                                         [] { LinkWait::yield(); });
    if (m_lastDecode == FM::Decoded::NotCreated && m_running)
        stop_run();
    return m_lastDecode == FM::Decoded::Ok;
}

void FleetRun::beginRun()
{
    m_running = true;
    m_portTimedOut = false;
    m_stats.clear();
    m_plans.clear();
    m_model->files().forgetReports();
    m_progress.start(m_model->size());
    m_link->dropStaleInput();
}

bool FleetRun::folderReady()
{
    const std::optional<Refusal> refused = folder_refusal(m_hooks.ensureFolder, m_settings.folder);
    if (!refused)
        return true;
    if (m_running)
        stop_run();
    if (!refused->title.isEmpty())
        emit failed(refused->title, refused->text);
    return false;
}

void FleetRun::resetRows()
{
    const bool download = m_model->choice().anyDownload();
    for (int r = 0; r < m_model->size(); ++r) {
        FM::Sensor &s = m_model->edit(r);
        SensorRecord &rec = s.record;
        s.served = false;
        rec.download_started = false;
        rec.download_end = DownloadEnd::None;
        rec.direct_age = SensorRecord::NoContact;
        rec.path_age = SensorRecord::NoContact;
        if (download)
            rec.current_page = 0;
        m_model->files().close(rec.serial_number);
        m_model->setPathShown(r, FM::PathShown());
        m_model->set_status(r, WaitResponse);
    }
    m_downloading = false;
    m_model->reset_marks();
}

bool FleetRun::pendingChangesReady()
{
    const Refusal refusal = pending_refusal(*m_model, m_model->mark_pending_changes());
    if (refusal.title.isEmpty())
        return true;
    stop_run();
    emit failed(refusal.title, refusal.text);
    return false;
}

void FleetRun::markServed(uint32_t serialNumber, int row)
{
    if (row >= 0)
        m_model->edit(row).served = true;
    m_progress.served(serialNumber);
    emit sensorServed(serialNumber);
}

void FleetRun::markUnserved()
{
    const QString &why = m_portTimedOut ? Timeout : Interrupted;
    for (int r = 0; r < m_model->size(); ++r) {
        if (m_model->sensor(r).served)
            continue;
        m_model->set_status(r, why, FM::Tone::Bad);
        qDebug() << hex4(m_model->sensor(r).record.serial_number) << why;
    }
}

bool FleetRun::endDownload(uint32_t serialNumber, int row, const DownloadEnding &e)
{
    SensorRecord &rec = m_model->edit(row).record;
    if (e.refusedPage >= 0) {
        // The files hold every page before it, whole; what follows it is not fetched, so the
        // file never skips a page silently.
        ++m_stats[serialNumber].refused;
        qDebug() << hex4(serialNumber) << QStringLiteral("page given up :") << e.refusedPage;
        end_download(*m_model, row, DownloadEnd::Refused, e.refusedPage);
        rec.download_started = false;
        m_model->files().close(serialNumber);
        return false;
    }
    if (e.writeFailed) {
        end_download_on_write_error(*m_model, serialNumber);
        return false;
    }
    if (e.complete) {
        rec.download_started = false;
        // An archive is complete only once its rows are on the disk.
        const bool synced = m_model->files().close(serialNumber);
        const bool newData = m_model->choice().downloadNew;
        // A file that failed on the last page keeps its error: "complete" would hide it.
        end_download(*m_model, row,
                     !e.lastDecoded || !synced ? DownloadEnd::WriteError
                     : rec.samples_written > 0 ? DownloadEnd::Complete
                     : newData                 ? DownloadEnd::NothingNew
                                               : DownloadEnd::NoData);
        if (newData && synced && e.lastDecoded)
            tellArchive(row);
        m_model->setMark(row, FM::Field::Serial, FM::Mark::Done);
        return false;
    }
    if (!m_running) {
        // Stopped by the operator, or by a dongle that stayed away past its wait.
        end_download(*m_model, row,
                     m_portTimedOut ? DownloadEnd::Timeout : DownloadEnd::Interrupted);
        m_model->files().close(serialNumber);
        return false;
    }
    if (m_timedOut) {
        end_download(*m_model, row, DownloadEnd::Timeout);
        m_model->files().close(serialNumber);
        return false;
    }
    return true;
}

void FleetRun::tellArchive(int row)
{
    const uint32_t sn = m_model->sensor(row).record.serial_number;
    const DownloadFiles::ArchiveReport r = m_model->files().archiveReport(sn);
    for (const QString &note : r.notes)
        qDebug() << hex4(sn) << note;
    if (r.gaps.isEmpty())
        return;
    // The samples the ring overwrote are gone for good: the operator must hear of it where
    // the outcome is told.
    QStringList lost;
    for (const archive::Gap &g : r.gaps)
        lost << archive::gapText(g);
    m_model->set_status(row, m_model->sensor(row).status + QStringLiteral("; ") +
                                 lost.join(QStringLiteral("; ")),
                        FM::Tone::Bad);
}

void FleetRun::endRun()
{
    m_model->files().closeAll();
    for (int r = 0; r < m_model->size(); ++r)
        m_model->edit(r).record.download_started = false;
    emit stopped();
}
