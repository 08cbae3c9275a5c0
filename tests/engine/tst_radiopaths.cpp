#include "fleetmodel.h"
#include "radiopaths.h"
#include "sensortext.h"

#include "messagecapture.h"

#include <QtTest>

using namespace radiopaths;

namespace
{
QString hex(const QVector<QByteArray> &bodies)
{
    QStringList l;
    for (const QByteArray &b : bodies)
        l << QString::fromLatin1(b.toHex().toUpper());
    return l.join(QLatin1Char(' '));
}
} // namespace

class TestRadioPaths : public QObject
{
    Q_OBJECT
    FleetModel model;
    RadioPaths paths;

    static QByteArray frame(const QVector<command::RssiEntry> &e)
    {
        return command::rssiListFrame(e);
    }
    // Relay (hexadecimal), rssi and path age of a listed sensor.
    QString path(uint16_t sn) const
    {
        const SensorRecord &r = model.sensor(model.find_row(sn)).record;
        return QStringLiteral("%1 %2 %3").arg(r.relay_address, 0, 16).arg(r.rssi).arg(r.path_age);
    }

private slots:
    void init()
    {
        while (model.size() > 0)
            model.remove_row(0);
        paths = RadioPaths();
    }

    // Numbers: scores, path choices (0 unchanged, 1 direct, 2 relayed), levels, ack checks.
    void numbers_data()
    {
        QTest::addColumn<int>("got");
        QTest::addColumn<int>("expected");
        const auto dongle = [](int heard, int current, bool direct) {
            return int(choose_from_dongle_list(heard, current, direct));
        };
        const auto relay = [](int direct, int current, int relayed) {
            return int(choose_from_relay_list(direct, current, relayed));
        };
        const auto ack = [](const char *sent, const char *ack) {
            return int(relay_ack_confirms(QByteArray::fromHex(sent), QByteArray::fromHex(ack)));
        };
        QTest::newRow("direct 65 s free") << direct_score(70, 65) << 70;
        QTest::newRow("direct 66 s +1") << direct_score(70, 66) << 71;
        QTest::newRow("direct 120 s +20") << direct_score(70, 120) << 90;
        QTest::newRow("direct never, no wrap") << direct_score(255, 32700) << 2965055;
        QTest::newRow("relay at 80 free") << relay_score(50, 0, 80) << 50;
        QTest::newRow("relay 160 doubles") << relay_score(50, 0, 160) << 210;
        QTest::newRow("relay 120 s +12") << relay_score(50, 120, 60) << 62;
        QTest::newRow("relay worst") << relay_score(255, 32700, 255) << 1779660;
        QTest::newRow("dongle better") << dongle(70, 95, false) << 1;
        QTest::newRow("dongle equal") << dongle(95, 95, false) << 1;
        QTest::newRow("dongle worse") << dongle(96, 95, false) << 0;
        QTest::newRow("dongle 80 wins") << dongle(80, 10, false) << 1;
        QTest::newRow("dongle 81 loses") << dongle(81, 10, false) << 0;
        QTest::newRow("dongle already direct") << dongle(500, 10, true) << 1;
        QTest::newRow("relay list: direct 80") << relay(80, 10, 5) << 1;
        QTest::newRow("relay list: equal") << relay(100, 90, 90) << 0;
        QTest::newRow("relay list: better") << relay(100, 90, 89) << 2;
        QTest::newRow("answer 81") << int(choose_from_answer(81, 80)) << 2;
        QTest::newRow("answer equal") << int(choose_from_answer(95, 95)) << 1;
        QTest::newRow("lora 37") << int(lora_rssi(37)) << 100;
        QTest::newRow("lora above 0 dBm") << int(lora_rssi(200)) << 0;
        QTest::newRow("register listed") << ack("4001029001", "3203040102") << 1;
        QTest::newRow("clear empty") << ack("4000009001", "32") << 1;
        QTest::newRow("release gone") << ack("4101029001", "320304") << 1;
        QTest::newRow("odd ack") << ack("4001029001", "32010203") << 0;
    }
    void numbers()
    {
        QFETCH(int, got);
        QFETCH(int, expected);
        QCOMPARE(got, expected);
    }

    void texts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto h = [](const QByteArray &b) { return QString::fromLatin1(b.toHex().toUpper()); };
        QTest::newRow("cell direct") << rssi_cell_text(70, 12, 0) << "-70dbm\n12s";
        QTest::newRow("cell relay") << rssi_cell_text(0, 0, 2) << "-0dbm\nR2 0s";
        QTest::newRow("cell ceiling") << rssi_cell_text(70, 32000, 0) << "";
        QTest::newRow("cell lost relay") << rssi_cell_text(70, 5, -1) << "-70dbm\nR? 5s";
        QTest::newRow("item") << rssi_item_text(0x00A1, 70, 8) << "00A1 - 70 dbm    8 s";
        QTest::newRow("item wide") << rssi_item_text(0x9001, 5, 1020) << "9001 -  5 dbm  1020 s";
        QTest::newRow("title") << relay_list_title(1, 0x9001, 45) << "R1, 9001, -45 dbm";
        QTest::newRow("add") << h(dongle_add_sensor(0x8FFF)) << "208FFF";
        QTest::newRow("release") << h(relay_release_sensor(0x0102, 0x9001)) << "4101029001";
        QTest::newRow("release listener") << h(relay_release_sensor(0x9001, 0x9002)) << "";
        QTest::newRow("current") << h(relay_add_current_sensor(0x0102, 0x9003)) << "4301029003";
    }
    void texts()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(text, expected);
    }

    void dongleThenRelayListsChoosePaths()
    {
        for (uint16_t sn : {0x0101, 0x0102, 0x0103, 0x9001})
            QVERIFY(model.insert_sensor(sn) >= 0);
        auto h = paths.handle_rssi_list(
            model, 0, 40, frame({{0x0101, 70, 0}, {0x0102, 90, 30}, {0x9001, 50, 0}}), false);
        QCOMPARE(hex(h.bodies), "");
        QCOMPARE(path(0x0101), "0 70 0");
        QCOMPARE(path(0x0102), "0 90 120"); // direct score 110

        // Relay RSSI 85 adds 5 to every relayed score.
        h = paths.handle_rssi_list(
            model, 0x9001, 85, frame({{0x0101, 60, 0}, {0x0102, 40, 0}, {0x0103, 30, 1}}), false);
        QCOMPARE(hex(h.bodies), "4000009001 4001029001 4001039001");
        QCOMPARE(path(0x0101), "0 70 0");    // 70 is below 81
        QCOMPARE(path(0x0102), "9001 40 0"); // 45 beats 110
        QCOMPARE(path(0x0103), "9001 30 4"); // never heard directly

        QVector<ListView> v = paths.show_rssi_lists(model);
        QCOMPARE(v[0].title, "Dongle");
        QCOMPARE(v[0].items, QStringList({"0101 - 70 dbm    0 s", "0102 - 90 dbm  120 s",
                                          "9001 - 50 dbm    0 s"}));
        QCOMPARE(v[1].title, "R1, 9001, -85 dbm");
        QCOMPARE(v[1].items, QStringList({"0101 - 60 dbm    0 s", "0102 - 40 dbm    0 s",
                                          "0103 - 30 dbm    4 s"}));
        QVERIFY(v[2].title.isEmpty() && v[2].items.isEmpty());
        QCOMPARE(sensortext::rssi(model.sensor(model.find_row(0x0102))), "-40dbm\nR1 0s");

        // Back to direct: 60 is below 81, released from its relay. 0103 at 85 stays relayed (35).
        h = paths.handle_rssi_list(model, 0, 40, frame({{0x0102, 60, 0}, {0x0103, 85, 0}}), false);
        QCOMPARE(hex(h.bodies), "4101029001");
        QCOMPARE(path(0x0102), "0 60 0");
        QCOMPARE(path(0x0103), "9001 30 4");

        // A lower address goes first in the table; 0103 moves over (10 beats 35 and its direct
        // 85) and is released from the old relay.
        h = paths.handle_rssi_list(model, 0x8002, 20, frame({{0x0103, 10, 0}}), false);
        QCOMPARE(hex(h.bodies), "4000008002 4101039001 4001038002");
        QCOMPARE(path(0x0103), "8002 10 0");
        h = paths.handle_rssi_list(model, 0x8002, 20, frame({{0x0103, 5, 0}}), false);
        QCOMPARE(hex(h.bodies), "4001038002"); // already on it: registered again, not released
        v = paths.show_rssi_lists(model);
        QCOMPARE(v[1].title, "R1, 8002, -20 dbm");
        QCOMPARE(v[2].title, "R2, 9001, -85 dbm");

        // A list from the same relay replaces the previous one; entries age between lists.
        paths.age_lists();
        paths.age_lists();
        QCOMPARE(paths.show_rssi_lists(model)[2].items.last(), "0103 - 30 dbm    6 s");
        h = paths.handle_rssi_list(model, 0x9001, 85, frame({{0x0104, 20, 2}}), false);
        QCOMPARE(hex(h.bodies), ""); // 0104 is not listed and no detection runs
        QCOMPARE(paths.show_rssi_lists(model)[2].items, QStringList{"0104 - 20 dbm    8 s"});
        QCOMPARE(model.find_row(0x0104), -1);
        for (int i = 0; i < 32000; ++i)
            paths.age_lists();
        QCOMPARE(int(paths.relays()[1].entries[0].age), int(SensorRecord::CounterCeiling));

        MessageCapture log(MessageCapture::Silent);
        const QByteArray tenBytes = QByteArray::fromHex("31010203040506070809");
        QVERIFY(!paths.handle_rssi_list(model, 0x9001, 85, tenBytes, false).accepted);
        QVERIFY(log.contains("rssi_list_size non multiple de 4"));
        QCOMPARE(paths.relays()[1].entries.size(), 1);
    }

    void pathFromAnswer_data()
    {
        QTest::addColumn<int>("relay");
        QTest::addColumn<int>("directRssi");
        QTest::addColumn<bool>("detected");
        QTest::addColumn<int>("lastByte"); // -1: a LoRa level byte of 37
        QTest::addColumn<QString>("bodies");
        QTest::addColumn<QString>("after"); // relay, rssi, direct rssi, direct age, path age
        QTest::newRow("lora") << 0 << 90 << false << -1 << ""
                              << "0 100 100 0 0";
        QTest::newRow("heard directly, relayed sensor") << 0x9001 << 90 << false << 0xFF << ""
                                                        << "9001 40 66 0 0";
        QTest::newRow("direct 80 wins") << 0x9001 << 80 << false << 10 << "4101029001"
                                        << "0 80 80 30 30";
        QTest::newRow("detected not released") << 0x9001 << 80 << true << 10 << ""
                                               << "0 80 80 30 30";
        QTest::newRow("relay wins") << 0x9001 << 81 << false << 70 << ""
                                    << "9001 70 81 0 0";
    }
    void pathFromAnswer()
    {
        QFETCH(int, relay);
        QFETCH(int, directRssi);
        QFETCH(bool, detected);
        QFETCH(int, lastByte);
        QFETCH(QString, bodies);
        QFETCH(QString, after);
        paths.handle_rssi_list(model, 0x9001, 85, frame({}), false); // relay term 5
        FleetModel::Sensor &s = model.edit(model.insert_sensor(0x0102));
        s.detected = detected;
        s.record.relay_address = uint16_t(relay);
        s.record.rssi = relay ? 40 : 90;
        s.record.path_age = 10;
        s.record.direct_rssi = uint8_t(directRssi);
        s.record.direct_age = 30;
        const auto sent =
            paths.path_from_answer(s, uint8_t(lastByte < 0 ? 37 : lastByte), 66, lastByte < 0);
        QCOMPARE(hex(sent), bodies);
        const SensorRecord &r = s.record;
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(r.relay_address, 0, 16)
                     .arg(r.rssi)
                     .arg(r.direct_rssi)
                     .arg(r.direct_age)
                     .arg(r.path_age),
                 after);
    }

    void announcementsWaitForTheirAcknowledgement()
    {
        MessageCapture log(MessageCapture::Silent);
        auto h =
            paths.handle_rssi_list(model, 0, 40, frame({{0x0200, 50, 0}, {0x9005, 60, 0}}), true);
        QCOMPARE(hex(h.bodies), "010090050160");
        QCOMPARE(h.announced, QVector<uint16_t>{0x9005});
        QVERIFY(model.find_row(0x0200) >= 0);
        QCOMPARE(log.count("new sensor"), 2);
        h = paths.handle_rssi_list(model, 0x9001, 10, frame({{0x9005, 30, 0}}), true);
        QCOMPARE(hex(h.bodies), "4000009001"); // the listener itself is in no relay list
        QCOMPARE(paths.pending_announcements().size(), 1);
        QCOMPARE(paths.pending_announcements()[0].relay, 0x9001);
        QCOMPARE(hex(paths.acknowledge_announcement(0x9005, 0xFFFF)), "010090050161 519005FFFF61");
        QVERIFY(paths.pending_announcements().isEmpty());
    }

    void tablesStopAt256()
    {
        MessageCapture log(MessageCapture::Silent);
        for (int a = 0x8100; a > 0x8000; --a)
            QVERIFY(paths.handle_rssi_list(model, uint16_t(a), 7, frame({}), false).accepted);
        const auto h = paths.handle_rssi_list(model, 0x7000, 7, frame({}), false);
        QVERIFY(!h.accepted);
        QVERIFY(h.bodies.isEmpty());
        QCOMPARE(paths.relays().size(), 256);
        QCOMPARE(paths.relays().first().address, 0x8001);
        QCOMPARE(paths.relays().last().address, 0x8100);
        const auto v = paths.show_rssi_lists(model);
        QCOMPARE(v.size(), 25);
        QCOMPARE(v[24].title, "R24, 8018, -7 dbm");

        RelayPolls polls;
        QVERIFY(!polls.next());
        QVERIFY(polls.append({0x9001, 0}));
        QVERIFY(polls.append({0x9002, 0x9001}));
        QVERIFY(polls.append({0x9003, 0}));
        QCOMPARE(RelayPolls::poll_body(*polls.next()).toHex(), "010090010160");
        QCOMPARE(RelayPolls::poll_body(*polls.next()).toHex(), "519002900160");
        QCOMPARE(polls.next()->serialNumber, 0x9003);
        QCOMPARE(polls.next()->serialNumber, 0x9001); // round and round
        polls.remove(0x9001); // 9003 takes its place; the index stays on 9002
        QCOMPARE(polls.next()->serialNumber, 0x9002);
        QCOMPARE(polls.next()->serialNumber, 0x9003);
        while (polls.size() < 256)
            QVERIFY(polls.append({uint16_t(0xA000 + polls.size()), 0}));
        QVERIFY(!polls.append({0xB000, 0}));
    }
};

QTEST_GUILESS_MAIN(TestRadioPaths)
#include "tst_radiopaths.moc"
