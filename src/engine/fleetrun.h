#pragma once

#include "archive.h"
#include "fleetmodel.h"
#include "pagevouch.h"
#include "runprogress.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>

class ManageSerialPort;

// What an action run is on either dongle: it serves every sensor of the fleet once (its
// parameter block, then its pages into the data files) and ends when all were served or it was
// stopped. The state, the files, the progress and the start and end of a run are written here
// once; each dongle's run supplies how it reaches a sensor and fetches a page.
class FleetRun : public QObject
{
    Q_OBJECT
public:
    ~FleetRun() override;

    // Where the data files go and what they hold.
    struct Settings {
        QString folder;
        bool pdc = false;
        bool debug = false;
    };
    void setSettings(const Settings &settings) { m_settings = settings; }
    const Settings &settings() const { return m_settings; }

    // What the front end adds to a run. Each may be left empty.
    struct Hooks {
        // The output folder exists, or was made; false ends the run (the hook has told the
        // operator). Empty: the folder is made here and a failure is reported by failed().
        std::function<bool()> ensureFolder;
        // Opens the sensor's data files; empty: they are made in `folder`.
        std::function<bool(uint32_t serialNumber)> createFiles;
    };
    void setHooks(const Hooks &hooks) { m_hooks = hooks; }

    bool isRunning() const { return m_running; }
    bool isDownloading() const { return m_downloading; }
    const RunProgress &progress() const { return m_progress; }
    // The channels and period the parameter blocks carry, as the last sensor's row chose them.
    FleetModel::Selection selection() const { return m_selection; }

    // What each sensor's download did with its pages in this run.
    pagevouch::Stats downloadStats(uint32_t serialNumber) const
    {
        return m_stats.value(serialNumber);
    }
    // The line a summary gives of a sensor's download, or empty when it fetched nothing.
    QString downloadSummary(uint32_t serialNumber) const;
    // The Status of a download that ended on a page it could not vouch for.
    static QString pageRefusedText(int page);
    // The statuses a stop leaves, and those of a sensor nothing has happened to yet: a front
    // end that stopped the run itself tells its own reason instead.
    static bool isStopText(const QString &status);
    static bool isWaitingText(const QString &status);

    // Decodes `count` pages of the link's last received frame into the sensor's files, opening
    // them first when none is open; false when they cannot be opened or written.
    bool decode_pages(uint32_t serialNumber, int count);
    // For a collection of new data: finds where the sensor's archive ends (cutting a torn last
    // row away), so that its parameter block asks only for what follows. A download that is
    // resumed keeps what it found when it started.
    void prepareNewData(uint32_t serialNumber);
    // What the last decode_pages made of its pages.
    FleetModel::Decoded lastDecode() const { return m_lastDecode; }

    // Ends the run: the files close and the front end gets its controls back (stopped()). Called
    // from inside a wait of the run it cuts that wait short and the run ends at once.
    virtual void stop_run() = 0;

public slots:
    // The time-out of the exchange under way passed.
    void time_out();

signals:
    // The run stopped: the front end gives its controls back.
    void stopped();
    // `serialNumber` was served.
    void sensorServed(uint32_t serialNumber);
    // The run is over: the action boxes are unchecked.
    void finished();
    // A run that could not start, for a message box.
    void failed(const QString &title, const QString &text);

protected:
    FleetRun(FleetModel *model, ManageSerialPort *link, QObject *parent);

    // A run begins: counts and statistics start from nothing.
    void beginRun();
    // The output folder is there, or the run ends here and the operator is told why.
    bool folderReady();
    // Every row waits for its sensor's answer, with nothing left of the last run: not served,
    // no download under way or outcome, no contact, files closed.
    void resetRows();
    // The rows' pending changes can be sent; else the run ends here and the operator is told why.
    bool pendingChangesReady();
    // `row`'s sensor was served: the row says so and the front end hears it.
    void markServed(uint32_t serialNumber, int row);
    // Cut short: every sensor not served is told why, the dongle that stayed away or the stop.
    void markUnserved();
    // The part of a stop both dongles share: files closed, no download under way.
    void endRun();

    // How a sensor's download left its page loop.
    struct DownloadEnding {
        int refusedPage = -1;     // a page nobody could vouch for was given up
        bool writeFailed = false; // a data file could not be written
        bool complete = false;    // the last page is in the files
        bool lastDecoded = true;  // the last page decoded went into the files (none: true)
    };
    // Records how the download of `row`'s sensor ended, shows it and closes its files; false
    // then. True when it did not end: the files stay open and the download goes on at the
    // sensor's next wake. What the dongle must be told (a stop request) is the caller's.
    bool endDownload(uint32_t serialNumber, int row, const DownloadEnding &ending);
    // A new-data collection's row tells what its archive lost.
    void tellArchive(int row);

    FleetModel *m_model;
    ManageSerialPort *m_link;
    Settings m_settings;
    Hooks m_hooks;
    bool m_running = false;
    bool m_downloading = false;
    bool m_timedOut = false;     // the exchange under way went past its time-out
    bool m_portTimedOut = false; // the dongle stayed away: the run ended on it
    FleetModel::Selection m_selection;
    RunProgress m_progress;
    QHash<uint32_t, pagevouch::Stats> m_stats;
    QHash<uint32_t, archive::Plan> m_plans; // new-data collections under way
    FleetModel::Decoded m_lastDecode = FleetModel::Decoded::Ok;
    QTimer m_connectionTimer;
};
