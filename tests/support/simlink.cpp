#include "simlink.h"

#include "sensoranswer.h"

#include <QDebug>
#include <QTest>

sim::Scenario testScenario(const QString &file)
{
    const sim::ScenarioResult r = sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/") + file);
    if (!r.ok())
        qWarning() << r.errors;
    return r.scenario;
}

sim::Scenario meterScenario()
{
    const sim::ScenarioResult r = sim::parseScenario(R"(
[dongle]
kind = 802.15.4
[device 9001]
type = 6
span = 1h
mains_voltage = 230
load_current = 5
phase = 30
harmonic = 3
harmonic_level = 10
[device 8001]
type = 8
span = 1h
mains_voltage = 120
mains_frequency = 60
load_current = 40
phase = 0
harmonic_level = 0
)");
    if (!r.ok())
        qWarning() << r.errors;
    return r.scenario;
}

bool startSimLink(const sim::Scenario &scenario, std::unique_ptr<sim::Simulator> &sim,
                  std::unique_ptr<ManageSerialPort> &link, const sim::Faults &faults,
                  const QString &truthDir)
{
    link.reset();
    sim = std::make_unique<sim::Simulator>(scenario);
    sim->setFaults(faults);
    if ((!truthDir.isEmpty() && !sim->setTruthDir(truthDir)) || !sim->open())
        return false;
    link = std::make_unique<ManageSerialPort>();
    return link->openPort(sim->slavePath());
}

QByteArray lastData(const ManageSerialPort &link)
{
    return QByteArray(reinterpret_cast<const char *>(link.lastFrameData()), link.lastFrameLength());
}

bool queueIdleFrames(sim::Simulator &sim, const ManageSerialPort &link, uint16_t sn, int frames)
{
    sim::Device *d = sim.device(sn);
    if (!d)
        return false;
    for (int i = 0; i < frames; ++i)
        sim.wake(sn);
    const bool queued = QTest::qWaitFor(
        [&] { return link.bufferedBytes() >= frames * answer::CheckedLength; }, 3000);
    d->awakeUntilMs = 0;
    return queued;
}
