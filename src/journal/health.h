#pragma once

#include "journalentries.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

// What a sensor's journal says about the weeks ahead: when its memory fills, where its battery
// is going, how far its clock has walked since it was set, how long it has been silent. Pure
// functions over journal entries; the texts are the ones the table, its tooltip and the
// collector show.
namespace health
{

// Readings older than this do not count in the battery trend: a battery swapped a season ago
// says nothing of the present one.
constexpr int TrendWindowDays = 30;
// Two readings minutes apart, a label step between them, would extrapolate to volts a month.
constexpr int MinTrendSpanS = 86400;
// Below this (volts per 30 days) the battery is called steady.
constexpr double SteadyTrendV = 0.05;

struct Thresholds {
    int clockDriftWarnS = 60;
    int memoryWarnDays = 7;   // 0: never
    int silentWarnHours = 48; // 0: never
};

// --- Memory -------------------------------------------------------------------------------

// Samples a page holds at this many channels (a type-10 page holds its 5-byte records); 0 for
// no channel.
int samplesPerPage(int channels, int sensorType = 0);
// Days of recording `freePages` pages hold; none for a period or channel count of 0.
std::optional<double> daysOfPages(int freePages, int channelMask, int periodSeconds,
                                  int sensorType = 0);
// Until the memory is full: the pages the sensor does not hold yet.
std::optional<double> daysUntilFull(int pagesHeld, int channelMask, int periodSeconds,
                                    int sensorType = 0);
// Until the ring writes over samples not collected yet.
std::optional<double> daysUntilOverwrite(int uncollectedPages, int channelMask, int periodSeconds,
                                         int sensorType = 0);

// --- Battery ------------------------------------------------------------------------------

// The voltage a battery label index stands for; none for 0 ("~") and outside 0..15.
std::optional<double> batteryVolts(int labelIndex);
// The levels the table shows red.
bool isLowBattery(int labelIndex);
// The highest voltage of those levels: where a plot draws the line to stay above.
double lowBatteryVolts();

struct BatteryPoint {
    qint64 timeMs = 0;
    int labelIndex = 0;
};
struct BatteryTrend {
    std::optional<double> latestVolts;
    int latestIndex = 0;
    // Least squares over the trend window, volts per 30 days; none with fewer than two known
    // readings or when they span less than MinTrendSpanS.
    std::optional<double> voltsPer30Days;
    bool low = false;
};
// `points` in any order; the window ends at the latest reading.
BatteryTrend batteryTrend(const QVector<BatteryPoint> &points);

// --- Clock --------------------------------------------------------------------------------

struct ClockDrift {
    qint64 driftS = 0;             // offset now minus offset right after the Set Time
    std::optional<double> sPerDay; // none until an hour has passed since the Set Time
};
// `offsetAfterSetS`: the offset of the first answer after the Set Time (none: the clock read
// the PC's time then). None when the time of the Set Time is unknown.
std::optional<ClockDrift> clockDrift(std::optional<qint64> setTimeMs,
                                     std::optional<qint64> offsetAfterSetS, qint64 offsetNowS,
                                     qint64 nowMs);

// --- The whole picture --------------------------------------------------------------------

// Read from the journal (FleetJournal::healthFacts) plus what the caller knows.
struct Facts {
    std::optional<StatusEntry> last;
    QVector<StatusEntry> history; // the trend window, any order
    std::optional<qint64> setTimeMs;
    std::optional<qint64> offsetAfterSetS;
    std::optional<int> uncollectedPages; // from the archive, when the caller knows it
};

struct Report {
    bool known = false; // false: never heard, nothing below is set
    std::optional<double> daysUntilFull;
    std::optional<double> daysUntilOverwrite;
    BatteryTrend battery;
    std::optional<ClockDrift> drift;
    std::optional<qint64> offsetS; // the latest offset from the PC clock
    qint64 silentS = 0;            // since last heard
    QStringList warnings;          // plain sentences, most urgent first
    QString summary;               // one line for a table cell
    QString tooltip;               // several lines
};

Report assess(const Facts &facts, const Thresholds &thresholds, qint64 nowMs);

// "45 min", "5 h", "3 days".
QString durationText(qint64 seconds);

// --- Plot series --------------------------------------------------------------------------

// One sensor's history as the health window draws it: time in UTC ms, battery in volts (unknown
// levels left out), RSSI in dBm (negative; unmeasured left out), clock offset in seconds.
struct Series {
    QVector<double> batteryTime, batteryVolts;
    QVector<double> rssiTime, rssiDbm;
    QVector<double> offsetTime, offsetS;
};
Series series(const QVector<StatusEntry> &history);

} // namespace health
