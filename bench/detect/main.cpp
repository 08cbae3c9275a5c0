// How long a detection takes to find a whole fleet, against how long the sleepiest sensor
// sleeps: the fifty devices of fleet50.ini (relays, always-listening devices, sensors waking
// every 5 to 30 s, some only through a relay) behind the simulated dongle, the real link and the
// engine's detection. A device counts as found once it answered and its row shows it; the RSSI
// lists name every device within the first second, so a row alone says little. Every sensor
// must have woken once, so the detection cannot beat the longest wake interval: the target is
// that interval plus 2 s, a ratio of 1 or less.
//
// The sensors wake on the scenario's schedule (first after 1 + serial x 7919 mod interval
// seconds, as the simulator places them), kept here rather than by the simulator: its own
// scheduler steps over some devices and never wakes them.
//
// Usage: bench_detect [--speed N] (the schedule's clock; at 1, about half a minute).

#include "commandset.h"
#include "detection.h"
#include "fleetmodel.h"
#include "manageserialport.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace
{
void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qInstallMessageHandler(quiet);
    double speed = 1.0;
    const QStringList args = app.arguments();
    const int at = args.indexOf(QStringLiteral("--speed"));
    if (at > 0 && at + 1 < args.size())
        speed = std::max(0.1, args[at + 1].toDouble());

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) ||
        !QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini"))) {
        std::fprintf(stderr, "no working folder\n");
        return 1;
    }
    sim::ScenarioResult loaded =
        sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/fleet50.ini"));
    sim::Scenario &scenario = loaded.scenario;
    scenario.speed = speed;
    // Relays and always-listening devices answer at once: their wake interval means nothing.
    struct Sleeper {
        uint16_t serialNumber;
        int intervalMs;
        int firstMs;
    };
    QVector<Sleeper> sleepers;
    int longest = 0;
    for (sim::DeviceConfig &d : scenario.devices) {
        if (d.serialNumber >= command::RelayRangeFirst || d.wakeSeconds <= 0)
            continue;
        longest = std::max(longest, d.wakeSeconds);
        const int first = 1 + (d.serialNumber * 7919) % d.wakeSeconds;
        sleepers.append(
            {d.serialNumber, int(1000 * d.wakeSeconds / speed), int(1000 * first / speed)});
        d.wakeSeconds = 0;
    }
    const double longestS = longest / speed;
    const int devices = scenario.devices.size();

    sim::Simulator simulator(scenario);
    ManageSerialPort link;
    if (!simulator.open() || !link.openPort(simulator.slavePath())) {
        std::fprintf(stderr, "the simulated dongle does not answer\n");
        return 1;
    }
    FleetModel model;
    radiopaths::RadioPaths paths;
    Detection detection(&model, &link, &paths);

    QElapsedTimer clock;
    qint64 listedMs = -1;
    qint64 foundMs = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        int found = 0;
        for (int r = 0; r < model.size(); ++r)
            found += model.sensor(r).detected;
        if (listedMs < 0 && model.size() >= devices)
            listedMs = clock.elapsed();
        if (found >= devices) {
            foundMs = clock.elapsed();
            detection.stop();
        }
    });
    for (const Sleeper &z : sleepers) {
        auto *t = new QTimer(&detection);
        t->setTimerType(Qt::PreciseTimer);
        QObject::connect(t, &QTimer::timeout, [&simulator, t, z] {
            t->setInterval(z.intervalMs);
            simulator.wake(z.serialNumber);
        });
        t->start(z.firstMs);
    }
    QTimer::singleShot(int(1000 * (3 * longestS + 30)), &detection, &Detection::stop);
    watch.start(20);
    clock.start();
    detection.detect_sensors();

    int found = 0;
    for (int r = 0; r < model.size(); ++r)
        found += model.sensor(r).detected;
    std::printf("devices %d, listed %d, answered %d, longest wake interval %.1f s\n", devices,
                model.size(), found, longestS);
    if (foundMs < 0) {
        std::printf("detect ratio: not every device was found within %.0f s (target <= 1)\n",
                    clock.elapsed() / 1000.0);
        return 1;
    }
    std::printf("every device listed after %.1f s\n", listedMs / 1000.0);
    std::printf("every device found after %.1f s\n", foundMs / 1000.0);
    std::printf("detect ratio (found / (longest wake interval + 2 s)): %.2f (target <= 1)\n",
                foundMs / 1000.0 / (longestS + 2.0));
    return 0;
}
