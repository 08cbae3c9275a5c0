#pragma once

#include "journalentries.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// What goes into the outbox for the broker: the topics under a site's prefix and the JSON
// payloads. A reader tells the layout by "v"; a field is only ever added within one version.
namespace outbox
{

constexpr int PayloadVersion = 1;

// PREFIX/sensor/SSSS/<leaf>, the serial number as four upper-case hex digits.
QString sensorTopic(const QString &prefix, uint16_t serialNumber, const QString &leaf);

QByteArray statusPayload(const StatusEntry &entry);
QByteArray collectionPayload(const CollectionEntry &entry);
QByteArray healthPayload(uint16_t serialNumber, qint64 timeMs, const QString &summary,
                         const QStringList &warnings);

// The rows a collection added to an archive, as messages of at most `perMessage` rows each.
// `rows` is the archive's text, each row after a line break ("dd/MM/yy hh:mm:ss", then a tab
// before each value); `columns` and `units` name the values in order; a row for which `skip`
// is true is left out. A time is the sensor's wall clock, an empty value null.
QVector<QByteArray> rowsPayloads(uint16_t serialNumber, const QString &archiveName,
                                 const QStringList &columns, const QStringList &units,
                                 const QByteArray &rows, int perMessage,
                                 bool (*skip)(const char *at, const char *end) = nullptr);
constexpr int RowsPerMessage = 500;

} // namespace outbox
