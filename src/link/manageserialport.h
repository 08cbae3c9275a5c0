#pragma once

#include "apiexchange.h"
#include "commandblock.h"
#include "framebuffer.h"
#include "linkhealth.h"
#include "linksettings.h"
#include "portlock.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPortInfo>
#include <QString>
#include <cstdint>
#include <memory>

class ApiExchange;
class FrameTap;
class LoraExchange;
class SerialTransport;

// The one link between the program and the radio dongle, and the only object the windows talk
// to. Behind it: the serial transport, the 802.15.4 exchange and the LoRa exchange. Everything
// runs on the GUI thread: each exchange is a wait that keeps processing events, so a click or
// a timer may try to start another exchange in the middle of one; that one is refused at once,
// and busyChanged() lets the windows disable the controls meanwhile.
class ManageSerialPort : public QObject
{
    Q_OBJECT
public:
    enum LinkMode { NoDongle = 0, Api802154 = 2, Lora = 6 };
    // receiveSensorAnswer's results, by the answer's first data byte.
    enum SensorAnswer {
        NoAnswer = sensoranswer::None,
        AnswerSensorFrame = sensoranswer::SensorFrame,
        AnswerRssiLists = sensoranswer::RssiLists,
        AnswerRelayListAck = sensoranswer::RelayListAck,
        AnswerRelayChannel = sensoranswer::RelayChannel,
        AnswerAck = sensoranswer::Ack
    };
    // receivePageFrame's results.
    enum PageResult {
        NoPage = pageresult::None,
        TwoPages = pageresult::TwoPages,
        PageSensorFrame = pageresult::SensorFrame,
        PageBroken = pageresult::Broken,
        OnePage = pageresult::OnePage,
        PageWaveform = pageresult::Waveform,
        PageUnrelated = pageresult::Unrelated
    };

    explicit ManageSerialPort(const LinkSettings &settings = LinkSettings::load());
    ~ManageSerialPort() override;

    // Taken at the next open (rates, time-outs, address) or at once (preambles).
    void setSettings(const LinkSettings &settings);
    const LinkSettings &settings() const { return m_settings; }

    // Opens the port and identifies the dongle; true when one answered. The port's lock is
    // taken first: a port another program works with is not opened (openError() says so).
    bool openPort(const QString &portName);
    // The lock stays with the port closed, for its return; opening another port releases it.
    void closePort();
    // Why the last openPort refused without trying; empty when it tried.
    QString openError() const { return m_openError; }
    bool isOpen() const;
    int linkMode() const { return m_linkMode; }
    // Drops pending input, what a receive kept for the next one, and the page buffer.
    void flushInput();
    // Before a page request: drops the answers to earlier ones, keeping a frame still arriving.
    int flushBeforeRequest();
    // The faults seen on the link's bytes, for the runs that decide how far a page is trusted.
    const LinkHealth &health() const;
    // At the start of a run, a detection or a maintenance exchange: what came in before its
    // first command answers nothing it will send, so it is dropped (the port's pending bytes
    // and whatever either exchange kept). Logs and returns how many bytes went.
    int dropStaleInput();
    void requestStop();
    bool sendFrame(const QByteArray &bytes);
    void reportLinkOk();

    const uint8_t *lastFrameData() const { return m_rxFrame.data(); }
    int lastFrameLength() const { return m_rxFrame.length(); }
    int lastFrameDataLength() const { return m_rxFrame.length() - 13; }
    uint16_t lastSourceAddress() const;
    int lastRssi() const;
    QByteArray lastLoraFrame() const;
    QString loraErrorText() const;

    // 802.15.4 API frames
    bool sendTxFrame();
    bool sendApiFrame(const QByteArray &body, uint8_t retries);
    bool sendSensorCommand(uint32_t serialNumber, uint8_t function, const command::Block &data,
                           uint16_t relay);
    // One receive frame's data. Bytes after it in the same read stay for the next receive.
    QByteArray receiveApiFrame(uint64_t addressFilter);
    bool receiveIntoLastFrame(uint64_t addressFilter);
    int read_chan();
    uint8_t readDongleVersion();
    bool sendAndWaitAck(const QByteArray &body, uint16_t addressFilter);
    bool sendAndWaitMarker(const QByteArray &body);

    // Sensor answers and page frames: the values of SensorAnswer and PageResult.
    int receiveSensorAnswer(uint16_t addressFilter);
    int receivePageFrame(uint16_t addressFilter, uint16_t timeoutMs);

    // LoRa dongle
    QByteArray extractLoraFrame();
    bool detectLora();
    bool setLoraConfig(const QByteArray &frame, int tries);
    // Rewrites the clock fields of `data` first when byte 0 asks for the clock to be set.
    QByteArray buildLoraRequest(uint32_t serialNumber, int preambleSize, command::Block &data);
    bool sendframe(uint32_t serialNumber, int preambleSize, command::Block data,
                   int overallTimeoutMs);
    // The transaction other windows use; on success the answer is the last received frame,
    // laid out like an 802.15.4 sensor answer (C0 00 00 00 in front of the LoRa payload).
    bool sendLoraCommand(uint32_t serialNumber, command::Block data);

    // Replaces the 802.15.4 dongle's firmware with an S-record file: one of DongleLoader::Result
    // (0 updated, 1 file not opened, 2 port not reopened, 3 no synchronisation, 4 a line not
    // acknowledged, 5 not a firmware file, nothing sent). Progress and outcome go out through
    // update_program_status and uploadProgress; the port is left at the loader's rate, for the
    // caller to reopen with openPort. requestStop() ends it.
    int uploadDongleFirmware(const QString &fileName);

    // Every frame in and out, for the frame log; runs only while something uses it.
    FrameTap *frameTap() const;

    // Settings in force, for the windows that show them.
    int baudRate() const { return m_baudRate; }
    uint64_t apiDestination() const { return m_settings.apiDestination; }
    int timeoutBase() const { return m_settings.timeoutBase; }
    int receiveTimeout() const;
    void setReceiveTimeout(int ms);
    int preambleSizeNormal() const;
    int preambleSizeWakeUp() const;
    bool stopRequested() const;
    bool isBusy() const { return m_busy; }
    QString portName() const;
    // The device path the port is opened under: "\\.\" in front of COM names.
    static QString devicePath(const QString &portName);
    // Input held by the link between exchanges (what a receive kept, LoRa bytes being framed).
    int bufferedBytes() const;
    // Bytes come in during a download and not read yet by receivePageFrame (pulled first).
    int pageBytesWaiting();
    // After a broken page frame: drops the bytes before the next start byte, so the frames that
    // follow are read whole instead of being asked for again.
    int skipToFrameStart();
    // The last broken page frame was bytes before any start byte, not a damaged frame.
    bool lastPageWasNoise() const;
    // A whole frame waits for receivePageFrame (pulled first): reading it takes no waiting.
    bool wholePageFrameWaiting();

signals:
    void errorCom();
    void noErrorCom();
    void comclose();
    void comopen();
    void update_program_status(QString status);
    // Line `line` (1-based) of `lines` of a dongle firmware upload is going out.
    void uploadProgress(int line, int lines);
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
    // Cuts the wait under way short, as if its time were up.
    void timeout_timer1();

private:
    class Exchange;
    void applyBaudRate();
    void drainIdleInput();

    LinkSettings m_settings;
    SerialTransport *m_transport;
    FrameBuffer m_txFrame;
    FrameBuffer m_rxFrame;
    std::unique_ptr<ApiExchange> m_api;
    LoraExchange *m_lora;
    int m_linkMode = NoDongle;
    int m_baudRate = 0;
    bool m_busy = false;
    bool m_linkErrorReported = true;
    bool m_rxStopRequest = false;
    int m_droppedBurst = 0;
    PortLock m_portLock;
    QString m_openError;
};
