// What a collection of new data costs once a sensor's full memory is in its archive: how many
// pages it asks for beside the new ones, and how long from the sensor's answer until the new
// rows are synced to the disk.
//
// The simulated dongle runs in its own process at 1,000,000 baud. Sensor 4002 (bench.ini) holds
// a full ring of 3968 pages of four channels at 1 s, and its clock runs 16 times faster than
// ours, waking every 640 of its seconds: ten pages' worth of samples between two wakes. The
// first collection ("Download new data" with no archive yet) brings the whole memory into the
// archive in some 21 s (5 pages of its time) at its first wake; the second, at the next wake,
// is measured.
//
// Pages asked for: the range the sensor offered plus the pages asked for again; target: the new
// pages (those holding a sample after the archive's last row, by the simulator's truth) + 2.
// Time: from the answer to the parameter block until the download is complete (its archive
// synced), against 3 × the least time of the pages offered (their frames' bytes at the baud,
// and the dongle's latency before each request) plus one parameter exchange (measured: from
// the block's send to its answer). The ratio printed is target / measured, 1 or more.

#include "actionrun.h"
#include "archive.h"
#include "fleetmodel.h"
#include "manageserialport.h"
#include "pagerange.h"
#include "pagewire.h"
#include "scenario.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace
{

constexpr uint16_t Serial = 0x4002;

struct Markers {
    QElapsedTimer clock;
    qint64 paramSentNs = -1;
    qint64 answerNs = -1;
};
Markers markers;

void watchDiagnostics(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.startsWith(QLatin1String("\"send param, sensor\""))) {
        markers.paramSentNs = markers.clock.nsecsElapsed();
        markers.answerNs = -1;
    } else if (text.startsWith(QLatin1String("\"start page : \"")) && markers.answerNs < 0) {
        markers.answerNs = markers.clock.nsecsElapsed();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(watchDiagnostics);
    markers.clock.start();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini"));

    QFile in(QStringLiteral(TESSARAN_SCENARIOS "/bench.ini"));
    QByteArray text = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    text.replace("period = 3\npages = 4000\nfirst_wake = 3\nwake = 1h",
                 "period = 0\npages = 4000\nfirst_wake = 3\nwake = 640");
    const QString scenario = dir.filePath(QStringLiteral("collect.ini"));
    QFile out(scenario);
    if (!text.contains("wake = 640") || !out.open(QIODevice::WriteOnly) || out.write(text) < 0) {
        std::fprintf(stderr, "bench_collect: the scenario could not be made\n");
        return 1;
    }
    out.close();
    const sim::ScenarioResult loaded = sim::loadScenario(scenario);
    const QString truth = dir.filePath(QStringLiteral("truth"));
    QDir().mkpath(truth);
    SimProcess simulator;
    const QString link = dir.filePath(QStringLiteral("dongle"));
    if (!loaded.ok() ||
        !simulator.start(scenario, link,
                         {QStringLiteral("--baud"), QString::number(pagewire::Baud),
                          QStringLiteral("--speed"), QStringLiteral("16"),
                          QStringLiteral("--truth"), truth})) {
        std::fprintf(stderr, "bench_collect: %s\n", qPrintable(simulator.errorString()));
        return 1;
    }
    ManageSerialPort port;
    if (!port.openPort(link)) {
        std::fprintf(stderr, "bench_collect: no dongle answered on %s\n", qPrintable(link));
        return 1;
    }
    FleetModel model;
    model.insert_sensor(Serial);
    actionblock::Choice choice;
    choice.downloadNew = true;
    model.setChoice(choice);
    ActionRun run(&model, &port);
    const QString folder = dir.filePath(QStringLiteral("out"));
    run.setSettings({folder, false, false});
    qint64 completeNs = -1;
    QObject::connect(&model, &FleetModel::statusChanged, [&](int row) {
        if (model.sensor(row).status == QLatin1String("Download Complete") && completeNs < 0)
            completeNs = markers.clock.nsecsElapsed();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &run, &ActionRun::stop_run);

    guard.start(120000);
    run.action_run();
    const auto end = archive::latest(archive::folderFor(folder), Serial, false);
    if (model.sensor(0).status != QLatin1String("Download Complete") || !end ||
        end->end.lastRow == archive::Nothing) {
        std::fprintf(stderr, "bench_collect: the first collection did not complete (%s)\n",
                     qPrintable(model.sensor(0).status));
        return 1;
    }
    const int64_t before = end->end.lastRow;

    completeNs = -1;
    guard.start(120000);
    run.action_run();
    if (completeNs < 0 || markers.answerNs < 0 || markers.paramSentNs < 0) {
        std::fprintf(stderr, "bench_collect: the second collection did not complete (%s)\n",
                     qPrintable(model.sensor(0).status));
        return 1;
    }
    port.closePort();
    simulator.stop();

    const SensorRecord &rec = model.sensor(0).record;
    const int offered = pagerange::pagesLeft(rec.start_page, rec.end_page, rec.page_count);
    const pagevouch::Stats stats = run.downloadStats(Serial);
    const int requested = offered + stats.reRequested;
    // The pages holding a sample the archive did not have.
    QSet<int> newPages;
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    QFile truthFile(truth + QStringLiteral("/4002.truth"));
    if (truthFile.open(QIODevice::ReadOnly))
        for (const QByteArray &line : truthFile.readAll().split('\n')) {
            const QList<QByteArray> f = line.split('\t');
            if (line.startsWith('#') || f.size() < 3)
                continue;
            const QDateTime t = QDateTime::fromString(QString::fromLatin1(f[2]), format);
            const int64_t secs = QDateTime(t.date(), t.time(), Qt::UTC).toSecsSinceEpoch();
            if (secs > before && secs <= QDateTime(rec.sensor_clock.date(),
                                                   rec.sensor_clock.time(), Qt::UTC)
                                                 .toSecsSinceEpoch())
                newPages.insert(f[0].toInt());
        }
    const pagewire::Least least = pagewire::leastTime(rec.start_page, rec.end_page,
                                                      rec.page_count,
                                                      loaded.scenario.dongle.pageLatencyMs);
    const double exchangeMs = double(markers.answerNs - markers.paramSentNs) / 1e6;
    const double measuredMs = double(completeNs - markers.answerNs) / 1e6;
    const double targetMs = 3 * least.ms() + exchangeMs;
    std::printf("bench_collect: %d new pages (by the truth), %d offered, %d requested "
                "(%d asked again); pages requested / (new + 2) %.2f (target 1.00 or less)\n",
                int(newPages.size()), offered, requested, stats.reRequested,
                double(requested) / (newPages.size() + 2));
    std::printf("bench_collect: answer to archive synced %.1f ms; least time of the pages %.1f ms "
                "(line %.1f ms + %.1f ms a request), parameter exchange %.1f ms; target "
                "3 x least + exchange = %.1f ms; ratio (target / measured) %.2f (target 1.00 or "
                "more); %u rows\n",
                measuredMs, least.ms(), least.wireMs(), least.latencyMs, exchangeMs, targetMs,
                targetMs / measuredMs, unsigned(rec.samples_written));
    return 0;
}
