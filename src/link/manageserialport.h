#pragma once

#include "framebuffer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QTimer>
#include <cstdint>

class PortWatcher;

// The one link between the program and the radio dongle. Everything runs on the GUI thread:
// each exchange is a bounded wait that keeps processing events, ended by the time-out flag that
// timer1 sets. Nobody else touches the port.
class ManageSerialPort : public QObject
{
    Q_OBJECT
public:
    enum LinkMode { NoDongle = 0, Api802154 = 2, Lora = 6 };

    ManageSerialPort();
    ~ManageSerialPort() override;

    // Opens the port and identifies the dongle; true when one answered.
    bool openPort(const QString &portName);
    void closePort();
    bool isOpen() const;
    int linkMode() const { return m_linkMode; }
    void flushInput();
    void requestStop();
    bool sendFrame(const QByteArray &bytes);
    void reportLinkOk();

    const uint8_t *lastFrameData() const { return m_rxFrame.data(); }
    int lastFrameLength() const { return m_rxFrame.length(); }
    int lastFrameDataLength() const { return m_rxFrame.length() - 13; }
    uint16_t lastSourceAddress() const { return m_lastSource; }
    int lastRssi() const { return m_lastRssi; }
    QByteArray lastLoraFrame() const { return m_lastLoraFrame; }
    QString loraErrorText() const { return m_loraError; }

    // 802.15.4 API frames
    bool sendTxFrame();
    bool sendApiFrame(const QByteArray &body, uint8_t retries);
    bool sendSensorCommand(uint32_t serialNumber, uint8_t function, const char data[17],
                           uint16_t relay);
    QByteArray receiveApiFrame(uint64_t addressFilter);
    bool receiveIntoLastFrame(uint64_t addressFilter);
    int read_chan();
    uint8_t readDongleVersion();
    bool sendAndWaitAck(const QByteArray &body, uint16_t addressFilter);
    bool sendAndWaitMarker(const QByteArray &body);

    // Sensor answers and page frames
    int receiveSensorAnswer(uint16_t addressFilter);
    int receivePageFrame(uint16_t addressFilter, uint16_t timeoutMs);

    // LoRa dongle
    QByteArray extractLoraFrame();
    bool detectLora();
    bool setLoraConfig(const QByteArray &frame, int tries);
    // Rewrites the clock fields of `data` first when byte 0 asks for the clock to be set.
    QByteArray buildLoraRequest(uint32_t serialNumber, int preambleSize, uint8_t data[17]);
    bool sendframe(uint32_t serialNumber, int preambleSize, uint8_t data[17], int overallTimeoutMs);
    // The transaction other windows use; on success the answer is the last received frame,
    // laid out like an 802.15.4 sensor answer (C0 00 00 00 in front of the LoRa payload).
    bool sendLoraCommand(uint32_t serialNumber, uint8_t data[17]);

    // Settings in force, for the windows that show them.
    int baudRate() const { return m_baudRate; }
    uint64_t apiDestination() const { return m_apiDestination; }
    int timeoutBase() const { return m_timeoutBase; }
    int receiveTimeout() const { return m_receiveTimeout; }
    void setReceiveTimeout(int ms) { m_receiveTimeout = ms; }
    int preambleSizeNormal() const { return m_preambleNormal; }
    int preambleSizeWakeUp() const { return m_preambleWakeUp; }
    bool stopRequested() const { return m_stopRequest; }
    bool isBusy() const { return m_busy; }
    QString portName() const;
    // The device path the port is opened under: "\\.\" in front of COM names.
    static QString devicePath(const QString &portName);

signals:
    void errorCom();
    void noErrorCom();
    void comclose();
    void comopen();
    void update_program_status(QString status);
    void new_frame();
    void error_rx();
    void stop_com();
    void com_change();
    // True while an exchange is under way: controls that would start another one are disabled.
    void busyChanged(bool busy);

public slots:
    void refresh_serial();
    void stop_rx();
    void read_lora();
    void onDeviceRemoved(const QSerialPortInfo &info);
    void onDeviceAttached(const QSerialPortInfo &info);
    void timeout_timer1();

private:
    void applyBaudRate();
    void loadLinkSettings();
    void sendLoraConfiguration();
    // Pulls what the driver holds into the port's buffer, then takes all of it.
    int pendingBytes();
    QByteArray readPending();
    void startWait(int ms);
    void onPortError(QSerialPort::SerialPortError error);
    void checkPortAlive();
    bool portHungUp() const;
    bool reassembleFragments();

    QSerialPort *m_port;
    QByteArray m_lastLoraFrame;
    uint64_t m_apiDestination = 0xFFFF;
    int m_linkMode = NoDongle;
    uint16_t m_lastSource = 0;
    bool m_newLoraFrame = false;
    QTimer *m_timer1;
    QByteArray m_accumulation;
    QString m_loraError;
    int m_lastRssi = 0;
    bool m_rxLock = false;
    bool m_linkErrorReported = true;
    QElapsedTimer *m_clock;
    QByteArray m_shared;
    bool m_stopRequest = false;
    bool m_busy = false;
    int m_preambleNormal = 8;
    int m_preambleWakeUp = 34;
    QTimer *m_loraPoll;
    bool m_timeoutFlag = false;
    int m_baudRate = 0;
    int m_timeoutBase = 40;
    int m_timeoutCoeffOver4 = 2;
    int m_receiveTimeout = 40;
    bool m_rxStopRequest = false;
    bool m_removalReported = false;
    FrameBuffer m_txFrame;
    FrameBuffer m_rxFrame;
    PortWatcher *m_watcher;
    QTimer *m_health;
};
