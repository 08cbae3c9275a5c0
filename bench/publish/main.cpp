// How fast the journal's outbox reaches a broker: a day of a 50-sensor fleet heard every ten
// minutes (each answer gives its "answer" message and the retained "status", and the new data
// collected with it its "rows" message: ten samples of four channels a minute apart), put in
// the outbox first, then sent by the publisher to a mosquitto on this machine, QoS 1, each
// message marked sent on its acknowledgement. Prints the cost of putting a message in the
// outbox and the messages and rows per second sustained until the broker has them all.

#include "fleetjournal.h"
#include "testbroker.h"
#include "mqttpublisher.h"
#include "outboxmessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace
{

constexpr int Sensors = 50;
constexpr int AnswersPerSensor = 24 * 6; // every ten minutes for a day

QByteArray answerPayload(int sensor, int i)
{
    return QStringLiteral("{\"v\":1,\"sensor\":\"%1\",\"time\":\"2026-12-08T%2:%3:00.000Z\","
                          "\"type\":2,\"clock\":\"2026-12-08T%2:%3:02\",\"clock_offset_s\":2,"
                          "\"period_s\":10,\"period_code\":3,\"channel_mask\":15,\"pages\":%4,"
                          "\"battery\":13,\"rssi_dbm\":-62,\"relay\":null,\"version\":18,"
                          "\"origin\":\"collection\"}")
        .arg(0x1000 + sensor, 4, 16, QLatin1Char('0'))
        .arg(i / 6, 2, 10, QLatin1Char('0'))
        .arg(i % 6 * 10, 2, 10, QLatin1Char('0'))
        .arg(100 + i)
        .toUtf8();
}

constexpr int RowsPerCollection = 10;

QByteArray rowsPayload(int sensor, int i)
{
    // As the archive holds them: each row after a line break.
    QByteArray rows;
    for (int k = 0; k < RowsPerCollection; ++k) {
        const int minute = i * 10 + k;
        rows += QStringLiteral("\r\n08/12/26 %1:%2:00\t%3\t%4\t%5\t%6\t")
                    .arg(minute / 60, 2, 10, QLatin1Char('0'))
                    .arg(minute % 60, 2, 10, QLatin1Char('0'))
                    .arg(4.0 + 0.001 * (sensor + k), 0, 'f', 3)
                    .arg(12.5 + 0.01 * k, 0, 'f', 3)
                    .arg(19.875, 0, 'f', 3)
                    .arg(7.25 + 0.1 * i, 0, 'f', 3)
                    .toUtf8();
    }
    return outbox::rowsPayloads(uint16_t(0x1000 + sensor), QStringLiteral("1000_081226_000000.tsv"),
                                {"Input 1", "Input 2", "Input 3", "Input 4"},
                                {"mA", "mA", "mA", "mA"}, rows, outbox::RowsPerMessage)
        .value(0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    testbroker::Broker broker(dir.path());
    if (!broker.start()) {
        std::fprintf(stderr, "bench_publish: no mosquitto to publish to (scripts/setup)\n");
        return 1;
    }
    const int port = broker.port();

    const QString path = dir.filePath(QStringLiteral("journal.sqlite"));
    FleetJournal journal;
    if (!journal.open(path)) {
        std::fprintf(stderr, "bench_publish: %s\n", qPrintable(journal.errorText()));
        return 1;
    }
    QElapsedTimer fill;
    fill.start();
    int messages = 0;
    for (int i = 0; i < AnswersPerSensor; ++i)
        for (int s = 0; s < Sensors; ++s) {
            const QByteArray payload = answerPayload(s, i);
            const QString sensor = QStringLiteral("bench/sensor/%1").arg(0x1000 + s, 4, 16, QLatin1Char('0'));
            journal.enqueue(sensor + QStringLiteral("/answer"), payload, false);
            journal.enqueue(sensor + QStringLiteral("/status"), payload, true);
            journal.enqueue(sensor + QStringLiteral("/rows"), rowsPayload(s, i), false);
            messages += 3;
        }
    const double fillMs = double(fill.nsecsElapsed()) / 1e6;

    MqttSettings settings;
    settings.enabled = true;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = port;
    settings.topicPrefix = QStringLiteral("bench");
    MqttPublisher publisher(path, settings);
    QElapsedTimer send;
    bool done = false;
    QObject::connect(&publisher, &MqttPublisher::idle, [&] {
        if (publisher.sentCount() >= messages)
            done = true;
    });
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(300000);
    send.start();
    if (!publisher.start()) {
        std::fprintf(stderr, "bench_publish: %s\n", qPrintable(publisher.stateLine()));
        return 1;
    }
    publisher.wake();
    while (!done && guard.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double sendMs = double(send.nsecsElapsed()) / 1e6;
    if (!done) {
        std::fprintf(stderr, "bench_publish: %d of %d sent after %.0f ms (%s)\n",
                     publisher.sentCount(), messages, sendMs, qPrintable(publisher.stateLine()));
        return 1;
    }
    const int rows = Sensors * AnswersPerSensor * RowsPerCollection;
    std::printf("bench_publish: %d messages (%d sensors, an answer every 10 min for a day, its "
                "answer, status and %d rows); into the outbox %.3f ms a message; sent to a local "
                "broker with QoS 1 in %.0f ms: %.0f messages/s and %.0f rows/s sustained, %d left "
                "in the outbox\n",
                messages, Sensors, RowsPerCollection, fillMs / messages, sendMs,
                messages / (sendMs / 1000), rows / (sendMs / 1000), publisher.waiting());
    return 0;
}
