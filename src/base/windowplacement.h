#pragma once

#include <QPoint>
#include <QSize>
#include <QString>

class QWidget;

// Where a window goes when its saved position is restored: (0, 0) when the saved position is
// negative or the window would open too close to the desktop's right or bottom edge.
struct WindowMargins {
    int mx;
    int my;
    bool fullChecks; // false: only "saved position fits" is checked (the sensor data widget)
};

namespace margins
{
constexpr WindowMargins MainWindow{600, 400, true};
constexpr WindowMargins DongleConfigWindow{400, 100, true};
constexpr WindowMargins SensorAdvancedWindow{200, 200, true};
constexpr WindowMargins WaveformWindow{600, 400, true};
constexpr WindowMargins SensorDataWidget{100, 70, false};
} // namespace margins

QPoint restoredWindowPosition(bool hasSaved, QPoint saved, QPoint current, QSize desktop,
                              WindowMargins margins);
// Reads the two keys and moves the window; the desktop is the whole virtual screen area.
void restoreWindowPosition(QWidget *window, const QString &xKey, const QString &yKey,
                           WindowMargins margins);
// Writes the position as decimal text; false when config.ini could not be written.
bool saveWindowPosition(const QWidget *window, const QString &xKey, const QString &yKey);
// The same at a window's close, telling the operator when the position could not be kept.
void rememberWindowPosition(QWidget *window, const QString &xKey, const QString &yKey);
