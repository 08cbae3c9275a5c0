#include "manageserialport.h"

#include "apiframe.h"
#include "clockfields.h"
#include "commandset.h"
#include "hextext.h"
#include "loraframe.h"
#include "portwatcher.h"
#include "settings.h"
#include "wait.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

ManageSerialPort::ManageSerialPort()
    : m_port(new QSerialPort(this)), m_timer1(new QTimer), m_clock(new QElapsedTimer),
      m_loraPoll(new QTimer), m_watcher(new PortWatcher(this)), m_health(new QTimer(this))
{
    // A port whose device vanished says so only when it is read; a quiet link is read once a
    // second so the operator learns of an unplugged dongle without having to use it.
    connect(m_health, &QTimer::timeout, this, &ManageSerialPort::checkPortAlive);
    m_health->start(1000);
    connect(m_timer1, &QTimer::timeout, this, &ManageSerialPort::timeout_timer1);
    connect(m_loraPoll, &QTimer::timeout, this, &ManageSerialPort::read_lora);
    connect(m_watcher, &PortWatcher::deviceDiscovered, this, &ManageSerialPort::onDeviceAttached);
    connect(m_watcher, &PortWatcher::deviceRemoved, this, &ManageSerialPort::onDeviceRemoved);
    connect(m_port, &QSerialPort::errorOccurred, this, &ManageSerialPort::onPortError);
    m_clock->start();
    m_preambleNormal = settings::readInt(settings::key::PreambleNormal, m_preambleNormal);
    m_preambleWakeUp = settings::readInt(settings::key::PreambleWakeUp, m_preambleWakeUp);
    qDebug() << QStringLiteral("pr_size_norm") << m_preambleNormal;
    qDebug() << QStringLiteral("pr_size_rev") << m_preambleWakeUp;
}

ManageSerialPort::~ManageSerialPort()
{
    if (m_port->isOpen())
        m_port->close();
    qDebug() << QStringLiteral("Objet ManageSerialPort détruit");
    delete m_timer1;
    delete m_loraPoll;
    delete m_clock;
}

QString ManageSerialPort::devicePath(const QString &portName)
{
    if (portName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return QStringLiteral("\\\\.\\") + portName;
    return portName;
}

QString ManageSerialPort::portName() const
{
    return m_port->portName();
}

bool ManageSerialPort::isOpen() const
{
    return m_port->isOpen();
}

bool ManageSerialPort::openPort(const QString &portName)
{
    m_loraPoll->stop();
    m_port->setPortName(devicePath(portName));
    if (m_port->isOpen())
        m_port->close();
    m_removalReported = false;
    if (!m_port->open(QIODevice::ReadWrite)) {
        qDebug() << QStringLiteral("Error opening port !");
        return false;
    }
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);

    m_linkMode = Api802154;
    applyBaudRate();
    m_receiveTimeout = 40;
    loadLinkSettings();
    delayMs(200);
    if (read_chan() != 0)
        return true;

    m_linkMode = Lora;
    applyBaudRate();
    if (!detectLora()) {
        m_port->close();
        qDebug() << QStringLiteral("Error opening port");
        m_loraPoll->stop();
        return false;
    }
    m_accumulation.clear();
    delayMs(5);
    qDebug() << QStringLiteral("send config");
    sendLoraConfiguration();
    return true;
}

void ManageSerialPort::closePort()
{
    m_loraPoll->stop();
    if (m_port->isOpen())
        m_port->close();
}

void ManageSerialPort::applyBaudRate()
{
    int rate = m_baudRate;
    if (m_linkMode == Api802154) {
        if (settings::contains(settings::key::BaudRadio)) {
            const int wanted = settings::readInt(settings::key::BaudRadio, 0);
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
    m_port->setBaudRate(rate);
}

void ManageSerialPort::loadLinkSettings()
{
    m_timeoutBase = settings::readInt(settings::key::TimeoutBase, settings::defaults::TimeoutBase);
    m_timeoutCoeffOver4 =
        settings::readInt(settings::key::TimeoutCoeffOver4, settings::defaults::TimeoutCoeffOver4);
    m_apiDestination = settings::readHex(settings::key::AddressApi, m_apiDestination);
}

int ManageSerialPort::pendingBytes()
{
    if (!m_port->isOpen())
        return 0;
    // QSerialPort only moves bytes from the driver from the event loop or a wait; pull them now.
    m_port->waitForReadyRead(0);
    return m_port->isOpen() ? static_cast<int>(m_port->bytesAvailable()) : 0;
}

QByteArray ManageSerialPort::readPending()
{
    if (pendingBytes() <= 0)
        return {};
    return m_port->readAll();
}

void ManageSerialPort::flushInput()
{
    readPending();
    m_shared.clear();
}

void ManageSerialPort::requestStop()
{
    m_stopRequest = true;
    emit stop_com();
}

bool ManageSerialPort::sendFrame(const QByteArray &bytes)
{
    if (!m_port->isOpen()) {
        qDebug() << QStringLiteral("/!\\ sendFrame : Port not open !");
        return false;
    }
    const qint64 written = m_port->write(bytes);
    if (written < 0) {
        qDebug() << QStringLiteral("/!\\ Error sending value") << m_port->errorString() << written;
        return false;
    }
    // Hand the bytes to the driver now: the waits that follow poll for the answer.
    m_port->waitForBytesWritten(0);
    return true;
}

void ManageSerialPort::reportLinkOk()
{
    if (m_port->isOpen() && m_linkErrorReported) {
        qDebug() << QStringLiteral("no error com");
        m_linkErrorReported = false;
        emit noErrorCom();
    }
}

void ManageSerialPort::startWait(int ms)
{
    m_timeoutFlag = false;
    m_timer1->start(ms);
}

void ManageSerialPort::timeout_timer1()
{
    m_timeoutFlag = true;
}

void ManageSerialPort::stop_rx()
{
    m_rxStopRequest = true;
}

void ManageSerialPort::refresh_serial()
{
    if (m_rxLock)
        return;
    m_shared.append(readPending());
}

void ManageSerialPort::onDeviceAttached(const QSerialPortInfo &)
{
    emit com_change();
}

void ManageSerialPort::onDeviceRemoved(const QSerialPortInfo &)
{
    emit com_change();
    emit comclose();
}

bool ManageSerialPort::portHungUp() const
{
#ifdef Q_OS_UNIX
    // After a hang-up the device reads as end-of-file and errno says nothing useful, so the
    // error the port reports may be a plain read error: ask the descriptor itself.
    if (!m_port->isOpen() || m_port->handle() < 0)
        return false;
    pollfd fd{static_cast<int>(m_port->handle()), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL));
#else
    return false;
#endif
}

void ManageSerialPort::checkPortAlive()
{
    if (!m_port->isOpen() || m_removalReported)
        return;
    if (portHungUp())
        onPortError(QSerialPort::ResourceError);
    else
        m_port->waitForReadyRead(0); // what this pulls in stays buffered for the next read
}

void ManageSerialPort::onPortError(QSerialPort::SerialPortError error)
{
    // The device behind an open port went away (a dongle pulled out, the far end of a pty
    // closed). The port is useless from here on: close it and say so once.
    if (m_removalReported)
        return;
    if (error != QSerialPort::ResourceError && !(error == QSerialPort::ReadError && portHungUp()))
        return;
    m_removalReported = true;
    qDebug() << QStringLiteral("/!\\ port lost");
    m_loraPoll->stop();
    QTimer::singleShot(0, this, [this] {
        if (m_port->isOpen())
            m_port->close();
        emit com_change();
        emit comclose();
    });
}

// ---- API frames ----

bool ManageSerialPort::sendTxFrame()
{
    return sendFrame(m_txFrame.toByteArray());
}

bool ManageSerialPort::sendApiFrame(const QByteArray &body, uint8_t retries)
{
    const QByteArray frame = api::buildFrame(body);
    if (frame.isEmpty() || !m_txFrame.setData(frame)) {
        qDebug() << QStringLiteral("/!\\ API body refused, length") << body.size();
        return false;
    }
    bool sent = false;
    int attempts = retries + 1;
    while (attempts-- > 0 && !(sent = sendTxFrame())) {
    }
    return sent;
}

bool ManageSerialPort::sendSensorCommand(uint32_t serialNumber, uint8_t function,
                                         const char data[17], uint16_t relay)
{
    m_txFrame.buildSensorFrame(api::sensorCommandPayload(serialNumber, function, data));
    const QByteArray sensorFrame = m_txFrame.toByteArray();
    const uint16_t destination = static_cast<uint16_t>(serialNumber & 0xFFFF);
    const QByteArray body = relay == 0 ? api::txDirectBody(destination, sensorFrame)
                                       : api::txRelayBody(destination, relay, sensorFrame);
    const bool sent = sendApiFrame(body, 0);
    if (!sent)
        qDebug() << QStringLiteral("/!\\ Emission problem");
    return sent;
}

QByteArray ManageSerialPort::receiveApiFrame(uint64_t addressFilter)
{
    startWait(m_receiveTimeout);
    m_lastSource = 0;
    int extensions = 10;
    api::ReceiveAssembler frame(addressFilter);
    bool failed = false;
    for (;;) {
        if (pendingBytes() > 0) {
            m_accumulation.append(m_port->readAll());
            if (m_accumulation.isEmpty()) {
                qDebug() << QStringLiteral("/!\\ error in number of bytes read");
                failed = true;
                break;
            }
            frame.feed(m_accumulation);
            // whatever followed a complete frame in the same read is dropped with the rest
            m_accumulation.clear();
        }
        QCoreApplication::processEvents();
        if (frame.complete())
            break;
        if (!m_timeoutFlag) {
            delayMs(1);
            continue;
        }
        if (frame.inFrame() && --extensions > 0) {
            startWait(10);
            delayMs(1);
            continue;
        }
        break;
    }
    m_timer1->stop();
    if (failed || !frame.complete())
        return {};
    if (frame.hasSource())
        m_lastSource = frame.source();
    if (frame.hasRssi())
        m_lastRssi = frame.rssi();
    return frame.data();
}

bool ManageSerialPort::receiveIntoLastFrame(uint64_t addressFilter)
{
    m_rxFrame.clear();
    const QByteArray data = receiveApiFrame(addressFilter);
    if (data.isEmpty())
        return false;
    return m_rxFrame.setData(data);
}

int ManageSerialPort::read_chan()
{
    qDebug() << QStringLiteral("read_chan");
    int channel = 0;
    for (int attempt = 3; attempt > 0 && channel == 0; --attempt) {
        qDebug() << attempt;
        sendApiFrame(QByteArray(1, char(api::ReadChannel)), 0);
        receiveIntoLastFrame(0xFFFF);
        const uint8_t *d = m_rxFrame.data();
        if (m_rxFrame.length() >= 2 && d[0] == api::ReadChannel
            && unsigned(d[1] - api::FirstChannel) <= unsigned(api::LastChannel - api::FirstChannel))
            channel = d[1];
    }
    qDebug() << QStringLiteral("chan ") << channel;
    return channel;
}

uint8_t ManageSerialPort::readDongleVersion()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!sendApiFrame(QByteArray(1, char(api::ReadVersion)), 0))
            return 0;
        readPending();
        startWait(500);
        while (!m_timeoutFlag) {
            if (pendingBytes() == 1) {
                m_timer1->stop();
                char version = 0;
                m_port->getChar(&version);
                qDebug() << QStringLiteral("ver : ") << QChar(QLatin1Char(version));
                return static_cast<uint8_t>(version);
            }
            delayMs(1);
        }
        m_timer1->stop();
    }
    return 0;
}

bool ManageSerialPort::sendAndWaitAck(const QByteArray &body, uint16_t addressFilter)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        sendApiFrame(body, 0);
        const int previous = m_receiveTimeout;
        m_receiveTimeout = 100;
        const QByteArray answer = receiveApiFrame(addressFilter);
        m_receiveTimeout = previous;
        qDebug() << answer.size() << Qt::hex
                 << (answer.isEmpty() ? 0 : static_cast<uint8_t>(answer[0])) << Qt::dec;
        if (answer.size() == 1 && static_cast<uint8_t>(answer[0]) == api::Ack)
            return true;
    }
    return false;
}

bool ManageSerialPort::sendAndWaitMarker(const QByteArray &body)
{
    for (int remaining = 3; remaining >= 0; --remaining) {
        startWait(200);
        readPending();
        sendApiFrame(body, 0);
        bool marked = false;
        while (!m_timeoutFlag && !marked) {
            delayMs(1);
            marked = readPending().contains(char(api::Marker));
        }
        m_timer1->stop();
        qDebug() << QStringLiteral("n_try") << remaining;
        if (marked)
            return true;
    }
    return false;
}

// ---- Sensor answers and page frames ----

int ManageSerialPort::receiveSensorAnswer(uint16_t addressFilter)
{
    m_receiveTimeout = m_timeoutBase;
    if (!receiveIntoLastFrame(addressFilter))
        return 0;
    int result = 0;
    switch (m_rxFrame.data()[0]) {
    case FrameBuffer::Start: {
        const int check = m_rxFrame.checkSensorFrame();
        if (check != 0)
            qDebug() << QStringLiteral("write validation auto : error nb ") << check;
        else
            result = 1;
        break;
    }
    case command::RssiLists:
        result = 2;
        break;
    case command::RelayListAck:
        result = 3;
        break;
    case command::RelayChannel:
        result = 4;
        break;
    case api::Ack:
        result = 5;
        break;
    default:
        break;
    }
    if (result != 0) {
        qDebug() << result;
        reportLinkOk();
    }
    return result;
}

int ManageSerialPort::receivePageFrame(uint16_t addressFilter, uint16_t timeoutMs)
{
    startWait(timeoutMs);
    m_accumulation.clear();
    m_lastSource = 0;
    int expected = 10;
    int extensions = 10;

    // The moves out of the shared buffer are guarded so refresh_serial(), which a timer runs
    // inside our waits, never appends while we take from the front.
    const auto take = [this](int count) {
        m_rxLock = true;
        m_accumulation.append(m_shared.left(count));
        m_shared.remove(0, count);
        m_rxLock = false;
    };

    while (m_shared.size() < 3) {
        if (m_timeoutFlag) {
            qDebug() << QStringLiteral("timeout") << true;
            m_timer1->stop();
            return 0;
        }
        delayMs(1);
        QCoreApplication::processEvents();
    }
    take(3);
    if (static_cast<uint8_t>(m_accumulation[0]) != api::Delimiter) {
        qDebug() << QStringLiteral("missing 7E");
        m_timer1->stop();
        return 3;
    }
    expected = (static_cast<uint8_t>(m_accumulation[1]) << 8) | static_cast<uint8_t>(m_accumulation[2]);
    if (expected > api::MaxBody) {
        qDebug() << QStringLiteral("/!\\ frame length too large") << expected;
        m_timer1->stop();
        return 3;
    }

    bool rejected = false;
    for (;;) {
        if (!rejected && m_shared.size() > expected) {
            take(expected + 1);
            const api::PageFrame frame = api::parsePageFrame(m_accumulation, addressFilter);
            if (frame.status == api::PageFrame::BadChecksum) {
                // A broken frame: the caller flushes and asks for these pages again.
                m_timer1->stop();
                m_accumulation.clear();
                return 3;
            }
            if (frame.status == api::PageFrame::Accepted) {
                m_timer1->stop();
                m_accumulation.clear();
                if (frame.hasSource)
                    m_lastSource = frame.source;
                m_lastRssi = frame.rssi;
                if (!m_rxFrame.setData(frame.data))
                    return 0;
                if (expected == api::TwoPageLength)
                    return 1;
                if (expected == api::OnePageLength)
                    return 4;
                return m_rxFrame.checkSensorFrame() == 0 ? 2 : 0;
            }
            rejected = true;
        }
        if (!m_timeoutFlag) {
            delayMs(1);
        } else if (!rejected && --extensions > 0) {
            startWait(10);
        } else {
            break;
        }
        QCoreApplication::processEvents();
    }
    m_timer1->stop();
    return expected > 10 ? 3 : 0;
}

// ---- LoRa dongle ----

QByteArray ManageSerialPort::extractLoraFrame()
{
    const lora::Extracted out = lora::extractLoraFrame(m_accumulation);
    m_loraError = out.error;
    return out.payload;
}

void ManageSerialPort::read_lora()
{
    const QByteArray in = readPending();
    // A second frame that came in the same read is still whole in the buffer: deliver it on
    // this tick even though the port is quiet.
    if (in.isEmpty() && !lora::holdsWork(m_accumulation))
        return;
    m_accumulation.append(in);
    if (m_accumulation.size() <= 3)
        return;
    const QByteArray payload = extractLoraFrame();
    if (!m_loraError.isEmpty())
        emit error_rx();
    if (!payload.isEmpty()) {
        m_lastLoraFrame = payload;
        m_newLoraFrame = true;
        emit new_frame();
    }
}

bool ManageSerialPort::detectLora()
{
    delayMs(200);
    sendApiFrame(QByteArray(1, char(api::LoraPresence)), 0);
    m_loraPoll->start(1);
    QEventLoop loop;
    connect(this, &ManageSerialPort::new_frame, &loop, &QEventLoop::quit);
    connect(m_timer1, &QTimer::timeout, &loop, &QEventLoop::quit);
    startWait(1500);
    m_newLoraFrame = false;
    for (;;) {
        loop.exec();
        if (m_newLoraFrame && m_lastLoraFrame.size() == lora::PresenceLength
            && static_cast<uint8_t>(m_lastLoraFrame[0]) == lora::Presence) {
            m_timer1->stop();
            qDebug() << QStringLiteral("lora detected");
            return true;
        }
        m_newLoraFrame = false;
        if (m_timeoutFlag || !m_port->isOpen()) {
            m_timer1->stop();
            m_loraPoll->stop();
            return false;
        }
    }
}

bool ManageSerialPort::setLoraConfig(const QByteArray &frame, int tries)
{
    while (tries > 0) {
        m_newLoraFrame = false;
        m_timeoutFlag = false;
        sendApiFrame(frame, 1);
        qDebug() << QStringLiteral("tx");
        startWait(1000);
        QEventLoop loop;
        connect(this, &ManageSerialPort::new_frame, &loop, &QEventLoop::quit);
        connect(m_timer1, &QTimer::timeout, &loop, &QEventLoop::quit);
        while (!m_timeoutFlag && m_port->isOpen()) {
            loop.exec();
            if (m_newLoraFrame && m_lastLoraFrame == frame) {
                m_timer1->stop();
                qDebug() << QStringLiteral("set conf ok");
                return true;
            }
            m_newLoraFrame = false;
        }
        m_timer1->stop();
        --tries;
    }
    return false;
}

void ManageSerialPort::sendLoraConfiguration()
{
    for (int i = 0; i < settings::defaults::LoraConfigCount; ++i) {
        const QString key = settings::key::loraConfig(i);
        const QString text = settings::readString(key, settings::defaults::loraConfigText(i));
        if (i >= 6 && text.isEmpty())
            continue;
        const bool ok = setLoraConfig(QByteArray::fromHex(text.toLatin1()), 3);
        qDebug() << ok;
    }
}

QByteArray ManageSerialPort::buildLoraRequest(uint32_t serialNumber, int preambleSize,
                                              uint8_t data[17])
{
    // Every attempt carries the clock of its own sending plus the time it spends on the air:
    // stamping after building would send the clock of the previous attempt, seconds old after
    // a wake-up wait, and the sensor would accept it as right.
    if (data[0] & command::SetClock)
        clockfields::write(data,
                           QDateTime::currentDateTime().addMSecs(lora::airTimeMs(preambleSize)));
    return lora::requestBody(serialNumber, preambleSize, data);
}

bool ManageSerialPort::sendframe(uint32_t serialNumber, int preambleSize, uint8_t data[17],
                                 int overallTimeoutMs)
{
    if (m_stopRequest)
        return false;
    const int ackWindow = lora::acknowledgementWindowMs(preambleSize);
    m_newLoraFrame = false;
    m_timeoutFlag = false;
    QEventLoop loop;
    QTimer ackTimer;
    ackTimer.setSingleShot(true);
    connect(this, &ManageSerialPort::new_frame, &loop, &QEventLoop::quit);
    connect(m_timer1, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &ManageSerialPort::stop_com, &loop, &QEventLoop::quit);
    connect(&ackTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_timer1->start(overallTimeoutMs);

    const auto frameOfKind = [this](uint8_t kind) {
        return m_newLoraFrame && !m_lastLoraFrame.isEmpty()
               && static_cast<uint8_t>(m_lastLoraFrame[0]) == kind;
    };
    bool complete = false;
    for (;;) {
        const QByteArray body = buildLoraRequest(serialNumber, preambleSize, data);
        qDebug() << m_clock->elapsed() << QStringLiteral("sendframe") << hexText(body);
        sendApiFrame(body, 1);

        bool accepted = false;
        ackTimer.start(ackWindow);
        for (;;) {
            m_newLoraFrame = false;
            loop.exec();
            if (frameOfKind(lora::Ack)) {
                qDebug() << m_clock->elapsed() << hexText(m_lastLoraFrame);
                accepted = m_lastLoraFrame.size() >= 2
                           && static_cast<uint8_t>(m_lastLoraFrame[1]) == lora::Accepted;
                break;
            }
            // The overall time-out ends the wait as well: nothing sent after it would count.
            if (!ackTimer.isActive() || m_stopRequest || m_timeoutFlag || !m_port->isOpen())
                break;
        }
        ackTimer.stop();
        if (!accepted) {
            if (m_timeoutFlag || m_stopRequest || !m_port->isOpen())
                break;
            continue;
        }

        ackTimer.start(100);
        for (;;) {
            m_newLoraFrame = false;
            loop.exec();
            if (frameOfKind(lora::Answer)) {
                qDebug() << m_clock->elapsed() << hexText(m_lastLoraFrame);
                complete = true;
                break;
            }
            if (!ackTimer.isActive() || m_stopRequest || !m_port->isOpen())
                break;
        }
        ackTimer.stop();
        if (complete || m_timeoutFlag || m_stopRequest || !m_port->isOpen())
            break;
    }
    m_timer1->stop();
    return complete;
}

bool ManageSerialPort::sendLoraCommand(uint32_t serialNumber, uint8_t data[17])
{
    m_stopRequest = false;
    if (!sendframe(serialNumber, m_preambleNormal, data, 700)
        && !sendframe(serialNumber, m_preambleWakeUp, data, 65000))
        return false;
    if (data[0] != command::LoraFragmented) {
        QByteArray answer = QByteArray::fromHex("C0000000") + m_lastLoraFrame;
        // A one-byte answer has no second byte to repeat: the radio's "no extra byte" value.
        answer.append(m_lastLoraFrame.size() >= 2 ? m_lastLoraFrame[1] : char(0xFF));
        return m_rxFrame.setData(answer);
    }
    return reassembleFragments();
}

bool ManageSerialPort::reassembleFragments()
{
    QByteArray assembled;
    int expected = 0;
    QEventLoop loop;
    QTimer window;
    window.setSingleShot(true);
    connect(this, &ManageSerialPort::new_frame, &loop, &QEventLoop::quit);
    connect(&window, &QTimer::timeout, &loop, &QEventLoop::quit);
    window.start(350);
    // The 0x02 answer that completed the transaction is fragment 0.
    m_newLoraFrame = true;
    for (;;) {
        if (m_newLoraFrame && !m_lastLoraFrame.isEmpty()
            && static_cast<uint8_t>(m_lastLoraFrame[0]) == lora::Answer) {
            const QByteArray &f = m_lastLoraFrame;
            qDebug() << m_clock->elapsed() << hexText(f);
            const int number = f.size() >= 3 ? static_cast<uint8_t>(f[2]) : 0;
            if (number != expected) {
                qDebug() << QStringLiteral("error frag: expected:") << expected
                         << QStringLiteral("    received:") << number;
                while (window.isActive() && m_port->isOpen())
                    loop.exec();
                return false;
            }
            if (expected == 0)
                assembled.append(f.left(lora::FragmentHeader));
            assembled.append(f.mid(lora::FragmentHeader, lora::FragmentData));
            if (++expected == lora::Fragments)
                return m_rxFrame.setData(assembled);
        }
        m_newLoraFrame = false;
        if (!window.isActive() || !m_port->isOpen())
            return false;
        loop.exec();
    }
}
