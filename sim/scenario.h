#pragma once

#include "devicememory.h"
#include "powermeter.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

// A scenario: the dongle and the fleet behind it, read from an INI file.
//
//   [simulator]  speed, seed
//   [dongle]     kind, channel, version, frame_gap_ms, back_to_back, late_answers, page_latency_ms,
//                listen_ms, awake_ms, air_scale, wake_preamble (LoRa)
//   [device XXXX] one section per device, XXXX its serial number in hexadecimal
//
// Every key is described in sim/README.md. Parsing never stops at the first mistake: every
// problem is collected with its line number, and a scenario with problems is refused whole.
namespace sim
{

struct DeviceConfig {
    uint16_t serialNumber = 0;
    int type = 1;
    int version = 20;
    int periodCode = 7;
    int channelMask = -1; // -1: the type's default channels
    int battery = 15;
    int wakeSeconds = 60; // 0: never wakes on its own
    int firstWakeSeconds = -1;
    uint16_t relay = 0; // 0: no relay hears it
    int rssi = 50;      // RSSI byte at the dongle; -1: out of the dongle's reach
    int relayRssi = 60; // RSSI byte at its relay
    int64_t spanSeconds = 0;
    int64_t pages = -1; // when set, the span is as long as this many pages take
    uint32_t seed = 0;  // 0: the serial number
    int errorCode = 0;
    int clockOffsetSeconds = 0;
    int mode = 1;
    int radioChannel = 0; // 0: the dongle's channel
    int announceSeconds = 5;
    // Byte 5 of its frames, which the program must not decide on: -1 gives 0 on frames of its
    // own and the function on answers, 0-255 that byte on every frame, Varying a different byte
    // on every frame.
    static constexpr int Varying = 256;
    int functionByte = -1;
    // Firmware updates: start a sensor in its loader; the version reported after an update
    // (-1: one more than before); an update that fails (the old firmware comes back).
    bool startInLoader = false;
    int updateVersion = -1;
    bool updateFails = false;
    PowerConfig power;                   // power meters only
    QVector<MemoryPreset> eepromPresets; // written over the EEPROM's defaults
    QVector<MemoryPreset> ramPresets;
    int line = 0; // where the section starts, for messages
};

struct DongleConfig {
    QString kind = QStringLiteral("802.15.4");
    int channel = 15;
    int version = 104;
    int frameGapMs = 10;
    // 802.15.4: frames heard at the same moment leave in one write, with no gap.
    bool backToBack = false;
    // After each power-up (the start and every replug) the dongle ignores this many of the
    // host's identification queries: a dongle that is not ready yet when the port opens.
    int lateAnswers = 0;
    int pageLatencyMs = 10;
    int listenMs = 500;
    int awakeMs = 3000;
    // LoRa: every air time is multiplied by this (tests make the wake-up preamble short), and
    // the smallest preamble that reaches a sleeping sensor.
    double airScale = 1.0;
    int wakePreamble = 34;
    bool lora() const { return kind == QLatin1String("lora"); }
};

struct Scenario {
    double speed = 1.0;
    uint32_t seed = 1;
    DongleConfig dongle;
    QVector<DeviceConfig> devices;

    const DeviceConfig *find(uint16_t serialNumber) const;
};

struct ScenarioResult {
    Scenario scenario;
    QStringList errors; // "file:line: text"; empty when the scenario is usable
    bool ok() const { return errors.isEmpty(); }
};

ScenarioResult parseScenario(const QByteArray &text,
                             const QString &name = QStringLiteral("scenario"));
ScenarioResult loadScenario(const QString &path);

// "90", "90s", "15m", "2h", "3d" as seconds; -1 when it is none of these.
int64_t parseDuration(const QString &text);

} // namespace sim
