#include "fleetsession.h"
#include "fleetjournal.h"
#include "outboxmessages.h"
#include "page.h"
#include "archive.h"

#include "actionrun_p.h"
#include "manageserialport.h"
#include "rowrefresh.h"

#include <QDebug>
#include <QFileInfo>
#include <algorithm>

QString outcomeText(SensorOutcome outcome, int page)
{
    switch (outcome) {
    case SensorOutcome::Served:
        return QString();
    case SensorOutcome::DownloadComplete:
        return actionrun::downloadEndText(DownloadEnd::Complete);
    case SensorOutcome::NoData:
        return actionrun::downloadEndText(DownloadEnd::NoData);
    case SensorOutcome::WriteError:
        return actionrun::downloadEndText(DownloadEnd::WriteError);
    case SensorOutcome::PageRefused:
        return actionrun::downloadEndText(DownloadEnd::Refused, page);
    case SensorOutcome::Interrupted:
        return actionrun::Interrupted;
    case SensorOutcome::Timeout:
        return actionrun::Timeout;
    }
    return QString();
}

bool RunSummary::anyTouched() const
{
    for (const SensorSummary &s : sensors)
        if (s.touched)
            return true;
    return false;
}

bool RunSummary::allDone() const
{
    if (sensors.isEmpty())
        return false;
    for (const SensorSummary &s : sensors)
        if (!s.done)
            return false;
    return true;
}

FleetSession::FleetSession(ManageSerialPort *link, QObject *parent)
    : QObject(parent), m_link(link), m_run(&m_fleet, link), m_lora(&m_fleet, link),
      m_detection(&m_fleet, link, &m_run.paths())
{
    for (FleetRun *run : {static_cast<FleetRun *>(&m_run), static_cast<FleetRun *>(&m_lora)}) {
        connect(run, &FleetRun::failed, this, &FleetSession::failed);
        connect(run, &FleetRun::sensorServed, this, &FleetSession::turnOver);
        connect(run, &FleetRun::stopped, this, &FleetSession::stopped);
    }
    connect(&m_detection, &Detection::sensorDetected, this, &FleetSession::sensorDetected);
    connect(&m_fleet, &FleetModel::answerShown, this, &FleetSession::recordAnswer);
    // The files of a sensor's turn are closed (and an archive synced) before its outcome is
    // told: the journal comes second.
    connect(this, &FleetSession::sensorOutcome, this, [this](uint32_t sn) {
        recordCollection(sn);
        refreshHealth(sn);
    });
    connect(this, &FleetSession::sensorDetected, this, &FleetSession::refreshHealth);
    connect(&m_detection, &Detection::ranOut, this, &FleetSession::detectionRanOut);
    connect(&m_detection, &Detection::rssiListsShown, this, &FleetSession::rssiListsChanged);
}

FleetSession::~FleetSession() = default;

void FleetSession::setJournal(FleetJournal *journal, const health::Thresholds &thresholds)
{
    m_journal = journal;
    m_thresholds = thresholds;
    for (int r = 0; r < m_fleet.size(); ++r)
        refreshHealth(m_fleet.sensor(r).record.serial_number);
}

void FleetSession::setPublishing(const QString &topicPrefix, int qos, bool rows)
{
    m_publishPrefix = topicPrefix;
    m_publishQos = qos;
    m_publishRows = rows;
}

void FleetSession::publishRows(int row)
{
    const FleetModel::Sensor &sensor = m_fleet.sensor(row);
    const uint16_t serialNumber = uint16_t(sensor.record.serial_number);
    const QString topic = outbox::sensorTopic(m_publishPrefix, serialNumber, QStringLiteral("rows"));
    const DownloadFiles::ArchiveReport report = m_fleet.files().archiveReport(serialNumber);
    for (const archive::Span &span : report.spans) {
        // What is on the disk is what the next collection goes on from, so that is what goes.
        const archive::Appended added =
            archive::appended(span.path, std::max(span.from, m_rowsPublishedTo.value(span.path)));
        if (!added.error.isEmpty()) {
            qDebug() << QStringLiteral("/!\\ rows of") << span.path
                     << QStringLiteral("not published:") << added.error;
            continue;
        }
        m_rowsPublishedTo[span.path] = added.end;
        QStringList units;
        for (const QString &column : added.columns) {
            int k = 0;
            while (k < SensorType::Channels && sensor.type.channelTitle(k) != column)
                ++k;
            units << (k < SensorType::Channels ? sensor.type.units[size_t(k)] : QString());
        }
        m_journal->enqueue(topic,
                           outbox::rowsPayloads(serialNumber, QFileInfo(span.path).fileName(),
                                                added.columns, units, added.text,
                                                outbox::RowsPerMessage, &archive::isStopRow),
                           false, m_publishQos);
    }
}

void FleetSession::recordAnswer(int row, bool detection)
{
    if (!m_journal || !m_fleet.isSensorRow(row))
        return;
    const SensorRecord &rec = m_fleet.sensor(row).record;
    const std::optional<answer::Status> status = answer::parse(rec.answer);
    if (!status)
        return;
    const actionblock::Choice &choice = m_fleet.choice();
    const StatusOrigin origin = detection     ? StatusOrigin::Detection
                                : !isRunning() ? StatusOrigin::Listen
                                : choice.anyDownload() ? StatusOrigin::Collection
                                                       : StatusOrigin::Run;
    const int rssi = rec.relay_address != 0 ? rec.rssi : rec.direct_rssi;
    const StatusEntry entry = StatusEntry::fromAnswer(*status, QDateTime::currentDateTimeUtc(),
                                                      rssi == 255 ? -1 : rssi, rec.relay_address,
                                                      origin);
    m_journal->recordStatus(entry);
    if (!m_publishPrefix.isEmpty()) {
        const QByteArray payload = outbox::statusPayload(entry);
        m_journal->enqueue(outbox::sensorTopic(m_publishPrefix, entry.serialNumber,
                                               QStringLiteral("answer")),
                           payload, false, m_publishQos);
        m_journal->enqueue(outbox::sensorTopic(m_publishPrefix, entry.serialNumber,
                                               QStringLiteral("status")),
                           payload, true, m_publishQos);
    }
}

void FleetSession::recordCollection(uint32_t serialNumber)
{
    const int row = m_fleet.find_row(serialNumber);
    if (!m_journal || row < 0)
        return;
    const SensorSummary s = summaryOf(row);
    const actionblock::Choice &choice = m_fleet.choice();
    const FleetModel::Sensor &sensor = m_fleet.sensor(row);
    CollectionEntry e;
    e.startedMs = m_runStartedMs;
    e.endedMs = QDateTime::currentMSecsSinceEpoch();
    e.serialNumber = uint16_t(serialNumber);
    e.ask = choice.downloadNew       ? CollectionAsk::New
            : choice.downloadAll     ? CollectionAsk::All
            : choice.downloadBetween ? CollectionAsk::Window
                                     : CollectionAsk::None;
    // The sensor's wall clock is the PC's local time it was set from.
    const auto ms = [](const QDateTime &wall) {
        return QDateTime(wall.date(), wall.time(), Qt::LocalTime).toMSecsSinceEpoch();
    };
    if (choice.downloadBetween) {
        e.windowFromMs = ms(choice.windowStart);
        e.windowToMs = ms(choice.windowEnd);
    } else if (choice.downloadNew && sensor.collected_until.isValid()) {
        e.windowFromMs = ms(sensor.collected_until.addSecs(1));
        if (sensor.record.sensor_clock.isValid())
            e.windowToMs = ms(sensor.record.sensor_clock);
    }
    e.pagesFetched = s.pages.fetched;
    e.pagesReRequested = s.pages.reRequested;
    e.pagesRefused = s.pages.refused;
    e.pagesRequested = s.pages.fetched + s.pages.reRequested + s.pages.refused;
    e.rowsWritten = s.rows;
    e.outcome = s.status;
    e.archivePath = s.archivePaths.join(QLatin1Char(';'));
    for (const archive::Gap &g : s.gaps)
        e.gaps.append({ms(g.from), ms(g.to)});
    e.setTime = choice.setTime && s.done;
    m_journal->recordCollection(e);
    // The rows first: a collection message tells a reader that the rows before it are all.
    if (!m_publishPrefix.isEmpty() && m_publishRows)
        publishRows(row);
    if (!m_publishPrefix.isEmpty())
        m_journal->enqueue(outbox::sensorTopic(m_publishPrefix, e.serialNumber,
                                               QStringLiteral("collection")),
                           outbox::collectionPayload(e), false, m_publishQos);
}

void FleetSession::refreshHealth(uint32_t serialNumber)
{
    const int row = m_fleet.find_row(serialNumber);
    if (!m_journal || row < 0)
        return;
    health::Facts facts = m_journal->healthFacts(uint16_t(serialNumber));
    // What the sensor recorded since its last complete collection is what the ring may
    // overwrite before anyone has it.
    const std::optional<CollectionEntry> last = m_journal->lastCollection(uint16_t(serialNumber));
    if (last && facts.last && last->ask != CollectionAsk::None && facts.last->periodSeconds > 0 &&
        last->outcome == outcomeText(SensorOutcome::DownloadComplete)) {
        const int perPage = health::samplesPerPage(page::channelCount(uint8_t(facts.last->channelMask)),
                                                   facts.last->sensorType);
        const qint64 since = (QDateTime::currentMSecsSinceEpoch() - last->endedMs) / 1000;
        if (perPage > 0)
            facts.uncollectedPages =
                int(std::min<qint64>(page::RingPages, since / facts.last->periodSeconds / perPage + 1));
    }
    const health::Report report =
        health::assess(facts, m_thresholds, QDateTime::currentMSecsSinceEpoch());
    FleetModel::Sensor &s = m_fleet.edit(row);
    // Told when the warnings change only: the health is read again at every turn and detection.
    if (!m_publishPrefix.isEmpty() && report.warnings != s.healthWarnings)
        m_journal->enqueue(outbox::sensorTopic(m_publishPrefix, uint16_t(serialNumber),
                                               QStringLiteral("health")),
                           outbox::healthPayload(uint16_t(serialNumber),
                                                 QDateTime::currentMSecsSinceEpoch(),
                                                 report.summary, report.warnings),
                           true, m_publishQos);
    s.healthSummary = report.summary;
    s.healthWarnings = report.warnings;
    s.healthTooltip = report.tooltip;
    emit m_fleet.changed(row, FleetModel::Aspect::Texts);
}

void FleetSession::setRunSettings(const RunSettings &settings)
{
    m_run.setSettings(settings);
    m_lora.setSettings(settings);
}

void FleetSession::setHooks(const FleetRun::Hooks &hooks)
{
    m_run.setHooks(hooks);
    m_lora.setHooks(hooks);
}

void FleetSession::forgetPaths()
{
    m_run.paths().clear();
    radiopaths::RadioPaths::reset_paths(m_fleet);
    emit rssiListsChanged({});
}

void FleetSession::showAnswer(uint32_t serialNumber, const QByteArray &answer)
{
    rowrefresh::Context c;
    c.lora = m_link->linkMode() == ManageSerialPort::Lora;
    c.frameRssi = m_link->lastRssi();
    c.paths = &m_run.paths();
    rowrefresh::refresh_row_from_answer(m_fleet, serialNumber, rowrefresh::AfterDetection, answer,
                                        c);
}

void FleetSession::tick()
{
    m_run.tick();
    emit progressChanged(m_current->progress());
}

bool FleetSession::runActions()
{
    if (isRunning() || isDetecting() || !m_link->isOpen())
        return false;
    const int mode = m_link->linkMode();
    if (mode != ManageSerialPort::Api802154 && mode != ManageSerialPort::Lora)
        return false;
    m_told.clear();
    m_runStartedMs = QDateTime::currentMSecsSinceEpoch();
    m_current = mode == ManageSerialPort::Lora ? static_cast<FleetRun *>(&m_lora) : &m_run;
    emit progressChanged(m_current->progress());
    if (mode == ManageSerialPort::Lora)
        m_lora.lora_action_run();
    else
        m_run.action_run();
    // Whoever the run did not finish with ends on why the run ended.
    for (int r = 0; r < m_fleet.size(); ++r) {
        const uint32_t sn = m_fleet.sensor(r).record.serial_number;
        if (!m_told.contains(sn)) {
            const SensorSummary s = summaryOf(r);
            m_told.insert(sn);
            emit sensorOutcome(sn, s.outcome, s.status);
        }
    }
    emit progressChanged(m_current->progress());
    emit runEnded(summary());
    return true;
}

bool FleetSession::detect()
{
    // Through a closed port or a LoRa dongle the detection ends at once, and says so itself.
    if (isRunning())
        return false;
    m_detection.detect_sensors();
    return true;
}

void FleetSession::stop()
{
    if (isDetecting())
        m_detection.stop();
    if (m_current->isRunning())
        m_current->stop_run();
}

void FleetSession::turnOver(uint32_t serialNumber)
{
    const int row = m_fleet.find_row(serialNumber);
    if (row < 0 || m_told.contains(serialNumber))
        return;
    m_told.insert(serialNumber);
    const SensorSummary s = summaryOf(row);
    emit sensorOutcome(serialNumber, s.outcome, s.status);
    emit progressChanged(m_current->progress());
}

SensorSummary FleetSession::summaryOf(int row) const
{
    const FleetModel::Sensor &sensor = m_fleet.sensor(row);
    SensorSummary s;
    s.serialNumber = sensor.record.serial_number;
    s.status = sensor.status;
    s.pages = m_current->downloadStats(s.serialNumber);
    s.pagesText = m_current->downloadSummary(s.serialNumber);
    s.rows = sensor.record.samples_written;
    const DownloadFiles::ArchiveReport archived = m_fleet.files().archiveReport(s.serialNumber);
    s.archivePaths = archived.paths;
    s.archiveNotes = archived.notes;
    s.gaps = archived.gaps;
    const bool download = m_fleet.choice().anyDownload();
    switch (sensor.record.download_end) {
    case DownloadEnd::Complete:
        s.outcome = SensorOutcome::DownloadComplete;
        break;
    case DownloadEnd::NoData:
    case DownloadEnd::NothingNew:
        s.outcome = SensorOutcome::NoData;
        break;
    case DownloadEnd::WriteError:
        s.outcome = SensorOutcome::WriteError;
        break;
    case DownloadEnd::Refused:
        s.outcome = SensorOutcome::PageRefused;
        break;
    case DownloadEnd::Interrupted:
        s.outcome = SensorOutcome::Interrupted;
        break;
    case DownloadEnd::Timeout:
        s.outcome = SensorOutcome::Timeout;
        break;
    case DownloadEnd::None:
        if (sensor.served)
            s.outcome = download ? SensorOutcome::Interrupted : SensorOutcome::Served;
        else
            s.outcome = sensor.status == actionrun::Timeout ? SensorOutcome::Timeout
                                                            : SensorOutcome::Interrupted;
        break;
    }
    s.touched = sensor.served || s.pages.fetched > 0;
    s.done = sensor.served &&
             (s.outcome == SensorOutcome::Served || s.outcome == SensorOutcome::DownloadComplete ||
              s.outcome == SensorOutcome::NoData);
    return s;
}

SensorSummary FleetSession::summaryFor(uint32_t serialNumber) const
{
    const int row = m_fleet.find_row(serialNumber);
    return row >= 0 ? summaryOf(row) : SensorSummary();
}

RunSummary FleetSession::summary() const
{
    RunSummary r;
    for (int row = 0; row < m_fleet.size(); ++row)
        r.sensors << summaryOf(row);
    return r;
}
