#include "detection.h"
#include "linkwait.h"

#include "commandset.h"
#include "manageserialport.h"
#include "relaylist.h"
#include "rowrefresh.h"
#include "sensoranswer.h"

#include <QCoreApplication>
#include <QDebug>

namespace
{
using FM = FleetModel;
} // namespace

const QString Detection::Waiting = QStringLiteral("Waiting for sensor");

Detection::Detection(FleetModel *model, ManageSerialPort *link, radiopaths::RadioPaths *paths,
                     QObject *parent)
    : QObject(parent), m_model(model), m_link(link), m_paths(paths)
{
    m_connectionTimer.setSingleShot(true);
    // A silent second is a whole second: a coarse timer may fire a few percent early.
    m_connectionTimer.setTimerType(Qt::PreciseTimer);
    m_relayRefreshTimer.setSingleShot(true);
    m_relayRefreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_connectionTimer, &QTimer::timeout, this, &Detection::time_out);
    connect(&m_relayRefreshTimer, &QTimer::timeout, this, &Detection::refresh_relay);
    connect(&LinkWait::quitNotice(), &QuitNotice::quitting, this, [this] {
        if (m_running)
            stop();
    });
}

Detection::~Detection() = default;

bool Detection::running() const
{
    return m_running && m_link->isOpen();
}

void Detection::time_out()
{
    m_connectionTimer.stop();
    m_timedOut = true;
}

bool Detection::sendBody(const QByteArray &body)
{
    return m_link->sendApiFrame(body, 0);
}

void Detection::sendBodies(const QVector<QByteArray> &bodies)
{
    for (const QByteArray &body : bodies) {
        if (const uint16_t relay = command::relayListTarget(body))
            relaylist::send_confirmed(*m_link, body, relay, [this] { return running(); });
        else
            sendBody(body);
    }
}

bool Detection::dongle_add_sensor(uint32_t serialNumber)
{
    return relaylist::dongle_add_sensor(*m_link, serialNumber);
}

bool Detection::sensor_ack_direct(uint32_t serialNumber)
{
    return relaylist::sensor_ack_direct(*m_link, serialNumber);
}

bool Detection::relay_register_sensor(uint32_t serialNumber, uint16_t relay)
{
    return relaylist::send_confirmed(
        *m_link, radiopaths::relay_register_sensor(uint16_t(serialNumber), relay), relay);
}

bool Detection::relay_release_sensor(uint32_t serialNumber, uint16_t relay)
{
    return relaylist::send_confirmed(
        *m_link, radiopaths::relay_release_sensor(uint16_t(serialNumber), relay), relay);
}

void Detection::refresh_relay()
{
    m_relayRefreshTimer.stop();
    // The timer fires inside the link's waits, where no body can go out: the detection loop
    // sends it between two receives instead.
    if (m_link->isBusy()) {
        m_refreshOwed = true;
    } else {
        m_refreshOwed = false;
        m_refreshing = true;
        sendBody(command::relayRefreshBody());
        m_refreshing = false;
    }
    if (m_running)
        m_relayRefreshTimer.start(RelayRefreshMs);
}

void Detection::takeAnswer()
{
    m_answer = QByteArray(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
}

bool Detection::refresh_row_from_answer(uint32_t serialNumber, int mode)
{
    rowrefresh::Context c;
    c.lora = m_link->linkMode() == ManageSerialPort::Lora;
    c.detection = m_running;
    c.frameRssi = m_link->lastRssi();
    c.paths = m_paths;
    QVector<QByteArray> bodies;
    c.bodies = &bodies;
    const bool ok = rowrefresh::refresh_row_from_answer(*m_model, serialNumber, mode, m_answer, c);
    sendBodies(bodies);
    return ok;
}

QVector<radiopaths::ListView> Detection::show_rssi_lists()
{
    const QVector<radiopaths::ListView> views = m_paths->show_rssi_lists(*m_model);
    emit rssiListsShown(views);
    return views;
}

void Detection::stop()
{
    m_running = false;
    m_timedOut = false;
    m_connectionTimer.stop();
    m_relayRefreshTimer.stop();
}

void Detection::resetRows()
{
    radiopaths::RadioPaths::reset_paths(*m_model);
    emit rssiListsShown(QVector<radiopaths::ListView>(radiopaths::ListViews));
    LinkWait::pauseFor(1);
    for (int r = 0; r < m_model->size(); ++r)
        m_model->set_status(r, Waiting);
}

// A silent second: ask for the lists and call every device directly and through every relay.
void Detection::callEveryone()
{
    sendBody(command::rssiListsBody(command::Everyone));
    sendBody(command::rawRelayBody(command::Everyone, command::Everyone, command::Attention));
    sendBody(command::rawDirectBody(command::Everyone, command::Attention));
}

void Detection::sensorFrame()
{
    takeAnswer();
    if (m_answer.size() < answer::CheckedLength)
        return;
    const auto *a = reinterpret_cast<const uint8_t *>(m_answer.constData());
    const uint16_t sn = answer::read16(a, answer::SerialNumberLow);
    if (command::isRelayType(a[answer::SensorType]))
        sendBodies(m_paths->acknowledge_announcement(sn, m_currentRelay));
    int row = m_model->find_row(sn);
    if (row < 0)
        row = m_model->insert_sensor(sn);
    if (row < 0)
        return; // serial number 0, or a full list
    m_model->edit(row).detected = true;
    refresh_row_from_answer(sn, rowrefresh::AfterDetection);
    // Sending may have let the operator remove or add rows.
    row = m_model->find_row(sn);
    if (row < 0)
        return;
    const uint16_t relay = m_model->sensor(row).record.relay_address;
    if (relay == 0)
        sensor_ack_direct(sn);
    else
        relay_release_sensor(sn, relay);
    emit sensorDetected(sn);
}

void Detection::waitForAnnounced(uint16_t serialNumber)
{
    LinkWait window(nullptr, AnnouncedWaitMs); // a stop may end it (through current())
    while (!window.over() && running()) {
        if (m_link->receiveSensorAnswer(serialNumber) == ManageSerialPort::AnswerSensorFrame) {
            takeAnswer();
            refresh_row_from_answer(serialNumber, rowrefresh::AfterDetection);
            return;
        }
        LinkWait::yield();
    }
}

void Detection::handle_rssi_list()
{
    // A list that comes while one is handled (from inside a wait for a relay's
    // acknowledgement) is dropped: the next silent second asks for every list again.
    if (m_listBusy) {
        qDebug() << "rssi list dropped while one is handled";
        return;
    }
    m_listBusy = true;
    const QByteArray data(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
    const radiopaths::RadioPaths::Handled handled = m_paths->handle_rssi_list(
        *m_model, m_link->lastSourceAddress(), uint8_t(m_link->lastRssi()), data, m_running);
    sendBodies(handled.bodies);
    for (uint16_t sn : handled.announced)
        if (running())
            waitForAnnounced(sn);
    m_listBusy = false;
}

void Detection::detect_sensors()
{
    m_running = true;
    m_ranOut = false;
    m_currentRelay = command::Everyone;
    m_link->dropStaleInput();
    dongle_add_sensor(0);
    m_model->reset_marks();
    m_timedOut = false;
    resetRows();
    refresh_relay();

    // A pass is a second, and the call goes out at the end of every second, whatever was heard
    // in it. Waiting for a whole silent second instead starves a busy fleet: with a few dozen
    // sensors one wakes every fraction of a second, and the lists and the calls that find the
    // relays and the always-listening devices would hardly ever go out. Counting every frame as
    // a pass would likewise cut the ten minutes to a few, fewer the more relays report.
    int seconds = 0;
    m_timedOut = false;
    m_connectionTimer.start(SecondMs);
    while (running() && seconds < m_maxPasses) {
        if (m_refreshOwed)
            refresh_relay();
        int code = ManageSerialPort::NoAnswer;
        while (code == ManageSerialPort::NoAnswer && !m_timedOut && running()) {
            if (m_refreshing) {
                LinkWait::pauseFor(2);
                continue;
            }
            code = m_link->receiveSensorAnswer(command::Everyone);
            if (code == ManageSerialPort::NoAnswer)
                LinkWait::yield();
        }
        if (!running())
            break;
        qDebug() << "frame_type" << code;
        switch (code) {
        case ManageSerialPort::NoAnswer:
            ++seconds;
            callEveryone();
            m_timedOut = false;
            m_connectionTimer.start(SecondMs);
            break;
        case ManageSerialPort::AnswerSensorFrame:
            sensorFrame();
            break;
        case ManageSerialPort::AnswerRssiLists:
            handle_rssi_list();
            break;
        default:
            break;
        }
    }

    m_connectionTimer.stop();
    m_relayRefreshTimer.stop();
    m_model->clear_pending_marks();
    if (m_running && seconds >= m_maxPasses) {
        m_ranOut = true;
        stop();
        emit ranOut();
    } else {
        stop();
        for (int r = 0; r < m_model->size(); ++r)
            if (m_model->sensor(r).status == Waiting)
                m_model->set_status(r, QString());
    }
    show_rssi_lists();
}
