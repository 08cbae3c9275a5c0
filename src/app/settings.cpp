#include "settings.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QWidget>

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

QPoint restoredWindowPosition(bool hasSaved, QPoint saved, QPoint current, QSize desktop,
                              WindowMargins m)
{
    const int w = desktop.width();
    const int h = desktop.height();
    QPoint pos = current;
    if (hasSaved) {
        if (m.fullChecks && (saved.x() < 0 || saved.y() < 0))
            pos = QPoint(0, 0);
        else if (w - saved.x() > m.mx && h - saved.y() > m.my)
            pos = saved;
    }
    if (!m.fullChecks)
        return pos;
    if (pos.x() < 0 || pos.y() < 0)
        pos = QPoint(0, 0);
    if (pos.x() >= w - (m.mx - 1) || pos.y() >= h - (m.my - 1))
        pos = QPoint(0, 0);
    return pos;
}

void restoreWindowPosition(QWidget *window, const QString &xKey, const QString &yKey,
                           WindowMargins margins)
{
    if (!window)
        return;
    QSettings s(settings::FileName, QSettings::IniFormat);
    const bool hasSaved = s.contains(xKey) && s.contains(yKey);
    const QPoint saved = hasSaved ? QPoint(s.value(xKey).toInt(), s.value(yKey).toInt()) : QPoint();
    QSize desktop(0, 0);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        desktop = screen->virtualGeometry().size();
    const QPoint pos = restoredWindowPosition(hasSaved, saved, window->pos(), desktop, margins);
    if (pos != window->pos())
        window->move(pos);
}

void saveWindowPosition(const QWidget *window, const QString &xKey, const QString &yKey)
{
    if (!window)
        return;
    QSettings s(settings::FileName, QSettings::IniFormat);
    s.setValue(xKey, QString::number(window->x()));
    s.setValue(yKey, QString::number(window->y()));
}
