#pragma once

#include "actionblock.h"

#include <QString>
#include <QVector>
#include <cstdint>
#include <optional>

// The rules of the sensor list that do not need the table: reading a typed serial number, where
// a new sensor goes, and which rows an action run must change.
namespace sensorlist
{

// Sensor rows the table holds at most; with the entry row that fills the 256 slots.
constexpr int MaxSensorRows = 255;

// What the "Error SN" box says about a refused serial number.
inline const QString TypedSerialNumberRule =
    QStringLiteral("Serial Number must be 1 to 4 hexadecimal digits, not 0");

// A serial number typed in the "SN" column: 1 to 4 hexadecimal digits, not 0 ("1234" is 0x1234,
// "9A01" is 0x9A01).
std::optional<uint16_t> parseTypedSerialNumber(const QString &text);

// Where `serialNumber` goes among `serials` (ascending): before the first that is not below it.
int insertionIndex(const QVector<uint32_t> &serials, uint32_t serialNumber);

// The period code a row's period selector asks for; the sensor's own code when the selector
// shows no period yet.
uint8_t selectedPeriodCode(int selectorIndex, uint8_t reportedCode);

// One sensor row as mark_pending_changes sees it.
struct PendingRow {
    uint8_t sensorType = 0;
    uint8_t selectedMask = 0;     // from the channel selector
    uint8_t reportedMask = 0;     // sensor_channel_mask
    int periodItem = -1;          // the period selector's index
    int reportedPeriodItem = 255; // sensor_period_item
};

struct PendingMarks {
    bool setTime = false;
    bool clear = false;
    bool change = false;
};

struct PendingResult {
    enum Code { Ready = 0, MissingSensorInfo = 1, NoChannelSelected = 2 };
    int code = Ready;
    int row = -1; // the row a failure names
    // One per row; marks made before a failure stay.
    QVector<PendingMarks> marks;
};

PendingResult markPendingChanges(const actionblock::Choice &choice,
                                 const QVector<PendingRow> &rows);

} // namespace sensorlist
