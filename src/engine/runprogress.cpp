#include "runprogress.h"

#include <QElapsedTimer>
#include <algorithm>

namespace
{
const QString Dash = QStringLiteral(" \u2014 ");

qint64 steadyMs()
{
    static QElapsedTimer origin = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return origin.elapsed();
}
} // namespace

RunProgress::RunProgress(Clock clock) : m_clock(clock ? std::move(clock) : Clock(steadyMs)) {}

qint64 RunProgress::now() const
{
    return m_clock();
}

void RunProgress::start(int sensorsListed)
{
    m_running = true;
    m_startedMs = now();
    m_endedMs = m_startedMs;
    m_listed = std::max(sensorsListed, 0);
    m_served.clear();
    downloadEnded();
}

void RunProgress::finish()
{
    if (!m_running)
        return;
    m_endedMs = now();
    m_running = false;
    downloadEnded();
}

void RunProgress::served(uint32_t serialNumber)
{
    if (m_running)
        m_served.insert(serialNumber);
}

void RunProgress::downloadStarted(int pagesToFetch, int pagesAlready)
{
    if (!m_running)
        return;
    m_downloading = true;
    m_downloadStartedMs = now();
    m_pagesToFetch = std::max(pagesToFetch, 0);
    m_pagesDone = std::clamp(pagesAlready, 0, m_pagesToFetch);
    m_arrivals.clear();
}

void RunProgress::pagesReceived(int pages)
{
    if (!m_downloading || pages <= 0)
        return;
    const qint64 t = now();
    // A sensor may send a page more than its range promised: the bar stops at full.
    m_pagesDone = std::min(m_pagesDone + pages, m_pagesToFetch);
    m_arrivals.append({t, pages});
    const auto old = std::find_if(m_arrivals.begin(), m_arrivals.end(),
                                  [t](const Arrival &a) { return a.atMs > t - RateWindowMs; });
    m_arrivals.erase(m_arrivals.begin(), old);
}

void RunProgress::downloadEnded()
{
    m_downloading = false;
    m_pagesToFetch = 0;
    m_pagesDone = 0;
    m_arrivals.clear();
}

std::pair<int, qint64> RunProgress::window() const
{
    if (!m_downloading)
        return {0, 0};
    const qint64 t = now();
    const qint64 span = std::min(t - m_downloadStartedMs, RateWindowMs);
    if (span < MinRateSpanMs)
        return {0, 0};
    int pages = 0;
    for (const Arrival &a : m_arrivals)
        if (a.atMs > t - RateWindowMs)
            pages += a.pages;
    return {pages, span};
}

std::optional<double> RunProgress::rate() const
{
    const auto [pages, span] = window();
    // Nothing for a whole window: the sensor went quiet and no estimate holds.
    if (pages == 0)
        return std::nullopt;
    return pages * 1000.0 / double(span);
}

std::optional<qint64> RunProgress::secondsLeft() const
{
    const auto [pages, span] = window();
    if (pages == 0)
        return std::nullopt;
    // In whole numbers: a rate in floating point would round 240 s up to 241.
    const qint64 perMs = qint64(pages) * 1000;
    return (qint64(m_pagesToFetch - m_pagesDone) * span + perMs - 1) / perMs;
}

qint64 RunProgress::elapsedMs() const
{
    return (m_running ? now() : m_endedMs) - m_startedMs;
}

int RunProgress::value() const
{
    if (m_downloading)
        return m_pagesToFetch == 0 ? 1 : m_pagesDone;
    return m_listed == 0 ? 1 : std::min(sensorsServed(), m_listed);
}

int RunProgress::maximum() const
{
    return std::max(m_downloading ? m_pagesToFetch : m_listed, 1);
}

QString RunProgress::text() const
{
    const QString served =
        QStringLiteral("%1 of %2 sensors served").arg(sensorsServed()).arg(m_listed);
    if (!m_downloading)
        return served;
    QString t = QStringLiteral("%1 of %2 pages").arg(m_pagesDone).arg(m_pagesToFetch);
    const std::optional<double> r = rate();
    if (r) {
        // A LoRa sensor gives a page a second or less: whole numbers would show it as 0 or 1.
        t += Dash + QString::number(*r, 'f', *r < 10 ? 1 : 0) + QStringLiteral(" pages/s");
        t += Dash + QStringLiteral("about ") + durationText(*secondsLeft()) +
             QStringLiteral(" left");
    } else if (now() - m_downloadStartedMs < MinRateSpanMs) {
        t += Dash + QStringLiteral("no rate yet") + Dash + QStringLiteral("time left unknown");
    } else {
        // Nothing for a whole window: the sensor went quiet.
        t += Dash + QStringLiteral("0 pages/s") + Dash + QStringLiteral("time left unknown");
    }
    return t;
}

QString RunProgress::barText() const
{
    if (!m_downloading)
        return text();
    return QStringLiteral("%1 of %2 sensors served").arg(sensorsServed()).arg(m_listed) + Dash +
           text();
}

QString RunProgress::elapsedText() const
{
    const qint64 s = elapsedMs() / 1000;
    return QStringLiteral("Elapsed %1:%2:%3")
        .arg(s / 3600, 2, 10, QLatin1Char('0'))
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString RunProgress::durationText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60);
}
