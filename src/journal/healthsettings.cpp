#include "healthsettings.h"

namespace health
{

Thresholds loadThresholds(const settings::Store &store)
{
    const Thresholds d;
    Thresholds t;
    // A drift warning below a second would fire on the clock's own resolution; one above a day
    // would never be seen before the sensor's data is useless anyway.
    t.clockDriftWarnS = store.readInt(key::ClockDriftWarnS, d.clockDriftWarnS, 1, 86400);
    // Ten years of memory is the most any period and channel count gives.
    t.memoryWarnDays = store.readInt(key::MemoryWarnDays, d.memoryWarnDays, 0, 3650);
    t.silentWarnHours = store.readInt(key::SilentWarnHours, d.silentWarnHours, 0, 24 * 365);
    return t;
}

} // namespace health
