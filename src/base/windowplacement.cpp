#include "windowplacement.h"

#include "dialogs.h"
#include "settings.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cstdint>

QPoint restoredWindowPosition(bool hasSaved, QPoint saved, QPoint current, QSize desktop,
                              WindowMargins m)
{
    // A position from config.ini may be any int: the differences are taken in 64 bits so that
    // -2147483648 is simply far off the desktop.
    const int64_t w = desktop.width();
    const int64_t h = desktop.height();
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
    if (pos.x() >= w - (int64_t(m.mx) - 1) || pos.y() >= h - (int64_t(m.my) - 1))
        pos = QPoint(0, 0);
    return pos;
}

void restoreWindowPosition(QWidget *window, const QString &xKey, const QString &yKey,
                           WindowMargins margins)
{
    if (!window)
        return;
    const bool hasSaved = settings::contains(xKey) && settings::contains(yKey);
    const QPoint saved =
        hasSaved ? QPoint(settings::readInt(xKey, 0), settings::readInt(yKey, 0)) : QPoint();
    QSize desktop(0, 0);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        desktop = screen->virtualGeometry().size();
    const QPoint pos = restoredWindowPosition(hasSaved, saved, window->pos(), desktop, margins);
    if (pos != window->pos())
        window->move(pos);
}

bool saveWindowPosition(const QWidget *window, const QString &xKey, const QString &yKey)
{
    if (!window)
        return true;
    return settings::current().write(
        {{xKey, QString::number(window->x())}, {yKey, QString::number(window->y())}});
}

void rememberWindowPosition(QWidget *window, const QString &xKey, const QString &yKey)
{
    if (!saveWindowPosition(window, xKey, yKey))
        Dialogs::notSaved(window, QStringLiteral("The window's position"), settings::path());
}
