#pragma once

#include "health.h"
#include "settings.h"

// The health warnings' part of config.ini, edited by hand and never written by the program:
//   [HEALTH]
//   CLOCK_DRIFT_WARN_S=60   warn when a clock walked further than this since it was set
//   MEMORY_WARN_DAYS=7      warn when the memory fills (or overwrites) sooner; 0 never
//   SILENT_WARN_HOURS=48    warn when a sensor has not been heard for longer; 0 never
// A value out of its range, or not a number, falls back to the default.
namespace health
{

namespace key
{
inline const QString ClockDriftWarnS = QStringLiteral("HEALTH/CLOCK_DRIFT_WARN_S");
inline const QString MemoryWarnDays = QStringLiteral("HEALTH/MEMORY_WARN_DAYS");
inline const QString SilentWarnHours = QStringLiteral("HEALTH/SILENT_WARN_HOURS");
} // namespace key

Thresholds loadThresholds(const settings::Store &store = settings::current());

} // namespace health
