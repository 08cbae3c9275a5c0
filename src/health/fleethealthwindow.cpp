#include "fleethealthwindow.h"

#include "filelocations.h"
#include "fleetjournal.h"

#include <qwt_date_scale_draw.h>
#include <qwt_date_scale_engine.h>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_marker.h>
#include <qwt_scale_draw.h>
#include <qwt_symbol.h>

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace
{
QString hex4(int sn)
{
    return QStringLiteral("%1").arg(sn, 4, 16, QLatin1Char('0')).toUpper();
}

// The readings are hours apart, not a trace: each one is drawn as a dot on its line.
QwtPlotCurve *addCurve(QwtPlot *plot, const QString &title, const QColor &colour,
                       QwtPlotCurve::CurveStyle style)
{
    auto *curve = new QwtPlotCurve(title);
    curve->setPen(colour, 1.5);
    curve->setStyle(style);
    curve->setSymbol(new QwtSymbol(QwtSymbol::Ellipse, QBrush(colour), QPen(colour), QSize(5, 5)));
    curve->setRenderHint(QwtPlotItem::RenderAntialiased);
    curve->attach(plot);
    return curve;
}

QwtPlot *makePlot(const QString &axisTitle, bool timeLabels)
{
    auto *plot = new QwtPlot;
    plot->setCanvasBackground(Qt::white);
    plot->setAxisTitle(QwtPlot::yLeft, axisTitle);
    // The PC's clock stamped the readings: local time is what the operator lived through.
    plot->setAxisScaleDraw(QwtPlot::xBottom, new QwtDateScaleDraw(Qt::LocalTime));
    plot->setAxisScaleEngine(QwtPlot::xBottom, new QwtDateScaleEngine(Qt::LocalTime));
    // One time scale under the three plots is enough; the upper two keep the axis for the grid.
    plot->enableAxis(QwtPlot::xBottom, timeLabels);
    // The canvases line up when the left axes are equally wide whatever their numbers.
    plot->axisScaleDraw(QwtPlot::yLeft)->setMinimumExtent(48);
    auto *grid = new QwtPlotGrid;
    grid->setMajorPen(QColor(220, 220, 220), 0, Qt::DotLine);
    grid->attach(plot);
    plot->setMinimumHeight(140);
    return plot;
}
} // namespace

FleetHealthWindow::FleetHealthWindow(const FleetJournal *journal,
                                     const health::Thresholds &thresholds, QWidget *parent)
    : QWidget(parent, Qt::Window), m_journal(journal), m_thresholds(thresholds),
      m_combo(new QComboBox), m_reload(new QPushButton(tr("Reload"))), m_summary(new QLabel),
      m_batteryPlot(makePlot(tr("Battery (V)"), false)),
      m_rssiPlot(makePlot(tr("RSSI (dBm)"), false)),
      m_offsetPlot(makePlot(tr("Clock offset (s)"), true))
{
    setWindowTitle(tr("Fleet health"));
    setWindowIcon(QIcon(FileLocations::current().icon(QStringLiteral("waveform.png"))));
    // Fits beside the taskbar of a 1366 x 768 screen.
    resize(1000, 640);

    m_battery = addCurve(m_batteryPlot, tr("Battery"), QColor(0, 140, 0), QwtPlotCurve::Steps);
    auto *low = new QwtPlotMarker;
    low->setLineStyle(QwtPlotMarker::HLine);
    low->setLinePen(QColor(200, 0, 0), 1.0, Qt::DashLine);
    low->setYValue(health::lowBatteryVolts());
    low->setLabel(QwtText(tr("low")));
    low->setLabelAlignment(Qt::AlignLeft | Qt::AlignTop);
    low->attach(m_batteryPlot);
    m_rssi = addCurve(m_rssiPlot, tr("RSSI"), Qt::blue, QwtPlotCurve::Lines);
    m_offset = addCurve(m_offsetPlot, tr("Clock offset"), Qt::red, QwtPlotCurve::Lines);

    m_summary->setWordWrap(true);
    m_summary->setTextFormat(Qt::RichText);
    m_combo->setMinimumContentsLength(6);

    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Sensor")));
    top->addWidget(m_combo);
    top->addWidget(m_reload);
    top->addWidget(m_summary, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_batteryPlot, 1);
    layout->addWidget(m_rssiPlot, 1);
    layout->addWidget(m_offsetPlot, 1);

    connect(m_combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int) { show_sensor(); });
    connect(m_reload, &QPushButton::clicked, this, &FleetHealthWindow::reload);
    reload();
}

int FleetHealthWindow::sensor() const
{
    return m_combo->currentIndex() < 0 ? -1 : m_combo->currentData().toInt();
}

void FleetHealthWindow::setSensor(uint16_t serialNumber)
{
    int index = m_combo->findData(int(serialNumber));
    if (index < 0) {
        m_combo->addItem(hex4(serialNumber), int(serialNumber));
        index = m_combo->count() - 1;
    }
    if (index == m_combo->currentIndex())
        show_sensor();
    else
        m_combo->setCurrentIndex(index);
}

void FleetHealthWindow::reload()
{
    const int shown = sensor();
    {
        const QSignalBlocker quiet(m_combo);
        m_combo->clear();
        for (uint16_t sn : m_journal->sensors())
            m_combo->addItem(hex4(sn), int(sn));
        if (shown >= 0 && m_combo->findData(shown) < 0)
            m_combo->addItem(hex4(shown), shown);
        m_combo->setCurrentIndex(shown >= 0 ? m_combo->findData(shown) : 0);
    }
    show_sensor();
}

void FleetHealthWindow::show_sensor()
{
    const int sn = sensor();
    const QVector<StatusEntry> history =
        sn < 0 ? QVector<StatusEntry>() : m_journal->statusHistory(uint16_t(sn));
    m_series = health::series(history);
    m_battery->setSamples(m_series.batteryTime, m_series.batteryVolts);
    m_rssi->setSamples(m_series.rssiTime, m_series.rssiDbm);
    m_offset->setSamples(m_series.offsetTime, m_series.offsetS);

    QString text;
    if (!m_journal->errorText().isEmpty()) {
        text =
            QStringLiteral("<font color=red>%1</font>").arg(m_journal->errorText().toHtmlEscaped());
    } else if (sn < 0) {
        text = tr("The journal has heard no sensor yet.");
    } else {
        const health::Report r = health::assess(m_journal->healthFacts(uint16_t(sn)), m_thresholds,
                                                QDateTime::currentMSecsSinceEpoch());
        if (!r.known)
            text = tr("Sensor %1 is not in the journal yet.").arg(hex4(sn));
        else
            text = QStringLiteral("<b>%1</b>").arg(r.summary.toHtmlEscaped()) +
                   (r.warnings.isEmpty()
                        ? QString()
                        : QStringLiteral("&nbsp;&nbsp;<font color=red>%1</font>")
                              .arg(r.warnings.join(QStringLiteral(", ")).toHtmlEscaped()));
        m_summary->setToolTip(r.tooltip);
    }
    m_summary->setText(text);

    // One time span for the three plots, so a reading sits at the same x in each.
    double from = 0, to = 0;
    if (!history.isEmpty()) {
        from = double(history.first().pcTimeMs);
        to = double(history.last().pcTimeMs);
    } else {
        to = double(QDateTime::currentMSecsSinceEpoch());
        from = to - 86400000.0;
    }
    if (to - from < 3600000.0) {
        from -= 1800000.0;
        to += 1800000.0;
    }
    for (QwtPlot *plot : {m_batteryPlot, m_rssiPlot, m_offsetPlot}) {
        plot->setAxisScale(QwtPlot::xBottom, from, to);
        plot->setAxisAutoScale(QwtPlot::yLeft, true);
        plot->replot();
    }
}
