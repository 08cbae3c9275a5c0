#pragma once

#include "commandset.h"
#include "device.h"
#include "scenario.h"
#include "sensoranswer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>
#include <memory>
#include <vector>

namespace sim
{

// How a frame from a device reaches the dongle.
struct Path {
    uint16_t relay = 0;                    // 0: heard directly
    uint8_t rssi = 0;                      // signal of the last hop, as the dongle measures it
    uint8_t extra = answer::HeardDirectly; // the relay's RSSI of the device when relayed
};

// What the dongle's front end is told about. The fleet knows nothing of the host's framing,
// so a LoRa front end can sit beside the 802.15.4 one.
class RadioListener
{
public:
    virtual ~RadioListener() = default;
    virtual void heardStatus(const Device &device, const answer::Status &status,
                             const Path &path) = 0;
    // An RSSI list; `source` 0 is the dongle's own.
    virtual void heardRssiList(uint16_t source, uint8_t rssi,
                               const QVector<command::RssiEntry> &entries) = 0;
    virtual void heardRelayListAck(uint16_t relay, uint8_t rssi, const QVector<uint16_t> &list) = 0;
    virtual void heardRelayChannel(uint16_t relay, uint8_t rssi, uint8_t value) = 0;
};

// The simulated world behind the dongle: the devices, the simulated clock, who hears whom, the
// dongle's and the relays' lists, and when sensors wake and sleep. Simulated time runs at
// `speed` times real time; the windows in which a sleeping sensor listens are in real time, as
// they answer the host's own real-time waits.
class Fleet : public QObject
{
    Q_OBJECT
public:
    explicit Fleet(const Scenario &scenario, QObject *parent = nullptr);
    ~Fleet() override;

    void setListener(RadioListener *listener) { m_listener = listener; }
    // Records each device's span and starts the wake schedules and the tick.
    void start();
    bool started() const { return m_started; }

    // Clock.
    int64_t simNowMs() const;
    int64_t realNowMs() const { return m_real.elapsed(); }
    double speed() const { return m_speed; }
    void setSpeed(double speed);
    // Moves simulated time forward at once (tests); devices record what falls in between.
    void advance(int64_t ms);

    Device *device(uint16_t serialNumber);
    const std::vector<std::unique_ptr<Device>> &devices() const { return m_devices; }

    // The dongle.
    int channel() const { return m_channel; }
    void setChannel(int channel);
    int version() const { return m_dongle.version; }
    const DongleConfig &dongleConfig() const { return m_dongle; }
    QSet<uint16_t> wakeTargets() const { return m_wakeTargets; }
    uint16_t currentSensor() const { return m_current; }

    // What the host asks of the radio side.
    void addWakeTarget(uint16_t serialNumber); // 0x20 (0: clear)
    void ackDirect(uint16_t serialNumber);     // 0x21 (0: the current sensor)
    void setCurrent(uint16_t serialNumber);    // 0x23
    void refreshRelays();                      // 0x30
    void requestRssiLists(uint16_t address);   // 0x31
    void relayList(uint8_t op, uint16_t serialNumber, uint16_t relay); // 0x40 / 0x41 / 0x43
    void relayChannel(uint8_t value, uint16_t relay);                  // 0x46
    // A transmit request: `data` is a stuffed sensor frame or one raw byte; relay 0 is direct,
    // 0xFFFF every relay; serial number 0xFFFF every device on that path.
    void transmit(uint16_t serialNumber, uint16_t relay, const QByteArray &data);

    // Page streaming: the device if the host can reach it this way now, else null.
    Device *reachable(uint16_t serialNumber, uint16_t relay);
    Path pathOf(const Device &device, uint16_t viaRelay) const;
    // The host is talking to the device: it stays awake.
    void touch(Device &device);
    // Whether the dongle's own radio reaches the device, awake or asleep.
    Device *inDirectReach(uint16_t serialNumber);
    bool isAwake(const Device &device) const { return awake(device); }
    // A block of the sensor function reached an awake device: it applies it and answers.
    void deliverBlock(Device &device, const command::Block &block, const Path &path);

    // Tests: wake a sensor now.
    bool wake(uint16_t serialNumber);
    // Runs the schedules once, every device caught up to now (the timer runs a bounded pass).
    void tick();

signals:
    void note(const QString &text);

private:
    bool hearsDirectly(const Device &d) const;
    bool relayHears(const Device &relay, const Device &d) const;
    bool awake(const Device &d) const;
    void answer(Device &d, const answer::Status &status, const Path &path);
    void sendStatus(Device &d, uint8_t function, const Path &path);
    QVector<command::RssiEntry> listOf(uint16_t source) const;
    void receiveFrame(Device &d, const QByteArray &data, const Path &path);
    // One pass over the devices; a bounded pass stops after its time budget and the next one
    // goes on from where it stopped, so a fleet too large for its speed never starves the
    // event loop (signals, the link).
    void runSchedules(bool bounded);

    DongleConfig m_dongle;
    double m_speed = 1.0;
    int m_channel = 15;
    std::vector<std::unique_ptr<Device>> m_devices;
    RadioListener *m_listener = nullptr;
    QElapsedTimer m_real;
    int64_t m_baseSimMs = 0;  // simulated time when m_real was last rebased
    int64_t m_baseRealMs = 0; // m_real at that moment
    QSet<uint16_t> m_wakeTargets;
    uint16_t m_current = 0;
    QTimer m_tick;
    size_t m_nextDevice = 0;
    bool m_started = false;
};

// The local wall clock now, in milliseconds, as if it were UTC: devices keep naive clocks.
int64_t wallClockMs();

} // namespace sim
