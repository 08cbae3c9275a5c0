#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <functional>

class SerialTransport;

// Told once when the application starts quitting while a wait runs: runs and exchanges stop
// there as on the operator's Stop, instead of looping over waits that all end at once.
class QuitNotice : public QObject
{
    Q_OBJECT
signals:
    void quitting();
};

// One wait of the link. Everything runs on the GUI thread, so a wait keeps processing events
// while it lasts: either in passes, each of which ends when bytes come in (the caller then
// looks at the port), or asleep until something wakes it (a frame came in). It owns a deadline that
// is a lower bound: the wait never ends before it, however early the system fires a timer. It also
// ends, without waiting out its deadline, when the operator stops it, when the device goes away and
// when the application is quitting: a nested event loop that the application told to quit
// returns at once every time it runs, so a wait that went on would spin.
class LinkWait : public QObject
{
    Q_OBJECT
public:
    // The longest pass: bytes that came in without a notice (pulled by a timer of the caller
    // outside the pass) are looked at within this time all the same.
    static constexpr int PassMaxMs = 10;
    enum Outcome { Running, Done, TimedOut, Stopped, PortLost, Quitting };
    Q_ENUM(Outcome)
    // Which events a wait processes. The short waits of an exchange leave the operator's input
    // queued (a click is handled once they are over, within a fraction of a second); a quit, a
    // stop from the program and a lost port end every wait at once either way.
    enum class Events { All, NoInput };

    LinkWait(SerialTransport *transport, int deadlineMs, Events events = Events::All);
    ~LinkWait() override;
    LinkWait(const LinkWait &) = delete;
    LinkWait &operator=(const LinkWait &) = delete;

    // A new deadline, `ms` from now: the wait wants more time.
    void extend(int ms);
    bool timedOut() const { return m_timedOut; }

    // A second, shorter deadline inside the wait (an acknowledgement window); sleep() returns
    // when it passes.
    void openWindow(int ms);
    void closeWindow();
    bool windowOpen() const { return m_windowOpen; }

    // Events until bytes come in, the window or the deadline passes, or at most PassMaxMs.
    // Returns Running, TimedOut once the deadline has passed, or the reason the wait must end
    // now (Stopped, PortLost, Quitting).
    Outcome pass();
    // A pass without the PassMaxMs bound: asleep until bytes come in (the port's own notice),
    // the window or the deadline passes, or the wait must end. For a caller that looks at the
    // port itself before every call, so no byte is left waiting for a tick; a listening link
    // then wakes for what arrives and for its deadlines only. Returns as pass(), and at once
    // (TimedOut) when the deadline has passed and no window is open.
    Outcome awaitInput();
    // Processes events until wake(), the window, the deadline or an end. Returns as pass().
    // Returns at once when the deadline has passed and no window is open.
    Outcome sleep();
    // Passes until the deadline: a pause that never ends early.
    Outcome pause();

    // Stopped, PortLost or Quitting once one of them happened; Running otherwise.
    Outcome ended() const { return m_end; }
    // Ends the wait with `outcome` (the caller's verdict) and returns it.
    Outcome finish(Outcome outcome);
    Outcome outcome() const { return m_outcome; }

    // The innermost wait under way, or null: lets a caller cut the current wait short.
    static LinkWait *current();

    // True once a wait ended because the application is quitting, until one runs normally
    // again: every wait after a quit ends at once, so whatever loops over waits must end too.
    static bool quitting();
    static QuitNotice &quitNotice();
    // The events already pending (the operator's input too), and back at once: for a loop that
    // must keep the program alive between waits of its own. Running, or Quitting.
    static Outcome yield(Events events = Events::All);
    // A pause of `ms` that never ends early and ends at once on a quit (and, with `transport`,
    // on a lost port): TimedOut, or why it ended before.
    static Outcome pauseFor(int ms, Events events = Events::NoInput,
                            SerialTransport *transport = nullptr);

    // Passes until `condition` holds (looked at after every pass, so within PassMaxMs), the
    // deadline passes or the wait ends: Done when it held, else as pass().
    Outcome until(const std::function<bool()> &condition);
    // The deadline has passed (by the clock, whatever the timers did) or the wait ended.
    bool over() const;

    // How late deadlines and windows ended, for a benchmark: recorded only while measuring.
    // A timer that fires early is armed again (counted), so none ends early.
    struct Lateness {
        QVector<qint64> lateUs; // per deadline or window that ran out
        int earlyFirings = 0;
    };
    static void measureLateness(bool on);
    static Lateness lateness();

public slots:
    // The deadline passes now.
    void expire();
    void wake();
    void stop();

private:
    // `onInput`: bytes coming in end it; `bounded`: so does PassMaxMs.
    Outcome run(bool onInput, bool bounded);
    void quitLoop();
    void onDeadline();
    void onWindow();
    bool portGone() const;
    static void arm(QTimer &timer, const QElapsedTimer &clock, qint64 dueNs);

    SerialTransport *m_transport;
    static QEventLoop::ProcessEventsFlags processFlags(Events events);
    QEventLoop::ProcessEventsFlags m_flags;
    QElapsedTimer m_clock;
    QTimer m_deadline;
    QTimer m_window;
    QTimer m_tick;
    qint64 m_deadlineNs = 0;
    qint64 m_windowNs = 0;
    bool m_timedOut = false;
    bool m_windowOpen = false;
    QEventLoop *m_loop = nullptr;
    bool m_quitByUs = false;
    bool m_passing = false;
    Outcome m_end = Running;
    Outcome m_outcome = Running;
};
