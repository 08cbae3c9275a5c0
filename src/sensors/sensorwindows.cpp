// The sub-windows the sensor table opens for one sensor: the live waveform of a power meter and
// the plot of its latest downloaded data.
#include "linkwait.h"
#include "managewirelessdata.h"

#include "commandset.h"
#include "dataplotwindow.h"
#include "dialogs.h"
#include "manageserialport.h"
#include "plug_waveform.h"
#include "tsvfile.h"

#include <QCoreApplication>
#include <QTimer>

namespace
{
constexpr int WakePolls = 20;
// How long a stopped run may take to give the link back before the window gives up.
constexpr int FreeLinkAttempts = 500;
constexpr int FreeLinkPollMs = 10;
} // namespace

void managewirelessdata::open_waveform(int row)
{
    if (!m_model->isSensorRow(row))
        return;
    const auto sn = uint16_t(m_model->sensor(row).record.serial_number);
    if (m_hold == Hold::Detection)
        button_detect_sensor_clicked();
    if (m_hold == Hold::Run)
        button_send_action_clicked();
    open_waveform_now(sn, FreeLinkAttempts);
}

void managewirelessdata::open_waveform_now(uint16_t serialNumber, int attemptsLeft)
{
    // A run that was just told to stop may still hold the link in a wait below this call: the
    // rest waits until it has returned.
    if (m_link->isBusy() || m_hold != Hold::None) {
        if (attemptsLeft > 0)
            QTimer::singleShot(FreeLinkPollMs, this, [this, serialNumber, attemptsLeft] {
                open_waveform_now(serialNumber, attemptsLeft - 1);
            });
        return;
    }
    m_link->sendApiFrame(command::rawDirectBody(serialNumber, command::Attention), 0);
    bool answered = false;
    for (int poll = 0; poll < WakePolls && !answered; ++poll) {
        // Only this device's own status frame: another sensor waking meanwhile would put its
        // values into this row.
        if (m_link->receiveSensorAnswer(serialNumber) == ManageSerialPort::AnswerSensorFrame) {
            waveform_answer = QByteArray(reinterpret_cast<const char *>(m_link->lastFrameData()),
                                         m_link->lastFrameLength());
            answered = true;
        }
        LinkWait::yield();
    }
    if (!answered) {
        Dialogs::warning(this, QStringLiteral("Waveform"),
                         QStringLiteral("Communication error with the sensor"));
        return;
    }
    m_session->showAnswer(serialNumber, waveform_answer);
    const int row = m_model->find_row(serialNumber);
    if (waveform_window || row < 0)
        return;
    waveform_window = new plug_waveform(m_link, serialNumber, m_model->sensor(row).type, this);
    connect(waveform_window, &plug_waveform::waveformClosed, this,
            &managewirelessdata::waveform_closed);
}

void managewirelessdata::waveform_closed()
{
    // Later: the window is still inside its own close handling when it says it closed.
    if (waveform_window)
        waveform_window->deleteLater();
    waveform_window = nullptr;
}

DataPlotWindow *managewirelessdata::open_data_plot(int row)
{
    if (!m_model->isSensorRow(row))
        return nullptr;
    const FleetModel::Sensor &sensor = m_model->sensor(row);
    const uint32_t sn = sensor.record.serial_number;
    const QString path = latestDataFile(output_dir.absolutePath(), sn);
    if (path.isEmpty()) {
        Dialogs::information(this, tr("Plot data"),
                             tr("No data file of sensor %1 in %2")
                                 .arg(QStringLiteral("%1").arg(sn, 4, 16, QChar('0')).toUpper(),
                                      output_dir.absolutePath()));
        return nullptr;
    }
    // The row's type knows the units; the file only names the channels.
    QStringList units;
    for (int k = 0; k < SensorType::Channels; ++k)
        if (sensor.type.channelTitle(k).size() > 1)
            units << sensor.type.units[size_t(k)];
    auto *window = new DataPlotWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (!window->load(path, units)) {
        delete window;
        return nullptr;
    }
    window->show();
    return window;
}
