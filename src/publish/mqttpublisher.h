#pragma once

#include "mqttsettings.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class FleetJournal;

// Sends the journal's outbox to a broker, oldest first, and marks each message sent when the
// broker acknowledged it. libmosquitto's network loop runs in a thread of its own; what it
// hears comes back to this object's thread as queued calls, so a run or a download never waits
// for the broker. A connection that is lost is dropped whole and a new one made after a
// growing pause: what was in flight is published again from the outbox, the one place that
// knows what the broker has (at most a window's worth arrives twice, as QoS 1 allows).
//
// The outbox is read from its own journal object on the file, so the session's journal and
// another program's collector may fill it meanwhile; wake() after filling it saves waiting for
// the next look.
class MqttPublisher : public QObject
{
    Q_OBJECT
public:
    // Messages sent and not yet acknowledged, at most.
    static constexpr int Window = 8;
    // How often the outbox is looked at without a wake().
    static constexpr int PollMs = 1000;
    // A connection that has no answer from the broker by then is given up.
    static constexpr int ConnectTimeoutMs = 15000;
    // A broker that takes messages and acknowledges none for this long is given up too.
    static constexpr int AckTimeoutMs = 30000;
    // Sent messages are kept this long in the outbox, for whoever wants to see what went.
    static constexpr qint64 KeepSentMs = 7LL * 24 * 3600 * 1000;

    MqttPublisher(const QString &journalPath, const MqttSettings &settings,
                  QObject *parent = nullptr);
    ~MqttPublisher() override;

    // False with the reason in stateLine() when it cannot start at all (the journal, the
    // password file); a broker that is down is not a reason: it is tried again.
    bool start();
    QString stateLine() const { return m_state; }
    bool isConnected() const { return m_connected; }
    // In the outbox and not acknowledged.
    int waiting() const;
    // Acknowledged since start().
    int sentCount() const { return m_sent; }
    // Nothing waits and nothing is in flight.
    bool isIdle() const;

    // Pauses between attempts: first, then doubled up to max.
    void setRetryPauses(int firstMs, int maxMs);

public slots:
    void wake();

signals:
    // A plain line for the connection area or the log; never holds a credential.
    void stateChanged(const QString &line);
    // The outbox is empty and the broker has everything.
    void idle();

private:
    struct Link;
    friend struct Link;
    void connectNow();
    void underWay(int generation, int rc);
    void drop();
    void retryLater();
    void fill();
    void connected(int generation, int rc);
    void disconnected(int generation, int rc);
    void published(int generation, int mid);
    void setState(const QString &line);
    QString waitingText() const;
    QString tlsFailedText() const;

    QString m_journalPath;
    MqttSettings m_settings;
    std::unique_ptr<FleetJournal> m_journal;
    std::shared_ptr<Link> m_link;
    int m_generation = 0;
    bool m_connected = false;
    bool m_started = false;
    QHash<int, qint64> m_inFlight; // libmosquitto's message id -> outbox id
    qint64 m_lastPublished = 0;    // outbox id, this connection
    int m_sent = 0;
    QString m_state;
    QTimer m_poll;
    QTimer m_retry;
    QTimer m_connectTimeout;
    QTimer m_ackTimeout;
    int m_firstPauseMs = 1000;
    int m_maxPauseMs = 30000;
    int m_pauseMs = 1000;
};
