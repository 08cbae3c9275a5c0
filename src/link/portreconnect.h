#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class ManageSerialPort;

// Takes a lost connection back. Once the port of the working connection went away (a dongle
// pulled out), it is looked for about once a second, and each time it shows up again a few
// attempts are made to reopen it, one a second: a dongle plugged back in may need a moment
// before it answers, but one that is there and stays silent is not hammered for ever. How to
// reopen is the owner's: portBack() asks for it.
class PortReconnect : public QObject
{
    Q_OBJECT
public:
    using Presence = std::function<bool(const QString &portName)>;

    explicit PortReconnect(ManageSerialPort *link, QObject *parent = nullptr,
                           int intervalMs = IntervalMs);

    // The port of the working connection, taken back if it goes away; empty: none (a port the
    // operator closed is not reopened behind their back). Forgets a lost port.
    void watch(const QString &portName);
    QString watchedPort() const { return m_port; }
    // The port that went away and is waited for; empty when none is.
    QString lostPort() const { return m_lost; }
    // How to tell the lost port is there again; by default its device file exists.
    void setPresence(Presence presence) { m_presence = std::move(presence); }
    static bool deviceFileExists(const QString &portName);

    // A dongle may need a moment after its port appears before it answers; a returning port and
    // a first opening get the same chances: this many attempts, IntervalMs apart.
    static constexpr int AttemptsPerReturn = 3;
    static constexpr int IntervalMs = 1000;
    // A first opening of `portName` found no dongle: the remaining attempts follow as for a
    // returning port (portBack()), and the port is then waited for as a lost one, so a dongle
    // plugged out and in again is tried afresh.
    void retry(const QString &portName);
    // The same attempts made at once, waiting between them: for a caller that cannot go on
    // without the port (the collector). False when none found a dongle, the wait was stopped or
    // `cancelled` says so (looked at between attempts).
    static bool openWithRetries(ManageSerialPort *link, const QString &portName,
                                int intervalMs = IntervalMs,
                                const std::function<bool()> &cancelled = {});

signals:
    void portLost(const QString &portName);
    // The lost port is back: an attempt to reopen it. On success the owner calls watch().
    void portBack(const QString &portName);

private:
    void onLinkChanged();
    void check();

    ManageSerialPort *m_link;
    Presence m_presence;
    QTimer m_timer;
    QString m_port;
    QString m_lost;
    int m_attemptsLeft = 0;
};
