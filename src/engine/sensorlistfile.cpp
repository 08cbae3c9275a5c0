#include "sensorlistfile.h"

#include "periods.h"
#include "sensorlist.h"

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
        s.typeOfModule = ini.value(key + QStringLiteral("Type_of_module"), 0).toInt();
        s.recordingChannels = ini.value(key + QStringLiteral("Recording_channels")).toStringList();
        s.periodeIndex = ini.value(key + QStringLiteral("Periode_index"), 0).toInt();
        s.recordingChannelsIndex =
            ini.value(key + QStringLiteral("Recording_channels_index"), 0).toInt();
        file.m_sensors << s;
    }
    return file;
}
