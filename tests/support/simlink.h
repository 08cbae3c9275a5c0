#pragma once

#include "manageserialport.h"
#include "simulator.h"

#include <memory>

// A scenario of data/scenarios, by file name.
sim::Scenario testScenario(const QString &file = QStringLiteral("test-fleet.ini"));
// Two power meters: 9001 (type 6: 230 V, 5 A at 30 degrees with 10 % of third harmonic) and
// 8001 (type 8: 120 V at 60 Hz, 40 A in phase).
sim::Scenario meterScenario();
// Starts a simulator of `scenario` and opens the real link on it; false when either fails.
bool startSimLink(const sim::Scenario &scenario, std::unique_ptr<sim::Simulator> &sim,
                  std::unique_ptr<ManageSerialPort> &link, const sim::Faults &faults = {},
                  const QString &truthDir = QString());
// The sensor `sn` wakes `frames` times while the program idles, then sleeps again: true once
// all its frames wait in the link, where a run that starts now finds them.
bool queueIdleFrames(sim::Simulator &sim, const ManageSerialPort &link, uint16_t sn, int frames);
// What the link kept of the last frame it took.
QByteArray lastData(const ManageSerialPort &link);
