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

// A device file appears in steps (the node, then its by-id links): one list once they settle.
constexpr int SettleMs = 200;
constexpr int WatchedIntervalFactor = 10;
} // namespace

PortWatcher::PortWatcher(QObject *parent, int intervalMs) : QObject(parent), m_lister(new QObject)
{
    m_lister->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("port list"));
    m_thread.start(QThread::LowPriority);

    m_settle.setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, &PortWatcher::poll);
    connect(&m_timer, &QTimer::timeout, this, &PortWatcher::poll);
#ifdef Q_OS_UNIX
    const bool watched = m_folder.addPath(QStringLiteral("/dev"));
#else
    const bool watched = false;
#endif
    connect(&m_folder, &QFileSystemWatcher::directoryChanged, this,
            [this] { m_settle.start(SettleMs); });
    m_timer.start(watched ? intervalMs * WatchedIntervalFactor : intervalMs);
    poll();
}

PortWatcher::~PortWatcher()
{
    // A list being taken finishes first; what it posts back dies with this object.
    m_thread.quit();
    m_thread.wait();
    delete m_lister;
}

QString PortWatcher::friendlyName(const QSerialPortInfo &info)
{
    if (info.description().isEmpty())
        return info.portName();
    return info.description() + QStringLiteral(" (") + info.portName() + QStringLiteral(")");
}

void PortWatcher::poll()
{
    if (m_listing) {
        m_again = true;
        return;
    }
    m_listing = true;
    QMetaObject::invokeMethod(
        m_lister,
        [this] {
            const QList<QSerialPortInfo> now = QSerialPortInfo::availablePorts();
            QMetaObject::invokeMethod(
                this, [this, now] { compare(now); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void PortWatcher::compare(const QList<QSerialPortInfo> &now)
{
    m_listing = false;
    const QList<QSerialPortInfo> before = m_known;
    m_known = now;
    if (m_primed) {
        for (const QSerialPortInfo &info : before)
            if (!listed(now, info))
                emit deviceRemoved(info);
        for (const QSerialPortInfo &info : now)
            if (!listed(before, info))
                emit deviceDiscovered(info);
    }
    m_primed = true;
    if (m_again) {
        m_again = false;
        poll();
    }
}
