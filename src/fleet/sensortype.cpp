#include "sensortype.h"

#include "filelocations.h"

#include <QDebug>
#include <QFile>
#include <QSettings>
#include <cmath>

namespace
{

// An unquoted comma makes the INI reader return a list; the operator meant one text.
QString textOf(const QVariant &v)
{
    if (v.type() == QVariant::StringList)
        return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

// Decimal, low 8 bits of a 16-bit number; anything else reads 0.
uint8_t smallNumber(const QString &text)
{
    bool ok = false;
    const ushort v = text.trimmed().toUShort(&ok, 10);
    return ok ? static_cast<uint8_t>(v & 0xFF) : 0;
}

// A coefficient that is no number leaves the channel's raw value as it came: a 0 there would
// write every value of the channel as 0, and the raw value can still be scaled afterwards.
// catalogueWarnings() tells the operator which line it is.
bool isCoefficient(const QString &text, float *value = nullptr)
{
    bool ok = false;
    const float v = text.trimmed().toFloat(&ok);
    if (value)
        *value = v;
    return ok && std::isfinite(v);
}

float coefficient(const QString &text)
{
    float v = 1.0f;
    return isCoefficient(text, &v) ? v : 1.0f;
}

} // namespace

SensorType SensorType::unknown()
{
    SensorType t;
    t.known = false;
    t.title = QStringLiteral("Unknown");
    for (int i = 0; i < Channels; ++i)
        t.channelTitles << QStringLiteral("UNKN");
    t.channelCount = Channels;
    return t;
}

QString SensorType::channelTitle(int channel) const
{
    return channel >= 0 && channel < channelTitles.size() ? channelTitles.at(channel) : QString();
}

QStringList SensorType::selectableChannels() const
{
    // An unknown type's placeholder titles name no channel the sensor has: nothing to choose.
    if (!known)
        return {};
    QStringList items;
    for (int i = 0; i < Channels && i < channelTitles.size(); ++i)
        if (channelTitles.at(i).size() >= 3)
            items << channelTitles.at(i);
    return items;
}

uint8_t SensorType::channelMask(const QStringList &checked) const
{
    uint8_t mask = 0;
    for (int i = 0; i < Channels && i < channelTitles.size(); ++i)
        if (checked.contains(channelTitles.at(i)))
            mask |= static_cast<uint8_t>(1u << i);
    return mask;
}

pagedecode::Layout SensorType::layout(int sensorType) const
{
    pagedecode::Layout l;
    l.sensorType = sensorType;
    l.channelCount = channelCount;
    for (int k = 0; k < Channels; ++k) {
        l.titles[k] = channelTitle(k);
        l.decimals[k] = decimals[k];
        l.coefficients[k] = coefficients[k];
        l.wideCounter[k] = sizes[k] != 0;
    }
    return l;
}

int catalogueType(const QString &title, const QString &iniPath)
{
    if (title.isEmpty())
        return 0;
    QSettings ini(iniPath, QSettings::IniFormat);
    for (const QString &group : ini.childGroups()) {
        bool number = false;
        const int type = group.toInt(&number);
        if (number && type > 0 && type <= 0xFF &&
            textOf(ini.value(group + QStringLiteral("/TITLE"))) == title)
            return type;
    }
    return 0;
}

QStringList splitCatalogueList(const QString &value)
{
    // A missing or empty key is no list at all: splitting it would give one empty item, which
    // reads as a coefficient of 0 for channel 0 instead of the default 1.
    if (value.isEmpty())
        return QStringList();
    return value.split(QLatin1Char(';'));
}

QString defaultCatalogue()
{
    return FileLocations::current().catalogue();
}

SensorType describeType(int type, const QString &iniPath)
{
    QSettings ini(iniPath, QSettings::IniFormat);
    const QString section = QString::number(type) + QLatin1Char('/');
    const QString title = textOf(ini.value(section + QStringLiteral("TITLE")));
    if (title.isEmpty()) {
        qDebug() << QStringLiteral("sensor unknown");
        return SensorType::unknown();
    }
    qDebug() << QStringLiteral("sensor title");
    SensorType t;
    t.known = true;
    t.title = title;
    t.channelTitles = splitCatalogueList(textOf(ini.value(section + QStringLiteral("TITLE_DATA"))));
    t.channelCount = smallNumber(textOf(ini.value(section + QStringLiteral("NB_DATA"))));
    const QStringList coeff =
        splitCatalogueList(textOf(ini.value(section + QStringLiteral("COEFF"))));
    const QStringList format =
        splitCatalogueList(textOf(ini.value(section + QStringLiteral("FORMAT"))));
    const QStringList unit =
        splitCatalogueList(textOf(ini.value(section + QStringLiteral("UNIT"))));
    const QStringList size =
        splitCatalogueList(textOf(ini.value(section + QStringLiteral("SIZE"))));
    for (int i = 0; i < SensorType::Channels; ++i) {
        t.decimals[i] = i < format.size() ? smallNumber(format.at(i)) : 0;
        t.coefficients[i] = i < coeff.size() ? coefficient(coeff.at(i)) : 1.0f;
        t.sizes[i] = i < size.size() ? smallNumber(size.at(i)) : 0;
        t.units[i] = i < unit.size() ? unit.at(i) : QString();
    }
    return t;
}

QStringList catalogueWarnings(const QString &iniPath)
{
    QStringList warnings;
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return warnings;
    // The INI reader keeps no line numbers, and the operator needs one to find the mistake.
    QString section;
    int number = 0;
    // A catalogue is a few kilobytes; a line past this is no catalogue line to check.
    constexpr qint64 LongestLine = 64 * 1024;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine(LongestLine)).trimmed();
        ++number;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0 ||
            line.left(equals).trimmed().compare(QLatin1String("COEFF"), Qt::CaseInsensitive) != 0)
            continue;
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        const QStringList items = splitCatalogueList(value);
        for (int i = 0; i < items.size() && i < SensorType::Channels; ++i)
            if (!isCoefficient(items.at(i)))
                warnings << QStringLiteral("%1 line %2: [%3] COEFF item %4 \"%5\" is no number; "
                                           "channel %4 is written unscaled")
                                .arg(iniPath)
                                .arg(number)
                                .arg(section)
                                .arg(i + 1)
                                .arg(items.at(i).trimmed());
    }
    return warnings;
}
