#pragma once

#include "fleetmodel.h"

// A row for a sensor of type `type` that answered with period item `item` and all channels
// recorded.
inline int answeredSensor(FleetModel &m, uint16_t sn, int type, int item)
{
    const int r = m.insert_sensor(sn);
    m.edit(r).record.sensor_type = uint8_t(type);
    m.fill_channel_selector(r, true);
    m.fill_period_selector(r, item);
    m.edit(r).sensor_period_item = uint8_t(item);
    m.edit(r).sensor_channel_mask = m.sensor(r).selectedMask();
    return r;
}
