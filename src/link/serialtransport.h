#pragma once

#include "frametap.h"
#include "linkhealth.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>

class PortWatcher;
class QTimer;

// The serial port itself: open and close, bytes in and out, and noticing that the device went
// away. Bytes are pulled explicitly; nothing here knows about frames.
class SerialTransport : public QObject
{
    Q_OBJECT
public:
    explicit SerialTransport(QObject *parent = nullptr);
    ~SerialTransport() override;

    // Opens read-write with 8 data bits, no parity, 1 stop bit, no flow control.
    bool open(const QString &devicePath);
    void close();
    bool isOpen() const;
    // The device behind the open port went away; cleared by the next open.
    bool isLost() const { return m_lost; }
    QString portName() const;
    void setBaudRate(int rate);

    // Pulls what the driver holds into the port's buffer and says how much there is.
    int pendingBytes();
    QByteArray readPending();
    bool readByte(char *byte);
    // One write of all the bytes; false (with its diagnostic) when the port is closed or the
    // write fails.
    bool write(const QByteArray &bytes);
    // Asks the descriptor whether the far end hung up, and reports it if so.
    void checkAlive();
    // The faults the exchanges met on the bytes of this port, across opens.
    LinkHealth &health() { return m_health_; }
    const LinkHealth &health() const { return m_health_; }
    // Every byte written and read, for the frame log.
    FrameTap &tap() { return m_tap; }

signals:
    // Once per open: the device went away. The port is closed right after, from the event loop.
    void lost();
    void com_change();
    void comclose();
    // The health check's tick, about once a second while the program runs.
    void tick();
    // Bytes came in (the event loop or a pull moved them from the driver).
    void readyRead();

public slots:
    void onDeviceRemoved(const QSerialPortInfo &info);
    void onDeviceAttached(const QSerialPortInfo &info);

private:
    void onPortError(QSerialPort::SerialPortError error);
    bool portHungUp() const;

    QSerialPort *m_port;
    PortWatcher *m_watcher;
    QTimer *m_health;
    bool m_lost = false;
    LinkHealth m_health_;
    FrameTap m_tap;
};
