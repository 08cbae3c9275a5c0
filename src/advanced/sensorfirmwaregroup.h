#pragma once

#include "sensorfirmware.h"
#include "sensorrecord.h"

#include <QGroupBox>
#include <QTimer>

class ManageSerialPort;
class QLabel;
class QProgressBar;
class QPushButton;

// The "Update Sensor Firmware" group of the advanced sensor window: one button that asks for an
// S-record file and sends it to the window's sensor or relay, a status line and a progress bar.
// While it runs, the button blinks and a press interrupts the update between two frames.
class SensorFirmwareGroup : public QGroupBox
{
    Q_OBJECT
public:
    SensorFirmwareGroup(ManageSerialPort *link, const SensorRecord &record,
                        SensorFirmwareUpdate::RestartIntoLoader restartIntoLoader,
                        QWidget *parent = nullptr);

    bool isUploading() const { return m_uploading; }
    // The version a finished update must beat when the sensor is found in its loader already.
    void setKnownVersion(quint8 version) { m_knownVersion = version; }
    QString statusText() const;

public slots:
    // The button: starts an update, or interrupts the one under way.
    void ProgramClicked();
    // Interrupts an update under way, as a press of the button would (the window is closing).
    void stopUpload();

signals:
    // True from the press until the update is over: the window disables Read Data, Write Data
    // and Save data to file meanwhile.
    void uploadRunning(bool running);
    // The operator interrupted the update: a wait for the device under way must end too.
    void interrupted();

private:
    void each_sec();
    void setIdle();

    ManageSerialPort *m_link;
    uint16_t m_serialNumber;
    quint8 m_knownVersion;
    SensorFirmwareUpdate::RestartIntoLoader m_restartIntoLoader;
    QPushButton *m_button;
    QLabel *m_status;
    QProgressBar *m_progress;
    QTimer m_blink;
    bool m_blinkPhase = false;
    bool m_uploading = false; // the operator's running flag: cleared by a second press
    bool m_busy = false;      // an update is on the stack
    SensorFirmwareUpdate *m_update = nullptr;
};
