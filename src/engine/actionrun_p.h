#pragma once

// What the action run's two source files share: its timings, texts and small rules. The run
// itself is in actionrun.cpp, its page loop in pageloop.cpp.

#include "commandset.h"
#include "fleetmodel.h"
#include "hextext.h"
#include "sensorrecord.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

class ManageSerialPort;

namespace actionrun
{
using FM = FleetModel;

constexpr int ListenMsSettled = 2500; // phases 0 and 2
constexpr int ListenMsRelayPoll = 500;
constexpr int ListenMsLate = 1000;
constexpr int RelayRefreshMs = 15000;
constexpr int ParameterWaitMs = 2500;
constexpr int DownloadWaitMs = 600000;
constexpr int ParameterSends = 4;
constexpr int PageAttempts = 3;
constexpr int PageWaitShortMs = 400; // devices that always listen answer at once
constexpr int PageWaitMs = 2800;
// Once a request's frames are coming, the next one follows within a frame's time on the line
// (under 100 ms at the slowest rate the dongle runs at). This long without it, it was lost on the
// way: waiting out the whole page wait would keep an awake sensor idle for nothing.
constexpr int StreamGapMs = 250;
// A request whose stream is this damaged is given up for a new one.
constexpr int MaxBrokenInRequest = 16;
// Or that brought this many bytes that are no frame: some four frames' worth.
constexpr int MaxNoiseInRequest = 4096;
constexpr int MaxFrames = 3969; // a whole ring and one: a stream that never ends stops here
// How long a run waits for a dongle that went away: as long as a whole download may take, time
// enough to find the dongle and plug it in again.
constexpr int PortBackMs = DownloadWaitMs;

inline const QString WaitResponse = QStringLiteral("Wait for sensor response");
inline const QString Interrupted = QStringLiteral("Action Interrupted by User");
inline const QString Timeout = QStringLiteral("Connection Timeout");
inline const QString WriteError = QStringLiteral("Error writing data in file");
inline const QString NoDataText = QStringLiteral("No data in file, check dates");
inline const QString NothingNewText = QStringLiteral("No new data");

using command::isRelayType;

inline bool alwaysListening(uint32_t serialNumber)
{
    return serialNumber >= command::AlwaysListeningFrom;
}

// Relays and always-listening devices answer at once and may be asked again for a lost frame;
// a battery sensor that missed one has gone back to sleep.
inline bool pagesMayBeAskedAgain(const SensorRecord &rec)
{
    return isRelayType(rec.sensor_type) ||
           (rec.sensor_type == 0 && alwaysListening(rec.serial_number));
}

// Both runs: the page range of a sensor's answer into its record, with its diagnostic line.
void store_page_range(FleetModel &model, uint32_t serialNumber, const QByteArray &answer);
// Both runs: what mark_pending_changes' result `marked` tells the operator; an empty title when
// the run may go on.
struct Refusal {
    QString title;
    QString text;
};
Refusal pending_refusal(const FleetModel &model, int marked);
// Both runs: the output folder, made when it is missing, or the front end's `hook` (the window
// asks the operator for another). Empty when it is there; else why the run cannot start (the
// hook says so itself, and leaves it empty).
std::optional<Refusal> folder_refusal(const std::function<bool()> &hook, const QString &folder);
// Both runs: a data file that could not be written. The files already hold whole rows and
// records only (a failed write is cut back), and a full disk stays full: the sensor's download
// ends here with its files closed and the error in its status, and the run goes on.
void end_download_on_write_error(FleetModel &model, uint32_t serialNumber);

// Both runs: how a wait for a dongle that went away ended.
enum class PortWait { Back, Stopped, Late, Quitting };
// Both runs: the download of `row` ended so. Sets the record's outcome and the Status text and
// colour that go with it (`page`: the page given up, for Refused).
void end_download(FleetModel &model, int row, DownloadEnd end, int page = -1);
// The Status text of an outcome.
QString downloadEndText(DownloadEnd end, int page = -1);

// Both runs: the port went away. Waits without spinning, processing events, until the link is
// open again (the connection bar or the collector reopens it), `running` is cleared (the
// operator's stop), the application quits or PortBackMs pass. What the dongle needs again once
// back is the caller's.
PortWait wait_for_port(const ManageSerialPort &link, const bool &running);
// The same, as both runs act on it: true once the dongle is back. A dongle that stayed away
// sets `timedOut`; it and a quit end the run through `stop`.
bool await_port(const ManageSerialPort &link, const bool &running, bool &timedOut,
                const std::function<void()> &stop);

} // namespace actionrun
