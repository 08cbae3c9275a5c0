#pragma once

#include <qwt_plot.h>

class QwtPlotCurve;
class QwtPlotMarker;

// The waveform plot: voltage on the left axis (fixed at +-400 V), current on the right axis
// (its half-span chosen by the acquisition), 20 ms of time along the bottom.
class Plot : public QwtPlot
{
    Q_OBJECT
public:
    explicit Plot(uint16_t address, QWidget *parent = nullptr);

    // The curves take the arrays as they are (no copy): they must outlive the plot's use.
    void setTraces(const double *time, const double *voltage, const double *current, int count,
                   double currentRange);

    QwtPlotCurve *voltageCurve() const { return m_voltage; }
    QwtPlotCurve *currentCurve() const { return m_current; }

private:
    QwtPlotCurve *m_voltage;
    QwtPlotCurve *m_current;
    QwtPlotMarker *m_zero;
};
