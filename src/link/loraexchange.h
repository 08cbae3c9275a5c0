#pragma once

#include "commandblock.h"
#include "framebuffer.h"
#include "linkwait.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

class ApiExchange;
class SerialTransport;

// The LoRa dongle's exchanges: the port is polled every millisecond while the dongle is in use,
// every frame taken out is announced with new_frame(), and a request to a sensor is a
// transaction of acknowledgement and answer, first with the short preamble, then with the
// wake-up one.
class LoraExchange : public QObject
{
    Q_OBJECT
public:
    LoraExchange(SerialTransport &transport, ApiExchange &api, FrameBuffer &rx,
                 QObject *parent = nullptr);

    void startPolling();
    void stopPolling();
    void clearInput() { m_input.clear(); }
    // Drops what came in and any frame not yet taken; returns the bytes dropped.
    int dropInput();

    QByteArray extractLoraFrame();
    bool detectLora();
    bool setLoraConfig(const QByteArray &frame, int tries);
    // Each frame with three tries, writing "true" or "false" after it; a failure does not stop
    // the sequence.
    void sendConfiguration(const QList<QByteArray> &frames);
    QByteArray buildLoraRequest(uint32_t serialNumber, int preambleSize, command::Block &data);
    bool sendframe(uint32_t serialNumber, int preambleSize, command::Block data,
                   int overallTimeoutMs);
    bool sendLoraCommand(uint32_t serialNumber, command::Block data);

    void requestStop();
    bool stopRequested() const { return m_stopRequest; }
    void setPreambles(int normal, int wakeUp);
    int preambleNormal() const { return m_preambleNormal; }
    int preambleWakeUp() const { return m_preambleWakeUp; }
    QByteArray lastLoraFrame() const { return m_lastFrame; }
    QString loraErrorText() const { return m_error; }
    int bufferedBytes() const { return m_input.size(); }

signals:
    void new_frame();
    void error_rx();
    void stopping();

public slots:
    void read_lora();

private:
    bool reassembleFragments();
    bool frameOfKind(uint8_t kind) const;

    SerialTransport &m_transport;
    ApiExchange &m_api;
    FrameBuffer &m_rx;
    QByteArray m_input; // bytes read from the port while a frame is assembled
    QByteArray m_lastFrame;
    bool m_newFrame = false;
    QString m_error;
    QTimer m_poll;
    QElapsedTimer m_clock;
    bool m_stopRequest = false;
    int m_preambleNormal = 8;
    int m_preambleWakeUp = 34;
    LinkWait::Outcome m_lastEnd = LinkWait::Running; // how the last sendframe ended
};
