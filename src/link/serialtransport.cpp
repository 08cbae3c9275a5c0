#include "serialtransport.h"

#include "portwatcher.h"

#include <QDebug>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

SerialTransport::SerialTransport(QObject *parent)
    : QObject(parent), m_port(new QSerialPort(this)), m_watcher(new PortWatcher(this)),
      m_health(new QTimer(this))
{
    // A port whose device vanished says so only when it is read; a quiet link is looked at once
    // a second so the operator learns of an unplugged dongle without having to use it.
    connect(m_health, &QTimer::timeout, this, [this] {
        checkAlive();
        emit tick();
    });
    m_health->start(1000);
    connect(m_watcher, &PortWatcher::deviceDiscovered, this, &SerialTransport::onDeviceAttached);
    connect(m_watcher, &PortWatcher::deviceRemoved, this, &SerialTransport::onDeviceRemoved);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialTransport::onPortError);
    connect(m_port, &QSerialPort::readyRead, this, &SerialTransport::readyRead);
}

SerialTransport::~SerialTransport()
{
    if (m_port->isOpen())
        m_port->close();
}

bool SerialTransport::open(const QString &devicePath)
{
    m_port->setPortName(devicePath);
    if (m_port->isOpen())
        m_port->close();
    m_lost = false;
    if (!m_port->open(QIODevice::ReadWrite))
        return false;
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    return true;
}

void SerialTransport::close()
{
    m_tap.cut();
    if (m_port->isOpen())
        m_port->close();
}

bool SerialTransport::isOpen() const
{
    return m_port->isOpen();
}

QString SerialTransport::portName() const
{
    return m_port->portName();
}

void SerialTransport::setBaudRate(int rate)
{
    m_port->setBaudRate(rate);
}

int SerialTransport::pendingBytes()
{
    if (!m_port->isOpen())
        return 0;
    // QSerialPort only moves bytes from the driver from the event loop or a wait; pull them now.
    m_port->waitForReadyRead(0);
    return m_port->isOpen() ? static_cast<int>(m_port->bytesAvailable()) : 0;
}

QByteArray SerialTransport::readPending()
{
    if (pendingBytes() <= 0)
        return {};
    const QByteArray in = m_port->readAll();
    if (m_tap.active())
        m_tap.in(in);
    return in;
}

bool SerialTransport::readByte(char *byte)
{
    if (!m_port->isOpen() || !m_port->getChar(byte))
        return false;
    if (m_tap.active())
        m_tap.rawIn(QByteArray(1, *byte));
    return true;
}

bool SerialTransport::write(const QByteArray &bytes)
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
    if (m_tap.active())
        m_tap.out(bytes);
    // Hand the bytes to the driver now: the waits that follow poll for the answer.
    m_port->waitForBytesWritten(0);
    return true;
}

void SerialTransport::onDeviceAttached(const QSerialPortInfo &)
{
    emit com_change();
}

void SerialTransport::onDeviceRemoved(const QSerialPortInfo &)
{
    emit com_change();
    emit comclose();
}

bool SerialTransport::portHungUp() const
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

void SerialTransport::checkAlive()
{
    if (!m_port->isOpen() || m_lost)
        return;
    if (portHungUp())
        onPortError(QSerialPort::ResourceError);
}

void SerialTransport::onPortError(QSerialPort::SerialPortError error)
{
    // The device behind an open port went away (a dongle pulled out, the far end of a pty
    // closed). The port is useless from here on: close it and say so once.
    if (m_lost)
        return;
    if (error != QSerialPort::ResourceError && !(error == QSerialPort::ReadError && portHungUp()))
        return;
    m_lost = true;
    qDebug() << QStringLiteral("/!\\ port lost");
    emit lost();
    QTimer::singleShot(0, this, [this] {
        if (m_port->isOpen())
            m_port->close();
        emit com_change();
        emit comclose();
    });
}
