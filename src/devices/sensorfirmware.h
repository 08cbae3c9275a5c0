#pragma once

#include "firmwareimage.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

class ManageSerialPort;

// Sends a new firmware image from an S-record file to one sensor or one relay over the
// 802.15.4 dongle. The image goes out on the loaders' own radio channel; the dongle is set back
// to its channel on every way out. Everything runs on the GUI thread: run() returns when the
// update is over, and cancel() (from a click processed by one of its waits) stops it between
// two frames.
class SensorFirmwareUpdate : public QObject
{
    Q_OBJECT
public:
    // Wakes a sensor that is not in its loader yet and restarts it there; stores the version
    // its frame reported. False when it failed or was stopped (it should watch isCancelled()).
    using RestartIntoLoader = std::function<bool(quint8 *versionBefore)>;

    // `knownVersion` is the sensor's identification byte as last heard: the version to beat
    // when the sensor is already in its loader.
    SensorFirmwareUpdate(ManageSerialPort *link, uint16_t serialNumber, quint8 knownVersion,
                         RestartIntoLoader restartIntoLoader, QObject *parent = nullptr);

    void run(const QString &path);
    bool isRunning() const { return m_running; }
    bool isCancelled() const { return m_cancelled; }
    QString status() const { return m_status; }
    // The version the device reported after a successful update, or -1.
    int newVersion() const { return m_newVersion; }

public slots:
    void cancel();

signals:
    void statusChanged(const QString &text);
    void progressChanged(int sentBytes, int imageSize);
    void finished();

private:
    enum class Streamed { All, Failed, Cancelled };
    void update(const QString &path);
    void runSensor(const QByteArray &image);
    void runRelay(const QByteArray &image);
    // Both: the page frames; sets the status when they do not all go out.
    Streamed stream(const QByteArray &image);
    // The image streamed and its end told; false, with the status set, when cancelled before
    // or when the stream failed.
    bool sendImage(const QByteArray &image, firmware::Target target);
    // False (with the status set) when the dongle's channel cannot be read or set.
    bool enterLoaderChannel(int *saved);
    bool setDongleChannel(int channel);
    bool pause(int ms);
    void setStatus(const QString &text);
    QString failureText() const;

    ManageSerialPort *m_link;
    uint16_t m_serialNumber;
    quint8 m_knownVersion;
    RestartIntoLoader m_restartIntoLoader;
    bool m_running = false;
    bool m_cancelled = false;
    QString m_status;
    int m_newVersion = -1;
};
