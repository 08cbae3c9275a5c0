#pragma once

#include "fleetmodel.h"
#include "fleetsession.h"

#include <QJsonObject>
#include <QString>
#include <optional>

// The run's summary as JSON, for scripts and monitoring: what each sensor's turn did and what it
// last said of itself. The fields are listed in the README; "version" changes when one changes
// meaning or goes away.
namespace collect
{

inline constexpr int SummaryVersion = 1;

// The sensor's last status fields as the run left them (null where it never said).
QJsonObject lastStatusJson(const FleetModel::Sensor &sensor);
// One sensor's entry. `reason` is the collector's final word on it; `cleared` is set when the
// run was to clear the memories after their downloads.
QJsonObject sensorJson(const SensorSummary &summary, const QString &reason,
                       const QJsonObject &last, std::optional<bool> cleared);
// The name of an outcome in the file.
QString outcomeName(SensorOutcome outcome);
// Replaces `path` whole with the document, or leaves it as it was; false with `error` set.
bool writeJson(const QString &path, const QJsonObject &document, QString *error);

} // namespace collect
