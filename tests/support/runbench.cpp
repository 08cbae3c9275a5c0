#include "runbench.h"

#include <QDir>

bool RunBench::start(const sim::Scenario &scenario, const QString &folder, const QString &truthDir,
                     const QString &port)
{
    reset();
    sim = std::make_unique<sim::Simulator>(scenario);
    if ((!truthDir.isEmpty() && !sim->setTruthDir(truthDir)) || !sim->open(port))
        return false;
    link = std::make_unique<ManageSerialPort>();
    if (!link->openPort(port.isEmpty() ? sim->slavePath() : port))
        return false;
    session = std::make_unique<FleetSession>(link.get());
    model = &session->fleet();
    run = &session->actionRun();
    session->setRunSettings({folder, false, false});
    return true;
}

void RunBench::reset()
{
    model = nullptr;
    run = nullptr;
    session.reset();
    link.reset();
    sim.reset();
}

bool RunBench::runFor(int limitMs)
{
    bool late = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &guard, [&] {
        late = true;
        session->stop();
    });
    guard.start(limitMs);
    QTimer waker;
    if (wake)
        QObject::connect(&waker, &QTimer::timeout, &waker, wake);
    waker.start(150);
    session->runActions();
    return !late && !session->isRunning();
}

QString RunBench::status(int sn) const
{
    return model->sensor(model->find_row(uint32_t(sn))).status;
}

FleetModel::Tone RunBench::tone(int sn) const
{
    return model->sensor(model->find_row(uint32_t(sn))).tone;
}

QString RunBench::tsvOf(int sn) const
{
    const QStringList found =
        QDir(run->settings().folder).entryList({hex4(sn) + QStringLiteral("_*.tsv")}, QDir::Files);
    return found.size() == 1 ? run->settings().folder + QLatin1Char('/') + found.first()
                             : QString();
}

bool RunBench::matchesTruth(int sn, const QString &truthDir, QString *why, int count,
                            const QDateTime &from, const QDateTime &to) const
{
    const QVector<TruthRow> got = tsvRows(tsvOf(sn));
    const QVector<TruthRow> want =
        truthRows(truthDir + QLatin1Char('/') + hex4(sn) + QStringLiteral(".truth"), from, to);
    const int expected = count < 0 ? want.size() : count;
    if (want.isEmpty() || expected > want.size() || got.size() != expected) {
        *why = QStringLiteral("%1 rows instead of %2 (truth %3)")
                   .arg(got.size())
                   .arg(expected)
                   .arg(want.size());
        return false;
    }
    const SensorType &type = model->sensor(model->find_row(uint32_t(sn))).type;
    for (int i = 0; i < got.size(); ++i)
        if (!writtenAs(got[i], want[i], type)) {
            *why = QStringLiteral("row %1: %2 instead of %3").arg(i).arg(got[i].time, want[i].time);
            return false;
        }
    return true;
}
