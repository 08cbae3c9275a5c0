#include "sensortype.h"

#include <QDebug>
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

float coefficient(const QString &text)
{
    bool ok = false;
    const float v = text.trimmed().toFloat(&ok);
    return ok && std::isfinite(v) ? v : 0.0f;
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
