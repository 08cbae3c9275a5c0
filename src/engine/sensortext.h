#pragma once

#include "fleetmodel.h"

#include <QString>

// The texts a sensor's fields are shown and saved with: the sensor table and the list files
// write the same words for the same record. Empty where the sensor has not reported the field.
namespace sensortext
{

QString serialNumber(const FleetModel::Sensor &s);
QString version(const FleetModel::Sensor &s);
// The sensor clock when it is more than a minute off the PC clock, else the offset.
QString clock(const FleetModel::Sensor &s);
QString recordingStart(const FleetModel::Sensor &s);
QString pages(const FleetModel::Sensor &s);
QString battery(const FleetModel::Sensor &s);
QString rssi(const FleetModel::Sensor &s);
// Every recorded channel's last value, scaled, with its unit.
QString lastValues(const FleetModel::Sensor &s);

} // namespace sensortext
