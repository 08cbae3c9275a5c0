#pragma once

#include "actionrun.h"
#include "fleetmodel.h"
#include "fleetsession.h"
#include "simlink.h"
#include "testkit.h"
#include "truthrows.h"

#include <QTimer>
#include <functional>
#include <memory>

// A fleet run against the simulator: a scenario behind the real link and a session over it, whose
// runs write their files to `folder`. `model` and `run` are the session's.
struct RunBench {
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<ManageSerialPort> link;
    std::unique_ptr<FleetSession> session;
    FleetModel *model = nullptr;
    ActionRun *run = nullptr;
    // Stands in for the sensors' schedule: called every 150 ms while a run goes.
    std::function<void()> wake;

    // Starts `scenario` (on `port`, a path that survives a replug, when given) with the link open
    // on it; false when either fails.
    bool start(const sim::Scenario &scenario, const QString &folder,
               const QString &truthDir = QString(), const QString &port = QString());
    void reset();
    // Runs with the sensors waking; false when it had to be stopped after `limitMs`.
    bool runFor(int limitMs);

    QString status(int sn) const;
    FleetModel::Tone tone(int sn) const;
    // The one .tsv written for `sn`, or nothing.
    QString tsvOf(int sn) const;
    // The rows written for `sn` are the first `count` (all when -1) of what its truth file holds
    // within [from, to]; false, with the first difference in `why`, when they are not.
    bool matchesTruth(int sn, const QString &truthDir, QString *why, int count = -1,
                      const QDateTime &from = QDateTime(), const QDateTime &to = QDateTime()) const;
};
