#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

class FleetModel;

// A saved sensor list (the "Export Sensor List" file, an INI file): the serial numbers of
// LIST_SENSOR in file order, each with what an import restores from its own section. One
// reader for every front end that loads such a file, so they all accept and refuse the same.
class SensorListFile
{
public:
    struct Sensor {
        uint16_t serialNumber = 0;
        // Each 0 (or empty) when its key is absent.
        int typeOfModule = 0;
        QStringList recordingChannels;
        int periodeIndex = 0;
        int recordingChannelsIndex = 0;
        // The period selector's item for periodeIndex; -1: an index above 12 leaves the
        // selector as it is.
        int periodItem() const;
    };

    // Reads `path`. A file that cannot be read, is not an INI file or has no LIST_SENSOR is
    // an error(); entries of LIST_SENSOR that are no serial number, or repeat one, are left
    // out and told in rejected().
    static SensorListFile read(const QString &path);

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    const QVector<Sensor> &sensors() const { return m_sensors; }
    // One text per entry left out, naming it.
    const QStringList &rejected() const { return m_rejected; }

    // The section of a sensor's keys: its serial number as four upper-case hex digits.
    static QString section(uint16_t serialNumber);

    // The list as the table shows it, in table order, with what an import restores; the
    // channel mask included, so that a list saved and loaded again records the same channels.
    // False, with the reason in `error`, when the file could not be written.
    static bool write(const FleetModel &model, const QString &path, QString *error);

    // Adds the file's sensors to `model` as if typed (numbers already listed, or beyond a full
    // list, are skipped), then gives every row the type, period and channels its section holds,
    // and a row without a section type 0, the first period and no channel. Returns the number
    // of sensors added.
    int apply(FleetModel &model) const;
    // Makes the model's list the file's: the sensors listed before go, then apply().
    int replace(FleetModel &model) const;

private:
    QString m_error;
    QVector<Sensor> m_sensors;
    QStringList m_rejected;
};
