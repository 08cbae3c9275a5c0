#pragma once

#include "bootloader.h"
#include "firmwareloader.h"
#include "fleet.h"
#include "wire.h"

#include <QObject>

namespace sim
{

// The 802.15.4 dongle as the host sees it: API frames in, receive frames (0x81) and the raw
// version byte out. It turns the host's bodies into requests to the fleet and what the fleet
// hears into frames, and streams memory pages on request.
class ApiDongle : public QObject, public RadioListener
{
    Q_OBJECT
public:
    ApiDongle(Fleet &fleet, Wire &wire, QObject *parent = nullptr);

    // One API body from the host.
    void handle(const QByteArray &body);
    bool streaming() const { return m_stream.active; }
    // The loader the firmware restarts into for an update.
    BootLoader &loader() { return m_loader; }
    // What 0xA1 answers: the scenario's version, one more after each completed update.
    int version() const;

    void heardStatus(const Device &device, const answer::Status &status, const Path &path) override;
    void heardRssiList(uint16_t source, uint8_t rssi,
                       const QVector<command::RssiEntry> &entries) override;
    void heardRelayListAck(uint16_t relay, uint8_t rssi, const QVector<uint16_t> &list) override;
    void heardRelayChannel(uint16_t relay, uint8_t rssi, uint8_t value) override;

    // A receive frame with a 16-bit source, as the dongle delivers it.
    static QByteArray receiveFrame(uint16_t source, uint8_t rssi, const QByteArray &data);
    // The data of a page frame: request byte, first page, page count, then the pages.
    static QByteArray pageFrameData(uint8_t request, int firstPage, const QByteArray &pages);

private:
    void startStream(uint8_t request, uint16_t serialNumber, uint16_t relay, int first, int count);
    void stopStream();
    // The two buffers of a power meter's last capture (powermeter.cpp).
    void sendWaveform(uint16_t serialNumber);
    void streamStep(int delayMs);
    void deliver(uint16_t source, uint8_t rssi, const QByteArray &data, const QString &note);

    Fleet &m_fleet;
    Wire &m_wire;
    LoaderRadio m_loaders;
    BootLoader m_loader;
    int m_updates = 0;
    // Identification queries still to be ignored since the last power-up (late_answers).
    int m_notReady = 0;
    bool notReady(const QString &query);
    struct Stream {
        bool active = false;
        uint8_t request = 0;
        uint16_t serialNumber = 0;
        uint16_t relay = 0;
        int next = 0;
        int remaining = 0;
        int tag = 0;
    } m_stream;
    int m_nextTag = 1;
    // back_to_back: what was heard in this turn of the event loop, sent together after it.
    QByteArray m_joined;
    QString m_joinedNote;
};

} // namespace sim
