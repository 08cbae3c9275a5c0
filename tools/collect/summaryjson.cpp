#include "summaryjson.h"

#include "hextext.h"
#include "page.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace collect
{

namespace
{
QString isoTime(const QDateTime &t)
{
    return t.isValid() ? t.toString(Qt::ISODate) : QString();
}

QJsonValue orNull(bool known, const QJsonValue &value)
{
    return known ? value : QJsonValue(QJsonValue::Null);
}
} // namespace

QString outcomeName(SensorOutcome outcome)
{
    switch (outcome) {
    case SensorOutcome::Served:
        return QStringLiteral("served");
    case SensorOutcome::DownloadComplete:
        return QStringLiteral("download-complete");
    case SensorOutcome::NoData:
        return QStringLiteral("no-data");
    case SensorOutcome::WriteError:
        return QStringLiteral("write-error");
    case SensorOutcome::PageRefused:
        return QStringLiteral("page-refused");
    case SensorOutcome::Interrupted:
        return QStringLiteral("interrupted");
    case SensorOutcome::Timeout:
        return QStringLiteral("timeout");
    }
    return QString();
}

QJsonObject lastStatusJson(const FleetModel::Sensor &s)
{
    const SensorRecord &r = s.record;
    const bool heard = !r.answer.isEmpty();
    QJsonObject o;
    o[QStringLiteral("type")] = orNull(r.sensor_type != 0, int(r.sensor_type));
    o[QStringLiteral("firmware")] = orNull(s.report.version >= 0, s.report.version);
    o[QStringLiteral("clock")] = orNull(s.report.clocks, isoTime(r.sensor_clock));
    // Seconds the sensor's clock is behind the PC's.
    o[QStringLiteral("clockOffsetSeconds")] =
        orNull(s.report.clocks && s.clock_offset != 0xFFFF, s.clock_offset);
    o[QStringLiteral("recordingStart")] = orNull(s.report.clocks, isoTime(r.record_start));
    const int period = heard ? page::periodSeconds[r.period_index & 0x0F] : 0;
    o[QStringLiteral("periodSeconds")] = orNull(period > 0, period);
    QJsonArray channels;
    for (int k = 0; k < 8; ++k)
        if (r.channel_mask & (1u << k))
            channels.append(k + 1);
    o[QStringLiteral("channels")] = orNull(heard, channels);
    o[QStringLiteral("pages")] = orNull(s.report.pageCount >= 0, s.report.pageCount);
    o[QStringLiteral("battery")] = orNull(s.report.battery > 0,
                                          QString::fromLatin1(page::batteryLabels[s.report.battery & 0x0F]));
    const int rssi = r.relay_address != 0 ? r.rssi : r.direct_rssi;
    o[QStringLiteral("rssi")] = orNull(rssi != 255, rssi);
    o[QStringLiteral("relay")] = orNull(r.relay_address != 0, hex4(r.relay_address));
    o[QStringLiteral("status")] = s.status;
    // From the journal: days of memory, battery, clock drift, silence.
    o[QStringLiteral("health")] = s.healthSummary;
    o[QStringLiteral("warnings")] = QJsonArray::fromStringList(s.healthWarnings);
    return o;
}

QJsonObject sensorJson(const SensorSummary &s, const QString &reason, const QJsonObject &last,
                       std::optional<bool> cleared)
{
    QJsonObject o;
    o[QStringLiteral("serialNumber")] = hex4(s.serialNumber);
    o[QStringLiteral("done")] = s.done;
    o[QStringLiteral("outcome")] = outcomeName(s.outcome);
    o[QStringLiteral("reason")] = reason;
    o[QStringLiteral("rows")] = qint64(s.rows);
    QJsonObject pages;
    pages[QStringLiteral("fetched")] = s.pages.fetched;
    pages[QStringLiteral("reRequested")] = s.pages.reRequested;
    pages[QStringLiteral("verified")] = s.pages.verified;
    pages[QStringLiteral("refused")] = s.pages.refused;
    o[QStringLiteral("pages")] = pages;
    o[QStringLiteral("archives")] = QJsonArray::fromStringList(s.archivePaths);
    o[QStringLiteral("archiveNotes")] = QJsonArray::fromStringList(s.archiveNotes);
    QJsonArray gaps;
    for (const archive::Gap &g : s.gaps)
        gaps.append(QJsonObject{{QStringLiteral("from"), isoTime(g.from)},
                                {QStringLiteral("to"), isoTime(g.to)}});
    o[QStringLiteral("gaps")] = gaps;
    o[QStringLiteral("memoryCleared")] = cleared ? QJsonValue(*cleared) : QJsonValue();
    o[QStringLiteral("last")] = last;
    return o;
}

bool writeJson(const QString &path, const QJsonObject &document, QString *error)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(QJsonDocument(document).toJson(QJsonDocument::Indented)) < 0 || !f.commit()) {
        *error = f.errorString();
        return false;
    }
    return true;
}

} // namespace collect
