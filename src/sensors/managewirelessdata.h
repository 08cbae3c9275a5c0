#pragma once

#include <QWidget>

class ConnectionDialog;
class ManageSerialPort;
class QGroupBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

// The sensor data widget: the connection bar, the action controls and the sensor table, the
// main window's centre in normal mode.
class managewirelessdata : public QWidget
{
    Q_OBJECT
public:
    static constexpr int Columns = 14;
    static constexpr int RssiCombos = 25;

    explicit managewirelessdata(ManageSerialPort *link, QWidget *parent = nullptr);
    ~managewirelessdata() override;

    ConnectionDialog *connectionDialog() const { return m_connection; }
    QPushButton *sendActionButton() const { return m_sendAction; }
    QPushButton *detectButton() const { return m_detect; }
    QGroupBox *rssiGroup() const { return m_rssiGroup; }
    QLabel *dongleLevelLabel() const { return m_dongleLevel; }
    QLabel *clockLabel() const { return m_clock; }
    QTableWidget *table() const { return m_table; }

    // Stops the timers and saves what the next start needs; called by the main window's close.
    void shutdown();

public slots:
    void com_slot();
    void new_lora_frame();
    void each_sec();

private:
    ManageSerialPort *m_link;
    ConnectionDialog *m_connection;
    QLabel *m_clock;
    QPushButton *m_sendAction;
    QPushButton *m_detect;
    QGroupBox *m_rssiGroup;
    QLabel *m_dongleLevel;
    QTableWidget *m_table;
    QTimer *m_tick;
};
