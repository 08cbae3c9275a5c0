#pragma once

#include "devicemaintenance.h"
#include "sensorrecord.h"

#include <QTimer>
#include <QWidget>
#include <array>

class ManageSerialPort;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;
class SensorFirmwareGroup;

// The maintenance window of one device, opened from the sensor table: reads and writes bytes of
// its EEPROM or RAM, dumps a memory into a text file, moves it to another radio channel, reads
// and clears its stored error. Each button starts its operation and, while the operation waits
// for the device, blinks and interrupts it when pressed again. The work itself is done by
// DeviceMaintenance; this window gathers the fields and shows what came back.
class AdvanceWirellessSensor : public QWidget
{
    Q_OBJECT
public:
    // The window's operations, in the order of their buttons.
    enum Op { ReadOp, WriteOp, SaveOp, ChannelOp, ReadErrorOp, ClearErrorOp, OpCount };

    AdvanceWirellessSensor(ManageSerialPort *link, const SensorRecord &record,
                           QWidget *parent = nullptr);
    ~AdvanceWirellessSensor() override;

    const SensorRecord &record() const { return m_record; }
    DeviceMaintenance &maintenance() { return m_maintenance; }
    bool isRunning(Op op) const { return m_running[op]; }
    QPushButton *button(Op op) const { return m_buttons[op]; }
    QLineEdit *readAddressEdit() const { return m_readAddress; }
    QComboBox *memoryTypeCombo() const { return m_memoryType; }
    QLineEdit *dataEdit() const { return m_data; }
    QLineEdit *writeAddressEdit() const { return m_writeAddress; }
    QCheckBox *resetBox() const { return m_reset; }
    QLineEdit *valueEdit() const { return m_value; }
    QComboBox *channelCombo() const { return m_channel; }
    QLabel *errorLabel() const { return m_error; }
    QLabel *dumpLabel() const { return m_dumpProgress; }
    // The groups an 802.15.4 dongle adds (channel, error, firmware update).
    QWidget *apiGroups() const { return m_apiGroups; }
    // Where the firmware update group goes: an empty layout inside the 802.15.4 groups.
    QVBoxLayout *firmwareSlot() const { return m_firmwareSlot; }
    // Null with a LoRa dongle.
    SensorFirmwareGroup *firmwareGroup() const { return m_firmware; }

public slots:
    void ReadClicked();
    void WriteClicked();
    void SaveFileClicked();
    void change_chan_clicked();
    void read_error();
    void clear_error();
    void each_sec();

signals:
    void closingWindow();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildLayout(bool api, bool lora);
    memorycommand::Fields fields() const;
    // The button protocol: true when `op` starts, false when the press interrupted it (or
    // another operation holds the link).
    bool press(Op op);
    void finish(Op op);
    void setIdle(Op op);
    void applyEnabled();
    DeviceMaintenance::Result execute(Op op, QIODevice *dumpFile = nullptr);
    bool tellPendingClose();
    void tellRelayChannel(DeviceMaintenance::Result r);

    ManageSerialPort *m_link;
    SensorRecord m_record;
    DeviceMaintenance m_maintenance;
    std::array<bool, OpCount> m_running{};
    std::array<QPushButton *, OpCount> m_buttons{};
    bool m_blinkPhase = false;
    QTimer m_blink;
    // How deep the operations are in this window's stack: a close meanwhile is told once they
    // have unwound, so whoever deletes the window does not pull it from under them.
    int m_depth = 0;
    bool m_closePending = false;

    QLineEdit *m_readAddress = nullptr;
    QComboBox *m_memoryType = nullptr;
    QLineEdit *m_data = nullptr;
    QLabel *m_dumpProgress = nullptr;
    QLineEdit *m_writeAddress = nullptr;
    QCheckBox *m_reset = nullptr;
    QLineEdit *m_value = nullptr;
    QComboBox *m_channel = nullptr;
    QLabel *m_error = nullptr;
    QWidget *m_apiGroups = nullptr;
    QVBoxLayout *m_firmwareSlot = nullptr;
    SensorFirmwareGroup *m_firmware = nullptr;
    bool m_uploading = false;
};
