#include "linkwait.h"

#include "serialtransport.h"

#include <QDebug>
#include <QList>

namespace
{
QList<LinkWait *> g_waits; // innermost last; GUI thread only
bool g_quitting = false;
bool g_measuring = false;
LinkWait::Lateness g_lateness;

// Called when a deadline or window timer fires: false (and counted) when it came early.
bool onTime(const QElapsedTimer &clock, qint64 dueNs)
{
    const qint64 now = clock.nsecsElapsed();
    if (now < dueNs) {
        if (g_measuring)
            ++g_lateness.earlyFirings;
        return false;
    }
    if (g_measuring && g_lateness.lateUs.size() < 1000000)
        g_lateness.lateUs.append((now - dueNs) / 1000);
    return true;
}
} // namespace

void LinkWait::measureLateness(bool on)
{
    g_measuring = on;
    if (on)
        g_lateness = Lateness();
}

LinkWait::Lateness LinkWait::lateness()
{
    return g_lateness;
}

bool LinkWait::quitting()
{
    return g_quitting;
}

QuitNotice &LinkWait::quitNotice()
{
    static QuitNotice notice;
    return notice;
}

namespace
{
void setQuitting(bool quitting)
{
    const bool news = quitting && !g_quitting;
    g_quitting = quitting;
    if (news)
        emit LinkWait::quitNotice().quitting();
}
} // namespace

QEventLoop::ProcessEventsFlags LinkWait::processFlags(Events events)
{
    return events == Events::NoInput ? QEventLoop::ExcludeUserInputEvents : QEventLoop::AllEvents;
}

LinkWait::Outcome LinkWait::yield(Events events)
{
    // A zero timer comes after what is pending. A loop that returns before it fired was told to
    // quit by the application.
    QEventLoop loop;
    bool ours = false;
    QTimer::singleShot(0, &loop, [&] {
        ours = true;
        loop.quit();
    });
    loop.exec(processFlags(events));
    setQuitting(!ours);
    return ours ? Running : Quitting;
}

LinkWait::Outcome LinkWait::pauseFor(int ms, Events events, SerialTransport *transport)
{
    LinkWait wait(transport, ms, events);
    return wait.finish(wait.pause());
}

LinkWait::Outcome LinkWait::until(const std::function<bool()> &condition)
{
    for (;;) {
        if (condition())
            return Done;
        const Outcome o = pass();
        if (o != Running)
            return condition() ? Done : o;
    }
}

bool LinkWait::over() const
{
    return m_end != Running || g_quitting || m_clock.nsecsElapsed() >= m_deadlineNs;
}

LinkWait *LinkWait::current()
{
    return g_waits.isEmpty() ? nullptr : g_waits.last();
}

void LinkWait::expire()
{
    m_deadline.stop();
    m_timedOut = true;
    quitLoop();
}

LinkWait::LinkWait(SerialTransport *transport, int deadlineMs, Events events)
    : m_transport(transport), m_flags(processFlags(events))
{
    // Coarse timers fire up to 5 % early; a device answering near the end of a window would be
    // lost. Precise timers, and a re-arm when even they come early.
    for (QTimer *t : {&m_deadline, &m_window, &m_tick}) {
        t->setTimerType(Qt::PreciseTimer);
        t->setSingleShot(true);
    }
    connect(&m_deadline, &QTimer::timeout, this, &LinkWait::onDeadline);
    connect(&m_window, &QTimer::timeout, this, &LinkWait::onWindow);
    connect(&m_tick, &QTimer::timeout, this, &LinkWait::quitLoop);
    if (m_transport) {
        // Only a pass ends on input: a sleep is woken by the frame its caller assembles.
        connect(m_transport, &SerialTransport::readyRead, this, [this] {
            if (m_passing)
                quitLoop();
        });
        connect(m_transport, &SerialTransport::lost, this, [this] {
            if (m_end == Running)
                m_end = PortLost;
            quitLoop();
        });
    }
    m_clock.start();
    extend(deadlineMs);
    g_waits.append(this);
}

LinkWait::~LinkWait()
{
    g_waits.removeOne(this);
}

void LinkWait::arm(QTimer &timer, const QElapsedTimer &clock, qint64 dueNs)
{
    const qint64 leftNs = dueNs - clock.nsecsElapsed();
    timer.start(int(std::max<qint64>(1, (leftNs + 999999) / 1000000)));
}

void LinkWait::extend(int ms)
{
    m_timedOut = false;
    m_deadlineNs = m_clock.nsecsElapsed() + qint64(std::max(0, ms)) * 1000000;
    arm(m_deadline, m_clock, m_deadlineNs);
}

void LinkWait::openWindow(int ms)
{
    m_windowOpen = true;
    m_windowNs = m_clock.nsecsElapsed() + qint64(std::max(0, ms)) * 1000000;
    arm(m_window, m_clock, m_windowNs);
}

void LinkWait::closeWindow()
{
    m_windowOpen = false;
    m_window.stop();
}

void LinkWait::onDeadline()
{
    if (!onTime(m_clock, m_deadlineNs)) {
        arm(m_deadline, m_clock, m_deadlineNs);
        return;
    }
    m_timedOut = true;
    quitLoop();
}

void LinkWait::onWindow()
{
    if (!onTime(m_clock, m_windowNs)) {
        arm(m_window, m_clock, m_windowNs);
        return;
    }
    m_windowOpen = false;
    quitLoop();
}

void LinkWait::quitLoop()
{
    if (m_loop) {
        m_quitByUs = true;
        m_loop->quit();
    }
}

void LinkWait::wake()
{
    quitLoop();
}

void LinkWait::stop()
{
    if (m_end == Running)
        m_end = Stopped;
    quitLoop();
}

bool LinkWait::portGone() const
{
    return m_transport && (!m_transport->isOpen() || m_transport->isLost());
}

LinkWait::Outcome LinkWait::run(bool onInput, bool bounded)
{
    if (m_end == Running && m_transport)
        m_transport->checkAlive();
    if (m_end == Running && portGone())
        m_end = PortLost;
    if (m_end != Running)
        return m_end;
    // Nothing would end an unbounded wait whose deadline is gone.
    if (!bounded && m_timedOut && !m_windowOpen)
        return TimedOut;
    QEventLoop loop;
    m_loop = &loop;
    m_quitByUs = false;
    m_passing = onInput;
    if (bounded)
        m_tick.start(PassMaxMs);
    loop.exec(m_flags);
    m_loop = nullptr;
    m_passing = false;
    m_tick.stop();
    // Nothing of ours ended the loop: the application told every loop to quit (and one started
    // after that returns at once).
    if (!m_quitByUs && m_end == Running) {
        m_end = Quitting;
        if (!g_quitting)
            qDebug() << QStringLiteral("/!\\ wait ended, the application is quitting");
    }
    setQuitting(m_end == Quitting);
    if (m_end == Running && portGone())
        m_end = PortLost;
    if (m_end != Running)
        return m_end;
    return m_timedOut ? TimedOut : Running;
}

LinkWait::Outcome LinkWait::pass()
{
    return run(true, true);
}

LinkWait::Outcome LinkWait::awaitInput()
{
    return run(true, false);
}

LinkWait::Outcome LinkWait::sleep()
{
    return run(false, false);
}

LinkWait::Outcome LinkWait::pause()
{
    Outcome o = Running;
    while ((o = pass()) == Running) {
    }
    return o;
}

LinkWait::Outcome LinkWait::finish(Outcome outcome)
{
    m_deadline.stop();
    m_window.stop();
    m_tick.stop();
    m_outcome = outcome;
    return outcome;
}
