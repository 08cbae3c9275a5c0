#pragma once

#include "radiopaths.h"
#include "sensortype.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>
#include <cstdint>

class FleetModel;

// Shows what a sensor's status answer says in its row: type, version, clocks, channels and last
// values, period, pages, battery, the radio path and the Status cell. After an action exchange
// it also tells whether each requested setting took effect.
namespace rowrefresh
{

enum Mode { AfterDetection = 0, AfterAction = 1 };

// The Status texts a refresh writes.
inline const QString ActionDone = QStringLiteral("Action succesfull");
inline const QString ReadingDone = QStringLiteral("Sensor reading done");
inline const QString Detected = QStringLiteral("Sensor Detected");
inline const QString PointerError = QStringLiteral("Error Pointer != 0");
inline const QString ClearFailed = QStringLiteral("Error clearing data");
inline const QString TimeFailed = QStringLiteral("Error setting time");
inline const QString ChannelFailed = QStringLiteral("Error setting new channel");
inline const QString PeriodFailed = QStringLiteral("Error setting new periode");

// What the refresh needs beyond the row and the answer.
struct Context {
    QDateTime now; // the PC clock; the current time when invalid
    bool lora = false;
    bool detection = false;       // a detection runs
    bool downloadRunning = false; // a page loop runs
    uint8_t selectedChannelMask = 0;
    uint8_t selectedPeriodCode = 0;
    int frameRssi = 255; // the RSSI byte of the frame's last hop (802.15.4)
    // The relay table the answer's path is chosen with; none: as if no relay had reported.
    const radiopaths::RadioPaths *paths = nullptr;
    // Where the bodies the new path needs (a release from the old relay) go; none: dropped.
    QVector<QByteArray> *bodies = nullptr;
};

// The current-time cell: the sensor clock when it is more than a minute off, else the offset.
// `offset` counts seconds from the sensor clock to the PC clock.
QString clockText(const QDateTime &sensorClock, int offset);

// The last-values label of an answer (at least 54 bytes): every recorded channel among 0 to 3,
// scaled, with its unit and "; ".
QString lastValuesText(const SensorType &type, int sensorType, uint8_t channelMask,
                       const QByteArray &answer);

// Shows `answer` in the row of `serialNumber`; false when the sensor is not listed, the answer
// is too short, or (after an action) a requested setting did not take effect.
bool refresh_row_from_answer(FleetModel &model, uint32_t serialNumber, int mode,
                             const QByteArray &answer, const Context &context);

} // namespace rowrefresh
