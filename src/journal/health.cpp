#include "health.h"

#include "page.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace health
{

namespace
{
constexpr double SecondsPerDay = 86400.0;

// The ring as a number a page count is measured against; a count the sensor cannot hold (a
// damaged answer) is taken as a full memory rather than as more room.
int clampPages(int pages)
{
    return std::clamp(pages, 0, page::RingPages);
}

QString signedSeconds(qint64 s)
{
    return (s > 0 ? QStringLiteral("+") : QString()) + QString::number(s) + QStringLiteral(" s");
}

QString daysShort(double days)
{
    if (days < 1.0)
        return QStringLiteral("%1 h").arg(int(days * 24.0));
    return QStringLiteral("%1 d").arg(qint64(days));
}

QString voltsText(double v)
{
    return QString::number(v, 'f', 1) + QLatin1Char('V');
}

QString arrow(const BatteryTrend &b)
{
    if (!b.voltsPer30Days)
        return QString();
    if (*b.voltsPer30Days <= -SteadyTrendV)
        return QStringLiteral(" \u2198");
    if (*b.voltsPer30Days >= SteadyTrendV)
        return QStringLiteral(" \u2197");
    return QStringLiteral(" \u2192");
}
} // namespace

int samplesPerPage(int channels, int sensorType)
{
    if (channels <= 0)
        return 0;
    if (sensorType == page::AccelType)
        return page::AccelRecords;
    // The header counts samples in a byte: a one-channel page stops one word short.
    return std::min(page::samplesThatFit(channels), page::MaxSampleCount);
}

std::optional<double> daysOfPages(int freePages, int channelMask, int periodSeconds, int sensorType)
{
    const int perPage = samplesPerPage(page::channelCount(uint8_t(channelMask)), sensorType);
    if (perPage == 0 || periodSeconds <= 0)
        return std::nullopt;
    return double(clampPages(freePages)) * perPage * periodSeconds / SecondsPerDay;
}

std::optional<double> daysUntilFull(int pagesHeld, int channelMask, int periodSeconds,
                                    int sensorType)
{
    return daysOfPages(page::RingPages - clampPages(pagesHeld), channelMask, periodSeconds,
                       sensorType);
}

std::optional<double> daysUntilOverwrite(int uncollectedPages, int channelMask, int periodSeconds,
                                         int sensorType)
{
    return daysOfPages(page::RingPages - clampPages(uncollectedPages), channelMask, periodSeconds,
                       sensorType);
}

std::optional<double> batteryVolts(int labelIndex)
{
    if (labelIndex <= 0 || labelIndex > 15)
        return std::nullopt;
    // "2.9V": the label is the only place the voltage is written down.
    bool ok = false;
    const double v = QString::fromLatin1(page::batteryLabels[labelIndex]).chopped(1).toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

bool isLowBattery(int labelIndex)
{
    return page::lowBattery(labelIndex);
}

double lowBatteryVolts()
{
    double v = 0;
    for (int i = 0; i < 16; ++i)
        if (isLowBattery(i))
            v = std::max(v, batteryVolts(i).value_or(0));
    return v;
}

BatteryTrend batteryTrend(const QVector<BatteryPoint> &points)
{
    BatteryTrend t;
    QVector<BatteryPoint> known;
    for (const BatteryPoint &p : points)
        if (batteryVolts(p.labelIndex))
            known << p;
    if (known.isEmpty())
        return t;
    std::stable_sort(known.begin(), known.end(), [](const BatteryPoint &a, const BatteryPoint &b) {
        return a.timeMs < b.timeMs;
    });
    const BatteryPoint &latest = known.last();
    t.latestIndex = latest.labelIndex;
    t.latestVolts = batteryVolts(latest.labelIndex);
    t.low = isLowBattery(latest.labelIndex);

    // Least squares of volts on days, counted from the latest reading so the sums stay small.
    const qint64 from = latest.timeMs - qint64(TrendWindowDays) * 86400000;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    qint64 earliest = latest.timeMs;
    for (const BatteryPoint &p : known) {
        if (p.timeMs < from)
            continue;
        const double x = double(p.timeMs - latest.timeMs) / 86400000.0;
        const double y = *batteryVolts(p.labelIndex);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        earliest = std::min(earliest, p.timeMs);
    }
    const double denominator = n * sxx - sx * sx;
    if (n < 2 || latest.timeMs - earliest < qint64(MinTrendSpanS) * 1000 || denominator <= 0)
        return t;
    t.voltsPer30Days = (n * sxy - sx * sy) / denominator * 30.0;
    return t;
}

std::optional<ClockDrift> clockDrift(std::optional<qint64> setTimeMs,
                                     std::optional<qint64> offsetAfterSetS, qint64 offsetNowS,
                                     qint64 nowMs)
{
    if (!setTimeMs)
        return std::nullopt;
    ClockDrift d;
    d.driftS = offsetNowS - offsetAfterSetS.value_or(0);
    const qint64 elapsedMs = nowMs - *setTimeMs;
    if (elapsedMs >= 3600000)
        d.sPerDay = double(d.driftS) * 86400000.0 / double(elapsedMs);
    return d;
}

QString durationText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < 2 * 86400)
        return QStringLiteral("%1 h").arg(seconds / 3600);
    return QStringLiteral("%1 days").arg(seconds / 86400);
}

Report assess(const Facts &facts, const Thresholds &thresholds, qint64 nowMs)
{
    Report r;
    if (!facts.last)
        return r;
    const StatusEntry &last = *facts.last;
    r.known = true;
    r.silentS = std::max<qint64>(0, (nowMs - last.pcTimeMs) / 1000);
    r.daysUntilFull =
        daysUntilFull(last.pageCount, last.channelMask, last.periodSeconds, last.sensorType);
    if (facts.uncollectedPages)
        r.daysUntilOverwrite = daysUntilOverwrite(*facts.uncollectedPages, last.channelMask,
                                                  last.periodSeconds, last.sensorType);

    QVector<BatteryPoint> points;
    for (const StatusEntry &e : facts.history)
        points << BatteryPoint{e.pcTimeMs, e.batteryIndex};
    points << BatteryPoint{last.pcTimeMs, last.batteryIndex};
    r.battery = batteryTrend(points);

    r.offsetS = last.clockOffsetS;
    if (last.clockOffsetS)
        r.drift =
            clockDrift(facts.setTimeMs, facts.offsetAfterSetS, *last.clockOffsetS, last.pcTimeMs);

    // Warnings, the one that costs data soonest first.
    const double warnDays = thresholds.memoryWarnDays;
    if (r.daysUntilOverwrite) {
        if (thresholds.memoryWarnDays > 0 && *r.daysUntilOverwrite < warnDays)
            r.warnings << (*r.daysUntilOverwrite <= 0
                               ? QStringLiteral("uncollected data is being overwritten")
                               : QStringLiteral("uncollected data overwritten in %1")
                                     .arg(durationText(qint64(*r.daysUntilOverwrite * 86400))));
    } else if (r.daysUntilFull && thresholds.memoryWarnDays > 0 && *r.daysUntilFull < warnDays) {
        r.warnings << (*r.daysUntilFull <= 0
                           ? QStringLiteral("memory full")
                           : QStringLiteral("memory full in %1")
                                 .arg(durationText(qint64(*r.daysUntilFull * 86400))));
    }
    if (r.battery.low && r.battery.latestVolts)
        r.warnings << QStringLiteral("battery low (%1)").arg(voltsText(*r.battery.latestVolts));
    if (r.drift) {
        if (std::abs(r.drift->driftS) > thresholds.clockDriftWarnS)
            r.warnings << QStringLiteral("clock %1 s off since it was set")
                              .arg(signedSeconds(r.drift->driftS).chopped(2));
    } else if (r.offsetS && std::abs(*r.offsetS) > thresholds.clockDriftWarnS) {
        // Never set by a run the journal saw: the offset itself is what is wrong.
        r.warnings << QStringLiteral("clock %1 s off the PC clock")
                          .arg(signedSeconds(*r.offsetS).chopped(2));
    }
    if (thresholds.silentWarnHours > 0 && r.silentS > qint64(thresholds.silentWarnHours) * 3600)
        r.warnings << QStringLiteral("not heard for %1").arg(durationText(r.silentS));

    // The cell: days of memory left, battery and where it goes, clock walk.
    QStringList cell;
    if (const std::optional<double> days =
            r.daysUntilOverwrite ? r.daysUntilOverwrite : r.daysUntilFull)
        cell << daysShort(*days);
    if (r.battery.latestVolts)
        cell << voltsText(*r.battery.latestVolts) + arrow(r.battery);
    if (r.drift)
        cell << signedSeconds(r.drift->driftS);
    else if (r.offsetS)
        cell << signedSeconds(*r.offsetS);
    r.summary = cell.join(QStringLiteral(" \u00b7 "));

    QStringList tip = r.warnings;
    if (!tip.isEmpty())
        tip << QString();
    const auto daysLine = [](const QString &what, const std::optional<double> &d) {
        return d ? QStringLiteral("%1: %2").arg(what, durationText(qint64(*d * 86400)))
                 : QStringLiteral("%1: unknown (no period or channel)").arg(what);
    };
    // A full memory goes on recording over its oldest pages: only what was not collected
    // matters then.
    if (r.daysUntilFull && *r.daysUntilFull <= 0)
        tip << QStringLiteral("Memory: full, recording over its oldest pages");
    else
        tip << daysLine(QStringLiteral("Memory full in"), r.daysUntilFull);
    if (facts.uncollectedPages)
        tip << daysLine(QStringLiteral("Uncollected data overwritten in"), r.daysUntilOverwrite);
    if (r.battery.latestVolts) {
        QString line = QStringLiteral("Battery: %1").arg(voltsText(*r.battery.latestVolts));
        if (r.battery.voltsPer30Days)
            line += QStringLiteral(", %1%2 V in 30 days")
                        .arg(*r.battery.voltsPer30Days >= 0 ? QStringLiteral("+") : QString())
                        .arg(*r.battery.voltsPer30Days, 0, 'f', 2);
        tip << line;
    } else {
        tip << QStringLiteral("Battery: unknown");
    }
    if (r.drift) {
        QString line = QStringLiteral("Clock: %1 since it was set on %2")
                           .arg(signedSeconds(r.drift->driftS),
                                QDateTime::fromMSecsSinceEpoch(*facts.setTimeMs)
                                    .toLocalTime()
                                    .toString(QStringLiteral("dd/MM/yyyy hh:mm")));
        if (r.drift->sPerDay)
            line += QStringLiteral(" (%1 s a day)").arg(*r.drift->sPerDay, 0, 'f', 1);
        tip << line;
    } else if (r.offsetS) {
        tip << QStringLiteral("Clock: %1 off the PC clock, no Set Time recorded")
                   .arg(signedSeconds(*r.offsetS));
    }
    tip << QStringLiteral("Last heard: %1 ago").arg(durationText(r.silentS));
    r.tooltip = tip.join(QLatin1Char('\n'));
    return r;
}

Series series(const QVector<StatusEntry> &history)
{
    Series s;
    for (const StatusEntry &e : history) {
        const double t = double(e.pcTimeMs);
        if (const std::optional<double> v = batteryVolts(e.batteryIndex)) {
            s.batteryTime << t;
            s.batteryVolts << *v;
        }
        if (e.rssi >= 0) {
            s.rssiTime << t;
            s.rssiDbm << -double(e.rssi);
        }
        if (e.clockOffsetS) {
            s.offsetTime << t;
            s.offsetS << double(*e.clockOffsetS);
        }
    }
    return s;
}

} // namespace health
