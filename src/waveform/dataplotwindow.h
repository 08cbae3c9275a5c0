#pragma once

#include "tsvfile.h"

#include <QVector>
#include <QWidget>

class QLabel;
class QPushButton;
class QwtPlot;
class QwtPlotCurve;
class QwtPlotZoomer;

// A downloaded .tsv data file as curves against time: one curve per channel, titled with the
// channel and its unit, on the left axis for the first unit and on the right axis for the
// others. Left drag zooms into a rectangle (right click steps back), the middle button pans,
// the wheel zooms; clicking a legend entry hides or shows its curve. Large files are drawn
// from a per-pixel-column reduction of the visible range, so a whole sensor memory stays fluid.
class DataPlotWindow : public QWidget
{
    Q_OBJECT
public:
    explicit DataPlotWindow(QWidget *parent = nullptr);
    ~DataPlotWindow() override;

    // Loads and shows the file; `units` (one per column, may be empty) overrides the units the
    // catalogue gives for the file's titles (empty: the program's sensor.ini). On failure a
    // warning names the file and the reason.
    bool load(const QString &path, const QStringList &units = QStringList(),
              const QString &catalogue = QString());

    QwtPlot *plot() const { return m_plot; }
    const TsvData &data() const { return m_data; }
    int curveCount() const { return m_curves.size(); }
    QwtPlotCurve *curve(int index) const { return m_curves.value(index); }
    QStringList units() const { return m_units; }
    QPushButton *exportButton() const { return m_export; }

public slots:
    void export_file();
    // Rebuilds the drawn points for the visible time range.
    void refreshCurves();

private:
    void clear();

    QwtPlot *m_plot;
    QwtPlotZoomer *m_zoomer;
    QLabel *m_info;
    QPushButton *m_export;
    TsvData m_data;
    QStringList m_units;
    QVector<double> m_timeMs;
    QVector<QwtPlotCurve *> m_curves;
    bool m_refreshing = false;
};
