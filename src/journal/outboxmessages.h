#pragma once

#include "journalentries.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

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

} // namespace outbox
