#include "commandset.h"
#include "framebuffer.h"
#include "sensoranswer.h"
#include "testkit.h"

#include <QtTest>

class TestCommandSet : public QObject
{
    Q_OBJECT
private slots:
    void actionBlocks_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QByteArray>("expected");
        command::Actions clockAndPeriod;
        clockAndPeriod.flags = command::SetClock | command::ChangePeriod;
        clockAndPeriod.periodCode = 3;
        clockAndPeriod.clock = QDateTime(QDate(2026, 12, 6), QTime(16, 39, 5));
        clockAndPeriod.clockMs = 500;
        QTest::newRow("set clock and period index 3")
            << command::toBytes(command::actionBlock(clockAndPeriod))
            << hex("03 03 26 12 06 16 39 05 00 00 00 00 00 00 00 00 40");
        command::Actions window;
        window.flags = command::DownloadBetween;
        window.windowStart = QDateTime(QDate(2025, 1, 31), QTime(23, 59, 58));
        window.windowEnd = QDateTime(QDate(2025, 2, 1), QTime(0, 0, 9));
        QTest::newRow("download between")
            << command::toBytes(command::actionBlock(window))
            << hex("08 00 25 01 31 23 59 58 25 02 01 00 00 09 00 00 00");
        command::Actions channels;
        channels.flags = command::SelectChannels;
        channels.channelMask = 0x0D;
        channels.sensorType = 3;
        channels.periodCode = 9; // not sent without its flag
        QTest::newRow("channels") << command::toBytes(command::actionBlock(channels))
                                  << hex("40 00 00 00 00 00 00 00 00 00 00 00 00 00 0D 03 00");
        QTest::newRow("memory read of EEPROM 0301")
            << command::toBytes(command::memoryRead(false, 0x0301))
            << hex("00 12 03 01 00 00 00 00 00 00 00 00 00 00 00 00 00");
        QTest::newRow("RAM read") << command::toBytes(command::memoryRead(true, 0x001A))
                                  << hex("00 14 00 1A 00 00 00 00 00 00 00 00 00 00 00 00 00");
        QTest::newRow("write with restart")
            << command::toBytes(command::memoryWrite(0x0010, 0x14, true))
            << hex("00 13 00 10 14 01 00 00 00 00 00 00 00 00 00 00 00");
        QTest::newRow("LoRa page request")
            << command::toBytes(command::loraPageRequest(0x0F80))
            << hex("80 00 0F 80 00 00 00 00 00 00 00 00 00 00 00 00 00");
    }
    void actionBlocks()
    {
        QFETCH(QByteArray, block);
        QFETCH(QByteArray, expected);
        QCOMPARE(block.toHex(' '), expected.toHex(' '));
    }

    void subSecondPartsAreIn128ths_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("byte");
        QTest::newRow("7 rounds down") << 7 << 0;
        QTest::newRow("8 rounds up") << 8 << 2;
        QTest::newRow("999") << 999 << 128;
    }
    void subSecondPartsAreIn128ths()
    {
        QFETCH(int, ms);
        QFETCH(int, byte);
        QCOMPARE(int(command::subSecondByte(ms)), byte);
        QVERIFY(qAbs(command::subSecondMilliseconds(uint8_t(byte)) - ms) <= 16);
    }

    void badBcdIsNoDate_data()
    {
        QTest::addColumn<QByteArray>("six");
        QTest::addColumn<bool>("valid");
        QTest::newRow("ok") << hex("24 02 29 23 59 59") << true;
        QTest::newRow("hex digit in the month") << hex("24 1A 01 00 00 00") << false;
        QTest::newRow("no 30 February") << hex("24 02 30 00 00 00") << false;
    }
    void badBcdIsNoDate()
    {
        QFETCH(QByteArray, six);
        QFETCH(bool, valid);
        QCOMPARE(command::bcdDateTime(reinterpret_cast<const uint8_t *>(six.constData())).isValid(),
                 valid);
    }

    void dongleAndRelayBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("wake target") << command::wakeTargetBody(0x1234) << hex("20 12 34");
        QTest::newRow("ack direct") << command::ackDirectBody(0x0042) << hex("21 00 42");
        QTest::newRow("set current") << command::setCurrentBody(0x0042) << hex("23 00 42");
        QTest::newRow("relay refresh") << command::relayRefreshBody() << hex("30");
        QTest::newRow("rssi lists") << command::rssiListsBody() << hex("31 FF FF");
        QTest::newRow("relay register")
            << command::relayListBody(command::RelayRegister, 0x1234, 0x8001)
            << hex("40 12 34 80 01");
        QTest::newRow("relay release")
            << command::relayListBody(command::RelayRelease, 0, 0x8001) << hex("41 00 00 80 01");
        QTest::newRow("relay add current")
            << command::relayListBody(command::RelayAddCurrent, 1, 2) << hex("43 00 01 00 02");
        QTest::newRow("relay channel")
            << command::relayChannelBody(0x14, 0x8001) << hex("46 14 00 80 01");
        QTest::newRow("set channel") << command::setChannelBody(26) << hex("36 1A");
        QTest::newRow("read channel") << command::readChannelBody() << hex("37");
        QTest::newRow("read version") << command::readVersionBody() << hex("A1");
        // 0x9000 is the first always-listening serial number
        QTest::newRow("pages of a sensor")
            << command::pageRequestBody(0x8FFF, 0x0F7E, 10) << hex("24 8F FF 0F 7E 00 0A");
        QTest::newRow("pages of an always-listening device")
            << command::pageRequestBody(0x9000, 0, 2) << hex("24 90 00 00 00 01 02");
        QTest::newRow("pages through a relay")
            << command::pageRequestRelayBody(0x1234, 0x8001, 3967, 1)
            << hex("44 12 34 80 01 0F 7F 00 01");
        QTest::newRow("attention")
            << command::rawDirectBody(0x9001, command::Attention) << hex("01 00 90 01 01 60");
        QTest::newRow("announcement ack through a relay")
            << command::rawRelayBody(0x1234, 0x8001, command::AnnounceAck)
            << hex("51 12 34 80 01 61");
    }
    void dongleAndRelayBodies()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, expected);
        QCOMPARE(body.toHex(' '), expected.toHex(' '));
    }

    void rssiListsAndRelayAcksAreCheckedBeforeUse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("ack");
        QTest::addColumn<int>("entries"); // -1: refused
        QTest::newRow("empty rssi list") << hex("31") << false << 0;
        QTest::newRow("two entries") << hex("31 12 34 46 00 80 01 28 03") << false << 2;
        QTest::newRow("10 bytes") << hex("31 12 34 46 00 80 01 28 03 00") << false << -1;
        QTest::newRow("not a list") << hex("32 12 34 46 00") << false << -1;
        QTest::newRow("ack of two") << hex("32 12 34 00 01") << true << 2;
        QTest::newRow("odd ack") << hex("32 12 34 00") << true << -1;
        QTest::newRow("not an ack") << hex("31 00 01") << true << -1;
        QTest::newRow("nothing") << QByteArray() << false << -1;
    }
    void rssiListsAndRelayAcksAreCheckedBeforeUse()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, ack);
        QFETCH(int, entries);
        int got = -1;
        if (ack) {
            if (const auto list = command::parseRelayListAck(data)) {
                got = list->size();
                if (got == 2) {
                    QCOMPARE(list->at(0), uint16_t(0x1234));
                    QCOMPARE(command::relayListAckFrame(*list), data);
                }
            }
        } else if (const auto list = command::parseRssiList(data)) {
            got = list->size();
            if (got == 2) {
                QCOMPARE(int(list->at(1).serialNumber), 0x8001);
                QCOMPARE(int(list->at(1).rssi), 0x28);
                QCOMPARE(list->at(1).ageSeconds(), 12);
                QCOMPARE(command::rssiListFrame(*list), data);
            }
        }
        QCOMPARE(got, entries);
    }

    void anAnswerCarriesEveryFieldAtItsOffset()
    {
        answer::Status s;
        s.serialNumber = 0x00001A2B;
        s.function = 0x0F;
        s.clock = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7));
        s.recordingStart = QDateTime(QDate(2025, 12, 31), QTime(23, 0, 0));
        s.periodCode = 11;
        s.pageCount = 3968;
        s.firstPage = 3960;
        s.lastPage = 5;
        s.sensorType = 3;
        s.channelMask = 0x0D;
        s.version = 21;
        s.lastValue0 = -2;
        s.lastValue1 = 300;
        s.lastValue2 = 0x00012345;
        s.lastValue3 = 0xFFFF0001;
        s.batteryIndex = 5;
        s.mode = 1;
        s.errorFlag = 1;
        FrameBuffer f;
        const QByteArray wire = answer::buildFrame(s);
        QVERIFY(f.setData(wire + char(0x37)));
        QCOMPARE(f.checkSensorFrame(), 0);
        const QByteArray a = f.toByteArray();
        QCOMPARE(a.size(), 54);
        QCOMPARE(a.mid(1, 4), hex("00 00 1A 2B"));
        QCOMPARE(a.mid(6, 12), hex("26 03 04 05 06 07 25 12 31 23 00 00"));
        QCOMPARE(a.mid(18, 3), hex("0B 0F 80"));
        QCOMPARE(a.mid(25, 6), hex("0F 78 00 05 03 0D"));
        QCOMPARE(a.mid(33, 16), hex("15 FF FE 01 2C 00 01 23 45 05 01 01 FF FF 00 01"));
        QCOMPARE(uint8_t(a[53]), uint8_t(0x37));
        const auto back = answer::parse(a);
        QVERIFY(back);
        QCOMPARE(back->clock, s.clock);
        QCOMPARE(back->recordingStart, s.recordingStart);
        QCOMPARE(back->lastValue0, s.lastValue0);
        QCOMPARE(back->lastValue3, s.lastValue3);
        QCOMPARE(back->firstPage, s.firstPage);
        QCOMPARE(int(back->extra), 0x37);
        // a memory read answers with the bytes read where the last values were
        s.memory = std::array<uint8_t, 8>{0x0A, 0x1B, 0, 0xFF, 0x12, 0x34, 0x56, 0x78};
        QCOMPARE(answer::buildPayload(s).mid(33, 8), hex("0A 1B 00 FF 12 34 56 78"));
    }

    void shortOrForeignFramesAreNoAnswer()
    {
        QVERIFY(!answer::parse(QByteArray(53, char(0xC0))));
        QVERIFY(!answer::parse(QByteArray(54, char(0x7E))));
        QByteArray none(54, char(0xFF));
        none[0] = char(0xC0);
        const auto s = answer::parse(none);
        QVERIFY(s);
        QCOMPARE(int(s->firstPage), int(answer::NoPage));
        QCOMPARE(int(s->lastPage), int(answer::NoPage));
        QVERIFY(!s->clock.isValid());
    }
};

QTEST_MAIN(TestCommandSet)
#include "tst_commandset.moc"
