#pragma once

#include "sensortype.h"
#include "waveformframe.h"

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>

class ManageSerialPort;

// What the waveform window shows, worked out from a power meter's two answer frames.
namespace waveform
{

constexpr int Capacity = 4096;
constexpr double InitialRange = 200.0;
// The current trace starts this many samples before the voltage's rising zero crossing.
constexpr int CurrentLead = 18;
constexpr int AnswerTimeoutMs = 400;
// The meter needs this long, twice, to capture a new waveform.
constexpr int CapturePauseMs = 550;

// Volts of voltage sample `raw`: the raw value is taken in steps of 25 (truncated toward zero).
double voltage(int16_t calU, int16_t raw);
// Amperes of current sample `raw`; `c4` is the type's current scale.
double current(int32_t raw, int16_t calU, int16_t calW, float c4);
// The first k from 2 on with u[k-1] <= 0 < u[k]; `n` when there is none.
int zeroCross(const double *u, int n);
// Where the displayed current starts for zero crossing `z`.
int currentOffset(int z, int n);
// The smallest candidate range holding `peak` (2500 above 1000).
double baseRange(double peak);
// The current axis half-span after `previous` for a trace peaking at `peak`: a range is kept
// until the peak leaves it upwards or falls below its hold value.
double nextRange(double previous, double peak);

// The four value labels (rich text) of an answer; `c5` is the type's power scale.
struct Labels {
    QString current;
    QString voltage;
    QString activePower;
    QString apparentPower;
};
Labels labels(const CurrentFrame &frame, float c5);

// Coefficient `index` of the type, 1 when the catalogue lists fewer.
float scale(const SensorType &type, int index);

} // namespace waveform

// The acquisition behind the waveform window: asks the meter for a capture, reads its two
// buffers, converts and aligns the traces, and repeats until paused. It runs on the GUI thread
// inside the caller's call; every pause goes through the link's waits, so the windows stay
// responsive and a quitting application ends the cycle at once.
class WaveformCapture : public QObject
{
    Q_OBJECT
public:
    WaveformCapture(ManageSerialPort *link, uint16_t address, const SensorType &type,
                    QObject *parent = nullptr);

    // The capture request, then the refresh cycle; returns when paused (or quitting). Does
    // nothing when a cycle already runs (it only forgets the pause then).
    void start();
    void setPaused(bool paused) { m_paused = paused; }
    // Ends the cycle now, the wait under way included (the window closes): paused after it.
    void stop();
    bool paused() const { return m_paused; }
    // From the start of an acquisition to the end of the capture request that follows it.
    bool busy() const { return m_busy; }
    // A cycle (or the capture request before it) is under way.
    bool running() const { return m_running; }

    // One buffer read; true when both frames came and the display changed.
    bool acquire();
    // Asks the meter for a new capture and leaves it the time to make it.
    void requestNext();

    uint16_t address() const { return m_address; }
    int sampleCount() const { return waveform::Samples; }
    double currentRange() const { return m_range; }
    int zeroCrossIndex() const { return m_zeroCross; }
    const double *timeValues() const { return m_time.data(); }
    const double *displayedVoltage() const { return m_shownU.data(); }
    const double *displayedCurrent() const { return m_shownI.data(); }
    const waveform::Labels &labels() const { return m_labels; }
    // Completed acquisitions, and those that lost a frame.
    int acquisitions() const { return m_acquisitions; }
    int missed() const { return m_missed; }

signals:
    // New traces, range and labels are ready to be shown.
    void updated();

private:
    bool pause(int ms);
    bool receive(bool &ok);

    ManageSerialPort *m_link;
    uint16_t m_address;
    float m_c4;
    float m_c5;
    bool m_paused = false;
    bool m_busy = false;
    bool m_running = false;
    bool m_quitting = false;
    bool m_stopped = false;
    double m_range = waveform::InitialRange;
    int m_zeroCross = 0;
    int m_acquisitions = 0;
    int m_missed = 0;
    waveform::Labels m_labels;
    waveform::VoltageFrame m_voltageFrame;
    waveform::CurrentFrame m_currentFrame;
    std::array<double, waveform::Capacity> m_time{};
    std::array<double, waveform::Capacity> m_u{};
    std::array<double, waveform::Capacity> m_i{};
    std::array<double, waveform::Capacity> m_shownU{};
    std::array<double, waveform::Capacity> m_shownI{};
};
