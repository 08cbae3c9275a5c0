// The sensor list buttons of the table: saving the list and loading it again.
#include "dialogs.h"
#include "filelocations.h"
#include "managewirelessdata.h"
#include "sensorlistfile.h"

#include <QDebug>

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
    file.apply(*m_model);
    if (!file.rejected().isEmpty())
        Dialogs::warning(this, QStringLiteral("Import Sensor List"),
                         QStringLiteral("Not imported:\n") +
                             file.rejected().join(QLatin1Char('\n')));
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
