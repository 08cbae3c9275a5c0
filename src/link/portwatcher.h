#pragma once

#include <QObject>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTimer>

// Serial ports come and go with USB dongles; the system gives no notification we can rely on
// everywhere, so the list is taken again about once a second and compared with the last one.
class PortWatcher : public QObject
{
    Q_OBJECT
public:
    explicit PortWatcher(QObject *parent = nullptr, int intervalMs = 1000);
    static QString friendlyName(const QSerialPortInfo &info);

signals:
    void deviceDiscovered(const QSerialPortInfo &info);
    void deviceRemoved(const QSerialPortInfo &info);

public slots:
    void poll();

private:
    QList<QSerialPortInfo> m_known;
    QTimer m_timer;
};
