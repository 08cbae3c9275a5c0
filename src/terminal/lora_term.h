#pragma once

#include "framedecoder.h"

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
struct TappedFrame;

namespace terminal
{
// A frame 02 x 21 y z restarts the terminal's stopwatch.
bool isMarker(const QByteArray &frame);
// "<seconds>\t<two lower-case digits and a blank per byte>"
QString logLine(qint64 elapsedMs, const QByteArray &frame);
// The same for a body sent: "<seconds>\tsent: <digits>".
QString sentLine(qint64 elapsedMs, const QByteArray &body);
// What a payload received or a body sent means, under its bytes: "\t= <meaning>".
QString meaningLine(framedecode::Direction direction, const QByteArray &body);
} // namespace terminal

// A raw frame terminal for the LoRa dongle, shown instead of the sensor table in terminal mode.
class lora_term : public QWidget
{
    Q_OBJECT
public:
    lora_term(ManageSerialPort *link, QWidget *parent = nullptr);
    ~lora_term() override;

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
    void frameSent(const TappedFrame &frame);

    ManageSerialPort *m_link;
    ConnectionDialog *m_connection;
    QPlainTextEdit *m_log;
    QLabel *m_rssi;
    QLabel *m_statusValue;
    QLineEdit *m_fields[4];
    QPushButton *m_reveilButton;
    QElapsedTimer m_stopwatch;
};
