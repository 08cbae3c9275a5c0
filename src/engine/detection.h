#pragma once

#include "fleetmodel.h"
#include "radiopaths.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>
#include <cstdint>

class ManageSerialPort;

// The detection on the 802.15.4 dongle: it listens for sensors and relays as they wake, calls
// every device in reach once per silent second, adds what it hears to the fleet, shows each
// answer in its row and chooses each device's path from the RSSI lists the dongle and the
// relays report. Everything runs on the caller's thread: the link's waits keep processing
// events, so the operator's stop and the timers happen in the middle of the detection.
class Detection : public QObject
{
    Q_OBJECT
public:
    // Seconds before a detection ends by itself: ten minutes.
    static constexpr int Passes = 600;
    static constexpr int SecondMs = 1000;
    static constexpr int RelayRefreshMs = 5000;
    static constexpr int AnnouncedWaitMs = 1000;

    static const QString Waiting; // "Waiting for sensor"

    // `paths` is shared with the action run: the relay table and the pending announcements
    // outlive a detection.
    Detection(FleetModel *model, ManageSerialPort *link, radiopaths::RadioPaths *paths,
              QObject *parent = nullptr);
    ~Detection() override;

    bool isRunning() const { return m_running; }
    // Seconds before the detection ends by itself (Passes unless set).
    void setMaxPasses(int passes) { m_maxPasses = passes; }

    // The detection itself: returns when the operator stopped it or its passes ran out.
    void detect_sensors();
    // The operator's stop; the detection returns within a receive.
    void stop();
    // Whether the last detection ran out of passes rather than being stopped.
    bool ran_out() const { return m_ranOut; }

    void handle_rssi_list();
    bool refresh_row_from_answer(uint32_t serialNumber, int mode);
    // Rebuilds the Rssi cells and the list views ("Dongle", then each relay in table order),
    // and tells the front end.
    QVector<radiopaths::ListView> show_rssi_lists();

    bool dongle_add_sensor(uint32_t serialNumber);
    bool sensor_ack_direct(uint32_t serialNumber);
    bool relay_register_sensor(uint32_t serialNumber, uint16_t relay);
    bool relay_release_sensor(uint32_t serialNumber, uint16_t relay);

    // The last sensor frame received (as lastFrameData() lays it out).
    const QByteArray &answer() const { return m_answer; }

public slots:
    void refresh_relay();
    void time_out();

signals:
    void rssiListsShown(const QVector<radiopaths::ListView> &views);
    // A device answered and its row shows it.
    void sensorDetected(uint32_t serialNumber);
    // The passes ran out: the front end gives its controls back.
    void ranOut();

private:
    bool sendBody(const QByteArray &body);
    void sendBodies(const QVector<QByteArray> &bodies);
    void takeAnswer();
    void resetRows();
    void callEveryone();
    void sensorFrame();
    void waitForAnnounced(uint16_t serialNumber);
    // Running, and the dongle is still there.
    bool running() const;

    FleetModel *m_model;
    ManageSerialPort *m_link;
    radiopaths::RadioPaths *m_paths;
    QTimer m_connectionTimer;
    QTimer m_relayRefreshTimer;
    QByteArray m_answer;
    bool m_running = false;
    bool m_refreshing = false; // the relay table is being refreshed between two frames
    bool m_timedOut = false;   // the connection timer fired: the receive under way ends
    int m_maxPasses = Passes;
    // The relay the announcement acknowledgements go through: every one.
    uint16_t m_currentRelay = 0xFFFF;
    bool m_listBusy = false;
    bool m_refreshOwed = false;
    bool m_ranOut = false;
};
