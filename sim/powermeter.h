#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace sim
{

// What a power meter measures: a sine of mains voltage, and a load current lagging it by a
// phase with one harmonic on top. Scenario keys (device sections), all optional:
//   mains_voltage (V rms), mains_frequency (Hz), load_current (A rms of the fundamental),
//   phase (degrees the current lags), harmonic (order), harmonic_level (% of the fundamental),
//   power_scale (the meter's own current and power scale; the catalogue's coefficients 4 and 5
//   of its type must match it), page_frames (1: the meter sends its two buffers in frames of a
//   recorded page's length, the rest of the page zero, as some firmware does)
struct PowerConfig {
    double voltage = 230.0;
    double frequency = 50.0;
    double current = -1; // -1: by type (5 A, 20 A for type 8)
    double phaseDegrees = 30.0;
    int harmonicOrder = 3;
    double harmonicPercent = 10.0;
    double scale = -1; // -1: by type (10 for type 8, else 1)
    bool pageFrames = false;
};

// Applies one scenario key. False when `key` is not one of the power keys; `error` is set
// when it is one but its value is not usable.
bool applyPowerKey(PowerConfig &config, const QString &key, const QString &value, QString &error);

// The values the meter computes and sends, in physical units, to compare with what the
// program shows.
struct PowerTruth {
    double voltageRms = 0;
    double currentRms = 0;
    double activePower = 0;
    double apparentPower = 0;
};

// Devices that answer the capture request and the buffer read: types 6 and 8, and the
// always-listening devices of type 0.
bool isPowerMeter(int type, uint16_t serialNumber);

class PowerMeter
{
public:
    PowerMeter(const PowerConfig &config, int type);

    PowerTruth truth() const;
    // A new capture: each starts at a different point of the mains period.
    void capture() { ++m_captures; }
    int captures() const { return m_captures; }
    // The data of the buffer read's two answer frames (1: voltage, 2: current).
    QByteArray frameData(int number) const;

    // Calibration values the meter sends with its voltage samples.
    static constexpr int16_t CalU = 1000;
    static constexpr int16_t CalW = 1000;

private:
    QByteArray samplesData(int number) const;
    double currentAt(double t) const;
    double phaseAt() const;

    PowerConfig m_config;
    double m_scale;
    double m_current;
    int m_captures = 0;
};

} // namespace sim
