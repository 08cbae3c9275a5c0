// What the listening loop costs while it waits for sensors that sleep: the run asks the dongle
// who is awake, polls and waits, for 30 s, and nobody answers. The simulated dongle runs in its
// own process so that only the program's work is counted: CPU time of this process (user and
// system, getrusage) over wall time, target 0.01 or less. The run's first two seconds, while it
// prepares, are left out.
//
// For comparison, the same process is first measured for 10 s with the port open and no run:
// what the link costs by itself (its health check, and its port watcher's list of the serial
// ports, taken on a thread of its own).
// The scenario's one sensor that wakes, at three seconds, does so in that time and is not in the
// run's list.

#include "actionrun.h"
#include "fleetmodel.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace
{

constexpr int SettleMs = 2000;
constexpr int MeasureMs = 30000;
constexpr int IdleMs = 10000;

qint64 processCpuUs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return qint64(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec +
           u.ru_stime.tv_usec;
}

// The run's diagnostics would be this process's own output work: they are counted, not
// written. A loop that spins usually says so.
bool measuring = false;
QMap<QString, int> diagnostics;
void quiet(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (measuring)
        ++diagnostics[text.left(60)];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    QDir::setCurrent(dir.path());
    if (!QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini"))) {
        std::fprintf(stderr, "cannot copy the sensor catalogue\n");
        return 1;
    }
    SimProcess simulator;
    const QString link = dir.path() + QStringLiteral("/dongle");
    if (!simulator.start(QStringLiteral(TESSARAN_SCENARIOS "/bench.ini"), link, {})) {
        std::fprintf(stderr, "%s\n", qPrintable(simulator.errorString()));
        return 1;
    }
    qInstallMessageHandler(quiet);

    ManageSerialPort port;
    if (!port.openPort(link)) {
        std::fprintf(stderr, "no dongle answered on %s\n", qPrintable(link));
        return 1;
    }
    QElapsedTimer idleWall;
    idleWall.start();
    const qint64 idleStartUs = processCpuUs();
    QEventLoop idle;
    QTimer::singleShot(IdleMs, &idle, &QEventLoop::quit);
    idle.exec();
    const double idleRatio =
        double(processCpuUs() - idleStartUs) / 1e3 / (double(idleWall.nsecsElapsed()) / 1e6);

    FleetModel model;
    const uint16_t sleepers[] = {0x5001, 0x5002, 0x5003, 0x5004, 0x5005, 0x5006};
    for (uint16_t sn : sleepers)
        model.insert_sensor(sn);
    ActionRun run(&model, &port);
    run.setSettings({dir.path() + QStringLiteral("/out"), false, false});

    QElapsedTimer wall;
    qint64 endNs = 0, startCpuUs = 0, endCpuUs = 0;
    QTimer::singleShot(SettleMs, [&] {
        wall.start();
        startCpuUs = processCpuUs();
        measuring = true;
        LinkWait::measureLateness(true);
    });
    QTimer::singleShot(SettleMs + MeasureMs, &run, [&] {
        endNs = wall.nsecsElapsed();
        endCpuUs = processCpuUs();
        measuring = false;
        LinkWait::measureLateness(false);
        run.stop_run();
    });
    run.action_run();

    int unserved = 0;
    for (int r = 0; r < model.size(); ++r)
        unserved += model.sensor(r).served ? 0 : 1;
    if (endNs == 0 || unserved != model.size()) {
        std::fprintf(stderr, "bench_listen: the run ended early or served a sleeping sensor\n");
        return 1;
    }
    const double wallMs = double(endNs) / 1e6;
    const double cpuMs = double(endCpuUs - startCpuUs) / 1e3;
    int lines = 0;
    QString frequent;
    for (auto it = diagnostics.cbegin(); it != diagnostics.cend(); ++it) {
        lines += it.value();
        if (frequent.isEmpty() || it.value() > diagnostics.value(frequent))
            frequent = it.key();
    }
    std::printf("bench_listen: %d sleeping sensors, %.0f ms of listening, %.0f ms of CPU, %d "
                "diagnostic lines (most: %s x%d); ratio (CPU / wall) %.4f (target 0.01); the "
                "open port alone, without a run: %.4f\n",
                model.size(), wallMs, cpuMs, lines, qPrintable(frequent),
                diagnostics.value(frequent), cpuMs / wallMs, idleRatio);
    // The waits of the run: how late each deadline or window ended.
    LinkWait::Lateness late = LinkWait::lateness();
    std::sort(late.lateUs.begin(), late.lateUs.end());
    const auto ms = [](qint64 us) { return double(us) / 1000.0; };
    if (!late.lateUs.isEmpty())
        std::printf(
            "bench_listen: %d wait deadlines ran out, late by %.2f ms median, %.2f ms worst "
            "(target: none early, worst 5 ms); timers that fired early and were armed "
            "again: %d\n",
            int(late.lateUs.size()), ms(late.lateUs[late.lateUs.size() / 2]),
            ms(late.lateUs.last()), late.earlyFirings);
    return 0;
}
