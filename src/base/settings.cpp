#include "settings.h"

#include <QSettings>

namespace settings {

QString key::loraConfig(int index)
{
    return QStringLiteral("LORA/CONFIG%1").arg(index);
}

QString defaults::loraConfigText(int index)
{
    static const char *const texts[] = {
        "106C566693640453000000", "1000000000000000223900", "100000000000000031c500",
        "1000000000000000370700", "1000000000000000C16400", "10000000000000001FFF00",
    };
    if (index < 0 || index >= int(sizeof texts / sizeof texts[0]))
        return QString();
    return QString::fromLatin1(texts[index]);
}

bool contains(const QString &key)
{
    QSettings s(FileName, QSettings::IniFormat);
    return s.contains(key);
}

int readInt(const QString &key, int fallback)
{
    QSettings s(FileName, QSettings::IniFormat);
    return s.contains(key) ? s.value(key).toInt() : fallback;
}

bool readBool(const QString &key, bool fallback)
{
    QSettings s(FileName, QSettings::IniFormat);
    if (!s.contains(key))
        return fallback;
    // Only what reads as a boolean is one: "yes please" in a switch is not a true.
    const QString text = s.value(key).toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1");
}

QString readString(const QString &key, const QString &fallback)
{
    QSettings s(FileName, QSettings::IniFormat);
    return s.contains(key) ? s.value(key).toString() : fallback;
}

uint64_t readHex(const QString &key, uint64_t fallback)
{
    QSettings s(FileName, QSettings::IniFormat);
    if (!s.contains(key))
        return fallback;
    bool ok = false;
    const qulonglong value = s.value(key).toString().trimmed().toULongLong(&ok, 16);
    return ok ? value : 0;
}

void write(const QString &key, const QVariant &value)
{
    QSettings s(FileName, QSettings::IniFormat);
    s.setValue(key, value);
}

} // namespace settings
