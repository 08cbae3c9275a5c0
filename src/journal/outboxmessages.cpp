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

namespace
{
// A value as the archive writes it is already a JSON number, mostly: those are copied as they
// stand, which is what keeps a full memory's rows from holding up the run.
bool jsonNumber(const char *at, const char *end)
{
    if (at < end && *at == '-')
        ++at;
    if (at == end || *at < '0' || *at > '9' || (*at == '0' && end - at > 1 && at[1] != '.'))
        return false;
    while (at < end && *at >= '0' && *at <= '9')
        ++at;
    if (at < end && *at == '.') {
        const char *digits = ++at;
        while (at < end && *at >= '0' && *at <= '9')
            ++at;
        if (at == digits)
            return false;
    }
    return at == end;
}
} // namespace

QVector<QByteArray> rowsPayloads(uint16_t serialNumber, const QString &archiveName,
                                 const QStringList &columns, const QStringList &units,
                                 const QByteArray &rows, int perMessage,
                                 bool (*skip)(const char *at, const char *end))
{
    // The keys in the order the other payloads have them (by name): the rows are put between
    // the two halves made once.
    QByteArray before = compact({{QStringLiteral("archive"), archiveName},
                                 {QStringLiteral("columns"), QJsonArray::fromStringList(columns)}});
    before.chop(1);
    before += ",\"rows\":[";
    QJsonObject rest = head(serialNumber);
    rest[QStringLiteral("units")] = QJsonArray::fromStringList(units);
    QByteArray after = compact(rest);
    after[0] = ',';
    after.prepend(']');

    QVector<QByteArray> out;
    QByteArray message;
    int inMessage = 0;
    const char *const textEnd = rows.constData() + rows.size();
    for (const char *next = rows.constData(); next < textEnd;) {
        const char *at = next;
        while (at < textEnd && (*at == '\r' || *at == '\n'))
            ++at;
        const char *end = at;
        while (end < textEnd && *end != '\r')
            ++end;
        next = end;
        if (end - at < 17 || (end - at > 17 && at[17] != '\t') || (skip && skip(at, end)))
            continue;
        if (inMessage == 0)
            message = before;
        else
            message += ',';
        // dd/MM/yy hh:mm:ss, this century, as the archive writes it.
        message += "[\"20";
        message.append(at + 6, 2).append('-').append(at + 3, 2).append('-').append(at, 2);
        message.append('T').append(at + 9, 8).append('"');
        at += 17;
        for (int k = 0; k < columns.size() && at < end; ++k) {
            const char *field = ++at;
            while (at < end && *at != '\t')
                ++at;
            message += ',';
            if (field == at)
                message += "null";
            else if (jsonNumber(field, at))
                message.append(field, int(at - field));
            else
                message += QJsonDocument(QJsonArray{QString::fromUtf8(field, int(at - field))})
                               .toJson(QJsonDocument::Compact)
                               .mid(1)
                               .chopped(1);
        }
        message += ']';
        if (++inMessage >= perMessage) {
            out << message + after;
            inMessage = 0;
        }
    }
    if (inMessage > 0)
        out << message + after;
    return out;
}

} // namespace outbox
