// The output folder of the downloads and the data files written into it.
#include "linkwait.h"
#include "managewirelessdata.h"

#include "dialogs.h"
#include "filelocations.h"
#include "settings.h"

#include "manageserialport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTimeEdit>
#include <QDebug>
#include <QLineEdit>

namespace
{
using FM = FleetModel;
} // namespace

void managewirelessdata::button_select_folder_clicked()
{
    const QString chosen = Dialogs::current().existingDirectory(
        this, QStringLiteral("Choose Destination folder"), output_dir.absolutePath());
    // A cancelled chooser answers nothing, which names the default folder (the working folder
    // of a folder set up by hand).
    output_dir = chosen.isEmpty() ? QDir(FileLocations::current().outputFolder()) : QDir(chosen);
    m_folderEdit->setText(output_dir.absolutePath());
}

void managewirelessdata::folder_changed(const QString &text)
{
    output_dir.setPath(text);
}

bool managewirelessdata::ensure_output_folder()
{
    if (ensureFolder(output_dir.path())) {
        folder_checked = true;
        return true;
    }
    folder_checked = false;
    // A cancelled chooser would name the working folder, which always exists: the run would
    // then write where the operator never chose. Only a folder actually chosen may rescue it.
    const QString chosen = Dialogs::current().existingDirectory(
        this, QStringLiteral("Choose Destination folder"), output_dir.absolutePath());
    if (!chosen.isEmpty()) {
        output_dir = QDir(chosen);
        m_folderEdit->setText(output_dir.absolutePath());
    }
    if (!chosen.isEmpty() && ensureFolder(output_dir.path())) {
        folder_checked = true;
        return true;
    }
    qDebug() << QStringLiteral("2");
    if (m_hold == Hold::Run)
        stop_run();
    Dialogs::critical(this, QStringLiteral("Folder Creation Failed"),
                      QStringLiteral("The folder ") + output_dir.absolutePath() +
                          QStringLiteral(" can't be created"));
    return false;
}

bool managewirelessdata::create_data_files(uint32_t serialNumber)
{
    if (find_row(serialNumber) < 0)
        return false;
    const DownloadFiles::Created made =
        m_model->files().create(serialNumber, output_dir.path(), pdc_enabled, [this] {
            // Cancel keeps the folder that failed: the browse button's fallback to the working
            // folder would put the files where the operator never chose.
            const QString chosen = Dialogs::current().existingDirectory(
                this, QStringLiteral("Choose Destination folder"), output_dir.absolutePath());
            if (!chosen.isEmpty()) {
                output_dir = QDir(chosen);
                m_folderEdit->setText(output_dir.absolutePath());
            }
            return output_dir.path();
        });
    if (made.ok)
        return true;
    Dialogs::critical(this, QStringLiteral("File Access Error"),
                      QStringLiteral("The file ") + made.failedPath +
                          QStringLiteral(" can't be created, please verify folder settings"));
    set_status(find_row(serialNumber), QStringLiteral("Error Creating File"),
               FleetModel::Tone::Bad);
    return false;
}

void managewirelessdata::close_data_files(int row)
{
    if (m_model->isSensorRow(row))
        m_model->files().close(m_model->sensor(row).record.serial_number);
}

bool managewirelessdata::decode_pages(uint32_t serialNumber, int count)
{
    return decode_pages(serialNumber, count, m_link->lastFrameData(), m_link->lastFrameLength());
}

bool managewirelessdata::decode_pages(uint32_t serialNumber, int count, const uint8_t *frame,
                                      int dataLength)
{
    pagedecode::Options options;
    options.debugColumns = debug_enabled;
    options.window = m_downloadBetween->isChecked();
    options.from = m_from->dateTime();
    options.to = m_to->dateTime();
    const FM::Decoded result = m_model->decode_pages(
        serialNumber, count, frame, dataLength, options,
        [this, serialNumber] { return create_data_files(serialNumber); },
        [] { LinkWait::yield(); });
    if (result == FM::Decoded::NotCreated && m_hold == Hold::Run)
        stop_run();
    return result == FM::Decoded::Ok;
}
