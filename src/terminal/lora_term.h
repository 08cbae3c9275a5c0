#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>

class ConnectionDialog;
class ManageSerialPort;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace terminal {
// A frame 02 x 21 y z restarts the terminal's stopwatch.
bool isMarker(const QByteArray &frame);
// "<seconds>\t<two lower-case digits and a blank per byte>"
QString logLine(qint64 elapsedMs, const QByteArray &frame);
} // namespace terminal

// A raw frame terminal for the LoRa dongle, shown instead of the sensor table in terminal mode.
class lora_term : public QWidget
{
    Q_OBJECT
public:
    lora_term(ManageSerialPort *link, QWidget *parent = nullptr);

    ConnectionDialog *connectionBar() const { return m_connection; }
    QPlainTextEdit *log() const { return m_log; }
    QLabel *rssiLabel() const { return m_rssi; }
    QLabel *statusValueLabel() const { return m_statusValue; }
    QLineEdit *frameField(int i) const { return m_fields[i]; }
    QPushButton *reveilButton() const { return m_reveilButton; }

    // Sends field `index`'s hexadecimal text as a frame body.
    void sendField(int index);

public slots:
    void send_frame();
    void reveil();
    void new_frame();
    void error_rx();

private:
    ManageSerialPort *m_link;
    ConnectionDialog *m_connection;
    QPlainTextEdit *m_log;
    QLabel *m_rssi;
    QLabel *m_statusValue;
    QLineEdit *m_fields[4];
    QPushButton *m_reveilButton;
    QElapsedTimer m_stopwatch;
};
