// How fast a whole sensor memory comes up in the data plot window.
//
// A full memory of one sensor is about 250,000 rows. The benchmark writes a .tsv of 250,000
// rows and 4 channels in the layout the downloads write (serial number line, "Time" line,
// "\r\n"-led rows of "dd/MM/yy hh:mm:ss" and tab-ended values, one channel not recorded), then
// opens it in the real window on the offscreen platform: read, parse, reduce per pixel column
// and draw, until the first paint of the plot is done. Ratio = 2 s / measured time, target 1
// or more. Best of three loads, each in a fresh window.

#include "dataplotwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>

namespace
{
constexpr int Rows = 250000;
constexpr double TargetMs = 2000.0;

QByteArray dataFile()
{
    QByteArray text = "4002\tSN4002\tSN4002\tSN4002\tSN4002\r\n"
                      "Time\tInput 1\tInput 2\tInput 3\tInput 4";
    text.reserve(Rows * 48);
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    char line[128];
    for (int i = 0; i < Rows; ++i) {
        const QDateTime t = start.addSecs(i * 10);
        const QDate d = t.date();
        const QTime h = t.time();
        const double a = 12.0 + 4.0 * std::sin(i / 900.0);
        const int n = std::snprintf(line, sizeof line,
                                    "\r\n%02d/%02d/%02d %02d:%02d:%02d\t%.3f\t%.3f\t\t%.3f\t",
                                    d.day(), d.month(), d.year() % 100, h.hour(), h.minute(),
                                    h.second(), a, a * 0.5 + (i % 17) * 0.01, 20.0 - a * 0.25);
        text.append(line, n);
    }
    return text;
}
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("4002_010126_000000.tsv"));
    {
        QFile f(path);
        if (!dir.isValid() || !f.open(QIODevice::WriteOnly) || f.write(dataFile()) < 0) {
            std::fprintf(stderr, "cannot write the data file\n");
            return 1;
        }
    }
    const double mb = double(QFile(path).size()) / (1024 * 1024);
    double best = 1e18, parseBest = 1e18;
    int points = 0;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer clock;
        clock.start();
        DataPlotWindow window;
        window.resize(1300, 700);
        window.show();
        if (!window.load(path, QStringList{"mA", "mA", "mA", "mA"})) {
            std::fprintf(stderr, "the file did not load\n");
            return 1;
        }
        const double loaded = clock.nsecsElapsed() / 1e6;
        window.plot()->canvas()->repaint();
        app.processEvents();
        best = std::min(best, clock.nsecsElapsed() / 1e6);
        parseBest = std::min(parseBest, loaded);
        points = 0;
        for (int c = 0; c < window.curveCount(); ++c)
            points += int(window.curve(c)->dataSize());
        if (window.data().time.size() != Rows) {
            std::fprintf(stderr, "%d rows read instead of %d\n", int(window.data().time.size()),
                         Rows);
            return 1;
        }
    }
    std::printf("plot load: %d rows x 4 channels (%.1f MB), loaded %.0f ms, shown %.0f ms, "
                "%d points drawn; ratio (2 s / shown) %.2f (target 1)\n",
                Rows, mb, parseBest, best, points, TargetMs / best);
    return 0;
}
