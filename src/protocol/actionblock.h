#pragma once

#include "commandset.h"

#include <QDateTime>
#include <QString>
#include <cstdint>

// The parameter block one sensor receives in an action run: which of the operator's actions
// apply to this sensor and the values they carry. The layout is command::Block's; this decides
// the values from the action boxes and the sensor's row.
namespace actionblock
{

// The six action boxes.
struct Choice {
    bool setTime = false;
    bool changePeriod = false;
    bool clearData = false;
    bool downloadBetween = false;
    bool downloadAll = false;
    bool selectChannels = false;
    // Only what each sensor recorded after the last sample its archive holds.
    bool downloadNew = false;
    // The two editors of "Download data from : ", local wall-clock times.
    QDateTime windowStart;
    QDateTime windowEnd;

    bool anyDownload() const { return downloadBetween || downloadAll || downloadNew; }
};

// What is wrong with a download window before anything is sent: a sensor answers such a
// window with "no page" at every wake.
enum class WindowFault { None, Reversed, Empty, Future };
WindowFault windowFault(const QDateTime &from, const QDateTime &to, const QDateTime &now);

// What the sensor reported and what its row asks for.
struct Sensor {
    uint8_t sensorType = 0;
    uint8_t reportedPeriodCode = 0;
    uint8_t reportedChannelMask = 0;
    uint8_t selectedPeriodCode = 0;
    uint8_t selectedChannelMask = 0;
    // Texts of the "Add" and "Val" cells: a single-byte memory write when no action applies.
    QString memoryAddress;
    QString memoryValue;
    // For new data: the last sample already collected (invalid: none, all is new) and the
    // sensor's clock as it last told it, the window's end.
    QDateTime collectedUntil;
    QDateTime sensorClock;
};

// The flags byte: the checked boxes, except that a period or a channel choice the sensor already
// has is not sent again.
uint8_t flags(const Choice &choice, const Sensor &sensor);

// A memory write typed in the "Add" and "Val" cells, both hexadecimal.
struct MemoryWrite {
    bool requested = false; // the "Add" cell holds something
    bool valid = false;     // both texts read as an address and a byte
    uint16_t address = 0;
    uint8_t value = 0;
};
// An address beyond 16 bits or a value beyond 8 bits (or either not hexadecimal) is not a
// write: cut down to size it would change another location than the one the operator typed.
MemoryWrite memoryWrite(const QString &address, const QString &value);

struct Payload {
    command::Block block{};
    MemoryWrite memory;       // what the cells asked for (only used when no flag is set)
    bool memoryWrite = false; // the block is a memory write
};

// The 17 bytes before the clock is stamped in: byte 0 the flags; byte 1 the period code (0x02)
// or the memory operation; bytes 2-13 the download window as BCD (0x08) or the memory address,
// value and restart flag; bytes 14-15 the channel mask and the sensor type (0x40); byte 16 zero.
Payload build(const Choice &choice, const Sensor &sensor);

} // namespace actionblock
