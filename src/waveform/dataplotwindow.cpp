#include "dataplotwindow.h"

#include "dialogs.h"
#include "filelocations.h"
#include "pictureexport.h"

#include <qwt_date_scale_draw.h>
#include <qwt_date_scale_engine.h>
#include <qwt_legend.h>
#include <qwt_legend_label.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_magnifier.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_widget.h>

#include <QDebug>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <numeric>

namespace
{
const QColor Colours[] = {
    Qt::red,      Qt::blue,  QColor(0, 140, 0), Qt::magenta, QColor(200, 120, 0),
    Qt::darkCyan, Qt::black, Qt::darkYellow};

// Rows in time order; a file whose ring wrapped may hold an older page after a newer one.
void sortByTime(TsvData &d)
{
    if (d.sorted)
        return;
    QVector<int> order(d.time.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return d.time[a] < d.time[b]; });
    const auto permute = [&](QVector<double> &v) {
        QVector<double> out(v.size());
        for (int i = 0; i < order.size(); ++i)
            out[i] = v[order[i]];
        v.swap(out);
    };
    permute(d.time);
    for (auto &c : d.columns)
        permute(c);
    d.sorted = true;
}
} // namespace

DataPlotWindow::DataPlotWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_plot(new QwtPlot), m_info(new QLabel),
      m_export(new QPushButton(tr("Export as image file")))
{
    setWindowTitle(tr("Plot data"));
    setWindowIcon(QIcon(FileLocations::current().icon(QStringLiteral("waveform.png"))));
    resize(1000, 620);

    m_plot->setCanvasBackground(Qt::white);
    m_plot->setAxisScaleDraw(QwtPlot::xBottom, new QwtDateScaleDraw(Qt::UTC));
    m_plot->setAxisScaleEngine(QwtPlot::xBottom, new QwtDateScaleEngine(Qt::UTC));
    m_plot->setAxisTitle(QwtPlot::xBottom, tr("Time"));
    auto *grid = new QwtPlotGrid;
    grid->setMajorPen(QColor(220, 220, 220), 0, Qt::DotLine);
    grid->attach(m_plot);

    auto *legend = new QwtLegend;
    legend->setDefaultItemMode(QwtLegendData::Checkable);
    m_plot->insertLegend(legend, QwtPlot::BottomLegend);
    connect(legend, &QwtLegend::checked, this, [this](const QVariant &info, bool on, int) {
        if (QwtPlotItem *item = m_plot->infoToItem(info)) {
            item->setVisible(!on);
            m_plot->replot();
        }
    });

    m_zoomer = new QwtPlotZoomer(QwtPlot::xBottom, QwtPlot::yLeft, m_plot->canvas());
    m_zoomer->setTrackerMode(QwtPicker::AlwaysOff);
    auto *panner = new QwtPlotPanner(m_plot->canvas());
    panner->setMouseButton(Qt::MiddleButton);
    new QwtPlotMagnifier(m_plot->canvas());

    connect(m_plot->axisWidget(QwtPlot::xBottom), &QwtScaleWidget::scaleDivChanged, this,
            &DataPlotWindow::refreshCurves);
    connect(m_export, &QPushButton::clicked, this, &DataPlotWindow::export_file);

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_info, 1);
    bottom->addWidget(m_export);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_plot, 1);
    layout->addLayout(bottom);
}

DataPlotWindow::~DataPlotWindow() = default;

void DataPlotWindow::clear()
{
    for (QwtPlotCurve *c : m_curves)
        delete c;
    m_curves.clear();
    m_timeMs.clear();
    m_units.clear();
    m_data = TsvData();
}

bool DataPlotWindow::load(const QString &path, const QStringList &units, const QString &catalogue)
{
    clear();
    QString why;
    if (!readTsvFile(path, m_data, &why)) {
        Dialogs::warning(this, tr("Plot data"),
                         tr("The file %1 can't be plotted: %2").arg(path, why));
        m_data = TsvData();
        return false;
    }
    sortByTime(m_data);
    const int n = m_data.titles.size();
    const QString types = catalogue.isEmpty() ? FileLocations::current().catalogue() : catalogue;
    m_units = units.size() == n ? units : catalogueUnits(m_data.titles, types);
    m_timeMs.resize(m_data.time.size());
    for (int i = 0; i < m_timeMs.size(); ++i)
        m_timeMs[i] = m_data.time[i] * 1000.0;

    // First unit on the left, every other one on the right.
    QStringList axisUnits;
    for (const QString &u : m_units)
        if (!axisUnits.contains(u))
            axisUnits << u;
    QStringList rightUnits = axisUnits.mid(1);
    const auto unitText = [](const QString &u) { return u.isEmpty() ? tr("value") : u; };
    m_plot->setAxisTitle(QwtPlot::yLeft, unitText(axisUnits.value(0)));
    m_plot->enableAxis(QwtPlot::yRight, !rightUnits.isEmpty());
    QStringList rightTitles;
    for (const QString &u : rightUnits)
        rightTitles << unitText(u);
    m_plot->setAxisTitle(QwtPlot::yRight, rightTitles.join(QStringLiteral(" / ")));

    for (int c = 0; c < n; ++c) {
        const QString unit = m_units.value(c);
        auto *curve = new QwtPlotCurve(unit.isEmpty()
                                           ? m_data.titles[c]
                                           : QStringLiteral("%1 (%2)").arg(m_data.titles[c], unit));
        curve->setPen(Colours[c % 8], 1.0);
        curve->setAxes(QwtPlot::xBottom,
                       unit == axisUnits.value(0) ? QwtPlot::yLeft : QwtPlot::yRight);
        curve->attach(m_plot);
        m_curves << curve;
    }
    for (int axis : {int(QwtPlot::xBottom), int(QwtPlot::yLeft), int(QwtPlot::yRight)})
        m_plot->setAxisAutoScale(axis, true);
    m_plot->setAxisScale(QwtPlot::xBottom, m_timeMs.first(),
                         m_timeMs.last() > m_timeMs.first() ? m_timeMs.last()
                                                            : m_timeMs.first() + 1000.0);
    setWindowTitle(tr("Plot data - %1").arg(QFileInfo(path).fileName()));
    m_info->setText(
        tr("%1 rows of sensor %2").arg(m_data.time.size()).arg(m_data.serialNumber) +
        (m_data.stopRows ? tr(", %1 recording stops").arg(m_data.stopRows) : QString()) +
        (m_data.rejectedRows ? tr(", %1 lines without a time left out").arg(m_data.rejectedRows)
                             : QString()));
    refreshCurves();
    m_plot->setAxisAutoScale(QwtPlot::yLeft, true);
    m_plot->replot();
    m_zoomer->setZoomBase(true);
    return true;
}

void DataPlotWindow::refreshCurves()
{
    if (m_refreshing || m_curves.isEmpty())
        return;
    m_refreshing = true;
    const QwtInterval shown = m_plot->axisInterval(QwtPlot::xBottom);
    const int columns = std::max(100, m_plot->canvas()->width());
    QVector<double> x, y;
    for (int c = 0; c < m_curves.size(); ++c) {
        decimateMinMax(m_timeMs.constData(), m_data.columns[c].constData(), m_timeMs.size(),
                       shown.minValue(), shown.maxValue(), columns, x, y);
        m_curves[c]->setSamples(x, y);
    }
    m_refreshing = false;
}

void DataPlotWindow::export_file()
{
    exportPicture(this, m_plot);
}
