#include "actionrun.h"
#include "actionrun_p.h"

#include "commandset.h"
#include "datafiles.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "page.h"
#include "pagerange.h"
#include "relaylist.h"
#include "rowrefresh.h"
#include "sensoranswer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <algorithm>

using namespace actionrun;

Refusal actionrun::pending_refusal(const FleetModel &model, int marked)
{
    if (marked == 0)
        return {};
    if (marked == 1)
        return {QStringLiteral("Missing sensor info"),
                QStringLiteral("Please click refresh sensor info by clicking send action "
                               "without action")};
    const int row = model.pending_failure_row();
    const uint32_t sn = model.isSensorRow(row) ? model.sensor(row).record.serial_number : 0;
    return {QStringLiteral("Action failed"),
            QStringLiteral("No channel selected for recording on sensor ") +
                QString::number(sn, 16)};
}

ActionRun::ActionRun(FleetModel *model, ManageSerialPort *link, QObject *parent)
    : FleetRun(model, link, parent)
{
    m_relayRefreshTimer.setSingleShot(true);
    m_relayRefreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_relayRefreshTimer, &QTimer::timeout, this, &ActionRun::refresh_relay);
}

ActionRun::~ActionRun() = default;

void ActionRun::tick()
{
    if (!m_running)
        return;
    m_listening.tick();
    m_model->age_contacts();
}

bool ActionRun::sendBody(const QByteArray &body)
{
    return m_link->sendApiFrame(body, 0);
}

bool ActionRun::dongle_add_sensor(uint32_t serialNumber)
{
    return relaylist::dongle_add_sensor(*m_link, serialNumber);
}

bool ActionRun::sensor_ack_direct(uint32_t serialNumber)
{
    return relaylist::sensor_ack_direct(*m_link, serialNumber);
}

bool ActionRun::set_current_sensor(uint32_t serialNumber)
{
    if (alwaysListening(serialNumber))
        return true;
    const bool sent = sendBody(command::setCurrentBody(uint16_t(serialNumber)));
    LinkWait::pauseFor(1);
    return sent;
}

// A relay answers each list body with its whole list; the body took effect when the list says
// so. Also from a stop: the relay is told to forget whoever the run left on its lists.
bool ActionRun::sendRelayListBody(const QByteArray &body, uint16_t relay)
{
    return relaylist::send_confirmed(*m_link, body, relay, nullptr);
}

bool ActionRun::relay_register_sensor(uint32_t serialNumber, uint16_t relay)
{
    return sendRelayListBody(radiopaths::relay_register_sensor(uint16_t(serialNumber), relay),
                             relay);
}

bool ActionRun::relay_release_sensor(uint32_t serialNumber, uint16_t relay)
{
    return sendRelayListBody(radiopaths::relay_release_sensor(uint16_t(serialNumber), relay),
                             relay);
}

bool ActionRun::relay_add_current_sensor(uint32_t serialNumber, uint16_t relay)
{
    return sendRelayListBody(radiopaths::relay_add_current_sensor(uint16_t(serialNumber), relay),
                             relay);
}

void ActionRun::sendBodies(const QVector<QByteArray> &bodies)
{
    for (const QByteArray &body : bodies) {
        if (const uint16_t relay = command::relayListTarget(body))
            sendRelayListBody(body, relay);
        else
            sendBody(body);
    }
}

void ActionRun::handle_rssi_list()
{
    const QByteArray data(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
    const radiopaths::RadioPaths::Handled handled = m_paths.handle_rssi_list(
        *m_model, m_link->lastSourceAddress(), uint8_t(m_link->lastRssi()), data, false);
    sendBodies(handled.bodies);
}

void ActionRun::refresh_relay()
{
    m_relayRefreshTimer.stop();
    if (!m_downloading && !m_link->isBusy()) {
        m_refreshing = true;
        sendBody(command::relayRefreshBody());
        m_refreshing = false;
    }
    if (m_running)
        m_relayRefreshTimer.start(RelayRefreshMs);
}

bool ActionRun::refresh_row_from_answer(uint32_t serialNumber, int mode)
{
    rowrefresh::Context c;
    c.lora = m_link->linkMode() == ManageSerialPort::Lora;
    c.downloadRunning = m_downloading;
    c.selectedChannelMask = m_selection.channelMask;
    c.selectedPeriodCode = m_selection.periodCode;
    c.frameRssi = m_link->lastRssi();
    c.paths = &m_paths;
    QVector<QByteArray> bodies;
    c.bodies = &bodies;
    const bool ok = rowrefresh::refresh_row_from_answer(*m_model, serialNumber, mode, m_answer, c);
    sendBodies(bodies);
    return ok;
}

int ActionRun::receiveAnswer(uint16_t filter)
{
    if (m_refreshing) {
        LinkWait::pauseFor(2);
        return ManageSerialPort::NoAnswer;
    }
    const int r = m_link->receiveSensorAnswer(filter);
    if (r == ManageSerialPort::AnswerSensorFrame)
        takeAnswer();
    else if (r == ManageSerialPort::AnswerRssiLists)
        handle_rssi_list();
    if (r != ManageSerialPort::AnswerSensorFrame)
        LinkWait::yield();
    return r;
}

void ActionRun::takeAnswer()
{
    m_answer = QByteArray(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
}

void ActionRun::stop_run()
{
    m_relayRefreshTimer.stop();
    m_connectionTimer.stop();
    m_running = false;
    m_progress.finish();
    // From inside a wait of the run the link refuses another exchange: the run sends the
    // bodies itself once that wait is over.
    if (m_link->isBusy()) {
        m_forgetOwed = true;
        if (LinkWait *wait = LinkWait::current())
            wait->stop();
    } else if (m_link->isOpen() && m_link->linkMode() == ManageSerialPort::Api802154) {
        forgetDongleLists();
    }
    if (m_link->isOpen() && !m_link->isBusy())
        m_link->flushInput();
    endRun();
}

void ActionRun::forgetDongleLists()
{
    m_forgetOwed = false;
    dongle_add_sensor(0);
    for (const radiopaths::RssiList &relay : m_paths.relays())
        relay_register_sensor(0, relay.address);
}

bool ActionRun::prepare()
{
    m_listening = ListenPhases();
    m_listenAddress = command::Everyone;
    m_announceCurrent = true;
    dongle_add_sensor(0);
    m_answerWaiting = false;
    if (!folderReady())
        return false;

    resetRows();
    for (int r = 0; r < m_model->size(); ++r) {
        SensorRecord &rec = m_model->edit(r).record;
        rec.direct_rssi = 255;
        rec.relay_address = 0;
        rec.rssi = 255;
    }
    m_paths.clear();
    m_polls.clear();
    for (int r = 0; r < m_model->size(); ++r) {
        const SensorRecord &rec = m_model->sensor(r).record;
        dongle_add_sensor(rec.serial_number);
        if (radiopaths::always_listening(rec.sensor_type, uint16_t(rec.serial_number)) &&
            m_polls.append({uint16_t(rec.serial_number), rec.relay_address})) {
            qDebug() << QStringLiteral("relay") << hex4(rec.serial_number)
                     << hex4(rec.relay_address) << m_polls.size() - 1;
        }
    }
    return pendingChangesReady();
}

void ActionRun::pollRelay(bool skipDownloading)
{
    const std::optional<radiopaths::RelayPolls::Relay> relay = m_polls.next();
    if (!relay)
        return;
    if (skipDownloading) {
        const int row = m_model->find_row(relay->serialNumber);
        if (row >= 0 && m_model->sensor(row).record.download_started)
            return;
    }
    sendBody(radiopaths::RelayPolls::poll_body(*relay));
}

// One listening turn: ask who is awake, poll a relay as the phase says, and wait for a frame.
void ActionRun::listen()
{
    m_waitExpired = false;
    if (!m_link->isOpen()) {
        // Nothing is heard through a closed port: this turn is over either way.
        m_waitExpired = true;
        wait_for_link();
        return;
    }
    sendBody(command::rssiListsBody(m_listenAddress));
    const int windowMs = m_listening.phase == 1                    ? ListenMsRelayPoll
                         : m_listening.phase == ListenPhases::Last ? ListenMsLate
                                                                   : ListenMsSettled;
    // The window runs from here: the relay poll and refresh below are part of it.
    LinkWait window(nullptr, windowMs); // a stop may end it (through current())
    switch (m_listening.phase) {
    case 1:
        if (m_polls.size() == 0) {
            m_listening.phase = 2;
            m_listening.countdown = 4;
        } else {
            pollRelay(false);
        }
        break;
    case ListenPhases::Last:
        pollRelay(true);
        break;
    default:
        refresh_relay();
        break;
    }
    while (m_running) {
        if (window.over() || !m_link->isOpen()) {
            m_waitExpired = true;
            break;
        }
        if (receiveAnswer(command::Everyone) == ManageSerialPort::AnswerSensorFrame)
            break;
    }
}

std::optional<actionrun::Refusal> actionrun::folder_refusal(const std::function<bool()> &hook,
                                                            const QString &folder)
{
    if (hook)
        return hook() ? std::nullopt : std::optional<Refusal>(Refusal());
    if (ensureFolder(folder))
        return std::nullopt;
    qDebug() << QStringLiteral("output folder can't be created :") << folder;
    return Refusal{QStringLiteral("Folder Creation Failed"),
                   QStringLiteral("The folder ") + QDir(folder).absolutePath() +
                       QStringLiteral(" can't be created")};
}

actionrun::PortWait actionrun::wait_for_port(const ManageSerialPort &link, const bool &running)
{
    if (link.isOpen())
        return PortWait::Back;
    qDebug() << QStringLiteral("port lost, waiting for the dongle");
    // The bar's reconnection, the timers and a stop all come as events while it waits.
    // Open and idle: an attempt to reopen it holds the link until the dongle answered, and may
    // still fail and close it again.
    const auto back = [&link] { return link.isOpen() && !link.isBusy(); };
    LinkWait wait(nullptr, PortBackMs);
    const LinkWait::Outcome o = wait.finish(wait.until([&] { return back() || !running; }));
    if (!running)
        return PortWait::Stopped;
    if (o == LinkWait::Quitting)
        return PortWait::Quitting;
    if (o == LinkWait::TimedOut) {
        qDebug() << QStringLiteral("the dongle did not come back");
        return PortWait::Late;
    }
    return PortWait::Back;
}

bool actionrun::await_port(const ManageSerialPort &link, const bool &running, bool &timedOut,
                           const std::function<void()> &stop)
{
    switch (wait_for_port(link, running)) {
    case PortWait::Back:
        return true;
    case PortWait::Stopped:
        return false;
    case PortWait::Late:
        timedOut = true;
        stop();
        return false;
    case PortWait::Quitting:
        stop();
        return false;
    }
    return false;
}

bool ActionRun::wait_for_link()
{
    if (m_link->isOpen())
        return true;
    if (!actionrun::await_port(*m_link, m_running, m_portTimedOut, [this] { stop_run(); }))
        return false;
    qDebug() << QStringLiteral("port open again, listening");
    // A dongle that was unplugged lost its power and with it the sensors it was told about.
    for (int r = 0; r < m_model->size(); ++r)
        if (!m_model->sensor(r).served)
            dongle_add_sensor(m_model->sensor(r).record.serial_number);
    m_listenAddress = command::Everyone;
    return true;
}

void ActionRun::releaseCurrent(uint16_t relay)
{
    if (relay == 0)
        sensor_ack_direct(0);
    else
        relay_release_sensor(0, relay);
}

void ActionRun::served(uint32_t serialNumber, int row)
{
    const SensorRecord &rec = m_model->sensor(row).record;
    if (!isRelayType(rec.sensor_type)) {
        if (rec.relay_address != 0)
            relay_release_sensor(serialNumber, rec.relay_address);
        sensor_ack_direct(serialNumber);
    } else {
        releaseCurrent(rec.relay_address);
    }
    m_polls.remove(uint16_t(serialNumber));
    // The row may have moved while the dongle was told.
    markServed(serialNumber, m_model->find_row(serialNumber));
}

void ActionRun::action_run()
{
    beginRun();
    bool completed = false;
    m_pageReRequests = 0;
    m_checks.clear();
    if (prepare()) {
        for (;;) {
            bool heard = false;
            if (m_answerWaiting) {
                // A download ended on this sensor frame: it is served now.
                m_answerWaiting = false;
                heard = true;
            } else {
                listen();
                heard = m_waitExpired == false && m_running;
                m_waitExpired = false;
            }
            if (!m_running)
                break;
            if (!heard)
                continue;

            const auto *a = reinterpret_cast<const uint8_t *>(m_answer.constData());
            if (m_answer.size() < answer::CheckedLength)
                continue;
            const uint32_t sn = answer::read16(a, answer::SerialNumberLow);
            int row = m_model->find_row(sn);
            if (row < 0) {
                qDebug() << QStringLiteral("sensor received not in the list sensor received :")
                         << hex4(sn);
                continue;
            }
            if (m_model->sensor(row).served)
                continue;

            m_model->compute_selection(sn, m_selection);
            refresh_row_from_answer(sn, rowrefresh::AfterDetection);
            row = m_model->find_row(sn);
            if (row < 0)
                continue;
            const SensorRecord &rec = m_model->sensor(row).record;
            if (isRelayType(rec.sensor_type) && m_listening.phase == 1)
                m_listening.countdown = 2;
            if (m_announceCurrent) {
                if (rec.relay_address != 0)
                    relay_add_current_sensor(sn, rec.relay_address);
                else
                    set_current_sensor(sn);
            }

            LinkWait::yield();
            if (!m_running)
                break;
            const int result = sensor_action_cycle(sn);
            m_progress.downloadEnded();
            m_listenAddress = command::Everyone;
            row = m_model->find_row(sn);
            if (row < 0)
                continue;
            const uint16_t relay = m_model->sensor(row).record.relay_address;
            if (result == Served) {
                served(sn, row);
            } else if (result == NoAnswer) {
                qDebug() << hex4(sn) << QStringLiteral("Error when applying settings");
                releaseCurrent(relay);
            } else if (result == FilesLeftOpen && m_announceCurrent) {
                qDebug() << hex4(sn) << QStringLiteral("Download interrupt, listen all sensor");
                releaseCurrent(relay);
            }
            if (!m_running)
                break;
            bool all = true;
            for (int r = 0; r < m_model->size() && all; ++r)
                all = m_model->sensor(r).served;
            if (all) {
                completed = true;
                break;
            }
        }
        if (!completed)
            markUnserved();
    }
    m_model->clear_pending_marks();
    emit finished();
    if (m_running)
        stop_run();
    if (m_forgetOwed && m_link->isOpen() && !m_link->isBusy())
        forgetDongleLists();
    m_listening = ListenPhases();
    m_listening.phase = 0;
}

void ActionRun::stampClock(command::Block &payload, uint8_t subSecondBase) const
{
    const QDateTime now = QDateTime::currentDateTime();
    command::putBcdDateTime(payload.data() + command::ClockBytes, now);
    // Byte 8 comes from nothing the operator or the sensor ever sets.
    payload[command::WindowEndBytes] = 0;
    payload[command::SubSecondByte] =
        uint8_t(subSecondBase + command::subSecondByte(now.time().msec()));
}

int ActionRun::sensor_action_cycle(uint32_t serialNumber)
{
    command::Block payload;
    prepareNewData(serialNumber);
    const int relay = m_model->build_param_payload(serialNumber, m_selection, payload);
    if (relay < 0)
        return NoAnswer;
    m_listenAddress = uint16_t(relay);
    const actionblock::Choice choice = m_model->choice();
    int row = m_model->find_row(serialNumber);
    const bool nothingToSet = payload[command::FlagsByte] == 0 &&
                              payload[command::MemoryOperationByte] != command::WriteEeprom;

    if (!nothingToSet && !m_model->sensor(row).record.download_started) {
        const uint8_t subSecondBase = payload[command::SubSecondByte];
        m_timedOut = false;
        m_connectionTimer.start(ParameterWaitMs);
        for (;;) {
            bool got = false;
            m_announceCurrent = false;
            for (int i = 0; i < ParameterSends && m_running && !got; ++i) {
                // The clock is taken anew for every send, so the one the sensor keeps is the
                // time of the send it took.
                if (choice.setTime)
                    stampClock(payload, subSecondBase);
                m_link->sendSensorCommand(serialNumber, command::SensorFunction, payload,
                                          uint16_t(relay));
                got = receiveAnswer(uint16_t(serialNumber)) == ManageSerialPort::AnswerSensorFrame;
            }
            m_announceCurrent = true;
            // Through a closed port nothing comes: the run's listening waits for the dongle.
            while (!got && m_running && !m_timedOut && m_link->isOpen())
                got = receiveAnswer(uint16_t(serialNumber)) == ManageSerialPort::AnswerSensorFrame;
            if (!got) {
                m_connectionTimer.stop();
                return NoAnswer;
            }
            if (!choice.anyDownload()) {
                m_connectionTimer.stop();
                refresh_row_from_answer(serialNumber, rowrefresh::AfterAction);
                break;
            }
            const auto *a = reinterpret_cast<const uint8_t *>(m_answer.constData());
            const uint16_t start = answer::read16(a, answer::FirstPage);
            const uint16_t end = answer::read16(a, answer::LastPage);
            row = m_model->find_row(serialNumber);
            if (row < 0)
                return NoAnswer;
            // The "no page" mark is the sensor saying its window holds no sample: asking again
            // brings the same answer at every wake, for ever.
            if (start == answer::NoPage || end == answer::NoPage) {
                qDebug() << QStringLiteral("no page range in the answer");
                m_connectionTimer.stop();
                refresh_row_from_answer(serialNumber, rowrefresh::AfterAction);
                end_download(*m_model, row,
                             choice.downloadNew ? DownloadEnd::NothingNew : DownloadEnd::NoData);
                return Served;
            }
            if (!m_model->sensor(row).record.download_started)
                read_page_range(serialNumber);
            qDebug() << QStringLiteral("start page : ") << start << QStringLiteral("end page : ")
                     << end;
            m_connectionTimer.stop();
            refresh_row_from_answer(serialNumber, rowrefresh::AfterAction);
            break;
        }
    }
    row = m_model->find_row(serialNumber);
    if (row < 0)
        return NoAnswer;
    if (choice.anyDownload() && m_model->sensor(row).record.sensor_type != 0)
        return download_pages(serialNumber) ? FilesLeftOpen : Served;
    return Served;
}
