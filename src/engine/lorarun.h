#pragma once

#include "fleetmodel.h"
#include "fleetrun.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

class ManageSerialPort;

// The action run on the LoRa dongle. A LoRa sensor never announces itself: the run reaches every
// listed sensor in turn with a transaction of its own (the link wakes a sleeping one with the long
// preamble), sends it the parameter block, and fetches its pages one transaction per page.
class LoraRun : public FleetRun
{
    Q_OBJECT
public:
    LoraRun(FleetModel *model, ManageSerialPort *link, QObject *parent = nullptr);
    ~LoraRun() override;

    // The run itself: returns when every sensor had its turn or the run was stopped.
    void lora_action_run();
    // Ends the run; from inside a transaction it cuts that transaction short.
    void stop_run() override;

    // True when the sensor answered its parameter block (whatever its download did).
    bool lora_sensor_cycle(uint32_t serialNumber);
    // false when it closed the data files (complete, interrupted or timed out); true when
    // nothing could be requested.
    bool download_pages_lora(uint32_t serialNumber);
    // True when the page arrived whole; it is then the link's last received frame.
    bool request_page_lora(uint32_t serialNumber, uint16_t page);
    void read_page_range(uint32_t serialNumber);
    bool refresh_row_from_answer(uint32_t serialNumber, int mode);

    // The last parameter answer, as the link lays out a sensor answer.
    const QByteArray &answer() const { return m_answer; }
    // Pages asked for again over the last download (lost transactions and failed checks).
    int reRequests() const { return m_reRequests; }

private:
    bool prepare();
    // The dongle hears that a run is under way.
    void announceRun();
    // Before a transaction: when the port went away, waits for it to be reopened and tells the
    // dongle again what it forgot with its power. False when the run ended meanwhile.
    bool linkBack();
    // After a failed transaction: true when it failed because the port went away (the closing
    // is queued behind the failure).
    bool portWentAway();
    void showProgress(int row, int received, int total);

    QByteArray m_answer;
    // From the start of lora_action_run() to its return: a stop before its end still has the
    // link's transaction to cut short.
    bool m_inRun = false;
    int m_reRequests = 0;
};
