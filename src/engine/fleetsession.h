#pragma once

#include <QHash>

#include "actionrun.h"
#include "detection.h"
#include "fleetmodel.h"
#include "health.h"
#include "lorarun.h"
#include "pagevouch.h"
#include "runprogress.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>
#include <cstdint>

class FleetJournal;
class ManageSerialPort;

// How a sensor's turn in a run ended.
enum class SensorOutcome {
    Served,           // its actions were taken and no data was asked for
    DownloadComplete, // every page of its download is in the files
    NoData,           // the window held no sample
    WriteError,       // a data file could not be written
    PageRefused,      // a page nobody could vouch for was given up
    Interrupted,      // the run was stopped before the sensor was done
    Timeout,          // the sensor, or the dongle, stayed silent too long
};
// The Status text the table shows for an outcome (`page`: the page a refusal gave up).
QString outcomeText(SensorOutcome outcome, int page = -1);

// What a run did for one sensor.
struct SensorSummary {
    uint32_t serialNumber = 0;
    SensorOutcome outcome = SensorOutcome::Interrupted;
    // Served and, when data was asked for, all of it on disk (an empty window included).
    bool done = false;
    // The run did something to the sensor: it was served, or pages of it were written.
    bool touched = false;
    QString status; // the sensor's last status
    pagevouch::Stats pages;
    QString pagesText; // "pages fetched N, re-requested N, ..."; empty when none was fetched
    uint32_t rows = 0; // sample rows written
    // A collection of new data: the archives written to, the ones it started (and why), and
    // what the sensor's memory overwrote before it was collected.
    QStringList archivePaths;
    QStringList archiveNotes;
    QVector<archive::Gap> gaps;
};

struct RunSummary {
    QVector<SensorSummary> sensors;
    bool allDone() const;
    // Whether the run did anything to any sensor; a run stopped before that leaves nothing to
    // take the operator's choice back for.
    bool anyTouched() const;
};

// The one way a front end works with the fleet: it owns the sensors, their radio paths, the
// detection and the action run on either dongle, starts and stops them, and tells what happens
// as typed events. The window and the collector both drive it; neither reads a display text
// or polls a flag.
class FleetSession : public QObject
{
    Q_OBJECT
public:
    explicit FleetSession(ManageSerialPort *link, QObject *parent = nullptr);
    ~FleetSession() override;

    FleetModel &fleet() { return m_fleet; }
    const FleetModel &fleet() const { return m_fleet; }
    const radiopaths::RadioPaths &paths() const { return m_run.paths(); }
    // The runs themselves, for the tests and benchmarks that look inside one (the listening
    // phase, a run's settings); no front end reaches them.
    ActionRun &actionRun() { return m_run; }
    LoraRun &loraRun() { return m_lora; }
    Detection &detection() { return m_detection; }

    // Where a run's files go and what they hold; the front end's hooks come on top.
    using RunSettings = FleetRun::Settings;
    void setRunSettings(const RunSettings &settings);
    void setHooks(const FleetRun::Hooks &hooks);

    // Runs the chosen actions over the fleet on whichever dongle the link has, and returns
    // when the run is over (the caller's events go on meanwhile). False when no dongle is
    // open: nothing ran.
    bool runActions();
    // Listens for the sensors in reach; returns when stopped or out of passes.
    bool detect();
    // Ends the run or the detection under way; from inside one of their waits, at once.
    void stop();
    // The run's one-second clock (listening phases, contact ages), from the front end's timer;
    // it also reports the progress.
    void tick();
    // Where every status answer and every sensor's collection is recorded, and what the health
    // of the sensors is read from (none: nothing is recorded). The front end owns it; a journal
    // that fails never stops a run.
    void setJournal(FleetJournal *journal, const health::Thresholds &thresholds);
    // What the journal records is also put in its outbox for a broker, under this topic prefix
    // (empty: nothing is); with `rows`, so are the rows each collection adds to the archives.
    void setPublishing(const QString &topicPrefix, int qos, bool rows = false);
    // Reads the sensor's health from the journal again into its row.
    void refreshHealth(uint32_t serialNumber);
    // Shows the RSSI lists again (rssiListsChanged), from what the radio paths hold now.
    void showRssiLists() { m_detection.show_rssi_lists(); }
    // Every relay and path forgotten (devices moved to other channels or restarted): the next
    // detection or RSSI list finds them again. The lists show empty.
    void forgetPaths();
    // Shows a status answer that came outside a run (a sub-window's exchange) in the sensor's
    // row, its radio path chosen as a run would.
    void showAnswer(uint32_t serialNumber, const QByteArray &answer);
    bool isRunning() const { return m_run.isRunning() || m_lora.isRunning(); }
    bool isDetecting() const { return m_detection.isRunning(); }
    bool isBusy() const { return isRunning() || isDetecting(); }
    const RunProgress &progress() const { return m_current->progress(); }
    // What the last run did, sensor by sensor, in table order.
    RunSummary summary() const;
    // One sensor's part of it; an unknown serial number gives an empty summary.
    SensorSummary summaryFor(uint32_t serialNumber) const;

signals:
    // A sensor's turn is over (each sensor once a run); `text` is its Status.
    void sensorOutcome(uint32_t serialNumber, SensorOutcome outcome, const QString &text);
    // The run's counts moved: sensors served, pages fetched and to fetch, rate.
    void progressChanged(const RunProgress &progress);
    // The run stopped: the controls may be given back. From inside one of its waits this comes
    // at once, before the run has unwound and runEnded() follows.
    void stopped();
    // The run ended and what it did.
    void runEnded(const RunSummary &summary);
    // A run that could not start, for a message box or a line.
    void failed(const QString &title, const QString &text);
    void sensorDetected(uint32_t serialNumber);
    // The detection ended by itself (out of passes).
    void detectionRanOut();
    // The RSSI lists as the dongle and each relay hear the fleet now, for the list boxes.
    void rssiListsChanged(const QVector<radiopaths::ListView> &views);

private:
    void turnOver(uint32_t serialNumber);
    void recordAnswer(int row, bool detection);
    void recordCollection(uint32_t serialNumber);
    SensorSummary summaryOf(int row) const;

    ManageSerialPort *m_link;
    FleetModel m_fleet;
    ActionRun m_run;
    LoraRun m_lora;
    // The run under way, or the one that ran last: what progress and summary tell of.
    FleetRun *m_current = &m_run;
    Detection m_detection;
    QSet<uint32_t> m_told; // sensors whose outcome this run told
    FleetJournal *m_journal = nullptr;
    health::Thresholds m_thresholds;
    qint64 m_runStartedMs = 0;
    QString m_publishPrefix;
    int m_publishQos = 1;
    bool m_publishRows = false;
    // Archive file -> where the rows put in the outbox end, so that a sensor collected in more
    // than one go within a run has each row published once.
    QHash<QString, qint64> m_rowsPublishedTo;

    void publishRows(int row);
};
