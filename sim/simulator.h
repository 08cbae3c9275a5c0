#pragma once

#include "apidongle.h"
#include "fleet.h"
#include "loradongle.h"
#include "scenario.h"
#include "wire.h"

#include <QFile>
#include <QObject>
#include <QTextStream>
#include <QTimer>
#include <map>
#include <memory>

namespace sim
{

// The whole simulator: a scenario's fleet behind an 802.15.4 or a LoRa dongle (the scenario's
// [dongle] kind) on a pseudo-terminal.
// It lives on the caller's thread and works from its event loop, so a test can own it next to
// the program's link, and the tessaran-sim executable is a thin shell around it.
//
// Set the truth folder, the log, the pacing and the faults before open(): opening records each
// device's span (which the truth files must see) and starts serving.
class Simulator : public QObject
{
    Q_OBJECT
public:
    explicit Simulator(const Scenario &scenario, QObject *parent = nullptr);
    ~Simulator() override;

    // One file per device, XXXX.truth, with every sample it records from now on (see README).
    bool setTruthDir(const QString &dir, QString *error = nullptr);
    bool setLogFile(const QString &path) { return m_wire.setLogFile(path); }
    void setBaud(int baud) { m_wire.setBaud(baud); }
    void setFaults(const Faults &faults) { m_wire.setFaults(faults); }
    Faults &faults() { return m_wire.faults(); }

    bool open(const QString &linkPath = QString());
    void close();
    bool isOpen() const { return m_wire.isOpen(); }
    QString slavePath() const { return m_wire.slavePath(); }
    QString linkPath() const { return m_wire.linkPath(); }

    Fleet &fleet() { return m_fleet; }
    Wire &wire() { return m_wire; }
    // The front end in use; the other one is null.
    ApiDongle *apiDongle() { return m_api.get(); }
    LoraDongle *loraDongle() { return m_lora.get(); }
    Device *device(uint16_t serialNumber) { return m_fleet.device(serialNumber); }
    // Wakes a sensor now (its status frame goes out); false when there is no such device.
    bool wake(uint16_t serialNumber) { return m_fleet.wake(serialNumber); }
    void unplug() { m_wire.unplug(); }
    // The same device back on the same link, its fleet as it was.
    bool replug() { return m_wire.replug(); }
    void flushTruth();

signals:
    void unplugged();
    void replugged();

private:
    void writeTruth(const Device &device, int page, int index, int64_t seconds,
                    const Sample &sample, uint8_t mask);

    Fleet m_fleet;
    Wire m_wire;
    std::unique_ptr<ApiDongle> m_api;
    std::unique_ptr<LoraDongle> m_lora;
    struct Truth {
        std::unique_ptr<QFile> file;
        std::unique_ptr<QTextStream> out;
    };
    std::map<uint16_t, Truth> m_truth;
    QTimer m_truthFlush;
};

} // namespace sim
