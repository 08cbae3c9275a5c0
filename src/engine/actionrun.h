#pragma once

#include "fleetmodel.h"
#include "fleetrun.h"
#include "listenphases.h"
#include "pagecheck.h"
#include "pagevouch.h"
#include "radiopaths.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTimer>
#include <QVector>
#include <cstdint>

class ManageSerialPort;

// The action run on the 802.15.4 dongle: it listens for the sensors of the fleet as they wake
// on their own schedule, serves each once (shows its answer, sends its parameter block, fetches
// its pages) and ends when every sensor was served or the operator stops it. Everything runs on
// the caller's thread: the link's waits keep processing events, so a stop, the timers and the
// one-second tick all happen in the middle of the run.
class ActionRun : public FleetRun
{
    Q_OBJECT
public:
    // run() and sensor_action_cycle() results.
    enum Cycle { NoAnswer = 0, Served = 1, FilesLeftOpen = 2 };

    ActionRun(FleetModel *model, ManageSerialPort *link, QObject *parent = nullptr);
    ~ActionRun() override;

    // What a front end shows of the run under way.
    const ListenPhases &listening() const { return m_listening; }
    // The relay the dongle listens through for the sensor served now (0xFFFF: everyone).
    uint16_t listenAddress() const { return m_listenAddress; }

    // The relay table and every sensor's path: the run keeps them up to date from the RSSI
    // lists and answers it hears.
    radiopaths::RadioPaths &paths() { return m_paths; }
    const radiopaths::RadioPaths &paths() const { return m_paths; }

    // The run itself: returns when it ended.
    void action_run();
    // Ends a run: the timers stop, the dongle forgets the sensors, open files close. Called
    // from inside a wait of the run it cuts that wait short and the run ends at once.
    void stop_run() override;
    // The run's one-second clock.
    void tick();

    int sensor_action_cycle(uint32_t serialNumber);
    // false when it closed the data files (or timed out); true when they stay open.
    bool download_pages(uint32_t serialNumber);
    void read_page_range(uint32_t serialNumber);
    bool request_pages(uint32_t serialNumber, uint16_t firstPage, uint8_t count);
    bool request_pages_relay(uint32_t serialNumber, uint16_t firstPage, uint16_t count,
                             uint16_t relay);
    bool refresh_row_from_answer(uint32_t serialNumber, int mode);

    bool dongle_add_sensor(uint32_t serialNumber);
    bool sensor_ack_direct(uint32_t serialNumber);
    bool set_current_sensor(uint32_t serialNumber);
    bool relay_register_sensor(uint32_t serialNumber, uint16_t relay);
    bool relay_release_sensor(uint32_t serialNumber, uint16_t relay);
    bool relay_add_current_sensor(uint32_t serialNumber, uint16_t relay);
    void refresh_relay();

    // The last sensor frame the run received (as lastFrameData() lays it out).
    const QByteArray &answer() const { return m_answer; }

    // Requests made again for pages already asked for, over the whole run.
    int pageReRequests() const { return m_pageReRequests; }

    // The port went away: waits, processing events, until the link is open again (the connection
    // bar reopens it when the dongle comes back), the run is stopped or the connection time-out
    // passes. True when the link is open.
    bool wait_for_link();

signals:
    // A received copy of a page was not taken as it came (its header failed its check): the
    // page is asked for again.
    void pageRefused(uint32_t serialNumber, int page);

private:
    bool sendBody(const QByteArray &body);
    // Sends what the radio paths asked for; relay list bodies wait for their acknowledgement.
    void sendBodies(const QVector<QByteArray> &bodies);
    bool sendRelayListBody(const QByteArray &body, uint16_t relay);
    void handle_rssi_list();
    int receiveAnswer(uint16_t filter);
    void takeAnswer();
    bool prepare();
    void listen();
    void pollRelay(bool skipDownloading);
    void served(uint32_t serialNumber, int row);
    void releaseCurrent(uint16_t relay);
    void forgetDongleLists();
    void stampClock(command::Block &payload, uint8_t subSecondBase) const;
    void showProgress(int row, int next);
    void closeDownload(uint32_t serialNumber);
    // Checks the pages of the page frame just received, which starts at the page asked for, and
    // returns how many of them, from the first, may be decoded; fewer than `inFrame` when one
    // waits for another copy.
    int checkedPages(uint32_t serialNumber, int page, int inFrame, int request);
    // Keeps the pages of a frame past the one expected as copies, for the next request.
    void keepCopies(uint32_t serialNumber, int page, int inFrame, int request);
    int pagesInFrame(const SensorRecord &rec, int page, int inFrame) const;
    void endDownloadLine(uint32_t serialNumber);

    radiopaths::RadioPaths m_paths;
    bool m_waitExpired = false;
    bool m_announceCurrent = false;
    bool m_answerWaiting = false;
    bool m_refreshing = false; // the relay table is being refreshed between two frames
    uint16_t m_listenAddress = 0xFFFF;
    ListenPhases m_listening;
    QTimer m_relayRefreshTimer;
    radiopaths::RelayPolls m_polls;
    QByteArray m_answer;
    // Dongle bodies a stop could not send from inside a wait; the run sends them as it ends.
    bool m_forgetOwed = false;
    // Per sensor download: the retry state of the page being fetched and the page accepted last
    // (a download cut and resumed goes on with both).
    struct PageChecks {
        pagevouch::Vouch vouch;
        QByteArray previous;
    };
    PageChecks &checksFor(uint32_t serialNumber);
    QHash<uint32_t, PageChecks> m_checks;
    int m_pageReRequests = 0;
    int m_requestSeq = 0;
};
