#pragma once

#include "sensoranswer.h"

#include <QDateTime>
#include <QString>
#include <QVector>
#include <cstdint>
#include <optional>

// What the fleet journal keeps: one entry per status answer heard and one per sensor and
// collection. Plain values, so the health computations read them without a database.

// Who heard a status answer.
enum class StatusOrigin { Run, Detection, Collection, Listen };
// What a collection asked a sensor for. None is a run that only sent actions (a Set Time, say).
enum class CollectionAsk { None, All, Window, New };

// The stored words ("run", "all", ...); a word the program does not know reads as Run / None.
QString originText(StatusOrigin origin);
StatusOrigin originFromText(const QString &text);
QString askText(CollectionAsk ask);
CollectionAsk askFromText(const QString &text);

struct StatusEntry {
    qint64 pcTimeMs = 0; // PC clock when the answer arrived, UTC milliseconds since 1970
    uint16_t serialNumber = 0;
    int sensorType = 0;
    QDateTime sensorClock; // as the sensor keeps it (local wall-clock); invalid when undecodable
    // Sensor clock minus PC clock: positive when the sensor is ahead. None without a clock.
    std::optional<qint64> clockOffsetS;
    int periodCode = 0;
    int periodSeconds = 0; // 0 for a code that is not a period
    int channelMask = 0;
    int pageCount = 0; // #Pages: pages the sensor holds
    int firstPage = answer::NoPage;
    int lastPage = answer::NoPage;
    int batteryIndex = 0; // 0..15, 0 unknown
    int rssi = -1;        // as the table shows it (70 is -70 dBm); -1 not measured
    uint16_t relay = 0;   // the relay it was heard through; 0 heard directly
    int version = -1;     // firmware version; -1 unknown
    StatusOrigin origin = StatusOrigin::Run;

    // The entry for an answer heard at `pcTime`: the offset is computed here from the sensor's
    // clock, the period seconds from its code.
    static StatusEntry fromAnswer(const answer::Status &status, const QDateTime &pcTime, int rssi,
                                  uint16_t relay, StatusOrigin origin);
};

// Samples the ring overwrote before they were collected, in UTC milliseconds, both inclusive.
struct TimeGap {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    bool operator==(const TimeGap &o) const { return fromMs == o.fromMs && toMs == o.toMs; }
};

struct CollectionEntry {
    qint64 startedMs = 0; // UTC milliseconds
    qint64 endedMs = 0;
    uint16_t serialNumber = 0;
    CollectionAsk ask = CollectionAsk::None;
    // The date window asked for (Window and New), UTC milliseconds.
    std::optional<qint64> windowFromMs;
    std::optional<qint64> windowToMs;
    int pagesRequested = 0;
    int pagesFetched = 0;
    int pagesReRequested = 0;
    int pagesRefused = 0;
    qint64 rowsWritten = 0;
    QString outcome; // the Status text the run ended with
    QString archivePath;
    QVector<TimeGap> gaps;
    // Whether this run set the sensor's clock, and when the block carrying the PC clock went
    // out (0: take the end of the run). The clock drift is counted from there.
    bool setTime = false;
    qint64 setTimeMs = 0;
};
