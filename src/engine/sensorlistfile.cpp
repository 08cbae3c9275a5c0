#include "sensorlistfile.h"

#include "fleetmodel.h"
#include "periods.h"
#include "sensorlist.h"
#include "sensortext.h"
#include "sensortype.h"

#include <QFile>
#include <QSet>
#include <QSettings>
#include <optional>

namespace
{
// The text after "key=" of a top-level key whose value is not quoted.
std::optional<QString> unquotedGeneralValue(const QList<QByteArray> &lines, const QByteArray &key)
{
    bool general = true;
    for (const QByteArray &line : lines) {
        const QByteArray t = line.trimmed();
        if (t.startsWith('[')) {
            general = t == "[General]";
            continue;
        }
        const int eq = t.indexOf('=');
        if (!general || eq < 0 || t.left(eq).trimmed() != key)
            continue;
        const QByteArray value = t.mid(eq + 1).trimmed();
        if (value.startsWith('"'))
            return std::nullopt;
        return QString::fromUtf8(value);
    }
    return std::nullopt;
}
} // namespace

int SensorListFile::Sensor::periodItem() const
{
    return periods::itemOfCode(periodeIndex);
}

QString SensorListFile::section(uint16_t serialNumber)
{
    return QStringLiteral("%1").arg(serialNumber, 4, 16, QLatin1Char('0')).toUpper();
}

SensorListFile SensorListFile::read(const QString &path)
{
    SensorListFile file;
    // QSettings reads a missing or unreadable file as an empty one: tell them apart first.
    QFile probe(path);
    if (!probe.open(QIODevice::ReadOnly)) {
        file.m_error = QStringLiteral("cannot read %1: %2").arg(path, probe.errorString());
        return file;
    }
    const QList<QByteArray> lines = probe.readAll().split('\n');
    probe.close();

    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        file.m_error = QStringLiteral("%1 is not a sensor list (not an INI file)").arg(path);
        return file;
    }
    if (!ini.contains(QStringLiteral("LIST_SENSOR"))) {
        file.m_error = QStringLiteral("%1 has no LIST_SENSOR").arg(path);
        return file;
    }
    // A value holding a "," comes back as a list: join it again so that no part is lost.
    const QVariant value = ini.value(QStringLiteral("LIST_SENSOR"));
    QString list = value.type() == QVariant::StringList
                       ? value.toStringList().join(QLatin1Char(','))
                       : value.toString();
    // The program writes the list quoted. Typed by hand without quotes, everything after the
    // first ";" would read as a comment and the sensors after the first would be lost without a
    // word: such a line is taken as it stands.
    if (const std::optional<QString> raw = unquotedGeneralValue(lines, "LIST_SENSOR"))
        list = *raw;

    QSet<uint16_t> seen;
    for (const QString &part : list.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const std::optional<uint16_t> sn = sensorlist::parseTypedSerialNumber(part);
        if (!sn) {
            file.m_rejected << QStringLiteral("\"%1\": %2")
                                   .arg(part.trimmed(), sensorlist::TypedSerialNumberRule);
            continue;
        }
        if (seen.contains(*sn)) {
            file.m_rejected << QStringLiteral("\"%1\": listed twice").arg(part.trimmed());
            continue;
        }
        seen.insert(*sn);
        Sensor s;
        s.serialNumber = *sn;
        const QString key = section(*sn) + QLatin1Char('/');
        // A list file holds the type's number; the snapshot the program leaves at shutdown
        // holds the title the table showed, which the catalogue turns back into its number.
        const QString type = ini.value(key + QStringLiteral("Type_of_module")).toString();
        bool number = false;
        s.typeOfModule = type.toInt(&number);
        if (!number)
            s.typeOfModule = catalogueType(type);
        if (s.typeOfModule < 0 || s.typeOfModule > 0xFF)
            s.typeOfModule = 0;
        s.recordingChannels = ini.value(key + QStringLiteral("Recording_channels")).toStringList();
        s.periodeIndex = ini.value(key + QStringLiteral("Periode_index"), 0).toInt();
        s.recordingChannelsIndex =
            ini.value(key + QStringLiteral("Recording_channels_index"), 0).toInt();
        // A mask is one byte; anything else was not written by a program.
        if (s.recordingChannelsIndex < 0 || s.recordingChannelsIndex > 0xFF)
            s.recordingChannelsIndex = 0;
        file.m_sensors << s;
    }
    return file;
}

bool SensorListFile::write(const FleetModel &model, const QString &path, QString *error)
{
    QSettings ini(path, QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    ini.clear();
    ini.setValue(QStringLiteral("NB_SENSOR"), QString::number(model.size() & 0xFF));
    QString list;
    for (int row = 0; row < model.size(); ++row) {
        const FleetModel::Sensor &s = model.sensor(row);
        const QString sn = section(uint16_t(s.record.serial_number));
        ini.beginGroup(sn);
        ini.setValue(QStringLiteral("Type_of_module"), QString::number(s.record.sensor_type));
        ini.setValue(QStringLiteral("Type_of_module_title"), s.type.title);
        ini.setValue(QStringLiteral("Version"), sensortext::version(s));
        ini.setValue(QStringLiteral("Start_Time"), sensortext::recordingStart(s));
        ini.setValue(QStringLiteral("Current_Time"), sensortext::clock(s));
        ini.setValue(QStringLiteral("Recording_channels"), s.checkedChannels);
        ini.setValue(QStringLiteral("Last_Values"), sensortext::lastValues(s));
        ini.setValue(QStringLiteral("Periode"), s.periodText());
        ini.setValue(QStringLiteral("Periode_index"), s.record.period_index);
        ini.setValue(QStringLiteral("Nr._Pages"), sensortext::pages(s));
        ini.setValue(QStringLiteral("Vbat"), sensortext::battery(s));
        ini.setValue(QStringLiteral("Rssi"), sensortext::rssi(s));
        ini.setValue(QStringLiteral("Last_Status"), s.status);
        ini.setValue(QStringLiteral("Recording_channels_index"), s.record.channel_mask);
        ini.endGroup();
        list += sn + QLatin1Char(';');
    }
    ini.setValue(QStringLiteral("LIST_SENSOR"), list);
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("%1 could not be written").arg(path);
        return false;
    }
    return true;
}

int SensorListFile::apply(FleetModel &model) const
{
    int added = 0;
    for (const Sensor &s : m_sensors)
        if (model.insert_sensor(s.serialNumber) >= 0)
            ++added;
    for (int row = 0; row < model.size(); ++row) {
        const uint16_t sn = uint16_t(model.sensor(row).record.serial_number);
        Sensor wanted;
        wanted.serialNumber = sn;
        for (const Sensor &s : m_sensors)
            if (s.serialNumber == sn)
                wanted = s;
        SensorRecord &record = model.edit(row).record;
        record.sensor_type = uint8_t(wanted.typeOfModule);
        model.fill_channel_selector(row, false);
        if (wanted.periodeIndex >= 0 && wanted.periodeIndex <= 0xFF)
            record.period_index = uint8_t(wanted.periodeIndex);
        if (wanted.periodItem() >= 0)
            model.fill_period_selector(row, wanted.periodItem());
        model.setCheckedChannels(row, wanted.recordingChannels);
        record.channel_mask = uint8_t(wanted.recordingChannelsIndex);
    }
    return added;
}

int SensorListFile::replace(FleetModel &model) const
{
    while (model.size() > 0)
        model.remove_row(model.size() - 1);
    return apply(model);
}
