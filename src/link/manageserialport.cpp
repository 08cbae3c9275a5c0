#include "manageserialport.h"

#include "apiexchange.h"
#include "dongleloader.h"
#include "frametap.h"
#include "linkwait.h"
#include "loader.h"
#include "loraexchange.h"
#include "serialtransport.h"
#include "settings.h"

#include <QDebug>

// Marks one exchange: refuses it when another is under way (it was started from inside that
// one's wait), and tells the windows when the link is busy.
class ManageSerialPort::Exchange
{
public:
    Exchange(ManageSerialPort *link, const char *name) : m_link(link)
    {
        if (link->m_busy) {
            qDebug() << QStringLiteral("/!\\ link busy, refused :") << QString::fromLatin1(name);
            m_refused = true;
            return;
        }
        link->m_busy = true;
        emit link->busyChanged(true);
    }
    ~Exchange()
    {
        if (m_refused)
            return;
        m_link->m_busy = false;
        emit m_link->busyChanged(false);
    }
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;
    bool refused() const { return m_refused; }

private:
    ManageSerialPort *m_link;
    bool m_refused = false;
};

ManageSerialPort::ManageSerialPort(const LinkSettings &settings)
    : m_settings(settings), m_transport(new SerialTransport(this)),
      m_api(std::make_unique<ApiExchange>(*m_transport, m_txFrame, m_rxFrame)),
      m_lora(new LoraExchange(*m_transport, *m_api, m_rxFrame, this))
{
    connect(m_transport, &SerialTransport::com_change, this, &ManageSerialPort::com_change);
    connect(m_transport, &SerialTransport::comclose, this, &ManageSerialPort::comclose);
    connect(m_transport, &SerialTransport::lost, m_lora, &LoraExchange::stopPolling);
    connect(m_transport, &SerialTransport::tick, this, &ManageSerialPort::drainIdleInput);
    connect(m_lora, &LoraExchange::new_frame, this, &ManageSerialPort::new_frame);
    connect(m_lora, &LoraExchange::error_rx, this, &ManageSerialPort::error_rx);
    m_lora->setPreambles(m_settings.preambleNormal, m_settings.preambleWakeUp);
    m_api->setTimeoutBase(m_settings.timeoutBase);
    qDebug() << QStringLiteral("pr_size_norm") << m_settings.preambleNormal;
    qDebug() << QStringLiteral("pr_size_rev") << m_settings.preambleWakeUp;
}

ManageSerialPort::~ManageSerialPort()
{
    m_lora->stopPolling();
    m_transport->close();
    qDebug() << QStringLiteral("Objet ManageSerialPort détruit");
}

void ManageSerialPort::setSettings(const LinkSettings &settings)
{
    m_settings = settings;
    m_lora->setPreambles(m_settings.preambleNormal, m_settings.preambleWakeUp);
}

QString ManageSerialPort::devicePath(const QString &portName)
{
    if (portName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return QStringLiteral("\\\\.\\") + portName;
    return portName;
}

QString ManageSerialPort::portName() const
{
    return m_transport->portName();
}

FrameTap *ManageSerialPort::frameTap() const
{
    return &m_transport->tap();
}

bool ManageSerialPort::isOpen() const
{
    return m_transport->isOpen();
}

uint16_t ManageSerialPort::lastSourceAddress() const
{
    return m_api->lastSource();
}

int ManageSerialPort::lastRssi() const
{
    return m_api->lastRssi();
}

QByteArray ManageSerialPort::lastLoraFrame() const
{
    return m_lora->lastLoraFrame();
}

QString ManageSerialPort::loraErrorText() const
{
    return m_lora->loraErrorText();
}

int ManageSerialPort::receiveTimeout() const
{
    return m_api->receiveTimeout();
}

void ManageSerialPort::setReceiveTimeout(int ms)
{
    m_api->setReceiveTimeout(ms);
}

int ManageSerialPort::preambleSizeNormal() const
{
    return m_lora->preambleNormal();
}

int ManageSerialPort::preambleSizeWakeUp() const
{
    return m_lora->preambleWakeUp();
}

bool ManageSerialPort::stopRequested() const
{
    return m_lora->stopRequested();
}

int ManageSerialPort::bufferedBytes() const
{
    return m_api->keptBytes() + m_lora->bufferedBytes();
}

bool ManageSerialPort::openPort(const QString &portName)
{
    const Exchange exchange(this, "openPort");
    if (exchange.refused())
        return false;
    m_lora->stopPolling();
    m_openError.clear();
    if (!m_portLock.take(devicePath(portName))) {
        m_openError = m_portLock.error();
        qDebug() << m_openError;
        return false;
    }
    m_transport->tap().setLine(framedecode::Line::Api);
    if (!m_transport->open(devicePath(portName))) {
        qDebug() << QStringLiteral("Error opening port !");
        return false;
    }
    m_api->flush();
    m_lora->clearInput();
    m_droppedBurst = 0;

    m_linkMode = Api802154;
    applyBaudRate();
    m_api->setReceiveTimeout(40);
    m_api->setTimeoutBase(m_settings.timeoutBase);
    if (LinkWait::pauseFor(200, LinkWait::Events::NoInput, m_transport) != LinkWait::TimedOut) {
        // Stopped or quitting before the dongle was asked: no half-open port is left behind.
        m_transport->close();
        return false;
    }
    if (m_api->readChannel() != 0)
        return true;
    if (!m_transport->isOpen())
        return false;

    m_linkMode = Lora;
    m_transport->tap().setLine(framedecode::Line::Lora);
    applyBaudRate();
    if (!m_lora->detectLora()) {
        m_transport->close();
        qDebug() << QStringLiteral("Error opening port");
        m_lora->stopPolling();
        return false;
    }
    m_lora->clearInput();
    LinkWait::pauseFor(5, LinkWait::Events::NoInput, m_transport);
    qDebug() << QStringLiteral("send config");
    m_lora->sendConfiguration(m_settings.loraConfig);
    return m_transport->isOpen();
}

void ManageSerialPort::closePort()
{
    m_lora->stopPolling();
    m_transport->close();
}

void ManageSerialPort::applyBaudRate()
{
    int rate = m_baudRate;
    if (m_linkMode == Api802154) {
        if (m_settings.baudRadio) {
            const int wanted = *m_settings.baudRadio;
            qDebug() << QStringLiteral("baudrate radio") << wanted;
            if (wanted == 111111 || wanted == 250000 || wanted == 1000000)
                rate = wanted;
            // Nothing applied yet and the key names no rate the dongle knows: its usual one.
            else if (rate == 0)
                rate = settings::defaults::BaudRadio;
        } else {
            rate = settings::defaults::BaudRadio;
        }
    } else {
        rate = settings::defaults::LoraBaud;
    }
    qDebug() << QStringLiteral("baud") << rate;
    m_baudRate = rate;
    m_transport->setBaudRate(rate);
}

void ManageSerialPort::drainIdleInput()
{
    // Nothing reads an idle 802.15.4 link, and noise on it would pile up in memory. What a
    // receive can still use stays; one line tells of a burst once it is over.
    const int dropped =
        (!m_busy && !m_api->sharedLocked() && m_linkMode == Api802154 && m_transport->isOpen())
            ? m_api->drainIdle()
            : 0;
    m_droppedBurst += dropped;
    if (dropped == 0 && m_droppedBurst > 0) {
        qDebug() << QStringLiteral("/!\\ dropped") << m_droppedBurst
                 << QStringLiteral("bytes no exchange was waiting for");
        m_droppedBurst = 0;
    }
}

int ManageSerialPort::pageBytesWaiting()
{
    return m_api->pageBytesWaiting();
}

int ManageSerialPort::skipToFrameStart()
{
    return m_api->skipToFrameStart();
}

bool ManageSerialPort::lastPageWasNoise() const
{
    return m_api->lastPageWasNoise();
}

bool ManageSerialPort::wholePageFrameWaiting()
{
    return m_api->wholePageFrameWaiting();
}

void ManageSerialPort::flushInput()
{
    m_api->flush();
}

int ManageSerialPort::flushBeforeRequest()
{
    return m_api->flushForRequest();
}

const LinkHealth &ManageSerialPort::health() const
{
    return m_transport->health();
}

int ManageSerialPort::dropStaleInput()
{
    if (!m_transport->isOpen())
        return 0;
    const int dropped = m_api->flush() + m_lora->dropInput();
    if (dropped > 0)
        qDebug() << QStringLiteral("/!\\ dropped") << dropped
                 << QStringLiteral("bytes that came before the first command");
    return dropped;
}

void ManageSerialPort::requestStop()
{
    m_lora->requestStop();
    emit stop_com();
}

bool ManageSerialPort::sendFrame(const QByteArray &bytes)
{
    return m_transport->write(bytes);
}

void ManageSerialPort::reportLinkOk()
{
    if (m_transport->isOpen() && m_linkErrorReported) {
        qDebug() << QStringLiteral("no error com");
        m_linkErrorReported = false;
        emit noErrorCom();
    }
}

void ManageSerialPort::timeout_timer1()
{
    if (LinkWait *wait = LinkWait::current())
        wait->expire();
}

void ManageSerialPort::stop_rx()
{
    m_rxStopRequest = true;
}

void ManageSerialPort::refresh_serial()
{
    m_api->refreshShared();
}

void ManageSerialPort::read_lora()
{
    m_lora->read_lora();
}

void ManageSerialPort::onDeviceAttached(const QSerialPortInfo &info)
{
    m_transport->onDeviceAttached(info);
}

void ManageSerialPort::onDeviceRemoved(const QSerialPortInfo &info)
{
    m_transport->onDeviceRemoved(info);
}

// ---- API frames ----

bool ManageSerialPort::sendTxFrame()
{
    return m_api->sendTxFrame();
}

bool ManageSerialPort::sendApiFrame(const QByteArray &body, uint8_t retries)
{
    return m_api->sendApiFrame(body, retries);
}

bool ManageSerialPort::sendSensorCommand(uint32_t serialNumber, uint8_t function,
                                         const command::Block &data, uint16_t relay)
{
    return m_api->sendSensorCommand(serialNumber, function, data, relay);
}

QByteArray ManageSerialPort::receiveApiFrame(uint64_t addressFilter)
{
    const Exchange exchange(this, "receiveApiFrame");
    if (exchange.refused())
        return {};
    return m_api->receiveApiFrame(addressFilter);
}

bool ManageSerialPort::receiveIntoLastFrame(uint64_t addressFilter)
{
    const Exchange exchange(this, "receiveIntoLastFrame");
    return !exchange.refused() && m_api->receiveIntoLastFrame(addressFilter);
}

int ManageSerialPort::read_chan()
{
    const Exchange exchange(this, "read_chan");
    return exchange.refused() ? 0 : m_api->readChannel();
}

uint8_t ManageSerialPort::readDongleVersion()
{
    const Exchange exchange(this, "readDongleVersion");
    return exchange.refused() ? 0 : m_api->readDongleVersion();
}

bool ManageSerialPort::sendAndWaitAck(const QByteArray &body, uint16_t addressFilter)
{
    const Exchange exchange(this, "sendAndWaitAck");
    return !exchange.refused() && m_api->sendAndWaitAck(body, addressFilter);
}

bool ManageSerialPort::sendAndWaitMarker(const QByteArray &body)
{
    const Exchange exchange(this, "sendAndWaitMarker");
    return !exchange.refused() && m_api->sendAndWaitMarker(body);
}

// ---- Sensor answers and page frames ----

int ManageSerialPort::receiveSensorAnswer(uint16_t addressFilter)
{
    const Exchange exchange(this, "receiveSensorAnswer");
    if (exchange.refused())
        return NoAnswer;
    const int result = m_api->receiveSensorAnswer(addressFilter);
    if (result != NoAnswer) {
        qDebug() << result;
        reportLinkOk();
    }
    return result;
}

int ManageSerialPort::receivePageFrame(uint16_t addressFilter, uint16_t timeoutMs)
{
    const Exchange exchange(this, "receivePageFrame");
    return exchange.refused() ? int(NoPage)
                              : int(m_api->receivePageFrame(addressFilter, timeoutMs));
}

// ---- LoRa dongle ----

QByteArray ManageSerialPort::extractLoraFrame()
{
    return m_lora->extractLoraFrame();
}

bool ManageSerialPort::detectLora()
{
    const Exchange exchange(this, "detectLora");
    return !exchange.refused() && m_lora->detectLora();
}

bool ManageSerialPort::setLoraConfig(const QByteArray &frame, int tries)
{
    const Exchange exchange(this, "setLoraConfig");
    return !exchange.refused() && m_lora->setLoraConfig(frame, tries);
}

QByteArray ManageSerialPort::buildLoraRequest(uint32_t serialNumber, int preambleSize,
                                              command::Block &data)
{
    return m_lora->buildLoraRequest(serialNumber, preambleSize, data);
}

bool ManageSerialPort::sendframe(uint32_t serialNumber, int preambleSize, command::Block data,
                                 int overallTimeoutMs)
{
    const Exchange exchange(this, "sendframe");
    return !exchange.refused() &&
           m_lora->sendframe(serialNumber, preambleSize, data, overallTimeoutMs);
}

bool ManageSerialPort::sendLoraCommand(uint32_t serialNumber, command::Block data)
{
    const Exchange exchange(this, "sendLoraCommand");
    return !exchange.refused() && m_lora->sendLoraCommand(serialNumber, data);
}

// ---- Dongle firmware ----

int ManageSerialPort::uploadDongleFirmware(const QString &fileName)
{
    const Exchange exchange(this, "uploadDongleFirmware");
    if (exchange.refused())
        return DongleLoader::PortError;
    m_lora->stopPolling();
    DongleLoader loader(*m_transport, *m_api);
    connect(&loader, &DongleLoader::update_program_status, this,
            &ManageSerialPort::update_program_status);
    connect(&loader, &DongleLoader::progress, this, &ManageSerialPort::uploadProgress);
    connect(this, &ManageSerialPort::stop_com, &loader, &DongleLoader::stop);
    const int result = loader.upload(fileName, devicePath(m_transport->portName()));
    if (m_transport->isOpen() && result != DongleLoader::FileError &&
        result != DongleLoader::NotFirmware)
        m_baudRate = loader::BaudRate;
    return result;
}
