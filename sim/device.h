#pragma once

#include "commandset.h"
#include "devicememory.h"
#include "firmwareloader.h"
#include "generator.h"
#include "powermeter.h"
#include "scenario.h"
#include "sensoranswer.h"
#include "sensormemory.h"

#include <QByteArray>
#include <QVector>
#include <climits>
#include <cstdint>
#include <optional>

namespace sim
{

// One device of the fleet: a battery sensor, a relay (0x8000 to 0x8FFF) or an always-listening
// device (0x9000 and above). It keeps its own clock (an offset from the simulator's clock),
// records into its memory ring as that clock passes, and applies the blocks it is sent.
// Everything here is in simulated time; whether the device can hear the host at all is the
// fleet's business.
class Device
{
public:
    Device(const DeviceConfig &config, int dongleChannel);

    uint16_t serialNumber() const { return m_config.serialNumber; }
    const DeviceConfig &config() const { return m_config; }
    int type() const { return m_config.type; }
    bool isRelay() const;
    bool alwaysListening() const;
    // Relays and always-listening devices never sleep.
    bool listensAlways() const { return isRelay() || alwaysListening(); }
    int radioChannel() const { return m_radioChannel; }
    void setRadioChannel(int channel) { m_radioChannel = channel; }

    // Records the scenario's span so that the newest sample is at `simMs`.
    void start(int64_t simMs);
    // Records every sample whose time has come by `simMs`.
    // Records what the clock has reached; at most `maxSamples` when given (the fleet's own tick
    // spreads a large backlog over several ticks so the simulator stays responsive).
    void catchUp(int64_t simMs, int64_t maxSamples = INT64_MAX);
    int64_t sensorMs(int64_t simMs) const { return simMs + m_clockOffsetMs; }

    // The status answer as of `simMs`; `function` is the function answered (0 for a
    // spontaneous frame).
    answer::Status status(int64_t simMs, uint8_t function);

    struct Outcome {
        answer::Status status;
        bool restart = false;
    };
    // Applies a block of the sensor function and answers with the new status.
    Outcome apply(const command::Block &block, int64_t simMs);

    // Firmware updates. A sensor in its loader neither wakes nor hears its usual frames.
    void enter_loader();
    bool inLoader() const { return !isRelay() && m_loader.listening(); }
    FirmwareLoader &loader() { return m_loader; }
    const FirmwareLoader &loader() const { return m_loader; }
    // The version its status reports, once new firmware runs.
    void setVersion(int version);
    // Null unless the device meters power.
    PowerMeter *powerMeter() { return m_power ? &*m_power : nullptr; }

    SensorMemory &memory() { return m_memory; }
    const SensorMemory &memory() const { return m_memory; }
    QByteArray eeprom() const { return m_images.eeprom(); }
    DeviceMemory &images() { return m_images; }
    const DeviceMemory &images() const { return m_images; }
    // The device restarted (a memory write asked for it): it reads its configuration again,
    // among it the radio channel at EEPROM 0010. A device whose EEPROM says so would enter its
    // loader here.
    void restarted();
    void setSink(SensorMemory::Sink sink) { m_memory.setSink(std::move(sink)); }

    // Radio bookkeeping kept by the fleet.
    int64_t nextWakeMs = 0;      // simulated time of the next spontaneous frame
    int64_t awakeUntilMs = 0;    // real time until which a sleeping sensor still listens
    int64_t lastHeardMs = 0;     // simulated time the dongle or its relay last heard it
    bool announcing = false;     // sends its status until acknowledged with 0x61
    QVector<uint16_t> relayList; // relays: sensors routed through it, ascending
    uint16_t relayCurrent = 0;   // relays: the sensor being served through it

private:
    void recordUpTo(int64_t sensorSeconds, int64_t maxSamples = INT64_MAX);
    void newSegment(int64_t sensorSeconds);

    DeviceConfig m_config;
    Generator m_generator;
    SensorMemory m_memory;
    int m_radioChannel;
    int64_t m_clockOffsetMs = 0;
    int m_periodCode;
    uint8_t m_mask;
    int64_t m_recordingStart = 0; // sensor seconds
    int64_t m_nextSample = 0;     // sensor seconds
    bool m_started = false;
    uint32_t m_frames = 0; // frames sent, for a varying byte 5
    FirmwareLoader m_loader;
    std::optional<PowerMeter> m_power;
    DeviceMemory m_images;
};

// Addresses of the device's EEPROM that mean something to it.
namespace eeprom
{
constexpr uint16_t RadioChannel = 0x0010;
constexpr uint16_t ErrorIndex = 0x0301;
constexpr uint16_t ErrorTable = 0x0300; // + 2 x index: 16-bit error value, low byte first
} // namespace eeprom

} // namespace sim
