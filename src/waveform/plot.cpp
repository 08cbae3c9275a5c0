#include "plot.h"

#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_marker.h>
#include <qwt_text.h>

#include <QPalette>
#include <QPen>

Plot::Plot(uint16_t address, QWidget *parent)
    : QwtPlot(parent), m_voltage(new QwtPlotCurve(QStringLiteral("Voltage"))),
      m_current(new QwtPlotCurve(QStringLiteral("Current"))), m_zero(new QwtPlotMarker)
{
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(165, 193, 228));
    setPalette(background);
    setTitle(QStringLiteral("Waveforms Module ") +
             QStringLiteral("%1").arg(address, 4, 16, QChar(QLatin1Char('0'))).toUpper());

    setAxisTitle(xBottom, QStringLiteral("Time (ms)"));
    setAxisScale(xBottom, 0, 20);
    setAxisTitle(yLeft, QStringLiteral("<font color= red> Voltage (V) </font>"));
    setAxisScale(yLeft, -400, 400);
    enableAxis(yRight);
    setAxisTitle(yRight, QStringLiteral("<font color= blue> Current (A) </font>"));
    setAxisScale(yRight, -100, 100);

    QPalette canvasPalette(Qt::white);
    canvasPalette.setColor(QPalette::WindowText, QColor(133, 190, 232));
    canvas()->setPalette(canvasPalette);

    m_voltage->setRenderHint(QwtPlotItem::RenderAntialiased);
    m_voltage->setPen(QPen(Qt::red));
    m_voltage->setAxes(xBottom, yLeft);
    m_voltage->attach(this);
    m_current->setRenderHint(QwtPlotItem::RenderAntialiased);
    m_current->setPen(QPen(Qt::blue));
    m_current->setAxes(xBottom, yRight);
    m_current->attach(this);

    m_zero->setLineStyle(QwtPlotMarker::HLine);
    m_zero->setYValue(0.0);
    m_zero->setLabel(QwtText(QStringLiteral("0"), QwtText::AutoText));
    m_zero->setLabelAlignment(Qt::AlignRight | Qt::AlignTop);
    m_zero->attach(this);
}

void Plot::setTraces(const double *time, const double *voltage, const double *current, int count,
                     double currentRange)
{
    setAxisScale(yRight, -currentRange, currentRange);
    m_voltage->setRawSamples(time, voltage, count);
    m_current->setRawSamples(time, current, count);
    replot();
}
