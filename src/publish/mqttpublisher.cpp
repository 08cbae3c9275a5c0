#include "mqttpublisher.h"

#include "fleetjournal.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <mosquitto.h>
#include <atomic>
#include <mutex>
#include <thread>

namespace
{
void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// CONNACK return codes of MQTT 3.1.1.
enum Refusal { BadCredentials = 4, NotAuthorised = 5 };
} // namespace

// One connection attempt: the handle and what its callbacks need to find their way back. It is
// shared with the thread that connects, because looking the broker's name up may take as long
// as the resolver likes and must not hold the owner's thread: the last one to let go of it
// stops the network loop and frees the handle.
struct MqttPublisher::Link {
    std::mutex mutex;
    MqttPublisher *owner = nullptr; // under the mutex; none once the owner dropped the attempt
    int generation = 0;
    mosquitto *handle = nullptr;
    std::atomic<bool> looping{false};

    // From the loop thread or the connecting one. The owner drops an attempt under the mutex
    // before it goes, and a queued call to an object that has gone is never delivered.
    template <typename F>
    void post(F call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!owner)
            return;
        MqttPublisher *target = owner;
        const int g = generation;
        QMetaObject::invokeMethod(
            target, [target, g, call] { call(target, g); }, Qt::QueuedConnection);
    }
    void abandon()
    {
        std::lock_guard<std::mutex> lock(mutex);
        owner = nullptr;
    }
    static void onConnect(mosquitto *, void *obj, int rc)
    {
        static_cast<Link *>(obj)->post([rc](MqttPublisher *p, int g) { p->connected(g, rc); });
    }
    static void onDisconnect(mosquitto *, void *obj, int rc)
    {
        static_cast<Link *>(obj)->post([rc](MqttPublisher *p, int g) { p->disconnected(g, rc); });
    }
    static void onPublish(mosquitto *, void *obj, int mid)
    {
        static_cast<Link *>(obj)->post([mid](MqttPublisher *p, int g) { p->published(g, mid); });
    }

    ~Link()
    {
        if (!handle)
            return;
        mosquitto_disconnect(handle);
        if (looping)
            mosquitto_loop_stop(handle, false);
        mosquitto_destroy(handle);
    }
};

MqttPublisher::MqttPublisher(const QString &journalPath, const MqttSettings &settings,
                             QObject *parent)
    : QObject(parent), m_journalPath(journalPath), m_settings(settings)
{
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &MqttPublisher::fill);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttPublisher::connectNow);
    m_connectTimeout.setSingleShot(true);
    m_connectTimeout.setInterval(ConnectTimeoutMs);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] {
        // A handshake the library gave up on ends its thread without a word: only the silence
        // tells, and the next attempt says what it was.
        setState(m_settings.caFile.isEmpty()
                     ? QStringLiteral("MQTT: broker %1 does not answer, %2")
                           .arg(m_settings.address(), waitingText())
                     : QStringLiteral("MQTT: broker %1 does not answer over TLS, %2")
                           .arg(m_settings.address(), waitingText()));
        drop();
        retryLater();
    });
    m_ackTimeout.setSingleShot(true);
    m_ackTimeout.setInterval(AckTimeoutMs);
    connect(&m_ackTimeout, &QTimer::timeout, this, [this] {
        setState(QStringLiteral("MQTT: broker %1 acknowledges nothing, %2")
                     .arg(m_settings.address(), waitingText()));
        drop();
        retryLater();
    });
}

MqttPublisher::~MqttPublisher()
{
    // Nothing of the attempt reaches this object after this; its loop is stopped here, or by
    // the connecting thread when that one is still waiting for the name.
    drop();
}

void MqttPublisher::setRetryPauses(int firstMs, int maxMs)
{
    m_firstPauseMs = m_pauseMs = firstMs;
    m_maxPauseMs = maxMs;
}

bool MqttPublisher::start()
{
    if (m_started)
        return true;
    QString error;
    if (m_settings.host.isEmpty()) {
        setState(QStringLiteral("MQTT: no broker (HOST in [MQTT] of config.ini)"));
        return false;
    }
    if (!mqtt::resolvePassword(m_settings, error)) {
        setState(error);
        return false;
    }
    m_journal = std::make_unique<FleetJournal>();
    if (!m_journal->open(m_journalPath)) {
        setState(QStringLiteral("MQTT: nothing is published: %1").arg(m_journal->errorText()));
        m_journal.reset();
        return false;
    }
    m_journal->pruneSent(QDateTime::currentMSecsSinceEpoch() - KeepSentMs);
    initLibrary();
    m_started = true;
    connectNow();
    return true;
}

int MqttPublisher::waiting() const
{
    return m_journal ? m_journal->pendingCount() : 0;
}

bool MqttPublisher::isIdle() const
{
    return m_inFlight.isEmpty() && waiting() == 0;
}

QString MqttPublisher::tlsFailedText() const
{
    return QStringLiteral("MQTT: TLS with %1 failed: its certificate is not signed by the CA_FILE "
                          "%2 or names another host, %3")
        .arg(m_settings.address(), m_settings.caFile, waitingText());
}

QString MqttPublisher::waitingText() const
{
    const int n = waiting();
    return n == 1 ? QStringLiteral("1 message waiting") : QStringLiteral("%1 messages waiting").arg(n);
}

void MqttPublisher::setState(const QString &line)
{
    if (line == m_state)
        return;
    m_state = line;
    qDebug() << line;
    emit stateChanged(line);
}

void MqttPublisher::connectNow()
{
    drop();
    auto link = std::make_shared<Link>();
    link->owner = this;
    link->generation = ++m_generation;
    const QByteArray id = m_settings.clientId.toUtf8();
    // A clean session: what the broker has not acknowledged is kept in the outbox, not in a
    // session of the broker's.
    link->handle = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, link.get());
    if (!link->handle) {
        setState(QStringLiteral("MQTT: no client could be made (%1)").arg(m_settings.address()));
        retryLater();
        return;
    }
    mosquitto_connect_callback_set(link->handle, &Link::onConnect);
    mosquitto_disconnect_callback_set(link->handle, &Link::onDisconnect);
    mosquitto_publish_callback_set(link->handle, &Link::onPublish);
    // The loop thread must not connect again by itself: a new handle does, from here.
    mosquitto_reconnect_delay_set(link->handle, 3600, 3600, false);
    mosquitto_max_inflight_messages_set(link->handle, Window);
    if (!m_settings.user.isEmpty()) {
        const QByteArray user = m_settings.user.toUtf8();
        const QByteArray password = m_settings.password.toUtf8();
        mosquitto_username_pw_set(link->handle, user.constData(),
                                  password.isEmpty() ? nullptr : password.constData());
    }
    if (!m_settings.caFile.isEmpty()) {
        const QByteArray ca = QFileInfo(m_settings.caFile).absoluteFilePath().toLocal8Bit();
        const int rc = mosquitto_tls_set(link->handle, ca.constData(), nullptr, nullptr, nullptr,
                                         nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            setState(QStringLiteral("MQTT: the CA file %1 can't be used (%2)")
                         .arg(m_settings.caFile, QString::fromUtf8(mosquitto_strerror(rc))));
            link->abandon();
            retryLater();
            return;
        }
    }
    m_link = link;
    // Once: a retry leaves the line on why the last attempt failed.
    if (m_state.isEmpty())
        setState(QStringLiteral("MQTT: connecting to %1").arg(m_settings.address()));
    // Also the time the name may take.
    m_connectTimeout.start();
    // The name is looked up by the library itself, so that TLS checks the certificate against
    // the name configured; that lookup blocks, so it happens here, off this thread. This
    // thread does not touch the handle until it hears the attempt is under way.
    std::thread([link, host = m_settings.host.toUtf8(), port = m_settings.port] {
        int rc = mosquitto_connect_async(link->handle, host.constData(), port, 30);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_start(link->handle);
            link->looping = rc == MOSQ_ERR_SUCCESS;
        }
        link->post([rc](MqttPublisher *p, int g) { p->underWay(g, rc); });
    }).detach();
}

void MqttPublisher::underWay(int generation, int rc)
{
    if (generation != m_generation || !m_link || rc == MOSQ_ERR_SUCCESS)
        return;
    const QString address = m_settings.address();
    setState(rc == MOSQ_ERR_TLS ? tlsFailedText()
             : rc == MOSQ_ERR_EAI
                 ? QStringLiteral("MQTT: the broker's name %1 could not be looked up, %2")
                       .arg(m_settings.host, waitingText())
                 : QStringLiteral("MQTT: broker %1 unreachable, %2").arg(address, waitingText()));
    drop();
    retryLater();
}

void MqttPublisher::drop()
{
    m_connectTimeout.stop();
    m_ackTimeout.stop();
    m_poll.stop();
    if (m_link)
        m_link->abandon();
    m_link.reset();
    m_connected = false;
    // What was in flight is unsent in the outbox still, and goes again on the next connection.
    m_inFlight.clear();
    m_lastPublished = 0;
}

void MqttPublisher::retryLater()
{
    m_retry.start(m_pauseMs);
    m_pauseMs = std::min(m_pauseMs * 2, m_maxPauseMs);
}

void MqttPublisher::connected(int generation, int rc)
{
    if (generation != m_generation || !m_link)
        return;
    m_connectTimeout.stop();
    if (rc != 0) {
        const QString address = m_settings.address();
        // mosquitto answers a wrong password with "not authorised", not with the code meant
        // for it: with a user name given, both mean the login.
        const bool login = rc == BadCredentials || (rc == NotAuthorised && !m_settings.user.isEmpty());
        setState(login ? QStringLiteral("MQTT: login refused by %1 (bad user name or password)")
                             .arg(address)
                 : rc == NotAuthorised
                     ? QStringLiteral("MQTT: login refused by %1 (not authorised: the broker "
                                      "wants a user name, USER in [MQTT])")
                           .arg(address)
                     : QStringLiteral("MQTT: broker %1 refused the connection (%2)")
                           .arg(address, QString::fromUtf8(mosquitto_connack_string(rc))));
        drop();
        // Trying the same login again soon would not make it right.
        m_pauseMs = m_maxPauseMs;
        retryLater();
        return;
    }
    m_connected = true;
    m_pauseMs = m_firstPauseMs;
    setState(QStringLiteral("MQTT: connected to %1").arg(m_settings.address()));
    m_poll.start();
    fill();
}

void MqttPublisher::disconnected(int generation, int rc)
{
    if (generation != m_generation || !m_link)
        return;
    const bool wasConnected = m_connected;
    drop();
    // A handshake that failed ends the connection before the broker could answer the login.
    if (!wasConnected && rc == MOSQ_ERR_TLS)
        setState(tlsFailedText());
    else if (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET)
        setState(QStringLiteral("MQTT: %1 sent what is not MQTT, %2")
                     .arg(m_settings.address(), waitingText()));
    else
        setState(QStringLiteral("MQTT: broker %1 unreachable, %2")
                     .arg(m_settings.address(), waitingText()));
    retryLater();
}

void MqttPublisher::wake()
{
    if (m_connected)
        fill();
}

void MqttPublisher::fill()
{
    if (!m_connected || !m_link)
        return;
    const int room = Window - m_inFlight.size();
    if (room > 0) {
        for (const OutboxMessage &m : m_journal->pending(room, m_lastPublished)) {
            int mid = 0;
            const int rc = mosquitto_publish(m_link->handle, &mid, m.topic.toUtf8().constData(),
                                             m.payload.size(), m.payload.constData(), m.qos,
                                             m.retained);
            if (rc != MOSQ_ERR_SUCCESS) {
                // The connection went meanwhile; its end comes as a disconnection.
                qDebug() << QStringLiteral("/!\\ mqtt : publish") << m.id << mosquitto_strerror(rc);
                break;
            }
            if (m_inFlight.isEmpty())
                m_ackTimeout.start();
            m_inFlight.insert(mid, m.id);
            m_lastPublished = m.id;
        }
    }
    if (m_inFlight.isEmpty() && waiting() == 0)
        emit idle();
}

void MqttPublisher::published(int generation, int mid)
{
    if (generation != m_generation || !m_link)
        return;
    const auto it = m_inFlight.find(mid);
    if (it == m_inFlight.end())
        return;
    m_journal->markSent(it.value());
    m_inFlight.erase(it);
    ++m_sent;
    // Counted from the oldest acknowledgement still awaited, roughly: the latest one heard.
    if (m_inFlight.isEmpty())
        m_ackTimeout.stop();
    else
        m_ackTimeout.start();
    fill();
}
