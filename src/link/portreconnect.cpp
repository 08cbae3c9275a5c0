#include "portreconnect.h"

#include "linkwait.h"
#include "manageserialport.h"

#include <QDebug>
#include <QFileInfo>
#include <QSerialPortInfo>

PortReconnect::PortReconnect(ManageSerialPort *link, QObject *parent, int intervalMs)
    : QObject(parent), m_link(link), m_presence(&PortReconnect::deviceFileExists)
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &PortReconnect::check);
    // The transport closes a lost port from the event loop, then says the ports changed.
    connect(m_link, &ManageSerialPort::com_change, this, &PortReconnect::onLinkChanged);
}

bool PortReconnect::deviceFileExists(const QString &portName)
{
#ifdef Q_OS_UNIX
    // Cheaper than enumerating every port, and it sees pseudo-terminals and by-id links too.
    const QString path =
        portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
    return QFileInfo::exists(path);
#else
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        if (info.portName() == portName)
            return true;
    return false;
#endif
}

void PortReconnect::watch(const QString &portName)
{
    m_port = portName;
    m_lost.clear();
    m_timer.stop();
}

void PortReconnect::retry(const QString &portName)
{
    m_port.clear();
    m_lost = portName;
    m_attemptsLeft = AttemptsPerReturn - 1;
    m_timer.start();
}

bool PortReconnect::openWithRetries(ManageSerialPort *link, const QString &portName, int intervalMs,
                                    const std::function<bool()> &cancelled)
{
    const auto stop = [&] { return (cancelled && cancelled()) || LinkWait::quitting(); };
    for (int attempt = 1;; ++attempt) {
        if (link->openPort(portName))
            return true;
        // Another program's port stays its own however often it is asked for.
        if (attempt == AttemptsPerReturn || stop() || !link->openError().isEmpty())
            return false;
        qDebug() << QStringLiteral("no dongle answered, trying again") << portName;
        if (LinkWait(nullptr, intervalMs).pause() != LinkWait::TimedOut)
            return false;
    }
}

void PortReconnect::onLinkChanged()
{
    // Another device came or went while ours stays: nothing to take back.
    if (m_port.isEmpty() || m_link->isOpen())
        return;
    m_lost = m_port;
    m_port.clear();
    m_attemptsLeft = AttemptsPerReturn;
    m_timer.start();
    const QString lost = m_lost;
    emit portLost(lost);
}

void PortReconnect::check()
{
    if (m_lost.isEmpty() || m_link->isOpen()) {
        m_timer.stop();
        return;
    }
    // An exchange under way (the operator opening another port) must end first.
    if (m_link->isBusy())
        return;
    if (!m_presence(m_lost)) {
        m_attemptsLeft = AttemptsPerReturn;
        return;
    }
    if (m_attemptsLeft == 0)
        return;
    --m_attemptsLeft;
    // A copy: the owner's reopening calls watch(), which forgets m_lost.
    const QString lost = m_lost;
    emit portBack(lost);
}
