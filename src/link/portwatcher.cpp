#include "portwatcher.h"

namespace
{
bool listed(const QList<QSerialPortInfo> &list, const QSerialPortInfo &info)
{
    for (const QSerialPortInfo &other : list)
        if (other.portName() == info.portName())
            return true;
    return false;
}
} // namespace

PortWatcher::PortWatcher(QObject *parent, int intervalMs)
    : QObject(parent), m_known(QSerialPortInfo::availablePorts())
{
    connect(&m_timer, &QTimer::timeout, this, &PortWatcher::poll);
    m_timer.start(intervalMs);
}

QString PortWatcher::friendlyName(const QSerialPortInfo &info)
{
    if (info.description().isEmpty())
        return info.portName();
    return info.description() + QStringLiteral(" (") + info.portName() + QStringLiteral(")");
}

void PortWatcher::poll()
{
    const QList<QSerialPortInfo> now = QSerialPortInfo::availablePorts();
    const QList<QSerialPortInfo> before = m_known;
    m_known = now;
    for (const QSerialPortInfo &info : before)
        if (!listed(now, info))
            emit deviceRemoved(info);
    for (const QSerialPortInfo &info : now)
        if (!listed(before, info))
            emit deviceDiscovered(info);
}
