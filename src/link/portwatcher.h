#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSerialPortInfo>
#include <QStringList>
#include <QThread>
#include <QTimer>

// Serial ports come and go with USB dongles. Taking the list costs tens of milliseconds (a few
// hundred files read), far too long to hold up the event loop of a download for: it is taken
// on a thread of its own, when the device folder changes (a dongle plugged in or out adds or
// removes its device file there) and, as a safety net, every few seconds; each new list is
// compared with the last one.
class PortWatcher : public QObject
{
    Q_OBJECT
public:
    // `intervalMs`: how often the list is taken where the device folder cannot be watched;
    // where it can, ten times less often.
    explicit PortWatcher(QObject *parent = nullptr, int intervalMs = 1000);
    ~PortWatcher() override;
    static QString friendlyName(const QSerialPortInfo &info);

signals:
    void deviceDiscovered(const QSerialPortInfo &info);
    void deviceRemoved(const QSerialPortInfo &info);

public slots:
    // Asks for a fresh list; the signals follow once it is taken.
    void poll();

private:
    void compare(const QList<QSerialPortInfo> &now);

    QList<QSerialPortInfo> m_known;
    bool m_primed = false;  // the first list is only remembered
    bool m_listing = false; // a list is being taken
    bool m_again = false;   // and another was asked for meanwhile
    QTimer m_timer;
    QTimer m_settle;
    QFileSystemWatcher m_folder;
    QThread m_thread;
    QObject *m_lister;
};
