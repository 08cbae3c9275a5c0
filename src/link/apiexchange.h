#pragma once

#include "commandblock.h"
#include "framebuffer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <cstdint>

class SerialTransport;

// What receiveSensorAnswer gives: the kind of answer by its first data byte.
namespace sensoranswer
{
enum Result {
    None = 0,
    SensorFrame = 1,
    RssiLists = 2,
    RelayListAck = 3,
    RelayChannel = 4,
    Ack = 5
};
}
// What receivePageFrame gives.
namespace pageresult
{
// Unrelated: a whole, valid frame that is neither a page nor a sensor's answer (an RSSI list, an
// acknowledgement). The radio is busy with such frames during a download: they are no damage,
// and no answer to the request either.
enum Result {
    None = 0,
    TwoPages = 1,
    SensorFrame = 2,
    Broken = 3,
    OnePage = 4,
    Waveform = 5,
    Unrelated = 6
};
} // namespace pageresult

// The 802.15.4 dongle's exchanges: API frames out, receive frames in. Input a receive did not
// use (a second frame of the same read) stays in this exchange's own buffer for the next one.
class ApiExchange
{
public:
    ApiExchange(SerialTransport &transport, FrameBuffer &tx, FrameBuffer &rx);

    bool sendTxFrame();
    bool sendApiFrame(const QByteArray &body, uint8_t retries);
    bool sendSensorCommand(uint32_t serialNumber, uint8_t function, const command::Block &data,
                           uint16_t relay);
    QByteArray receiveApiFrame(uint64_t addressFilter);
    bool receiveIntoLastFrame(uint64_t addressFilter);
    int readChannel();
    uint8_t readDongleVersion();
    bool sendAndWaitAck(const QByteArray &body, uint16_t addressFilter);
    bool sendAndWaitMarker(const QByteArray &body);
    sensoranswer::Result receiveSensorAnswer(uint16_t addressFilter);
    pageresult::Result receivePageFrame(uint16_t addressFilter, uint16_t timeoutMs);

    // The page download's buffer: filled by receivePageFrame as bytes come in, and by a
    // caller's timer too (the waveform capture's) while it waits.
    void refreshShared();
    // Drops everything: pending bytes, what a receive kept, the page download's buffer.
    // Returns how many bytes went.
    int flush();
    // Before a page request: drops what answers earlier requests, but not a frame still
    // arriving, whose tail would otherwise come in as noise. Returns the bytes dropped.
    int flushForRequest();
    // Pulls what came in and says how many bytes wait for receivePageFrame.
    int pageBytesWaiting();
    // Drops what waits for receivePageFrame up to the next place a frame may start: the rest of
    // a frame cut on the way. Returns the bytes dropped.
    int skipToFrameStart();
    // The last receivePageFrame was Broken because its first byte was no start byte: noise, or
    // the rest of a frame cut on the way, rather than a damaged frame.
    bool lastPageWasNoise() const { return m_pageNoise; }
    // Pulls what came in and says whether a whole frame waits first for receivePageFrame.
    bool wholePageFrameWaiting();
    // Between exchanges: takes what came in and keeps only what a receive can still use.
    // Returns the bytes dropped. Nothing is taken while a download fills its buffer: what comes
    // in between two page receives is that download's.
    int drainIdle();
    int keptBytes() const { return m_input.size(); }

    uint16_t lastSource() const { return m_lastSource; }
    int lastRssi() const { return m_lastRssi; }
    int receiveTimeout() const { return m_receiveTimeout; }
    void setReceiveTimeout(int ms) { m_receiveTimeout = ms; }
    void setTimeoutBase(int ms) { m_timeoutBase = ms; }
    bool sharedLocked() const { return m_rxLock; }

private:
    SerialTransport &m_transport;
    FrameBuffer &m_tx;
    FrameBuffer &m_rx;
    QByteArray m_input;  // read from the port, not yet used by a receive
    QByteArray m_shared; // the page download's buffer
    QByteArray m_page;   // the page frame being assembled
    bool m_rxLock = false;
    bool m_pageNoise = false;
    QElapsedTimer m_lastRefresh;
    uint16_t m_lastSource = 0;
    int m_lastRssi = 0;
    int m_receiveTimeout = 40;
    int m_timeoutBase = 40;
};
