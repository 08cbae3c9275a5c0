#include "lora_term.h"

#include "connectiondialog.h"
#include "manageserialport.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace terminal {

bool isRadioReport(const QByteArray &f)
{
    return f.size() == 3 && static_cast<uint8_t>(f[0]) == 0x11;
}

int reportRssi(const QByteArray &f)
{
    return static_cast<uint8_t>(f[1]) - 137;
}

QString reportStatus(const QByteArray &f)
{
    return QString::number(static_cast<uint8_t>(f[2]), 16);
}

bool isMarker(const QByteArray &f)
{
    return f.size() == 5 && static_cast<uint8_t>(f[0]) == 0x02 && f[2] == '!';
}

QString logLine(qint64 elapsedMs, const QByteArray &frame)
{
    QString line = QString::number(double(elapsedMs) / 1000.0, 'g', 6) + QLatin1Char('\t');
    for (char c : frame)
        line += QStringLiteral("%1 ").arg(static_cast<uint8_t>(c), 2, 16, QLatin1Char('0'));
    return line;
}

void reveilBlock(uint8_t block[17])
{
    for (int i = 0; i < 17; ++i)
        block[i] = 0;
    block[1] = 0x13; // write EEPROM
    block[2] = 0x00;
    block[3] = 0x78;
    block[4] = 0x64;
    block[5] = 0; // no restart
}

} // namespace terminal

lora_term::lora_term(ManageSerialPort *link, QWidget *parent)
    : QWidget(parent), m_link(link), m_connection(new ConnectionDialog(link)),
      m_log(new QPlainTextEdit), m_rssi(new QLabel), m_statusValue(new QLabel),
      m_reveilButton(new QPushButton(QStringLiteral("reveil")))
{
    setFixedWidth(1000);
    setMinimumHeight(600);
    setMaximumHeight(2000);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_connection);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("RSSI:")));
    row->addWidget(m_rssi);
    row->addWidget(new QLabel(QStringLiteral("Status:")));
    row->addWidget(m_statusValue);
    row->addStretch();
    layout->addLayout(row);
    m_log->setReadOnly(true);
    layout->addWidget(m_log);
    for (int i = 0; i < 4; ++i) {
        m_fields[i] = new QLineEdit;
        layout->addWidget(m_fields[i]);
        // Return in a field sends that field: the four hold frames the operator switches between.
        connect(m_fields[i], &QLineEdit::returnPressed, this, [this, i] { sendField(i); });
    }
    layout->addWidget(m_reveilButton);
    connect(m_reveilButton, &QPushButton::clicked, this, &lora_term::reveil);
    connect(m_link, &ManageSerialPort::new_frame, this, &lora_term::new_frame);
    connect(m_link, &ManageSerialPort::error_rx, this, &lora_term::error_rx);
    m_stopwatch.start();
}

void lora_term::new_frame()
{
    const QByteArray frame = m_link->lastLoraFrame();
    if (terminal::isRadioReport(frame)) {
        m_rssi->setText(QString::number(terminal::reportRssi(frame)));
        m_statusValue->setText(terminal::reportStatus(frame));
        return;
    }
    m_log->appendPlainText(terminal::logLine(m_stopwatch.elapsed(), frame));
    if (terminal::isMarker(frame))
        m_stopwatch.restart();
}

void lora_term::error_rx()
{
    m_log->appendPlainText(m_link->loraErrorText());
}

void lora_term::send_frame()
{
    sendField(0);
}

void lora_term::sendField(int index)
{
    if (index < 0 || index >= 4)
        return;
    m_link->sendApiFrame(QByteArray::fromHex(m_fields[index]->text().toLatin1()), 1);
}

void lora_term::reveil()
{
    uint8_t block[17];
    terminal::reveilBlock(block);
    m_link->sendLoraCommand(terminal::ReveilSerial, block);
}
