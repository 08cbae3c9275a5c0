// The publisher against a real broker that the test starts on a free local port: order, a
// broker that goes away and comes back, a publisher that goes away with messages in flight, and
// logins that are refused.
#include "fleetjournal.h"
#include "mqttpublisher.h"

#include "messagecapture.h"
#include "testbroker.h"

#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int Wait = 30000;
using testbroker::Broker;

// A subscriber of its own session (kept across a broker restart) that notes every message.
class Probe
{
public:
    explicit Probe(int port)
    {
        mosquitto_lib_init();
        m_handle = mosquitto_new("tessaran-probe", false, this);
        mosquitto_connect_callback_set(m_handle, [](mosquitto *m, void *, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "site/#", 1);
        });
        mosquitto_subscribe_callback_set(
            m_handle, [](mosquitto *, void *obj, int, int, const int *) {
                static_cast<Probe *>(obj)->m_subscribed = true;
            });
        mosquitto_message_callback_set(
            m_handle, [](mosquitto *, void *obj, const mosquitto_message *m) {
                auto *p = static_cast<Probe *>(obj);
                QMutexLocker lock(&p->m_mutex);
                p->m_messages << QString::fromUtf8(m->topic) + QLatin1Char(' ') +
                                     QString::fromUtf8(static_cast<const char *>(m->payload),
                                                       m->payloadlen);
            });
        mosquitto_reconnect_delay_set(m_handle, 1, 1, false);
        mosquitto_connect(m_handle, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_handle);
    }
    ~Probe()
    {
        mosquitto_disconnect(m_handle);
        mosquitto_loop_stop(m_handle, false);
        mosquitto_destroy(m_handle);
    }
    bool subscribed() const { return m_subscribed; }
    QStringList messages()
    {
        QMutexLocker lock(&m_mutex);
        return m_messages;
    }

private:
    mosquitto *m_handle = nullptr;
    std::atomic<bool> m_subscribed{false};
    QMutex m_mutex;
    QStringList m_messages;
};

QStringList expected(int from, int to)
{
    QStringList out;
    for (int i = from; i < to; ++i)
        out << QStringLiteral("site/m/%1 {\"n\":%1}").arg(i);
    return out;
}

void enqueue(FleetJournal &j, int from, int to)
{
    for (int i = from; i < to; ++i)
        QVERIFY(j.enqueue(QStringLiteral("site/m/%1").arg(i),
                          QStringLiteral("{\"n\":%1}").arg(i).toUtf8(), false));
}

MqttSettings settingsFor(int port)
{
    MqttSettings s;
    s.enabled = true;
    s.host = QStringLiteral("127.0.0.1");
    s.port = port;
    s.topicPrefix = QStringLiteral("site");
    return s;
}
} // namespace

class TestPublish : public QObject
{
    Q_OBJECT
    MessageCapture m_quiet{MessageCapture::Silent};

private slots:
    void initTestCase() { QVERIFY2(!Broker::program().isEmpty(), "mosquitto is not installed"); }

    // Everything once and in order, through a broker that stops while messages are waiting
    // and comes back on the same port.
    void aBrokerThatGoesAwayGetsEveryMessageOnceInOrderWhenBack()
    {
        QTemporaryDir dir;
        Broker broker(dir.path());
        QVERIFY(broker.start());
        auto probe = std::make_unique<Probe>(broker.port());
        QTRY_VERIFY_WITH_TIMEOUT(probe->subscribed(), Wait);

        const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
        FleetJournal journal;
        QVERIFY(journal.open(path));
        enqueue(journal, 0, 30);
        MqttPublisher publisher(path, settingsFor(broker.port()));
        publisher.setRetryPauses(200, 1000);
        QSignalSpy states(&publisher, &MqttPublisher::stateChanged);
        QVERIFY(publisher.start());
        QTRY_COMPARE_WITH_TIMEOUT(publisher.sentCount(), 30, Wait);
        QCOMPARE(journal.pendingCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(probe->messages(), expected(0, 30), Wait);
        QVERIFY(publisher.stateLine().startsWith(
            QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port())));

        broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(publisher.stateLine().contains(QLatin1String("unreachable")), Wait);
        enqueue(journal, 30, 60);
        publisher.wake();
        QTRY_VERIFY_WITH_TIMEOUT(
            publisher.stateLine() ==
                QStringLiteral("MQTT: broker 127.0.0.1:%1 unreachable, 30 messages waiting")
                    .arg(broker.port()),
            Wait);
        QVERIFY(broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(journal.pendingCount(), 0, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(probe->messages().size(), 60, Wait);
        QCOMPARE(probe->messages(), expected(0, 60));
        QCOMPARE(publisher.sentCount(), 60);
        QVERIFY(!states.isEmpty());
    }

    // A publisher that goes with messages in flight: the next one sends all that the broker
    // had not acknowledged. Nothing is lost, the first arrivals are in order, and what comes
    // twice is at most the window that was in flight.
    void aPublisherGoneWithMessagesInFlightLosesNoneAndRepeatsAtMostItsWindow()
    {
        QTemporaryDir dir;
        Broker broker(dir.path());
        QVERIFY(broker.start());
        Probe probe(broker.port());
        QTRY_VERIFY_WITH_TIMEOUT(probe.subscribed(), Wait);
        const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
        FleetJournal journal;
        QVERIFY(journal.open(path));
        constexpr int Count = 400;
        enqueue(journal, 0, Count);
        {
            MqttPublisher first(path, settingsFor(broker.port()));
            QVERIFY(first.start());
            QTRY_VERIFY_WITH_TIMEOUT(first.sentCount() >= 10, Wait);
        }
        const int left = journal.pendingCount();
        QVERIFY2(left > 0, "the first publisher had sent everything: nothing was in flight");
        MqttPublisher second(path, settingsFor(broker.port()));
        QVERIFY(second.start());
        QTRY_COMPARE_WITH_TIMEOUT(journal.pendingCount(), 0, Wait);
        QCOMPARE(second.sentCount(), left);
        QTRY_VERIFY_WITH_TIMEOUT(probe.messages().size() >= Count, Wait);

        const QStringList got = probe.messages();
        QStringList firsts;
        for (const QString &m : got)
            if (!firsts.contains(m))
                firsts << m;
        QCOMPARE(firsts, expected(0, Count));
        QVERIFY2(got.size() - Count <= MqttPublisher::Window,
                 qPrintable(QStringLiteral("%1 repeated").arg(got.size() - Count)));
    }

    // A wrong password is told as such; a password file others can read is refused before
    // anything is sent; the right one from a private file logs in.
    void loginsAreRefusedWithTheirReasonAndPasswordFilesMustBePrivate()
    {
        QTemporaryDir dir;
        const QString users = dir.filePath(QStringLiteral("users"));
        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                                   {QStringLiteral("-b"), QStringLiteral("-c"), users,
                                    QStringLiteral("site"), QStringLiteral("right")}),
                 0);
        Broker broker(dir.path(), "allow_anonymous false\npassword_file " + users.toUtf8() + "\n");
        QVERIFY(broker.start());
        const QString path = dir.filePath(QStringLiteral("journal.sqlite"));

        MqttSettings wrong = settingsFor(broker.port());
        wrong.user = QStringLiteral("site");
        wrong.password = QStringLiteral("wrong");
        {
            MqttPublisher p(path, wrong);
            QVERIFY(p.start());
            QTRY_COMPARE_WITH_TIMEOUT(
                p.stateLine(),
                QStringLiteral("MQTT: login refused by 127.0.0.1:%1 (bad user name or password)")
                    .arg(broker.port()),
                Wait);
        }

        MqttSettings fromFile = settingsFor(broker.port());
        fromFile.user = QStringLiteral("site");
        fromFile.passwordFile = dir.filePath(QStringLiteral("secret"));
        QFile secret(fromFile.passwordFile);
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("right\n");
        secret.close();
        QVERIFY(secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ReadOther));
        {
            MqttPublisher p(path, fromFile);
            QVERIFY(!p.start());
            QVERIFY2(p.stateLine().contains(QLatin1String("can be read by others")),
                     qPrintable(p.stateLine()));
        }
        QVERIFY(secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        MqttPublisher p(path, fromFile);
        QVERIFY(p.start());
        QTRY_COMPARE_WITH_TIMEOUT(
            p.stateLine(), QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port()),
            Wait);
    }

    // A name the resolver does not know, and a peer that answers the login with what is not
    // MQTT: each is its own line, and the publisher tries again later.
    void aNameNotKnownOrAPeerThatIsNoBrokerIsToldSo()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
        MqttSettings unknown = settingsFor(1883);
        unknown.host = QStringLiteral("no-such-broker.invalid");
        {
            MqttPublisher p(path, unknown);
            QVERIFY(p.start());
            QTRY_COMPARE_WITH_TIMEOUT(p.stateLine(),
                                      QStringLiteral("MQTT: the broker's name "
                                                     "no-such-broker.invalid could not be looked "
                                                     "up, 0 messages waiting"),
                                      Wait);
        }
        QTcpServer garbage;
        QVERIFY(garbage.listen(QHostAddress::LocalHost));
        connect(&garbage, &QTcpServer::newConnection, &garbage, [&garbage] {
            while (QTcpSocket *s = garbage.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s] {
                    s->readAll();
                    s->write(QByteArray(64, char(0xFF)));
                });
            }
        });
        MqttPublisher p(path, settingsFor(garbage.serverPort()));
        QVERIFY(p.start());
        QTRY_COMPARE_WITH_TIMEOUT(p.stateLine(),
                                  QStringLiteral("MQTT: 127.0.0.1:%1 sent what is not MQTT, 0 "
                                                 "messages waiting")
                                      .arg(garbage.serverPort()),
                                  Wait);
        QVERIFY(!p.isConnected());
    }

    // TLS: the broker's certificate signed by the CA_FILE connects; one of another CA never
    // does, and the line says it is the TLS.
    void tlsConnectsOnlyToABrokerWhoseCertificateTheCaSigned()
    {
        QTemporaryDir dir;
        const auto file = [&dir](const char *name) { return dir.filePath(QLatin1String(name)); };
        const auto openssl = [&dir](const QStringList &arguments) {
            QProcess p;
            p.setWorkingDirectory(dir.path());
            p.start(QStringLiteral("openssl"), arguments);
            return p.waitForFinished(60000) && p.exitCode() == 0;
        };
        {
            QFile ext(file("ext"));
            QVERIFY(ext.open(QIODevice::WriteOnly));
            ext.write("subjectAltName=IP:127.0.0.1\n");
        }
        for (const char *ca : {"ca", "other"})
            QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                             QStringLiteral("%1.key").arg(ca), "-out",
                             QStringLiteral("%1.pem").arg(ca), "-days", "2", "-subj",
                             QStringLiteral("/CN=%1").arg(ca)}));
        QVERIFY(openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "srv.key", "-out",
                         "srv.csr", "-subj", "/CN=127.0.0.1"}));
        QVERIFY(openssl({"x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-out", "srv.pem", "-days", "2", "-extfile", "ext"}));
        Broker broker(dir.path(), "allow_anonymous true\ncafile " + file("ca.pem").toUtf8() +
                                      "\ncertfile " + file("srv.pem").toUtf8() +
                                      "\nkeyfile " + file("srv.key").toUtf8() + "\n");
        QVERIFY(broker.start());
        const QString path = file("journal.sqlite");

        MqttSettings other = settingsFor(broker.port());
        other.caFile = file("other.pem");
        {
            MqttPublisher p(path, other);
            QVERIFY(p.start());
            // The library fails the handshake either at once or, in its thread, silently:
            // then the line comes from the silence.
            QTRY_VERIFY_WITH_TIMEOUT(
                p.stateLine().startsWith(
                    QStringLiteral("MQTT: TLS with 127.0.0.1:%1 failed").arg(broker.port())) ||
                    p.stateLine().startsWith(
                        QStringLiteral("MQTT: broker 127.0.0.1:%1 does not answer over TLS")
                            .arg(broker.port())),
                Wait);
            QVERIFY(!p.isConnected());
        }
        MqttSettings right = settingsFor(broker.port());
        right.caFile = file("ca.pem");
        MqttPublisher p(path, right);
        QVERIFY(p.start());
        QTRY_COMPARE_WITH_TIMEOUT(
            p.stateLine(), QStringLiteral("MQTT: connected to 127.0.0.1:%1").arg(broker.port()),
            Wait);
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
