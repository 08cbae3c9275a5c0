#pragma once

#include <QSet>
#include <QString>
#include <QVector>
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

// How far an action run has got, for the bar under the sensor table: sensors served of those
// listed and, while a sensor downloads, its pages received of those to fetch with the rate and the
// time left. The pages are those of the sensor being downloaded, not a sum over the run: a
// sleeping sensor's range is only known once it wakes, so a run total would keep growing and its
// estimate would promise an end that moves away. The rate starts again with each download too, as
// it follows the sensor's path (direct or behind a relay) and its signal.
//
// The run reports what happens; the front end reads the counts and texts on its tick. Times come
// from an injected clock in milliseconds (any steady origin).
class RunProgress
{
public:
    using Clock = std::function<qint64()>;

    // The rate is taken over the pages of the last RateWindowMs, and is not told before a
    // download has run MinRateSpanMs: the first frames alone would promise too much.
    static constexpr qint64 RateWindowMs = 10000;
    static constexpr qint64 MinRateSpanMs = 1000;

    // An empty clock is the process's steady clock.
    explicit RunProgress(Clock clock = Clock());

    // A run starts over `sensorsListed` sensors: every count starts again.
    void start(int sensorsListed);
    // The run ended: the elapsed time stops, later reports are ignored.
    void finish();
    bool isRunning() const { return m_running; }

    // Each sensor counts once, however often it is reported.
    void served(uint32_t serialNumber);
    // A download begins (or resumes, `pagesAlready` of them fetched before).
    void downloadStarted(int pagesToFetch, int pagesAlready = 0);
    void pagesReceived(int pages);
    // The sensor's turn is over, its download complete or not.
    void downloadEnded();

    int sensorsListed() const { return m_listed; }
    int sensorsServed() const { return m_served.size(); }
    bool downloading() const { return m_downloading; }
    int pagesToFetch() const { return m_pagesToFetch; }
    int pagesDone() const { return m_pagesDone; }
    // Pages per second; none until the download has run long enough, or while nothing arrives.
    std::optional<double> rate() const;
    // Seconds left at the current rate, rounded up; none without a rate.
    std::optional<qint64> secondsLeft() const;
    qint64 elapsedMs() const;

    // What the bar shows: value of maximum (never a zero maximum, which a bar takes for "busy"),
    // and its text: the sensors served and, while a sensor downloads, text() after them.
    int value() const;
    int maximum() const;
    QString barText() const;
    // The sensors served; while a sensor downloads, its pages, rate and time left instead. The
    // rate and the time left keep their place from the first page to the last, also while no
    // estimate holds, so that the operator finds them where they were.
    QString text() const;
    // "Elapsed 00:12:34".
    QString elapsedText() const;
    // "45 s", "1 min 5 s", "2 h 3 min".
    static QString durationText(qint64 seconds);

private:
    qint64 now() const;
    // Pages arrived within the window and the time it covers; a span of 0 while too short.
    std::pair<int, qint64> window() const;

    struct Arrival {
        qint64 atMs;
        int pages;
    };

    Clock m_clock;
    bool m_running = false;
    qint64 m_startedMs = 0;
    qint64 m_endedMs = 0;
    int m_listed = 0;
    QSet<uint32_t> m_served;
    bool m_downloading = false;
    qint64 m_downloadStartedMs = 0;
    int m_pagesToFetch = 0;
    int m_pagesDone = 0;
    QVector<Arrival> m_arrivals;
};
