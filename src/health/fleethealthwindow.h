#pragma once

#include "health.h"

#include <QWidget>
#include <cstdint>

class FleetJournal;
class QComboBox;
class QLabel;
class QPushButton;
class QwtPlot;
class QwtPlotCurve;

// "Fleet health": one sensor's battery voltage, RSSI and clock offset over time, one plot
// above the other on a common time axis, with the health summary and warnings on top. It only
// shows what the journal and the health computations give; the journal is the caller's and
// must outlive the window.
class FleetHealthWindow : public QWidget
{
    Q_OBJECT
public:
    explicit FleetHealthWindow(const FleetJournal *journal,
                               const health::Thresholds &thresholds = health::Thresholds(),
                               QWidget *parent = nullptr);

    // Shows this sensor (listed even before the journal has heard it).
    void setSensor(uint16_t serialNumber);
    // -1 when no sensor is shown.
    int sensor() const;

    QComboBox *sensorCombo() const { return m_combo; }
    QLabel *summaryLabel() const { return m_summary; }
    QwtPlot *batteryPlot() const { return m_batteryPlot; }
    QwtPlotCurve *batteryCurve() const { return m_battery; }
    QwtPlotCurve *rssiCurve() const { return m_rssi; }
    QwtPlotCurve *offsetCurve() const { return m_offset; }

public slots:
    // Reads the journal's sensors and the shown sensor's history again.
    void reload();

private:
    void show_sensor();

    const FleetJournal *m_journal;
    health::Thresholds m_thresholds;
    QComboBox *m_combo;
    QPushButton *m_reload;
    QLabel *m_summary;
    QwtPlot *m_batteryPlot;
    QwtPlot *m_rssiPlot;
    QwtPlot *m_offsetPlot;
    QwtPlotCurve *m_battery;
    QwtPlotCurve *m_rssi;
    QwtPlotCurve *m_offset;
    health::Series m_series;
};
