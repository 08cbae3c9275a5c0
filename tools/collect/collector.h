#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <memory>
#include <optional>

#include "fleetsession.h"

class MqttPublisher;
class QTextStream;

namespace collect
{

enum ExitCode { AllServed = 0, SomeNotServed = 1, Unusable = 2 };
// How long the collector waits at the end for the broker to take what the run left.
constexpr int PublishDrainMs = 5000;

struct Options {
    QString port;
    QVector<uint16_t> sensors; // --sensors, in the order given
    QString listFile;
    int detectSeconds = 0; // 0: no detection before the run
    bool setTime = false;
    bool downloadAll = false;
    bool downloadNew = false; // --download new: each sensor's samples since its archive's last
    int periodCode = -1;      // --period, as the sensor's code; -1: not changed
    QVector<int> channels;    // --channels: channel numbers from 1
    bool clearMemory = false;
    bool clearAfterDownload = false;
    QString summaryJson; // --summary-json FILE
    QDateTime from; // both valid: download between them
    QDateTime to;
    QString outDir = QStringLiteral(".");
    int timeoutSeconds = 0; // 0: none
    QString configFile;     // empty: the config.ini in use (FileLocations)
    QString frameLog;       // empty: LOG/FRAME_LOG of the settings, if any
    QString mqtt;           // --mqtt HOST[:PORT]; empty: as the [MQTT] settings say
    bool mqttRows = false;  // --mqtt-rows
    bool verbose = false;

    bool downloadBetween() const { return from.isValid(); }
    bool anyDownload() const { return downloadAll || downloadNew || downloadBetween(); }
    // Changes to the recording itself.
    bool changesRecording() const { return periodCode >= 0 || !channels.isEmpty() || clearMemory; }
};

struct Parsed {
    std::optional<Options> options; // empty on an error or for --help
    bool help = false;
    bool helpAll = false; // --help-all: the help with the toolkit's own options
    QString error;
};

// The command line (arguments()[0] included). Every wrong argument is an error naming it.
Parsed parseArguments(const QStringList &arguments);
QString helpText();
// Prints the help with the toolkit's options (--help-all) and ends the process with 0.
[[noreturn]] void showHelpAll();

// One collection: opens the port, runs the action over the listed sensors and tells what
// happens, one line per event on `out`, problems on `err`.
class Collector : public QObject
{
    Q_OBJECT
public:
    Collector(const Options &options, QTextStream &out, QTextStream &err,
              QObject *parent = nullptr);
    ~Collector() override;

    // Returns the exit code.
    int run();
    // After run(): messages still to send to a broker that is there. main() gives the
    // publisher's idle() a bounded time, then calls endPublishing(), which says what was sent.
    bool publishing() const;
    MqttPublisher *publisher() const { return m_publisher.get(); }
    void endPublishing();

public slots:
    // Ends the run cleanly (files closed, the dongle forgets the sensors): a signal, or the
    // time-out.
    void stop(const QString &why);

private slots:
    // A run that could not start.
    void failed(const QString &title, const QString &text);

private:
    void statusChanged(int row);
    void outcome(uint32_t serialNumber, SensorOutcome outcome);
    void line(const QString &text);
    // Why a sensor that was not served ends so, in the collector's own words when the
    // collector itself stopped the run.
    QString reason(const SensorSummary &sensor) const;
    // The period and channels asked for, put in each sensor's selectors; false (with a line on
    // `err`) when a sensor's type does not allow them.
    bool applySettings(FleetModel &model);
    // After the downloads: the memories of the sensors whose download completed are cleared at
    // their next wake. Returns the serial numbers cleared.
    QSet<uint32_t> clearDownloaded(FleetSession &session, const RunSummary &downloads);
    bool writeSummary(const RunSummary &summary, const QHash<uint32_t, QJsonObject> &last,
                      int exitCode, const QDateTime &started, const QSet<uint32_t> *cleared);

    Options m_options;
    QTextStream &m_out;
    QTextStream &m_err;
    FleetSession *m_session = nullptr; // while it runs
    bool m_stopping = false;
    bool m_interrupted = false; // before the run began
    bool m_opening = false;     // the port is being opened
    QString m_stopWhy;          // the first reason the collector stopped for
    bool m_stoppedDetecting = false;
    // What was told per serial number, so that a line is written only for news.
    QHash<uint16_t, QString> m_lastStatus;
    QHash<uint16_t, int> m_lastDecile;
    QHash<uint16_t, bool> m_toldDetected;
    bool m_clearing = false; // the pass that clears the memories after their downloads
    std::unique_ptr<MqttPublisher> m_publisher;
};

} // namespace collect
