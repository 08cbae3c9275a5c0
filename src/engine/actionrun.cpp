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
    : QObject(parent), m_model(model), m_link(link)
{
    for (QTimer *t :
         {&m_connectionTimer, &m_relayRefreshTimer}) {
        t->setSingleShot(true);
        // A listening window is a lower bound: a coarse timer ends it up to 5 % early, and a
        // device answering near its end is lost.
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_connectionTimer, &QTimer::timeout, this, &ActionRun::time_out);
    connect(&m_relayRefreshTimer, &QTimer::timeout, this, &ActionRun::refresh_relay);
    // Every wait ends at once from now on: the run ends as on a stop, rather than spin.
    connect(&LinkWait::quitNotice(), &QuitNotice::quitting, this, [this] {
        if (action_running)
            stop_run();
    });
}

ActionRun::~ActionRun() = default;

void ActionRun::time_out()
{
    m_connectionTimer.stop();
    timeout_flag = true;
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

    if (const std::optional<Refusal> refused = folder_refusal(hooks.ensureFolder, folder)) {
        if (action_running)
            stop_run();
        if (!refused->title.isEmpty())
            emit failed(refused->title, refused->text);
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
        m_model->edit(r).record.download_end = DownloadEnd::None;
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

    const Refusal refusal = pending_refusal(*m_model, m_model->mark_pending_changes());
    if (refusal.title.isEmpty())
        return true;
    stop_run();
    emit failed(refusal.title, refusal.text);
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
    const int windowMs = listening.phase == 1                  ? ListenMsRelayPoll
                         : listening.phase == ListenPhases::Last ? ListenMsLate
                                                                 : ListenMsSettled;
    // The window runs from here: the relay poll and refresh below are part of it.
    LinkWait window(nullptr, windowMs); // a stop may end it (through current())
    switch (listening.phase) {
    case 1:
        if (m_polls.size() == 0) {
            listening.phase = 2;
            listening.countdown = 4;
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
    while (action_running) {
        if (window.over() || !m_link->isOpen()) {
            wait_expired = true;
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

void actionrun::mark_unserved(FleetModel &model, bool portTimedOut)
{
    const QString &why = portTimedOut ? Timeout : Interrupted;
    for (int r = 0; r < model.size(); ++r) {
        if (model.sensor(r).served)
            continue;
        model.set_status(r, why, FM::Red);
        qDebug() << hex4(model.sensor(r).record.serial_number) << why;
    }
}

bool ActionRun::wait_for_link()
{
    if (m_link->isOpen())
        return true;
    if (!actionrun::await_port(*m_link, action_running, m_portTimedOut, [this] { stop_run(); }))
        return false;
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
    emit sensorServed(serialNumber);
    m_polls.remove(uint16_t(serialNumber));
}

void ActionRun::action_run()
{
    action_running = true;
    progress.start(m_model->size());
    bool completed = false;
    resetDownloadStats();
    m_portTimedOut = false;
    m_checks.clear();
    m_link->dropStaleInput();
    if (prepare()) {
        for (;;) {
            bool heard = false;
            if (answer_waiting) {
                // A download ended on this sensor frame: it is served now.
                answer_waiting = false;
                heard = true;
            } else {
                listen();
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

            LinkWait::yield();
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
        if (!completed)
            actionrun::mark_unserved(*m_model, m_portTimedOut);
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
            row = m_model->find_row(serialNumber);
            if (row < 0)
                return NoAnswer;
            // The "no page" mark is the sensor saying its window holds no sample: asking again
            // brings the same answer at every wake, for ever.
            if (start == answer::NoPage || end == answer::NoPage) {
                qDebug() << QStringLiteral("no page range in the answer");
                m_connectionTimer.stop();
                refresh_row_from_answer(serialNumber, rowrefresh::AfterAction);
                end_download(*m_model, row, DownloadEnd::NoData);
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
