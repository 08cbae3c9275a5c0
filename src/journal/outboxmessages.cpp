#include "outboxmessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace outbox
{
namespace
{
QString hex4(uint16_t sn)
{
    return QStringLiteral("%1").arg(sn, 4, 16, QLatin1Char('0')).toUpper();
}

// Instants in UTC with milliseconds, so sites in other time zones line up.
QJsonValue instant(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonValue instant(const std::optional<qint64> &ms)
{
    return ms ? instant(*ms) : QJsonValue(QJsonValue::Null);
}

QJsonObject head(uint16_t sn)
{
    return {{QStringLiteral("v"), PayloadVersion}, {QStringLiteral("sensor"), hex4(sn)}};
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
} // namespace

QString sensorTopic(const QString &prefix, uint16_t serialNumber, const QString &leaf)
{
    return QStringLiteral("%1/sensor/%2/%3").arg(prefix, hex4(serialNumber), leaf);
}

QByteArray statusPayload(const StatusEntry &e)
{
    QJsonObject o = head(e.serialNumber);
    o[QStringLiteral("time")] = instant(e.pcTimeMs);
    o[QStringLiteral("type")] = e.sensorType;
    // The sensor's own wall clock, as it showed it: no time zone.
    o[QStringLiteral("clock")] = e.sensorClock.isValid()
                                     ? QJsonValue(e.sensorClock.toString(Qt::ISODate).left(19))
                                     : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("clock_offset_s")] =
        e.clockOffsetS ? QJsonValue(double(*e.clockOffsetS)) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("period_s")] = e.periodSeconds;
    o[QStringLiteral("period_code")] = e.periodCode;
    o[QStringLiteral("channel_mask")] = e.channelMask;
    o[QStringLiteral("pages")] = e.pageCount;
    o[QStringLiteral("battery")] = e.batteryIndex;
    o[QStringLiteral("rssi_dbm")] = e.rssi >= 0 ? QJsonValue(-e.rssi) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("relay")] = e.relay ? QJsonValue(hex4(e.relay)) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("version")] = e.version >= 0 ? QJsonValue(e.version) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("origin")] = originText(e.origin);
    return compact(o);
}

QByteArray collectionPayload(const CollectionEntry &e)
{
    QJsonObject o = head(e.serialNumber);
    o[QStringLiteral("started")] = instant(e.startedMs);
    o[QStringLiteral("ended")] = instant(e.endedMs);
    o[QStringLiteral("ask")] = askText(e.ask);
    o[QStringLiteral("window_from")] = instant(e.windowFromMs);
    o[QStringLiteral("window_to")] = instant(e.windowToMs);
    o[QStringLiteral("pages")] = QJsonObject{{QStringLiteral("requested"), e.pagesRequested},
                                             {QStringLiteral("fetched"), e.pagesFetched},
                                             {QStringLiteral("rerequested"), e.pagesReRequested},
                                             {QStringLiteral("refused"), e.pagesRefused}};
    o[QStringLiteral("rows")] = double(e.rowsWritten);
    o[QStringLiteral("outcome")] = e.outcome;
    QJsonArray gaps;
    for (const TimeGap &g : e.gaps)
        gaps.append(QJsonObject{{QStringLiteral("from"), instant(g.fromMs)},
                                {QStringLiteral("to"), instant(g.toMs)}});
    o[QStringLiteral("gaps")] = gaps;
    o[QStringLiteral("set_time")] = e.setTime;
    return compact(o);
}

QByteArray healthPayload(uint16_t serialNumber, qint64 timeMs, const QString &summary,
                         const QStringList &warnings)
{
    QJsonObject o = head(serialNumber);
    o[QStringLiteral("time")] = instant(timeMs);
    o[QStringLiteral("summary")] = summary;
    o[QStringLiteral("warnings")] = QJsonArray::fromStringList(warnings);
    return compact(o);
}

QVector<QByteArray> rowsPayloads(uint16_t serialNumber, const QString &archiveName,
                                 const QStringList &columns, const QStringList &units,
                                 const QVector<QByteArray> &rows, int perMessage)
{
    QVector<QByteArray> out;
    QJsonObject o = head(serialNumber);
    o[QStringLiteral("archive")] = archiveName;
    o[QStringLiteral("columns")] = QJsonArray::fromStringList(columns);
    o[QStringLiteral("units")] = QJsonArray::fromStringList(units);
    QJsonArray chunk;
    const auto flush = [&] {
        if (chunk.isEmpty())
            return;
        o[QStringLiteral("rows")] = chunk;
        out << compact(o);
        chunk = QJsonArray();
    };
    for (const QByteArray &row : rows) {
        const QList<QByteArray> fields = row.split('\t');
        const QByteArray &t = fields.first();
        if (t.size() != 17)
            continue;
        // dd/MM/yy hh:mm:ss, this century, as the archive writes it.
        QJsonArray r{QString::fromLatin1("20" + t.mid(6, 2) + '-' + t.mid(3, 2) + '-' +
                                         t.left(2) + 'T' + t.mid(9, 8))};
        for (int k = 1; k <= columns.size() && k < fields.size(); ++k) {
            bool number = false;
            const double value = fields[k].toDouble(&number);
            r.append(fields[k].isEmpty() ? QJsonValue(QJsonValue::Null)
                     : number            ? QJsonValue(value)
                                         : QJsonValue(QString::fromUtf8(fields[k])));
        }
        chunk.append(r);
        if (chunk.size() >= perMessage)
            flush();
    }
    flush();
    return out;
}

} // namespace outbox
