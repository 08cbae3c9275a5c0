// The sensor table's context menu and the windows it opens.

#include "advancewirellesssensor.h"
#include "commandset.h"
#include "dialogs.h"
#include "managewirelessdata.h"

#include <QHeaderView>
#include <QMenu>

namespace
{
// Power meters record waveforms: their types, and always-listening devices whose type is not
// known yet.
bool offersWaveform(const SensorRecord &record)
{
    return command::listensAlways(record.sensor_type, uint16_t(record.serial_number));
}
} // namespace

bool managewirelessdata::inDataArea(QPoint globalPos) const
{
    // The cells that exist, from the viewport's origin: not the empty space below the last row
    // or right of the last column.
    const QRect area(
        m_table->viewport()->mapToGlobal(QPoint(0, 0)),
        QSize(m_table->horizontalHeader()->length() + 1, m_table->verticalHeader()->length() + 1));
    return area.contains(globalPos);
}

std::unique_ptr<QMenu> managewirelessdata::contextMenuAt(QPoint pos)
{
    const QPoint global = mapToGlobal(pos);
    if (m_hold != Hold::None || !inDataArea(global))
        return nullptr;
    const int row = m_table->rowAt(m_table->viewport()->mapFromGlobal(global).y());
    auto menu = std::make_unique<QMenu>(this);
    menu->addAction(QStringLiteral("Remove selected line(s)"), this,
                    [this] { removeSelectedRows(); });
    // The entry row has no sensor to configure.
    if (m_model->isSensorRow(row)) {
        const uint32_t sn = m_model->sensor(row).record.serial_number;
        menu->addAction(QStringLiteral("Advanced configuration of this sensor"), this,
                        [this, sn] { open_advanced_window(sn); });
        // Rows move while a menu is up (a refresh, a removal): the sensor is found again.
        if (offersWaveform(m_model->sensor(row).record))
            menu->addAction(QStringLiteral("Waveform"), this,
                            [this, sn] { open_waveform(find_row(sn)); });
        menu->addAction(QStringLiteral("Plot data"), this,
                        [this, sn] { open_data_plot(find_row(sn)); });
    }
    return menu;
}

void managewirelessdata::displayContextMenu(QPoint pos)
{
    if (std::unique_ptr<QMenu> menu = contextMenuAt(pos))
        menu->exec(mapToGlobal(pos));
}

void managewirelessdata::open_advanced_window(uint32_t serialNumber)
{
    if (!access_granted) {
        access_granted = Dialogs::askAccessCode(this);
        if (!access_granted)
            return;
    }
    if (!advanced_window) {
        const int row = find_row(serialNumber);
        if (row < 0)
            return;
        // No parent: the window stands beside the table and outlives none of it.
        advanced_window = new AdvanceWirellessSensor(m_link, m_model->sensor(row).record);
        connect(advanced_window, &AdvanceWirellessSensor::closingWindow, this,
                &managewirelessdata::adv_config_closed);
        sub_window_open = true;
    }
    advanced_window->show();
    advanced_window->raise();
}

void managewirelessdata::adv_config_closed()
{
    // The window tells its closing once its operations have unwound; it goes at the next turn
    // of the event loop, after the slot that told it has returned.
    if (advanced_window)
        advanced_window->deleteLater();
    advanced_window = nullptr;
    sub_window_open = false;
    // Maintenance may have moved devices to other channels or restarted them: every path is
    // forgotten, and the next detection or RSSI list finds them again.
    m_session->forgetPaths();
}
