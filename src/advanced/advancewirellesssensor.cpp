#include "advancewirellesssensor.h"

#include "sensorfirmwaregroup.h"

#include "dialogs.h"
#include "manageserialport.h"
#include "settings.h"
#include "windowplacement.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDebug>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using memorycommand::Operation;

namespace
{
const QString WaitText = QStringLiteral("Wait for sensor, Press to interrupt");
const QString RunningStyle = QStringLiteral("font-weight: bold;color: red");
// Black only while enabled: a plain colour would also paint the buttons held during another
// operation black, and they would look as live as the one that interrupts it.
const QString IdleStyle = QStringLiteral("QPushButton:enabled { color: black; }");
const QString ChannelTitle = QStringLiteral("Changing channel");
constexpr int BlinkMs = 500;

QString idleText(AdvanceWirellessSensor::Op op)
{
    switch (op) {
    case AdvanceWirellessSensor::ReadOp:
        return QStringLiteral("Read Data");
    case AdvanceWirellessSensor::WriteOp:
        return QStringLiteral("Write Data");
    case AdvanceWirellessSensor::SaveOp:
        return QStringLiteral("Save data to file");
    case AdvanceWirellessSensor::ChannelOp:
        return QStringLiteral("Change channel");
    case AdvanceWirellessSensor::ReadErrorOp:
        return QStringLiteral("Read error");
    case AdvanceWirellessSensor::ClearErrorOp:
        return QStringLiteral("Clear error");
    case AdvanceWirellessSensor::OpCount:
        break;
    }
    return QString();
}

Operation operationOf(AdvanceWirellessSensor::Op op)
{
    static const Operation ops[] = {Operation::Read,      Operation::Write,
                                    Operation::Save,      Operation::Channel,
                                    Operation::ReadError, Operation::ClearError};
    return ops[op];
}

QLineEdit *hexEdit(const QString &text, int digits)
{
    auto *edit = new QLineEdit(text);
    edit->setMaxLength(digits);
    return edit;
}
} // namespace

AdvanceWirellessSensor::AdvanceWirellessSensor(ManageSerialPort *link, const SensorRecord &record,
                                               QWidget *parent)
    : QWidget(parent), m_link(link), m_record(record),
      m_maintenance(link, uint16_t(record.serial_number), record.relay_address)
{
    m_blink.setInterval(BlinkMs);
    connect(&m_blink, &QTimer::timeout, this, &AdvanceWirellessSensor::each_sec);
    connect(&m_maintenance, &DeviceMaintenance::dumpProgress, this, [this](int address) {
        m_dumpProgress->setText(
            QStringLiteral("Address 0x%1 of 0x%2")
                .arg(address, 4, 16, QChar('0'))
                .arg(memorycommand::DumpEnd - memorycommand::DumpStep, 4, 16, QChar('0')));
    });
    const int mode = link ? link->linkMode() : int(ManageSerialPort::NoDongle);
    buildLayout(mode == ManageSerialPort::Api802154, mode == ManageSerialPort::Lora);
    setMinimumSize(200, 200);
    setWindowTitle(QStringLiteral("Sensor %1 - Advanced configuration")
                       .arg(QStringLiteral("%1")
                                .arg(record.serial_number & 0xFFFF, 4, 16, QChar('0'))
                                .toUpper()));
    restoreWindowPosition(this, settings::key::AdvSensorWinX, settings::key::AdvSensorWinY,
                          margins::SensorAdvancedWindow);
}

AdvanceWirellessSensor::~AdvanceWirellessSensor() = default;

void AdvanceWirellessSensor::buildLayout(bool api, bool lora)
{
    auto *top = new QVBoxLayout(this);
    top->setAlignment(Qt::AlignTop);
    // Never squeezed below what the controls need (a new window is at most two thirds of the
    // screen high by default).
    top->setSizeConstraint(QLayout::SetMinimumSize);

    auto *snRow = new QHBoxLayout;
    snRow->addWidget(new QLabel(QStringLiteral("Serial Number :")));
    snRow->addWidget(new QLabel(
        QStringLiteral("%1").arg(m_record.serial_number & 0xFFFF, 4, 16, QChar('0')).toUpper()));
    snRow->addStretch();
    top->addLayout(snRow);
    // Two columns: the memory on the left, what needs the 802.15.4 dongle on the right, so the
    // window stays low enough for a small screen.
    auto *columns = new QHBoxLayout;
    auto *left = new QVBoxLayout;
    left->setAlignment(Qt::AlignTop);
    columns->addLayout(left);
    top->addLayout(columns);

    for (int op = 0; op < OpCount; ++op) {
        auto *b = new QPushButton(WaitText);
        // Wide enough for the wait's text from the start: a button that grows with it widens
        // the window in the middle of the operator's work, and it never shrinks back.
        b->setStyleSheet(RunningStyle);
        b->setMinimumWidth(b->sizeHint().width());
        b->setText(idleText(Op(op)));
        b->setStyleSheet(IdleStyle);
        m_buttons[size_t(op)] = b;
    }

    auto *readGroup = new QGroupBox(QStringLiteral("Read Data"));
    auto *readForm = new QFormLayout(readGroup);
    const memorycommand::Fields blank;
    m_readAddress = hexEdit(blank.readAddress, 4);
    m_memoryType = new QComboBox;
    m_memoryType->addItems({QStringLiteral("EEPROM"), QStringLiteral("RAM")});
    m_data = new QLineEdit;
    m_data->setReadOnly(true);
    // Room for the eight bytes a read shows.
    m_data->setMinimumWidth(
        m_data->fontMetrics().horizontalAdvance(QStringLiteral("00 00 00 00 00 00 00 00 ")) + 16);
    m_dumpProgress = new QLabel;
    // Its line is kept while empty, so that the dump's first address does not push the window.
    m_dumpProgress->setMinimumHeight(m_dumpProgress->fontMetrics().height());
    readForm->addRow(QStringLiteral("Address :"), m_readAddress);
    readForm->addRow(QStringLiteral("Type of memory :"), m_memoryType);
    readForm->addRow(QStringLiteral("Data :"), m_data);
    readForm->addRow(m_buttons[ReadOp]);
    readForm->addRow(m_buttons[SaveOp]);
    readForm->addRow(m_dumpProgress);
    left->addWidget(readGroup);

    auto *writeGroup = new QGroupBox(QStringLiteral("Write Data in EEPROM"));
    auto *writeForm = new QFormLayout(writeGroup);
    m_writeAddress = hexEdit(blank.writeAddress, 4);
    m_reset = new QCheckBox;
    m_value = hexEdit(blank.value, 8);
    writeForm->addRow(QStringLiteral("Address :"), m_writeAddress);
    writeForm->addRow(QStringLiteral("Reset Chip :"), m_reset);
    writeForm->addRow(QStringLiteral("Value to write :"), m_value);
    writeForm->addRow(m_buttons[WriteOp]);
    left->addWidget(writeGroup);

    // The dump, the channel, the error and the firmware update need the 802.15.4 dongle's
    // exchanges; a LoRa dongle carries single reads and writes only.
    m_apiGroups = new QWidget;
    auto *apiBox = new QVBoxLayout(m_apiGroups);
    apiBox->setContentsMargins(0, 0, 0, 0);
    apiBox->setAlignment(Qt::AlignTop);
    m_firmwareSlot = new QVBoxLayout;
    apiBox->addLayout(m_firmwareSlot);
    if (api) {
        // A sensor not yet in its loader is restarted into it by this window's own exchange.
        m_firmware = new SensorFirmwareGroup(m_link, m_record, [this](quint8 *versionBefore) {
            return m_maintenance.restart_into_loader(versionBefore);
        });
        m_firmwareSlot->addWidget(m_firmware);
        connect(m_firmware, &SensorFirmwareGroup::interrupted, this,
                [this] { m_maintenance.stop(); });
        // An update on the stack holds the window like an operation: a close meanwhile is told
        // once it has returned.
        connect(m_firmware, &SensorFirmwareGroup::uploadRunning, this, [this](bool running) {
            m_uploading = running;
            m_depth += running ? 1 : -1;
            applyEnabled();
            if (!running)
                tellPendingClose();
        });
    }

    auto *channelGroup = new QGroupBox(QStringLiteral("Change sensor/relais channel"));
    auto *channelBox = new QVBoxLayout(channelGroup);
    m_channel = new QComboBox;
    for (int i = 0; i < memorycommand::ChannelCount; ++i) {
        const int channel = memorycommand::FirstChannel + i;
        m_channel->addItem(QStringLiteral("%1 (0x%2)").arg(channel).arg(channel, 0, 16));
    }
    m_channel->addItem(QStringLiteral("~"));
    m_channel->setCurrentIndex(memorycommand::ChannelCount);
    channelBox->addWidget(m_channel);
    channelBox->addWidget(m_buttons[ChannelOp]);
    apiBox->addWidget(channelGroup);

    auto *errorGroup = new QGroupBox(QStringLiteral("Read and clear error"));
    auto *errorForm = new QFormLayout(errorGroup);
    m_error = new QLabel;
    errorForm->addRow(QStringLiteral("Error :"), m_error);
    errorForm->addRow(m_buttons[ReadErrorOp]);
    errorForm->addRow(m_buttons[ClearErrorOp]);
    apiBox->addWidget(errorGroup);
    columns->addWidget(m_apiGroups);
    m_apiGroups->setVisible(api);
    m_buttons[SaveOp]->setVisible(api);

    if (lora) {
        auto *note = new QLabel(
            QStringLiteral("With a LoRa dongle only single reads and writes are available."));
        note->setWordWrap(true);
        top->addWidget(note);
    }

    connect(m_buttons[ReadOp], &QPushButton::clicked, this, &AdvanceWirellessSensor::ReadClicked);
    connect(m_buttons[WriteOp], &QPushButton::clicked, this, &AdvanceWirellessSensor::WriteClicked);
    connect(m_buttons[SaveOp], &QPushButton::clicked, this,
            &AdvanceWirellessSensor::SaveFileClicked);
    connect(m_buttons[ChannelOp], &QPushButton::clicked, this,
            &AdvanceWirellessSensor::change_chan_clicked);
    connect(m_buttons[ReadErrorOp], &QPushButton::clicked, this,
            &AdvanceWirellessSensor::read_error);
    connect(m_buttons[ClearErrorOp], &QPushButton::clicked, this,
            &AdvanceWirellessSensor::clear_error);
}

memorycommand::Fields AdvanceWirellessSensor::fields() const
{
    memorycommand::Fields f;
    f.readAddress = m_readAddress->text();
    f.ram = m_memoryType->currentIndex() == 1;
    f.writeAddress = m_writeAddress->text();
    f.value = m_value->text();
    f.reset = m_reset->isChecked();
    f.channelIndex = m_channel->currentIndex();
    return f;
}

void AdvanceWirellessSensor::applyEnabled()
{
    // One exchange at a time on the link: while an operation holds it, only its own button
    // (the interrupt) can be pressed.
    bool any = false;
    for (bool r : m_running)
        any = any || r;
    for (int op = 0; op < OpCount; ++op)
        m_buttons[size_t(op)]->setEnabled(!m_uploading && (!any || m_running[size_t(op)]));
    if (m_firmware)
        m_firmware->setEnabled(!any);
    if (!any)
        m_blink.stop();
}

void AdvanceWirellessSensor::setIdle(Op op)
{
    m_running[op] = false;
    m_buttons[op]->setText(idleText(op));
    m_buttons[op]->setStyleSheet(IdleStyle);
}

bool AdvanceWirellessSensor::press(Op op)
{
    if (m_running[op]) {
        setIdle(op);
        m_maintenance.stop();
        applyEnabled();
        return false;
    }
    if (m_maintenance.isRunning())
        return false;
    m_running[op] = true;
    m_buttons[op]->setText(WaitText);
    m_buttons[op]->setStyleSheet(RunningStyle);
    m_blink.start();
    applyEnabled();
    return true;
}

void AdvanceWirellessSensor::finish(Op op)
{
    if (m_running[op])
        setIdle(op);
    applyEnabled();
}

DeviceMaintenance::Result AdvanceWirellessSensor::execute(Op op, QIODevice *dumpFile)
{
    ++m_depth;
    const DeviceMaintenance::Result r = m_maintenance.run(operationOf(op), fields(), dumpFile);
    --m_depth;
    if (r != DeviceMaintenance::Done)
        qDebug() << QStringLiteral("operation ended :") << idleText(op) << r
                 << m_maintenance.text();
    // Past the guard the button keeps blinking until pressed: the operator sees the device
    // never came. Every other ending gives the button back.
    if (r != DeviceMaintenance::Expired)
        finish(op);
    return r;
}

// A close that came during the operation is told once nothing of the window is on the stack
// any more; the slot then returns at once.
bool AdvanceWirellessSensor::tellPendingClose()
{
    if (!m_closePending || m_depth > 0)
        return false;
    m_closePending = false;
    emit closingWindow();
    return true;
}

void AdvanceWirellessSensor::tellRelayChannel(DeviceMaintenance::Result r)
{
    if (r == DeviceMaintenance::Done)
        Dialogs::information(this, ChannelTitle, QStringLiteral("Channel successfully changed"));
    else if (r != DeviceMaintenance::Stopped)
        Dialogs::warning(this, ChannelTitle, QStringLiteral("error changing channel"));
}

void AdvanceWirellessSensor::ReadClicked()
{
    const memorycommand::Plan plan =
        memorycommand::plan(Operation::Read, m_maintenance.serialNumber(), fields());
    if (!m_running[ReadOp] && plan.kind == memorycommand::Plan::Invalid) {
        Dialogs::warning(this, idleText(ReadOp), plan.error);
        return;
    }
    if (!press(ReadOp))
        return;
    const DeviceMaintenance::Result r = execute(ReadOp);
    if (tellPendingClose())
        return;
    if (m_maintenance.relayChannelSent())
        tellRelayChannel(r);
    else if (r == DeviceMaintenance::Done)
        m_data->setText(m_maintenance.text());
}

void AdvanceWirellessSensor::WriteClicked()
{
    const memorycommand::Plan plan =
        memorycommand::plan(Operation::Write, m_maintenance.serialNumber(), fields());
    if (!m_running[WriteOp] && plan.kind == memorycommand::Plan::Invalid) {
        Dialogs::warning(this, idleText(WriteOp), plan.error);
        return;
    }
    if (!press(WriteOp))
        return;
    const DeviceMaintenance::Result r = execute(WriteOp);
    if (tellPendingClose())
        return;
    if (m_maintenance.relayChannelSent())
        tellRelayChannel(r);
    else if (r == DeviceMaintenance::Done && m_link->linkMode() == ManageSerialPort::Lora)
        m_data->setText(m_maintenance.text());
}

void AdvanceWirellessSensor::SaveFileClicked()
{
    if (!press(SaveOp))
        return;
    const QString dir = settings::readString(settings::key::AdvSensorHexDir);
    const QString path = Dialogs::current().saveFileName(this, QStringLiteral("Choose Filename"),
                                                         dir, QStringLiteral("*.hex"));
    if (!path.isEmpty())
        Dialogs::saveSetting(this, settings::key::AdvSensorHexDir, path);
    QFile file(path);
    // Unbuffered: a line the disk refuses must not wait in a buffer to be written, cut, at close.
    if (path.isEmpty() ||
        !file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered)) {
        // Nothing will wait for the device: the button is given back with the error.
        finish(SaveOp);
        Dialogs::critical(this, QStringLiteral("Error Opening File"),
                          QStringLiteral("The file can't be opened"));
        return;
    }
    m_dumpProgress->clear();
    DeviceMaintenance::Result r = execute(SaveOp, &file);
    QString failure = m_maintenance.text();
    file.close();
    // Every line was flushed, so the close has nothing left to lose; it is checked all the same.
    if (r == DeviceMaintenance::Done && file.error() != QFileDevice::NoError) {
        r = DeviceMaintenance::FileError;
        failure = QStringLiteral("could not close %1: %2").arg(path, file.errorString());
    }
    if (tellPendingClose())
        return;
    if (m_maintenance.relayChannelSent())
        tellRelayChannel(r);
    else if (r == DeviceMaintenance::FileError)
        Dialogs::critical(this, QStringLiteral("Error Writing File"),
                          QStringLiteral("The file can't be written: ") + failure);
}

void AdvanceWirellessSensor::change_chan_clicked()
{
    if (!m_running[ChannelOp] && m_channel->currentIndex() >= memorycommand::ChannelCount) {
        Dialogs::warning(this, ChannelTitle, QStringLiteral("Invalid channel selected"));
        return;
    }
    if (!press(ChannelOp))
        return;
    const DeviceMaintenance::Result r = execute(ChannelOp);
    if (tellPendingClose())
        return;
    if (m_maintenance.relayChannelSent())
        tellRelayChannel(r);
    else if (r == DeviceMaintenance::Done) {
        Dialogs::information(this, ChannelTitle, QStringLiteral("New Channel applied"));
    }
}

void AdvanceWirellessSensor::read_error()
{
    if (!press(ReadErrorOp))
        return;
    m_error->clear();
    const DeviceMaintenance::Result r = execute(ReadErrorOp);
    if (tellPendingClose())
        return;
    if (r == DeviceMaintenance::Done)
        m_error->setText(m_maintenance.text());
}

void AdvanceWirellessSensor::clear_error()
{
    if (!press(ClearErrorOp))
        return;
    m_error->clear();
    const DeviceMaintenance::Result r = execute(ClearErrorOp);
    if (tellPendingClose())
        return;
    if (r == DeviceMaintenance::Done)
        m_error->setText(QStringLiteral("Error cleared"));
}

void AdvanceWirellessSensor::each_sec()
{
    bool any = false;
    for (int op = 0; op < OpCount; ++op) {
        if (!m_running[size_t(op)])
            continue;
        any = true;
        m_buttons[size_t(op)]->setText(m_blinkPhase ? QString() : WaitText);
    }
    if (any)
        m_blinkPhase = !m_blinkPhase;
}

void AdvanceWirellessSensor::keyPressEvent(QKeyEvent *event)
{
    // A window of its own, it closes with Escape as a dialog does.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void AdvanceWirellessSensor::closeEvent(QCloseEvent *event)
{
    rememberWindowPosition(this, settings::key::AdvSensorWinX, settings::key::AdvSensorWinY);
    hide();
    if (m_firmware)
        m_firmware->stopUpload();
    for (int op = 0; op < OpCount; ++op)
        if (m_running[size_t(op)])
            setIdle(Op(op));
    m_maintenance.stop();
    applyEnabled();
    m_blink.stop();
    event->accept();
    if (m_depth > 0)
        m_closePending = true;
    else
        emit closingWindow();
}
