#include "actionrun.h"

#include "commandset.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "page.h"
#include "pagerange.h"
#include "rowrefresh.h"
#include "sensoranswer.h"
#include "wait.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <algorithm>

namespace
{
using FM = FleetModel;

constexpr int ListenMsSettled = 2500; // phases 0 and 2
constexpr int ListenMsRelayPoll = 500;
constexpr int ListenMsLate = 1000;
constexpr int RelayRefreshMs = 15000;
constexpr int ParameterWaitMs = 2500;
constexpr int DownloadWaitMs = 600000;
constexpr int ReadListMs = 200;
constexpr int ParameterSends = 4;
constexpr int RelayListTries = 3;
constexpr int PageAttempts = 3;
constexpr int PageWaitShortMs = 400; // devices that always listen answer at once
constexpr int PageWaitMs = 2800;
constexpr int PollMs = 5;
constexpr int MaxFrames = 3969; // a whole ring and one: a stream that never ends stops here
// How long a run waits for a dongle that went away: as long as a whole download may take, time
// enough to find the dongle and plug it in again.
constexpr int PortBackMs = DownloadWaitMs;
constexpr int PortPollMs = 50;

const QString WaitResponse = QStringLiteral("Wait for sensor response");
const QString Interrupted = QStringLiteral("Action Interrupted by User");
const QString Timeout = QStringLiteral("Connection Timeout");
const QString WriteError = QStringLiteral("Error writing data in file");

QString hex4(uint32_t serialNumber)
{
    return QStringLiteral("%1").arg(serialNumber & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

bool isRelayType(uint8_t type)
{
    return type == 6 || type == 8;
}

bool alwaysListening(uint32_t serialNumber)
{
    return serialNumber >= command::AlwaysListeningFrom;
}

// Relays and always-listening devices answer at once and may be asked again for a lost frame;
// a battery sensor that missed one has gone back to sleep.
bool pagesMayBeAskedAgain(const SensorRecord &rec)
{
    return isRelayType(rec.sensor_type) ||
           (rec.sensor_type == 0 && alwaysListening(rec.serial_number));
}

} // namespace

ActionRun::ActionRun(FleetModel *model, ManageSerialPort *link, QObject *parent)
    : QObject(parent), m_model(model), m_link(link)
{
    for (QTimer *t :
         {&m_connectionTimer, &m_sendActionTimer, &m_relayRefreshTimer, &m_readListTimer})
        t->setSingleShot(true);
    connect(&m_connectionTimer, &QTimer::timeout, this, &ActionRun::time_out);
    connect(&m_sendActionTimer, &QTimer::timeout, this, &ActionRun::timeout_send_action);
    connect(&m_relayRefreshTimer, &QTimer::timeout, this, &ActionRun::refresh_relay);
    connect(&m_readListTimer, &QTimer::timeout, this, [this] { m_readListExpired = true; });
    connect(&m_pollTimer, &QTimer::timeout, m_link, &ManageSerialPort::refresh_serial);
}

ActionRun::~ActionRun() = default;

void ActionRun::time_out()
{
    m_connectionTimer.stop();
    timeout_flag = true;
}

void ActionRun::timeout_send_action()
{
    m_sendActionTimer.stop();
    wait_expired = true;
}

void ActionRun::tick()
{
    if (!action_running)
        return;
    listening.tick();
    m_model->age_contacts();
}

bool ActionRun::sendBody(const QByteArray &body)
{
    return m_link->sendApiFrame(body, 0);
}

bool ActionRun::dongle_add_sensor(uint32_t serialNumber)
{
    const QByteArray body = radiopaths::dongle_add_sensor(uint16_t(serialNumber));
    if (body.isEmpty())
        return true;
    const bool sent = sendBody(body);
    delayMs(2);
    return sent;
}

bool ActionRun::sensor_ack_direct(uint32_t serialNumber)
{
    const QByteArray body = radiopaths::sensor_ack_direct(uint16_t(serialNumber));
    if (body.isEmpty())
        return true;
    const bool sent = sendBody(body);
    delayUs(500);
    return sent;
}

bool ActionRun::set_current_sensor(uint32_t serialNumber)
{
    if (alwaysListening(serialNumber))
        return true;
    const bool sent = sendBody(command::setCurrentBody(uint16_t(serialNumber)));
    delayUs(500);
    return sent;
}

// A relay answers each list body with its whole list; the body took effect when the list says
// so.
bool ActionRun::sendRelayListBody(const QByteArray &body, uint16_t relay)
{
    if (body.isEmpty())
        return true;
    for (int attempt = 0; attempt < RelayListTries; ++attempt) {
        if (!sendBody(body))
            continue;
        m_readListExpired = false;
        m_readListTimer.start(ReadListMs);
        while (!m_readListExpired) {
            const int r = m_link->receiveSensorAnswer(relay);
            if (r != ManageSerialPort::AnswerRelayListAck) {
                QCoreApplication::processEvents();
                continue;
            }
            const QByteArray ack(reinterpret_cast<const char *>(m_link->lastFrameData()),
                                 m_link->lastFrameLength());
            if (radiopaths::relay_ack_confirms(body, ack)) {
                m_readListTimer.stop();
                return true;
            }
        }
    }
    return false;
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
        const uint8_t op = uint8_t(body[0]);
        // 0x40/0x41/0x43, serial number, relay: the relay answers them.
        if ((op == command::RelayRegister || op == command::RelayRelease ||
             op == command::RelayAddCurrent) &&
            body.size() >= 5)
            sendRelayListBody(body, uint16_t((uint8_t(body[3]) << 8) | uint8_t(body[4])));
        else
            sendBody(body);
    }
}

void ActionRun::handle_rssi_list()
{
    const QByteArray data(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
    const radiopaths::RadioPaths::Handled handled = paths.handle_rssi_list(
        *m_model, m_link->lastSourceAddress(), uint8_t(m_link->lastRssi()), data, false);
    sendBodies(handled.bodies);
}

void ActionRun::refresh_relay()
{
    m_relayRefreshTimer.stop();
    if (!download_running && !m_link->isBusy()) {
        refresh_in_progress = true;
        sendBody(command::relayRefreshBody());
        refresh_in_progress = false;
    }
    if (action_running)
        m_relayRefreshTimer.start(RelayRefreshMs);
}

bool ActionRun::refresh_row_from_answer(uint32_t serialNumber, int mode)
{
    rowrefresh::Context c;
    c.lora = m_link->linkMode() == ManageSerialPort::Lora;
    c.downloadRunning = download_running;
    c.selectedChannelMask = selected_channel_mask;
    c.selectedPeriodCode = selected_period_code;
    c.frameRssi = m_link->lastRssi();
    c.paths = &paths;
    QVector<QByteArray> bodies;
    c.bodies = &bodies;
    const bool ok = rowrefresh::refresh_row_from_answer(*m_model, serialNumber, mode, m_answer, c);
    sendBodies(bodies);
    return ok;
}

int ActionRun::receiveAnswer(uint16_t filter)
{
    if (refresh_in_progress) {
        delayMs(2);
        return ManageSerialPort::NoAnswer;
    }
    const int r = m_link->receiveSensorAnswer(filter);
    if (r == ManageSerialPort::AnswerSensorFrame)
        takeAnswer();
    else if (r == ManageSerialPort::AnswerRssiLists)
        handle_rssi_list();
    if (r != ManageSerialPort::AnswerSensorFrame)
        QCoreApplication::processEvents();
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
    m_pollTimer.stop();
    m_connectionTimer.stop();
    m_sendActionTimer.stop();
    action_running = false;
    progress.finish();
    // From inside a wait of the run the link refuses another exchange: the run sends the
    // bodies itself once that wait is over.
    if (m_link->isBusy()) {
        m_forgetOwed = true;
        if (LinkWait *wait = LinkWait::current())
            wait->stop();
    } else if (m_link->isOpen() && m_link->linkMode() == ManageSerialPort::Api802154) {
        forgetDongleLists();
    }
    m_model->files().closeAll();
    for (int r = 0; r < m_model->size(); ++r)
        m_model->edit(r).record.download_started = false;
    if (m_link->isOpen() && !m_link->isBusy())
        m_link->flushInput();
    emit stopped();
}

void ActionRun::forgetDongleLists()
{
    m_forgetOwed = false;
    dongle_add_sensor(0);
    for (const radiopaths::RssiList &relay : paths.relays())
        relay_register_sensor(0, relay.address);
}

bool ActionRun::prepare()
{
    listening = ListenPhases();
    listen_address = command::Everyone;
    announce_current = true;
    dongle_add_sensor(0);
    answer_waiting = false;

    bool folderReady;
    if (hooks.ensureFolder) {
        folderReady = hooks.ensureFolder();
    } else {
        folderReady = QDir().mkpath(folder);
        if (!folderReady) {
            qDebug() << QStringLiteral("output folder can't be created :") << folder;
            stop_run();
            emit failed(QStringLiteral("Folder Creation Failed"),
                        QStringLiteral("The folder ") + QDir(folder).absolutePath() +
                            QStringLiteral(" can't be created"));
        }
    }
    if (!folderReady) {
        if (action_running)
            stop_run();
        return false;
    }

    for (int r = 0; r < m_model->size(); ++r) {
        FM::Sensor &s = m_model->edit(r);
        SensorRecord &rec = s.record;
        s.served = false;
        rec.download_started = false;
        m_model->files().close(rec.serial_number);
        rec.answer_state[0] = 0;
        rec.answer_state[2] = 255;
        rec.relay_address = 0;
        rec.rssi = 255;
        rec.direct_age = SensorRecord::NoContact;
        rec.path_age = SensorRecord::NoContact;
        m_model->setText(r, FM::ColRssi, QString());
    }

    paths.clear();

    m_polls.clear();
    for (int r = 0; r < m_model->size(); ++r) {
        const SensorRecord &rec = m_model->sensor(r).record;
        dongle_add_sensor(rec.serial_number);
        if (radiopaths::always_listening(rec.sensor_type, uint16_t(rec.serial_number)) &&
            m_polls.append({uint16_t(rec.serial_number), rec.relay_address})) {
            qDebug() << QStringLiteral("relay") << hex4(rec.serial_number)
                     << hex4(rec.relay_address) << m_polls.size() - 1;
        }
        m_model->set_status(r, WaitResponse, FM::Black);
    }

    download_running = false;
    m_model->reset_row_colours();
    if (m_model->choice().anyDownload()) {
        for (int r = 0; r < m_model->size(); ++r) {
            m_model->edit(r).record.current_page = 0;
            m_model->edit(r).record.download_started = false;
        }
    }

    const int marked = m_model->mark_pending_changes();
    if (marked == 0)
        return true;
    stop_run();
    if (marked == 1) {
        emit failed(QStringLiteral("Missing sensor info"),
                    QStringLiteral("Please click refresh sensor info by clicking send action "
                                   "without action"));
    } else {
        const int row = m_model->pending_failure_row();
        const uint32_t sn =
            m_model->isSensorRow(row) ? m_model->sensor(row).record.serial_number : 0;
        emit failed(QStringLiteral("Action failed"),
                    QStringLiteral("No channel selected for recording on sensor ") +
                        QString::number(sn, 16));
    }
    return false;
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
    wait_expired = false;
    if (!m_link->isOpen()) {
        // Nothing is heard through a closed port: this turn is over either way.
        wait_expired = true;
        wait_for_link();
        return;
    }
    sendBody(command::rssiListsBody(listen_address));
    switch (listening.phase) {
    case 1:
        m_sendActionTimer.start(ListenMsRelayPoll);
        if (m_polls.size() == 0) {
            listening.phase = 2;
            listening.countdown = 4;
        } else {
            pollRelay(false);
        }
        break;
    case ListenPhases::Last:
        m_sendActionTimer.start(ListenMsLate);
        pollRelay(true);
        break;
    default:
        m_sendActionTimer.start(ListenMsSettled);
        refresh_relay();
        break;
    }
    while (!wait_expired && action_running) {
        if (receiveAnswer(command::Everyone) == ManageSerialPort::AnswerSensorFrame)
            break;
        if (!m_link->isOpen()) {
            wait_expired = true;
            break;
        }
    }
}

bool ActionRun::wait_for_link()
{
    if (m_link->isOpen())
        return true;
    qDebug() << QStringLiteral("port lost, waiting for the dongle");
    m_pollTimer.stop();
    // A plain event loop: the bar's reconnection, the timers and a stop all come as events, and
    // the port is looked at a few times a second rather than in a busy loop.
    QEventLoop loop;
    QTimer poll;
    QTimer deadline;
    deadline.setSingleShot(true);
    bool late = false;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (m_link->isOpen() || !action_running)
            loop.quit();
    });
    connect(&deadline, &QTimer::timeout, &loop, [&] {
        late = true;
        loop.quit();
    });
    poll.start(PortPollMs);
    deadline.start(PortBackMs);
    loop.exec();
    if (!action_running)
        return false;
    if (late) {
        qDebug() << QStringLiteral("the dongle did not come back");
        m_portTimedOut = true;
        stop_run();
        return false;
    }
    if (!m_link->isOpen()) {
        // The loop returned without being told to: the application is quitting, and every
        // further event loop would return at once.
        stop_run();
        return false;
    }
    qDebug() << QStringLiteral("port open again, listening");
    // A dongle that was unplugged lost its power and with it the sensors it was told about.
    for (int r = 0; r < m_model->size(); ++r)
        if (!m_model->sensor(r).served)
            dongle_add_sensor(m_model->sensor(r).record.serial_number);
    listen_address = command::Everyone;
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
    // The row may have moved while the dongle was told.
    row = m_model->find_row(serialNumber);
    if (row >= 0)
        m_model->edit(row).served = true;
    progress.served(serialNumber);
    m_polls.remove(uint16_t(serialNumber));
}

void ActionRun::action_run()
{
    action_running = true;
    progress.start(m_model->size());
    bool completed = false;
    m_pageReRequests = 0;
    m_portTimedOut = false;
    m_checks.clear();
    if (prepare()) {
        for (;;) {
            bool heard = false;
            if (answer_waiting) {
                // A download ended on this sensor frame: it is served now.
                answer_waiting = false;
                heard = true;
            } else {
                listen();
                m_sendActionTimer.stop();
                heard = wait_expired == false && action_running;
                wait_expired = false;
            }
            if (!action_running)
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

            FM::Selection sel{selected_channel_mask, selected_period_code};
            m_model->compute_selection(sn, sel);
            selected_channel_mask = sel.channelMask;
            selected_period_code = sel.periodCode;
            refresh_row_from_answer(sn, rowrefresh::AfterDetection);
            row = m_model->find_row(sn);
            if (row < 0)
                continue;
            const SensorRecord &rec = m_model->sensor(row).record;
            if (isRelayType(rec.sensor_type) && listening.phase == 1)
                listening.countdown = 2;
            if (announce_current) {
                if (rec.relay_address != 0)
                    relay_add_current_sensor(sn, rec.relay_address);
                else
                    set_current_sensor(sn);
            }

            QCoreApplication::processEvents();
            if (!action_running)
                break;
            const int result = sensor_action_cycle(sn);
            progress.downloadEnded();
            listen_address = command::Everyone;
            row = m_model->find_row(sn);
            if (row < 0)
                continue;
            const uint16_t relay = m_model->sensor(row).record.relay_address;
            if (result == Served) {
                served(sn, row);
            } else if (result == NoAnswer) {
                qDebug() << hex4(sn) << QStringLiteral("Error when applying settings");
                releaseCurrent(relay);
            } else if (result == FilesLeftOpen && announce_current) {
                qDebug() << hex4(sn) << QStringLiteral("Download interrupt, listen all sensor");
                releaseCurrent(relay);
            }
            if (!action_running)
                break;
            bool all = true;
            for (int r = 0; r < m_model->size() && all; ++r)
                all = m_model->sensor(r).served;
            if (all) {
                completed = true;
                break;
            }
        }
        if (!completed) {
            for (int r = 0; r < m_model->size(); ++r) {
                if (m_model->sensor(r).served)
                    continue;
                const QString &why = m_portTimedOut ? Timeout : Interrupted;
                m_model->set_status(r, why, FM::Red);
                qDebug() << hex4(m_model->sensor(r).record.serial_number) << why;
            }
        }
    }
    m_model->clear_pending_marks();
    emit finished();
    if (action_running)
        stop_run();
    if (m_forgetOwed && m_link->isOpen() && !m_link->isBusy())
        forgetDongleLists();
    listening = ListenPhases();
    listening.phase = 0;
}

void ActionRun::stampClock(uint8_t payload[17], uint8_t subSecondBase) const
{
    const QDateTime now = QDateTime::currentDateTime();
    command::putBcdDateTime(payload + command::ClockBytes, now);
    // Byte 8 comes from nothing the operator or the sensor ever sets.
    payload[command::WindowEndBytes] = 0;
    payload[command::SubSecondByte] =
        uint8_t(subSecondBase + command::subSecondByte(now.time().msec()));
}

int ActionRun::sensor_action_cycle(uint32_t serialNumber)
{
    uint8_t payload[command::BlockSize];
    const int relay = m_model->build_param_payload(
        serialNumber, FM::Selection{selected_channel_mask, selected_period_code}, payload);
    if (relay < 0)
        return NoAnswer;
    listen_address = uint16_t(relay);
    const actionblock::Choice choice = m_model->choice();
    int row = m_model->find_row(serialNumber);
    const bool nothingToSet = payload[command::FlagsByte] == 0 &&
                              payload[command::MemoryOperationByte] != command::WriteEeprom;

    if (!nothingToSet && !m_model->sensor(row).record.download_started) {
        const uint8_t subSecondBase = payload[command::SubSecondByte];
        timeout_flag = false;
        m_connectionTimer.start(ParameterWaitMs);
        for (;;) {
            bool got = false;
            announce_current = false;
            for (int i = 0; i < ParameterSends && action_running && !got; ++i) {
                // The clock is taken anew for every send, so the one the sensor keeps is the
                // time of the send it took.
                if (choice.setTime)
                    stampClock(payload, subSecondBase);
                m_link->sendSensorCommand(serialNumber, command::SensorFunction,
                                          reinterpret_cast<const char *>(payload), uint16_t(relay));
                got = receiveAnswer(uint16_t(serialNumber)) == ManageSerialPort::AnswerSensorFrame;
            }
            announce_current = true;
            // Through a closed port nothing comes: the run's listening waits for the dongle.
            while (!got && action_running && !timeout_flag && m_link->isOpen())
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
            if (start == answer::NoPage || end == answer::NoPage) {
                qDebug() << QStringLiteral("no page range in the answer, sent again");
                if (action_running && !timeout_flag)
                    continue;
                m_connectionTimer.stop();
                return NoAnswer;
            }
            row = m_model->find_row(serialNumber);
            if (row < 0)
                return NoAnswer;
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

void ActionRun::read_page_range(uint32_t serialNumber)
{
    const int row = m_model->find_row(serialNumber);
    const std::optional<pagerange::Range> range = pagerange::readRange(m_answer);
    if (row < 0 || !range)
        return;
    SensorRecord &rec = m_model->edit(row).record;
    rec.start_page = range->start;
    rec.end_page = range->end;
    rec.page_count = range->pageCount;
    qDebug() << QStringLiteral("start page : ") << rec.start_page << QStringLiteral("end : ")
             << rec.end_page;
}

bool ActionRun::request_pages(uint32_t serialNumber, uint16_t firstPage, uint8_t count)
{
    const bool sent = sendBody(command::pageRequestBody(uint16_t(serialNumber), firstPage, count));
    delayUs(500);
    return sent;
}

bool ActionRun::request_pages_relay(uint32_t serialNumber, uint16_t firstPage, uint16_t count,
                                    uint16_t relay)
{
    const bool sent =
        sendBody(command::pageRequestRelayBody(uint16_t(serialNumber), relay, firstPage, count));
    delayMs(1);
    return sent;
}

bool ActionRun::decode_pages(uint32_t serialNumber, int count)
{
    // Every page the download accepts comes through here, whatever the file makes of it.
    progress.pagesReceived(count);
    pagedecode::Options options;
    const actionblock::Choice &choice = m_model->choice();
    options.debugColumns = debug_enabled;
    options.window = choice.downloadBetween;
    options.from = choice.windowStart;
    options.to = choice.windowEnd;
    const auto create = [this, serialNumber] {
        if (hooks.createFiles)
            return hooks.createFiles(serialNumber);
        return m_model->files().create(serialNumber, folder, pdc_enabled, nullptr).ok;
    };
    m_lastDecode = m_model->decode_pages(serialNumber, count, m_link->lastFrameData(),
                                         m_link->lastFrameLength(), options, create,
                                         [] { QCoreApplication::processEvents(); });
    if (m_lastDecode == FM::Decoded::NotCreated && action_running)
        stop_run();
    return m_lastDecode == FM::Decoded::Ok;
}

void ActionRun::showProgress(int row, int next)
{
    const SensorRecord &rec = m_model->sensor(row).record;
    const int percent = pagerange::progress(rec.start_page, rec.end_page, next, rec.page_count);
    m_model->set_status(row, QString::number(percent) + QStringLiteral(" % downloaded"), FM::Black);
}

void ActionRun::closeDownload(uint32_t serialNumber)
{
    m_model->files().close(serialNumber);
}

bool ActionRun::download_pages(uint32_t serialNumber)
{
    int row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    download_running = true;
    SensorRecord *rec = &m_model->edit(row).record;
    const uint16_t start = rec->start_page;
    const uint16_t end = rec->end_page;
    const uint16_t pageCount = rec->page_count;
    const uint16_t relay = rec->relay_address;
    if (!pagerange::fitsRing(start, end, pageCount)) {
        download_running = false;
        return true;
    }
    const uint16_t waitMs = isRelayType(rec->sensor_type) ? PageWaitShortMs : PageWaitMs;
    const bool askAgain = pagesMayBeAskedAgain(*rec);
    timeout_flag = false;
    m_connectionTimer.start(DownloadWaitMs);
    if (!rec->download_started) {
        rec->download_started = true;
        rec->current_page = start;
        m_checks.remove(serialNumber);
    }
    const int toFetch = pagerange::pagesLeft(start, end, pageCount);
    progress.downloadStarted(toFetch,
                             toFetch - pagerange::pagesLeft(rec->current_page, end, pageCount));

    bool complete = false;
    bool lastDecoded = false;
    bool writeFailed = false;
    int frames = 0;
    while (action_running && !timeout_flag && !complete) {
        row = m_model->find_row(serialNumber);
        if (row < 0)
            break;
        const int count =
            pagerange::nextRequest(m_model->sensor(row).record.current_page, end, pageCount).count;
        if (count == 0)
            break;
        const auto ask = [&] {
            const uint16_t first = m_model->sensor(row).record.current_page;
            qDebug() << QStringLiteral("new request");
            announce_current = false;
            if (relay != 0)
                request_pages_relay(serialNumber, first, uint16_t(count), relay);
            else
                request_pages(serialNumber, first, uint8_t(count));
            m_pollTimer.start(PollMs);
            m_link->flushInput();
        };
        ask();
        int pages = 0;
        while (pages < count && !complete && action_running && !timeout_flag) {
            int r = ManageSerialPort::NoPage;
            for (int attempt = 0; attempt < PageAttempts; ++attempt) {
                announce_current = false;
                while (refresh_in_progress)
                    delayMs(2);
                if (isRelayType(m_model->sensor(row).record.sensor_type) && listening.phase == 1)
                    listening.countdown = 2;
                // Every source is heard: a sensor that wakes meanwhile is served next instead
                // of being lost to the address filter.
                r = m_link->receivePageFrame(command::Everyone, waitMs);
                if (r != ManageSerialPort::NoPage || !action_running || timeout_flag)
                    break;
                // The port closes from the event queue once its loss was seen.
                QCoreApplication::processEvents();
                if (!m_link->isOpen()) {
                    // Cut as after a lost frame: the files stay open and download_started set,
                    // so the sensor's next answer resumes from current_page into them once the
                    // dongle is back.
                    qDebug() << QStringLiteral("port lost during download :") << hex4(serialNumber)
                             << m_model->sensor(row).record.current_page;
                    download_running = false;
                    m_pollTimer.stop();
                    announce_current = true;
                    return true;
                }
                qDebug() << QStringLiteral("error com p. : ")
                         << m_model->sensor(row).record.current_page;
                if (!askAgain || attempt == PageAttempts - 1) {
                    download_running = false;
                    m_pollTimer.stop();
                    m_link->flushInput();
                    qDebug() << QStringLiteral("flag_dl_interrupt");
                    announce_current = true;
                    return true;
                }
                m_pollTimer.stop();
                m_link->flushInput();
                ask();
            }
            if (r == ManageSerialPort::NoPage)
                break;
            if (r == ManageSerialPort::PageSensorFrame) {
                // Another sensor woke: the run serves it next, and this one resumes later.
                takeAnswer();
                qDebug() << QStringLiteral("sensor frame during download, served next :")
                         << hex4(m_link->lastSourceAddress());
                answer_waiting = true;
                download_running = false;
                m_pollTimer.stop();
                m_link->flushInput();
                return true;
            }
            if (r == ManageSerialPort::PageBroken)
                break;
            const uint8_t *d = m_link->lastFrameData();
            const int inFrame = r == ManageSerialPort::TwoPages ? 2 : 1;
            row = m_model->find_row(serialNumber);
            if (row < 0)
                break;
            rec = &m_model->edit(row).record;
            rec->rssi = uint8_t(m_link->lastRssi());
            const int page = (d[1] << 8) | d[2];
            if (m_link->lastSourceAddress() == uint16_t(serialNumber) &&
                page == rec->current_page) {
                ++frames;
                // The frame's checksum is a byte sum: a damaged page it passes would be wrong
                // rows in the file for good.
                const int usable = checkedPages(serialNumber, page, inFrame);
                if (usable > 0) {
                    lastDecoded = decode_pages(serialNumber, usable);
                    writeFailed = m_lastDecode == FM::Decoded::NotWritten;
                    row = m_model->find_row(serialNumber);
                    if (row < 0 || !action_running || writeFailed)
                        break;
                    rec = &m_model->edit(row).record;
                    const int next = page + usable;
                    complete = pagerange::completes(page, usable, end);
                    showProgress(row, next);
                    rec->current_page = pagerange::wrap(next, pageCount);
                    pages += usable;
                    if (complete)
                        qDebug() << hex4(serialNumber) + QStringLiteral(" : download finish");
                    if (frames >= MaxFrames)
                        complete = true;
                }
                // A refused page ends this request; the next one starts from it.
                if (usable < inFrame && !complete)
                    break;
            }
            QCoreApplication::processEvents();
        }
        if (writeFailed)
            break;
        m_pollTimer.stop();
    }

    download_running = false;
    m_pollTimer.stop();
    announce_current = true;
    row = m_model->find_row(serialNumber);
    if (row < 0)
        return true;
    if (!lastDecoded)
        m_model->set_status(row, WriteError, FM::Red);
    if (writeFailed) {
        // A full disk stays full: the pages already written are whole in the files, the rest
        // would only fail again. The sensor stops streaming, the files close, and its status
        // keeps the error.
        m_connectionTimer.stop();
        if (relay != 0)
            request_pages_relay(0, 0, 0, relay);
        else
            request_pages(0, 0, 0);
        m_model->edit(row).record.download_started = false;
        closeDownload(serialNumber);
        endDownloadLine(serialNumber);
        return false;
    }
    if (complete) {
        m_connectionTimer.stop();
        SensorRecord &done = m_model->edit(row).record;
        done.download_started = false;
        // A file that failed on the last page keeps its error: "complete" would hide it.
        if (lastDecoded) {
            if (done.samples_written > 0)
                m_model->set_status(row, QStringLiteral("Download Complete"), FM::DarkGreen);
            else
                m_model->set_status(row, QStringLiteral("No data in file, check dates"), FM::Red);
        }
        m_model->setColour(row, FM::ColSn, FM::DarkGreen);
        if (relay != 0)
            request_pages_relay(0, 0, 0, relay);
        closeDownload(serialNumber);
        endDownloadLine(serialNumber);
        return false;
    }
    if (!action_running) {
        request_pages(0, 0, 0);
        m_model->set_status(row, QStringLiteral("Download Interrupted by user"), FM::Red);
        closeDownload(serialNumber);
        endDownloadLine(serialNumber);
        return false;
    }
    if (timeout_flag) {
        m_model->set_status(row, Timeout, FM::Red);
        closeDownload(serialNumber);
        endDownloadLine(serialNumber);
        return false;
    }
    return true;
}

int ActionRun::checkedPages(uint32_t serialNumber, int page, int inFrame)
{
    const int row = m_model->find_row(serialNumber);
    const SensorRecord &rec = m_model->sensor(row).record;
    // The page after the last one, or past the end of memory, is not part of this download.
    if (page == rec.end_page || page >= rec.page_count - 1)
        inFrame = 1;
    PageChecks &checks = m_checks[serialNumber];
    const uint8_t *frame = m_link->lastFrameData();
    for (int k = 0; k < inFrame; ++k) {
        const uint8_t *bytes = frame + page::FrameFirstPage + k * page::Size;
        const int number = page + k;
        const auto *previous = checks.previous.isEmpty()
                                   ? nullptr
                                   : reinterpret_cast<const uint8_t *>(checks.previous.constData());
        const pagecheck::Reason reason =
            pagecheck::check(bytes, number, number, rec.sensor_type, previous);
        const int before = checks.retry.reRequests();
        if (checks.retry.onPage(number, bytes, reason) != pagecheck::RetryRule::Action::Accept) {
            m_pageReRequests += checks.retry.reRequests() - before;
            qDebug() << QStringLiteral("page refused :") << number << pagecheck::reasonName(reason);
            emit pageRefused(serialNumber, number);
            return k;
        }
        if (reason != pagecheck::Reason::None)
            qDebug() << QStringLiteral("page taken as the sensor holds it :") << number
                     << pagecheck::reasonName(reason);
        checks.previous = QByteArray(reinterpret_cast<const char *>(bytes), page::Size);
    }
    return inFrame;
}

void ActionRun::endDownloadLine(uint32_t serialNumber)
{
    qDebug() << hex4(serialNumber) << QStringLiteral("pages requested again :")
             << m_checks.value(serialNumber).retry.reRequests();
}
