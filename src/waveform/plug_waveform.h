#pragma once

#include "sensortype.h"

#include <QWidget>
#include <cstdint>

class ManageSerialPort;
class Plot;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;
class WaveformCapture;

// The live waveforms of one power meter: the plot, the four values the meter computed, a
// pause/refresh button and an export of the plot with its values as an image. The acquisition
// starts once the window is shown and its creator had the chance to connect waveformClosed()
// (a queued call), and runs nested in the event loop until paused or closed. Closing is
// deferred until the acquisition has let go of the link.
class plug_waveform : public QWidget
{
    Q_OBJECT
public:
    plug_waveform(ManageSerialPort *link, uint16_t address, const SensorType &type,
                  QWidget *parent = nullptr);
    ~plug_waveform() override;

    WaveformCapture &capture() const { return *m_capture; }
    Plot *plot() const { return m_plot; }
    QGroupBox *groupBox() const { return m_group; }
    QLabel *voltageLabel() const { return m_voltage; }
    QLabel *currentLabel() const { return m_current; }
    QLabel *activePowerLabel() const { return m_active; }
    QLabel *apparentPowerLabel() const { return m_apparent; }
    QPushButton *pauseButton() const { return m_pause; }
    QPushButton *exportButton() const { return m_export; }

signals:
    void waveformClosed();

public slots:
    void switchPauseRefresh();
    void export_file();
    void close_window();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void startAcquisition();
    void showResults();

    WaveformCapture *m_capture;
    Plot *m_plot;
    QGroupBox *m_group;
    QLabel *m_voltage;
    QLabel *m_apparent;
    QLabel *m_current;
    QLabel *m_active;
    QPushButton *m_export;
    QPushButton *m_pause;
    QTimer *m_closeTimer = nullptr;
};
