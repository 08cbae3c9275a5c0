#include "sensorrecord.h"

#include "commandset.h"

SensorRecord SensorRecord::entered(uint16_t serialNumber)
{
    SensorRecord r;
    r.serial_number = serialNumber;
    r.sensor_type = serialNumber >= command::AlwaysListeningFrom ? 6 : 0;
    r.direct_rssi = 255;
    r.relay_address = 0;
    r.rssi = 255;
    r.direct_age = NoContact;
    r.path_age = NoContact;
    r.spare8 = 0;
    return r;
}
