#include "sensorfirmwaregroup.h"

#include "dialogs.h"
#include "settings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{
const QString IdleText = QStringLiteral("Upload file to sensor");
const QString WaitText = QStringLiteral("Wait for sensor, Press to interrupt");
constexpr int BlinkMs = 500;
} // namespace

SensorFirmwareGroup::SensorFirmwareGroup(ManageSerialPort *link, const SensorRecord &record,
                                         SensorFirmwareUpdate::RestartIntoLoader restartIntoLoader,
                                         QWidget *parent)
    : QGroupBox(QStringLiteral("Update Sensor Firmware"), parent), m_link(link),
      m_serialNumber(uint16_t(record.serial_number & 0xFFFF)), m_knownVersion(record.ident),
      m_restartIntoLoader(std::move(restartIntoLoader)), m_button(new QPushButton(IdleText, this)),
      m_status(new QLabel(QStringLiteral(" "), this)), m_progress(new QProgressBar(this))
{
    m_button->setObjectName(QStringLiteral("uploadButton"));
    // Wide enough for the wait's text from the start, so that the window keeps its width.
    m_button->setText(WaitText);
    m_button->setStyleSheet(QStringLiteral("font-weight: bold;color: red"));
    m_button->setMinimumWidth(m_button->sizeHint().width());
    m_button->setText(IdleText);
    m_button->setStyleSheet(QString());
    m_status->setObjectName(QStringLiteral("uploadStatus"));
    m_progress->setObjectName(QStringLiteral("uploadProgress"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setMaximumWidth(160);
    auto *statusRow = new QHBoxLayout;
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_progress);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_button);
    layout->addLayout(statusRow);
    m_blink.setInterval(BlinkMs);
    connect(&m_blink, &QTimer::timeout, this, &SensorFirmwareGroup::each_sec);
    connect(m_button, &QPushButton::clicked, this, &SensorFirmwareGroup::ProgramClicked);
}

QString SensorFirmwareGroup::statusText() const
{
    return m_status->text();
}

void SensorFirmwareGroup::each_sec()
{
    if (!m_uploading)
        return;
    m_button->setText(m_blinkPhase ? QString() : WaitText);
    m_blinkPhase = !m_blinkPhase;
}

void SensorFirmwareGroup::setIdle()
{
    m_uploading = false;
    m_blink.stop();
    m_button->setText(IdleText);
    m_button->setStyleSheet(QStringLiteral("QPushButton:enabled { color: black; }"));
}

void SensorFirmwareGroup::stopUpload()
{
    if (!m_uploading)
        return;
    setIdle();
    if (m_update)
        m_update->cancel();
    emit interrupted();
}

void SensorFirmwareGroup::ProgramClicked()
{
    if (m_uploading) {
        stopUpload();
        return;
    }
    // Pressed again after an interrupt, before the update noticed it between two frames.
    if (m_busy)
        return;
    m_uploading = true;
    m_busy = true;
    m_button->setText(WaitText);
    m_button->setStyleSheet(QStringLiteral("font-weight: bold;color: red"));
    m_blinkPhase = false;
    m_blink.start();
    emit uploadRunning(true);

    const QString path = Dialogs::current().openFileName(
        this, QStringLiteral("Choose Filename"),
        settings::readString(settings::key::AdvSensorSrecDir), QStringLiteral("*.srec"));
    if (!path.isEmpty()) {
        Dialogs::saveSetting(this, settings::key::AdvSensorSrecDir, path);
        m_progress->setValue(0);
        SensorFirmwareUpdate update(m_link, m_serialNumber, m_knownVersion, m_restartIntoLoader);
        connect(&update, &SensorFirmwareUpdate::statusChanged, m_status, &QLabel::setText);
        connect(&update, &SensorFirmwareUpdate::progressChanged, this, [this](int sent, int size) {
            m_progress->setRange(0, std::max(1, size));
            m_progress->setValue(sent);
        });
        m_update = &update;
        // The operator may have interrupted while the file dialog was up.
        if (m_uploading)
            update.run(path);
        m_update = nullptr;
        if (update.newVersion() >= 0)
            m_knownVersion = quint8(update.newVersion());
    }
    m_busy = false;
    if (m_uploading)
        setIdle();
    emit uploadRunning(false);
}
