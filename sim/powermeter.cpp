#include "powermeter.h"

#include "commandset.h"
#include "waveformframe.h"

#include <algorithm>
#include <cmath>

namespace sim
{

namespace
{
constexpr double Pi = 3.14159265358979323846;
constexpr double SamplePeriodS = 0.020 / waveform::Samples;

bool number(const QString &value, double min, double max, double &out)
{
    bool ok = false;
    const double v = value.trimmed().toDouble(&ok);
    if (!ok || !(v >= min) || v > max)
        return false;
    out = v;
    return true;
}

uint16_t clamp16(double v)
{
    return uint16_t(std::clamp(std::lround(v), 0L, 65535L));
}
} // namespace

bool applyPowerKey(PowerConfig &c, const QString &key, const QString &value, QString &error)
{
    struct Key {
        const char *name;
        double min;
        double max;
        double *target;
    };
    double order = c.harmonicOrder;
    double pageFrames = c.pageFrames ? 1 : 0;
    const Key keys[] = {
        {"mains_voltage", 0, 400, &c.voltage},
        {"mains_frequency", 1, 1000, &c.frequency},
        {"load_current", 0, 2000, &c.current},
        {"phase", -180, 180, &c.phaseDegrees},
        {"harmonic", 2, 50, &order},
        {"harmonic_level", 0, 100, &c.harmonicPercent},
        {"power_scale", 0.001, 1000, &c.scale},
        {"page_frames", 0, 1, &pageFrames},
    };
    for (const Key &k : keys) {
        if (key != QLatin1String(k.name))
            continue;
        if (!number(value, k.min, k.max, *k.target))
            error = QStringLiteral("%1 must be a number from %2 to %3, not \"%4\"")
                        .arg(key)
                        .arg(k.min)
                        .arg(k.max)
                        .arg(value);
        c.harmonicOrder = int(order);
        c.pageFrames = pageFrames >= 0.5;
        return true;
    }
    return false;
}

bool isPowerMeter(int type, uint16_t serialNumber)
{
    return command::listensAlways(uint8_t(type), serialNumber);
}

PowerMeter::PowerMeter(const PowerConfig &config, int type)
    : m_config(config), m_scale(config.scale > 0 ? config.scale : (type == 8 ? 10.0 : 1.0)),
      m_current(config.current >= 0 ? config.current : (type == 8 ? 20.0 : 5.0))
{
}

PowerTruth PowerMeter::truth() const
{
    // The voltage is a pure sine: only the fundamental of the current carries power.
    const double h = m_config.harmonicPercent / 100.0;
    PowerTruth t;
    t.voltageRms = m_config.voltage;
    t.currentRms = m_current * std::sqrt(1.0 + h * h);
    t.activePower = t.voltageRms * m_current * std::cos(m_config.phaseDegrees * Pi / 180.0);
    t.apparentPower = t.voltageRms * t.currentRms;
    return t;
}

double PowerMeter::phaseAt() const
{
    // Captures are not synchronised with the mains: each starts 0.37 of a period further.
    return std::fmod(m_captures * 0.37, 1.0) * 2 * Pi;
}

double PowerMeter::currentAt(double t) const
{
    const double w = 2 * Pi * m_config.frequency;
    const double lag = m_config.phaseDegrees * Pi / 180.0;
    const double a = m_current * std::sqrt(2.0);
    const int n = m_config.harmonicOrder;
    return a * (std::sin(w * t + phaseAt() - lag) +
                m_config.harmonicPercent / 100.0 * std::sin(n * (w * t + phaseAt() - lag)));
}

QByteArray PowerMeter::frameData(int number) const
{
    QByteArray data = samplesData(number);
    if (m_config.pageFrames)
        data.append(QByteArray(waveform::PageFrameDataLength - data.size(), '\0'));
    return data;
}

QByteArray PowerMeter::samplesData(int number) const
{
    const double w = 2 * Pi * m_config.frequency;
    const double a = m_config.voltage * std::sqrt(2.0);
    if (number == 1) {
        waveform::VoltageFrame f;
        f.calU = CalU;
        f.calW = CalW;
        // volts = calU x (raw / 25) x 2.42 / 5888
        const double perStep = CalU * 2.42 / 5888.0;
        for (int k = 0; k < waveform::Samples; ++k) {
            const double v = a * std::sin(w * k * SamplePeriodS + phaseAt());
            const long steps = std::lround(v / perStep);
            f.samples[size_t(k)] = int16_t(std::clamp(steps * 25, -32768L, 32767L));
        }
        return waveform::encodeVoltageFrame(f);
    }
    waveform::CurrentFrame f;
    const PowerTruth t = truth();
    f.rmsCurrent = clamp16(t.currentRms * 100.0 / m_scale);
    f.rmsVoltage = clamp16(t.voltageRms * 100.0);
    f.activePower = clamp16(t.activePower / m_scale);
    f.apparentPower = clamp16(t.apparentPower / m_scale);
    // amperes = raw / (calU x 368000) x calW x 10 x scale
    const double perRaw = double(CalW) * 10.0 * m_scale / (CalU * 368000.0);
    for (int k = 0; k < waveform::Samples; ++k) {
        const long raw = std::lround(currentAt(k * SamplePeriodS) / perRaw);
        f.samples[size_t(k)] = int32_t(std::clamp(raw, -8388608L, 8388607L));
    }
    return waveform::encodeCurrentFrame(f);
}

} // namespace sim
