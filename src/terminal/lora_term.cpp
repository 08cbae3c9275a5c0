#include "lora_term.h"

#include "commandset.h"
#include "connectiondialog.h"
#include "frametap.h"
#include "loraframe.h"
#include "manageserialport.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace terminal
{

bool isMarker(const QByteArray &f)
{
    return f.size() == 5 && static_cast<uint8_t>(f[0]) == lora::Answer && f[2] == '!';
}

QString logLine(qint64 elapsedMs, const QByteArray &frame)
{
    QString line = QString::number(double(elapsedMs) / 1000.0, 'g', 6) + QLatin1Char('\t');
    for (char c : frame)
        line += QStringLiteral("%1 ").arg(static_cast<uint8_t>(c), 2, 16, QLatin1Char('0'));
    return line;
}

QString sentLine(qint64 elapsedMs, const QByteArray &body)
{
    QString line = logLine(elapsedMs, body);
    return line.insert(line.indexOf(QLatin1Char('\t')) + 1, QStringLiteral("sent: "));
}

QString meaningLine(framedecode::Direction direction, const QByteArray &body)
{
    return QStringLiteral("\t= ") +
           framedecode::oneLine(framedecode::decodeBody(direction, framedecode::Line::Lora, body));
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
    // Each field is named, and Alt with its number puts the cursor in it.
    auto *fields = new QFormLayout;
    for (int i = 0; i < 4; ++i) {
        m_fields[i] = new QLineEdit;
        auto *label = new QLabel(QStringLiteral("Frame &%1 (hex) :").arg(i + 1));
        label->setBuddy(m_fields[i]);
        fields->addRow(label, m_fields[i]);
        // Return in a field sends that field: the four hold frames the operator switches between.
        connect(m_fields[i], &QLineEdit::returnPressed, this, [this, i] { sendField(i); });
    }
    layout->addLayout(fields);
    layout->addWidget(m_reveilButton);
    connect(m_reveilButton, &QPushButton::clicked, this, &lora_term::reveil);
    // The wake-up write is a whole transaction: no second one while the link waits.
    connect(m_link, &ManageSerialPort::busyChanged, m_reveilButton, &QPushButton::setDisabled);
    connect(m_link, &ManageSerialPort::new_frame, this, &lora_term::new_frame);
    connect(m_link, &ManageSerialPort::error_rx, this, &lora_term::error_rx);
    // What goes out is seen where it is written, whoever sends it (a field, "reveil", the
    // configuration at open): the link's tap tells it at once.
    m_link->frameTap()->use();
    connect(m_link->frameTap(), &FrameTap::tapped, this, &lora_term::frameSent);
    m_stopwatch.start();
}

lora_term::~lora_term()
{
    m_link->frameTap()->release();
}

void lora_term::frameSent(const TappedFrame &frame)
{
    if (frame.direction != framedecode::Direction::Out ||
        frame.piece != framedecode::Piece::Frame || frame.bytes.size() < 4)
        return;
    const QByteArray body = frame.bytes.mid(3, frame.bytes.size() - 4);
    m_log->appendPlainText(terminal::sentLine(m_stopwatch.elapsed(), body));
    m_log->appendPlainText(terminal::meaningLine(framedecode::Direction::Out, body));
}

void lora_term::new_frame()
{
    const QByteArray frame = m_link->lastLoraFrame();
    if (const auto report = lora::parseRadioReport(frame)) {
        m_rssi->setText(QString::number(report->rssiDbm));
        m_statusValue->setText(QString::number(report->status, 16));
        return;
    }
    m_log->appendPlainText(terminal::logLine(m_stopwatch.elapsed(), frame));
    m_log->appendPlainText(terminal::meaningLine(framedecode::Direction::In, frame));
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
    m_link->sendLoraCommand(command::ReveilSerial, command::reveilBlock());
}
