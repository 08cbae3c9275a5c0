// The sensor list buttons of the table: saving the list and loading it again.
#include "dialogs.h"
#include "filelocations.h"
#include "managewirelessdata.h"
#include "sensorlistfile.h"

#include <QDebug>
#include <QFileInfo>

namespace
{
const QString ListCaption = QStringLiteral("Choose Filename");
const QString ListFilter = QStringLiteral("Ini file (*.ini)");
} // namespace

void managewirelessdata::button_export_clicked()
{
    const QString path = Dialogs::current().saveFileName(
        this, ListCaption, output_dir.path() + QStringLiteral("/list.ini"), ListFilter);
    if (path.isEmpty())
        return;
    QString error;
    if (!SensorListFile::write(*m_model, path, &error))
        Dialogs::warning(this, QStringLiteral("Export Sensor List"), error);
}

void managewirelessdata::button_import_clicked()
{
    // A run or a detection walks the rows: the list changes only between them.
    if (m_hold != Hold::None)
        return;
    const QString path = Dialogs::current().openFileName(
        this, ListCaption, output_dir.path() + QStringLiteral("/list.ini"), ListFilter);
    if (path.isEmpty())
        return;
    const SensorListFile file = SensorListFile::read(path);
    // A file that is no list, or entries that are no serial number, would otherwise leave the
    // table unchanged without a word.
    if (!file.ok()) {
        Dialogs::warning(this, QStringLiteral("Import Sensor List"), file.error());
        return;
    }
    const QString notImported =
        file.rejected().isEmpty()
            ? QString()
            : QStringLiteral("Not imported:\n") + file.rejected().join(QLatin1Char('\n'));
    if (file.sensors().isEmpty()) {
        Dialogs::warning(this, QStringLiteral("Import Sensor List"),
                         notImported.isEmpty()
                             ? QStringLiteral("%1 lists no sensor").arg(QFileInfo(path).fileName())
                             : notImported);
        return;
    }
    // The import sets every row from the file, also those it does not list: a table that
    // holds sensors is replaced only when the operator says so, knowing what is left out.
    if (sensorRows() > 0) {
        const auto sensors = [](int n) {
            return QStringLiteral("%1 sensor%2").arg(n).arg(n == 1 ? "" : "s");
        };
        QString question =
            QStringLiteral("The table lists %1. Replace the table with the %2 of %3?")
                .arg(sensors(sensorRows()), sensors(file.sensors().size()),
                     QFileInfo(path).fileName());
        if (!notImported.isEmpty())
            question += QStringLiteral("\n\n") + notImported;
        if (Dialogs::current().message(QMessageBox::Question, this,
                                       QStringLiteral("Import Sensor List"), question,
                                       QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
        file.replace(*m_model);
        return;
    }
    file.apply(*m_model);
    if (!notImported.isEmpty())
        Dialogs::warning(this, QStringLiteral("Import Sensor List"), notImported);
}

void managewirelessdata::restore_last_list()
{
    const QString snapshot = FileLocations::current().snapshot();
    const SensorListFile file = SensorListFile::read(snapshot);
    if (file.ok())
        qDebug() << QStringLiteral("sensors restored :") << file.apply(*m_model);
    // The snapshot of the previous run is discarded at every start, once its list is back.
    FleetModel::clear_snapshot(snapshot);
}
