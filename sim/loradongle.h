#pragma once

#include "fleet.h"
#include "wire.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <optional>

namespace sim
{

// The LoRa dongle as the host sees it: framed bodies in, framed payloads out (1 to 65 bytes).
// It answers the presence byte with its radio report, echoes configuration frames, and runs one
// request at a time over the air: the preamble, the sensor's radio acknowledgement (06 01, or
// 06 00 when nobody took the request), then the sensor's answer as one 0x02 frame, or a memory
// page as ten numbered 0x02 fragments. Sensors have no relays here: only devices the dongle
// hears directly take part.
class LoraDongle : public QObject, public RadioListener
{
    Q_OBJECT
public:
    LoraDongle(Fleet &fleet, Wire &wire, QObject *parent = nullptr);

    // One framed body from the host.
    void handle(const QByteArray &body);
    bool busy() const { return m_transaction.active; }
    // Every 0x01 request body the dongle took, oldest first (tests read the clock fields).
    const QVector<QByteArray> &requests() const { return m_requests; }
    // Every body the host sent, in order.
    const QVector<QByteArray> &received() const { return m_received; }

    void heardStatus(const Device &device, const answer::Status &status, const Path &path) override;
    void heardRssiList(uint16_t, uint8_t, const QVector<command::RssiEntry> &) override {}
    void heardRelayListAck(uint16_t, uint8_t, const QVector<uint16_t> &) override {}
    void heardRelayChannel(uint16_t, uint8_t, uint8_t) override {}

    // The RSSI byte the dongle reports for a device of the scenario's `rssi` (dBm below 0):
    // the host reads byte - 137.
    static uint8_t rssiByte(int rssi);
    // The 0x02 answer: 02, RSSI byte, then the status frame from its offset 6 (clock) to the
    // 0xC1, unstuffed, so that C0 00 00 00 + payload + payload[1] is the 54-byte answer.
    static QByteArray answerPayload(const answer::Status &status, uint8_t rssi);
    // Fragment `number` of a page answer: 02, RSSI byte, number, page (2 bytes), then 53 bytes
    // of the page (fragment 9 carries the last 51 and two 00).
    static QByteArray pageFragment(uint8_t rssi, int number, uint16_t page,
                                   const QByteArray &pageBytes);
    // Air time of a sensor's answer, in ms at scale 1: the first frame of the answer leaves this
    // long after the acknowledgement. The request itself reaches the sensor after the air time
    // the host reckons with when it stamps the clock (lora::airTimeMs), so a clock set on the
    // first attempt lands where the host meant it to.
    static constexpr double AnswerAirMs = 40;
    // The whole milliseconds the dongle waits for `ms` of air time at the scenario's air_scale
    // (the download benchmark's least time counts them too).
    static int scaled(double ms, double airScale);

private:
    void request(const QByteArray &body);
    void airDone();
    void out(const QByteArray &payload, const QString &note, int delayMs = 0);
    int scaled(double ms) const { return scaled(ms, m_fleet.dongleConfig().airScale); }

    Fleet &m_fleet;
    Wire &m_wire;
    struct Transaction {
        bool active = false;
        uint16_t serialNumber = 0;
        int preamble = 0;
        command::Block block{};
    } m_transaction;
    QTimer m_air;
    int m_tag = 0; // frames of the transaction on the wire
    // Presence queries still to be ignored since the last power-up (late_answers).
    int m_notReady = 0;
    int m_nextTag = 1;
    int64_t m_requestCount = 0;
    int64_t m_fragmentedCount = 0;
    QVector<QByteArray> m_requests;
    QVector<QByteArray> m_received;
    uint8_t m_lastRssi;
    QByteArray m_radioConfig; // the last configuration frame with radio settings
    bool m_capturing = false;
    std::optional<answer::Status> m_captured;
};

} // namespace sim
