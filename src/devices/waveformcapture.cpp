#include "waveformcapture.h"

#include "linkwait.h"
#include "manageserialport.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>
#include <cmath>
#include <cstdlib>

namespace waveform
{

double voltage(int16_t calU, int16_t raw)
{
    const int q = raw / 25; // C++ division truncates toward zero, as the meter does
    return double(calU) * q * 2.42 / 5888.0;
}

double current(int32_t raw, int16_t calU, int16_t calW, float c4)
{
    return (double(raw) / (double(calU) * 368000.0)) * double(calW) * (10.0 * double(c4));
}

int zeroCross(const double *u, int n)
{
    for (int k = 2; k < n; ++k)
        if (u[k - 1] <= 0 && u[k] > 0)
            return k;
    return n;
}

int currentOffset(int z, int n)
{
    return z >= CurrentLead ? z - CurrentLead : z - CurrentLead + n;
}

namespace
{
constexpr double Candidates[] = {0.5, 1, 2, 5, 10, 25, 50, 75, 100, 150, 200, 500, 1000, 2500};

struct Hold {
    double range;
    double keptFrom;
};
constexpr Hold Holds[] = {{2500, 800}, {1000, 450}, {500, 180}, {200, 140}, {150, 90},
                          {100, 65},   {75, 40},    {50, 19},   {25, 8},    {10, 4.5},
                          {5, 1.8},    {2, 0.8},    {1, 0.4}};
} // namespace

double baseRange(double peak)
{
    if (peak > 1000)
        return 2500;
    for (double r : Candidates)
        if (peak <= r)
            return r;
    return 2500;
}

double nextRange(double previous, double peak)
{
    for (const Hold &h : Holds) {
        if (h.range != previous)
            continue;
        if (peak >= h.keptFrom && (peak <= h.range || h.range == 2500))
            return previous;
        break;
    }
    return baseRange(peak);
}

Labels labels(const CurrentFrame &frame, float c5)
{
    const double scale5 = double(c5);
    // The meter's RMS current goes through a 16-bit register after scaling.
    const auto scaled = static_cast<long long>(std::trunc(double(frame.rmsCurrent) * scale5));
    const double amps = double(static_cast<uint16_t>(scaled)) / 100.0;
    Labels l;
    l.current = QStringLiteral("<b>Current RMS</b> : ") + QString::number(amps, 'f', 3) +
                QStringLiteral(" <b>A</b>");
    l.voltage = QStringLiteral("<b>Voltage RMS</b> :  ") +
                QString::number(double(frame.rmsVoltage) / 100.0, 'f', 2) +
                QStringLiteral(" <b>V</b>");
    l.activePower = QStringLiteral("<b>Active Power</b> : ") +
                    QString::number(double(activePower(frame.activePower)) * scale5, 'f', 1) +
                    QStringLiteral(" <b>W</b>");
    l.apparentPower = QStringLiteral("<b>Apparent Power</b> :  ") +
                      QString::number(double(frame.apparentPower) * scale5, 'f', 1) +
                      QStringLiteral(" <b>VA</b>");
    return l;
}

float scale(const SensorType &type, int index)
{
    // Coefficients the catalogue does not list stay at 1.
    return index >= 0 && index < SensorType::Channels ? type.coefficients[size_t(index)] : 1.0f;
}

} // namespace waveform

WaveformCapture::WaveformCapture(ManageSerialPort *link, uint16_t address, const SensorType &type,
                                 QObject *parent)
    : QObject(parent), m_link(link), m_address(address), m_c4(waveform::scale(type, 4)),
      m_c5(waveform::scale(type, 5))
{
    for (int k = 0; k < waveform::Samples; ++k)
        m_time[size_t(k)] = k * 20.0 / waveform::Samples;
}

bool WaveformCapture::pause(int ms)
{
    LinkWait wait(nullptr, ms);
    LinkWait::Outcome o = LinkWait::Running;
    while ((o = wait.sleep()) == LinkWait::Running) {
    }
    wait.finish(o);
    if (o == LinkWait::Quitting)
        m_quitting = true;
    return o == LinkWait::TimedOut && !m_stopped;
}

void WaveformCapture::stop()
{
    m_paused = true;
    if (!m_running)
        return;
    m_stopped = true;
    // The cycle runs inside this call's caller: the wait it is in is the innermost one.
    if (LinkWait *wait = LinkWait::current())
        wait->stop();
}

void WaveformCapture::requestNext()
{
    m_link->flushInput();
    m_link->sendApiFrame(waveform::captureRequestBody(m_address), 0);
    if (pause(waveform::CapturePauseMs))
        pause(waveform::CapturePauseMs);
    m_busy = false;
}

bool WaveformCapture::receive(bool &ok)
{
    qDebug() << QStringLiteral("read sensor buffer");
    // A waveform frame, or one of a single page's length that some meters send instead; a
    // broken frame would leave the previous frame's data in the link's buffer.
    const int result = m_link->receivePageFrame(m_address, waveform::AnswerTimeoutMs);
    ok = result == ManageSerialPort::PageWaveform || result == ManageSerialPort::OnePage;
    if (!ok)
        qDebug() << QStringLiteral("error com p.  ");
    return ok;
}

bool WaveformCapture::acquire()
{
    m_busy = true;
    // What is waiting now came before the read and answers nothing. Input is not dropped after
    // the read goes out: a meter that answers at once would lose its answer with it.
    m_link->flushInput();
    QTimer refresh;
    refresh.setInterval(5);
    connect(&refresh, &QTimer::timeout, m_link, &ManageSerialPort::refresh_serial);
    refresh.start();
    m_link->sendApiFrame(waveform::bufferReadBody(m_address), 0);
    LinkWait::pauseFor(1);

    waveform::VoltageFrame voltage;
    waveform::CurrentFrame current;
    bool ok = false;
    if (receive(ok)) {
        ok = waveform::decodeVoltageFrame(m_link->lastFrameData(), m_link->lastFrameLength(),
                                          voltage);
        if (!ok) {
            qDebug() << QStringLiteral("error com p.  ");
        } else {
            qDebug() << QStringLiteral("calU") << voltage.calU;
            qDebug() << QStringLiteral("calW") << voltage.calW;
            qDebug() << QStringLiteral("compute u value")
                     << QByteArray(reinterpret_cast<const char *>(m_link->lastFrameData()) +
                                       waveform::VoltageSamplesOffset,
                                   2 * waveform::Samples)
                            .toHex(' ');
            if (receive(ok)) {
                ok = waveform::decodeCurrentFrame(m_link->lastFrameData(),
                                                  m_link->lastFrameLength(), current);
                if (!ok)
                    qDebug() << QStringLiteral("error com p.  ");
            }
        }
    }
    LinkWait::yield();
    refresh.stop();
    if (!ok || m_quitting || m_stopped) {
        ++m_missed;
        return false;
    }

    const int n = waveform::Samples;
    for (int k = 0; k < n; ++k)
        m_u[size_t(k)] = waveform::voltage(voltage.calU, voltage.samples[size_t(k)]);
    m_labels = waveform::labels(current, m_c5);
    qDebug() << QStringLiteral("compute i value");
    double peak = 0;
    for (int k = 0; k < n; ++k) {
        const double i =
            waveform::current(current.samples[size_t(k)], voltage.calU, voltage.calW, m_c4);
        // A meter reporting calU 0 divides by zero: show nothing rather than infinities.
        m_i[size_t(k)] = std::isfinite(i) ? i : 0.0;
        peak = std::max(peak, std::abs(m_i[size_t(k)]));
    }
    m_zeroCross = waveform::zeroCross(m_u.data(), n);
    qDebug() << QStringLiteral("look for zero cross") << m_zeroCross;
    const int zi = waveform::currentOffset(m_zeroCross, n);
    for (int m = 0; m < n; ++m) {
        m_shownU[size_t(m)] = m_u[size_t((m + m_zeroCross) % n)];
        m_shownI[size_t(m)] = m_i[size_t((m + zi) % n)];
    }
    m_range = waveform::nextRange(m_range, peak);
    ++m_acquisitions;
    qDebug() << QStringLiteral("plot");
    emit updated();
    return true;
}

void WaveformCapture::start()
{
    m_paused = false;
    if (m_running)
        return;
    m_running = true;
    m_quitting = false;
    m_stopped = false;
    m_link->dropStaleInput();
    requestNext();
    while (!m_quitting && !m_stopped) {
        qDebug() << QStringLiteral("update waveform");
        acquire();
        qDebug() << QStringLiteral("request next");
        if (!m_quitting && !m_stopped)
            requestNext();
        if (m_paused)
            break;
    }
    m_busy = false;
    m_running = false;
}
