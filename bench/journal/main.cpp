// What the fleet journal costs: recording 100,000 status answers and 100,000 collections one
// call (one transaction) each, as the runs do, then opening the grown file (its integrity check
// reads all of it) and the reads the health view makes.
//
// A run records one status per answer and one collection per sensor and download, so each call
// is set against the shortest exchange it can follow: one two-page frame of 1070 bytes at
// 1,000,000 baud (10.7 ms). The share should stay under 0.05, so that a download with the
// journal keeps 0.95 of its speed without it.

#include "fleetjournal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

namespace
{
constexpr int Count = 100000;
constexpr int Sensors = 50;
constexpr double FrameMs = 1070 * 10 / 1000000.0 * 1000.0;
const qint64 T0 = 1767225600000; // 2026-01-01

StatusEntry status(int i)
{
    StatusEntry e;
    e.pcTimeMs = T0 + qint64(i) * 60000;
    e.serialNumber = uint16_t(0x1000 + i % Sensors);
    e.sensorType = 3;
    e.sensorClock = QDateTime::fromMSecsSinceEpoch(e.pcTimeMs + 2000);
    e.clockOffsetS = 2 + i / 5000;
    e.periodCode = 7;
    e.periodSeconds = 60;
    e.channelMask = 0x03;
    e.pageCount = i % 3968;
    e.lastPage = i % 3968;
    e.batteryIndex = 13 - (i / 20000);
    e.rssi = 60 + i % 30;
    e.version = 12;
    e.origin = StatusOrigin::Collection;
    return e;
}

CollectionEntry collection(int i)
{
    CollectionEntry c;
    c.serialNumber = uint16_t(0x1000 + i % Sensors);
    c.startedMs = T0 + qint64(i) * 60000;
    c.endedMs = c.startedMs + 20000;
    c.ask = CollectionAsk::New;
    c.windowFromMs = c.startedMs - 3600000;
    c.pagesRequested = 12;
    c.pagesFetched = 10;
    c.rowsWritten = 1280;
    c.outcome = QStringLiteral("Download complete");
    c.archivePath = QStringLiteral("archive/%1_010126_000000.tsv").arg(c.serialNumber, 4, 16);
    if (i % 100 == 0)
        c.gaps = {{c.startedMs - 7200000, c.startedMs - 3600000}};
    c.setTime = i % 500 == 0;
    return c;
}

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
    bool ok = true;
    double statusMs = 0, collectionMs = 0;
    {
        FleetJournal j;
        if (!j.open(path)) {
            std::printf("journal: %s\n", qPrintable(j.errorText()));
            return 1;
        }
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < Count; ++i)
            ok = j.recordStatus(status(i)) && ok;
        statusMs = msSince(t);
        t.restart();
        for (int i = 0; i < Count; ++i)
            ok = j.recordCollection(collection(i)) && ok;
        collectionMs = msSince(t);
    }
    QElapsedTimer t;
    t.start();
    FleetJournal j;
    ok = j.open(path) && ok;
    const double openMs = msSince(t);
    t.restart();
    const QVector<uint16_t> sensors = j.sensors();
    const double sensorsMs = msSince(t);
    t.restart();
    const health::Facts f = j.healthFacts(0x1000);
    const health::Report r = health::assess(f, health::Thresholds(), f.last ? f.last->pcTimeMs : 0);
    const double healthMs = msSince(t);
    t.restart();
    const int history = j.statusHistory(0x1000).size();
    const double historyMs = msSince(t);

    const double perStatus = statusMs / Count, perCollection = collectionMs / Count;
    std::printf("file: %.1f MB, %d sensors, all calls succeeded: %s\n",
                double(QFileInfo(path).size()) / 1e6, int(sensors.size()), ok ? "yes" : "NO");
    std::printf("%-34s %9.1f ms total %8.3f ms each  %7.0f /s  share of a frame %.4f (< 0.05)\n",
                "record status", statusMs, perStatus, 1000.0 / perStatus, perStatus / FrameMs);
    std::printf("%-34s %9.1f ms total %8.3f ms each  %7.0f /s  share of a frame %.4f (< 0.05)\n",
                "record collection", collectionMs, perCollection, 1000.0 / perCollection,
                perCollection / FrameMs);
    std::printf("%-34s %9.1f ms\n", "open with integrity check", openMs);
    std::printf("%-34s %9.1f ms\n", "sensors()", sensorsMs);
    std::printf("%-34s %9.1f ms  (%d in trend window) %s\n", "healthFacts + assess", healthMs,
                int(f.history.size()), qPrintable(r.summary));
    std::printf("%-34s %9.1f ms  (%d entries)\n", "statusHistory of one sensor", historyMs,
                history);
    return ok && perStatus / FrameMs < 0.05 && perCollection / FrameMs < 0.05 ? 0 : 1;
}
