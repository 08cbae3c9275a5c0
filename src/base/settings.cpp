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
    // A log rotated every few lines would keep nothing worth reading; a gigabyte is plenty.
    if (key == key::FrameLogSizeKb)
        return {16, 1024 * 1024};
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

int Store::readInt(const QString &key, int fallback, int min, int max) const
{
    QSettings s(m_path, QSettings::IniFormat);
    if (!s.contains(key))
        return fallback;
    const QString text = s.value(key).toString();
    if (const std::optional<int> value = parseInt(text, Range{min, max}))
        return *value;
    qDebug() << QStringLiteral("/!\\ setting refused, default used :") << key << text << fallback;
    return fallback;
}

bool Store::contains(const QString &key) const
{
    QSettings s(m_path, QSettings::IniFormat);
    return s.contains(key);
}

int Store::readInt(const QString &key, int fallback) const
{
    const Range range = rangeOf(key);
    return readInt(key, fallback, range.min, range.max);
}

bool Store::readBool(const QString &key, bool fallback) const
{
    QSettings s(m_path, QSettings::IniFormat);
    if (!s.contains(key))
        return fallback;
    // Only what reads as a boolean is one: "yes please" in a switch is not a true.
    const QString text = s.value(key).toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1");
}

QString Store::readString(const QString &key, const QString &fallback) const
{
    QSettings s(m_path, QSettings::IniFormat);
    return s.contains(key) ? s.value(key).toString() : fallback;
}

uint64_t Store::readHex(const QString &key, uint64_t fallback) const
{
    QSettings s(m_path, QSettings::IniFormat);
    if (!s.contains(key))
        return fallback;
    bool ok = false;
    const qulonglong value = s.value(key).toString().trimmed().toULongLong(&ok, 16);
    return ok ? value : 0;
}

bool Store::write(const QString &key, const QVariant &value) const
{
    return write({{key, value}});
}

bool Store::write(const QList<QPair<QString, QVariant>> &values) const
{
    QSettings s(m_path, QSettings::IniFormat);
    for (const auto &v : values)
        s.setValue(v.first, v.second);
    s.sync();
    return s.status() == QSettings::NoError;
}

namespace
{
Store g_current;
} // namespace

const Store &current()
{
    return g_current;
}

void use(const QString &path)
{
    g_current = Store(path);
}

bool contains(const QString &key)
{
    return current().contains(key);
}

int readInt(const QString &key, int fallback)
{
    return current().readInt(key, fallback);
}

int readInt(const QString &key, int fallback, int min, int max)
{
    return current().readInt(key, fallback, min, max);
}

bool readBool(const QString &key, bool fallback)
{
    return current().readBool(key, fallback);
}

QString readString(const QString &key, const QString &fallback)
{
    return current().readString(key, fallback);
}

uint64_t readHex(const QString &key, uint64_t fallback)
{
    return current().readHex(key, fallback);
}

bool write(const QString &key, const QVariant &value)
{
    return current().write(key, value);
}

} // namespace settings
