#include "settings.h"

#include <QDebug>
#include <QSettings>

#include <climits>
#include <optional>

namespace settings
{

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

namespace
{
struct Range {
    int min;
    int max;
};

Range rangeOf(const QString &key)
{
    // What each number can be used as: a preamble is one byte on the wire, the terminal switch
    // is 0 or 1, a wait is at least a millisecond and at most a minute, a baud rate a rate a
    // serial driver can be asked for. Window positions are any int: placement checks them.
    if (key == key::LoraTerm)
        return {0, 1};
    if (key == key::PreambleNormal || key == key::PreambleWakeUp)
        return {0, 255};
    if (key == key::BaudRadio)
        return {1, 10000000};
    if (key == key::TimeoutBase)
        return {1, 60000};
    if (key == key::TimeoutCoeffOver4)
        return {0, 1000};
    return {INT_MIN, INT_MAX};
}

std::optional<int> parseInt(const QString &text, Range range)
{
    // Decimal text only, read in 64 bits: QVariant::toInt would wrap 4294967297 round to 1.
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok || value < range.min || value > range.max)
        return std::nullopt;
    return int(value);
}

} // namespace

int readInt(const QString &key, int fallback, int min, int max)
{
    QSettings s(FileName, QSettings::IniFormat);
    if (!s.contains(key))
        return fallback;
    const QString text = s.value(key).toString();
    if (const std::optional<int> value = parseInt(text, Range{min, max}))
        return *value;
    qDebug() << QStringLiteral("/!\\ setting refused, default used :") << key << text << fallback;
    return fallback;
}

int readInt(const QString &key, int fallback)
{
    const Range range = rangeOf(key);
    return readInt(key, fallback, range.min, range.max);
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

bool write(const QString &key, const QVariant &value)
{
    QSettings s(FileName, QSettings::IniFormat);
    s.setValue(key, value);
    s.sync();
    return s.status() == QSettings::NoError;
}

} // namespace settings
