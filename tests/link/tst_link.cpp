#include "apiframe.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "portreconnect.h"
#include "ptypeer.h"
#include "settings.h"
#include "simlink.h"
#include "testkit.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>
#include <functional>
#include <memory>

namespace
{
QByteArray rx16(uint16_t source, const QByteArray &data)
{
    return api::rx16Frame(source, 0x28, data);
}

QByteArray sensorAnswer()
{
    FrameBuffer f;
    f.buildSensorFrame(QByteArray(49, 0x21));
    return f.toByteArray() + char(0x37);
}

void spin(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        LinkWait::pauseFor(1);
}
} // namespace

class TestLink : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<ManageSerialPort> m_link;
    std::function<void(const QByteArray &)> m_answer;
    int m_channel = 15;
    int m_loraAnswers = 0; // 0: not a LoRa dongle

    // A dongle: answers the channel query when it is an 802.15.4 one, the presence byte and
    // configuration echoes when it is a LoRa one, and hands every other frame to m_answer.
    void onFrame(const QByteArray &body)
    {
        if (body == hex("37") && m_channel) {
            m_peer->write(rx16(0x0000, QByteArray(1, 0x37) + char(m_channel)));
            return;
        }
        if (m_loraAnswers && body == hex("04")) {
            m_peer->write(api::buildFrame(hex("11 C8 05")));
            return;
        }
        if (m_loraAnswers && body.size() == 11 && body[0] == 0x10) {
            m_peer->write(api::buildFrame(body));
            return;
        }
        if (m_answer)
            m_answer(body);
    }

    void openApi()
    {
        QVERIFY(m_link->openPort(m_peer->slavePath()));
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Api802154));
        m_peer->clearFrames();
        m_peer->clearReceived();
    }

    void openLora()
    {
        m_channel = 0;
        m_loraAnswers = 1;
        QVERIFY(m_link->openPort(m_peer->slavePath()));
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Lora));
        m_peer->clearFrames();
    }

    // A LoRa dongle in front of one sensor: `accept(request)` tells what to acknowledge, then
    // the answer frames follow.
    void serveLora(std::function<QByteArray(const QByteArray &)> acknowledge,
                   std::function<QList<QByteArray>(const QByteArray &)> answers)
    {
        m_answer = [this, acknowledge, answers](const QByteArray &body) {
            if (body.size() != 30 || body[0] != 0x01)
                return;
            const QByteArray ack = acknowledge(body);
            if (ack.isEmpty())
                return;
            QList<QByteArray> frames{api::buildFrame(ack)};
            if (ack == hex("06 01"))
                for (const QByteArray &a : answers(body))
                    frames << api::buildFrame(a);
            m_peer->writeChunks(frames, 3);
        };
    }

private slots:
    void init()
    {
        QFile::remove(settings::FileName);
        m_channel = 15;
        m_loraAnswers = 0;
        m_answer = nullptr;
        m_peer = std::make_unique<PtyPeer>();
        QVERIFY(m_peer->open());
        connect(m_peer.get(), &PtyPeer::frameReceived, this, &TestLink::onFrame);
        m_link = std::make_unique<ManageSerialPort>();
    }

    void cleanup()
    {
        m_link.reset();
        m_peer.reset();
    }

    void comPortNamesGetTheDevicePrefix()
    {
        QCOMPARE(ManageSerialPort::devicePath("com7"), QStringLiteral("\\\\.\\com7"));
        QCOMPARE(ManageSerialPort::devicePath("COM12"), QStringLiteral("\\\\.\\COM12"));
        QCOMPARE(ManageSerialPort::devicePath("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(ManageSerialPort::devicePath("xcom1"), QStringLiteral("xcom1"));
    }

    void anApiDongleIsIdentifiedByItsChannel()
    {
        MessageCapture capture;
        // read once, whatever the file holds: a preamble is one byte on the wire
        writeIni(
            "[COM]\nADDRESS_API=1234\nBR_RADIO=1000000\n[LORA]\nPREAMBLE_SIZE_REVEIL=10000000\n");
        m_link->setSettings(LinkSettings::load());
        QCOMPARE(m_link->preambleSizeWakeUp(), 34);
        QVERIFY(m_link->openPort(m_peer->slavePath()));
        QCOMPARE(m_link->linkMode(), 2);
        QVERIFY(m_link->isOpen());
        QCOMPARE(m_link->baudRate(), 1000000);
        QCOMPARE(m_link->apiDestination(), uint64_t(0x1234));
        QCOMPARE(m_peer->received().left(5), hex("7E 00 01 37 C8"));
        QVERIFY(capture.lines().contains(QStringLiteral("\"chan \" 15")));
    }

    void anUnknownRateKeepsTheRateAppliedBefore()
    {
        QVERIFY(m_link->openPort(m_peer->slavePath()));
        QCOMPARE(m_link->baudRate(), 250000);
        LinkSettings s = LinkSettings::defaults();
        for (const auto &[wanted, applied] :
             {std::pair{19200, 250000}, {111111, 111111}, {115200, 111111}}) {
            s.baudRadio = wanted;
            m_link->setSettings(s);
            QVERIFY(m_link->openPort(m_peer->slavePath()));
            QCOMPARE(m_link->baudRate(), applied);
        }
    }

    void channelsOutsideElevenToTwentySixAreNotChannels()
    {
        QVERIFY(m_link->openPort(m_peer->slavePath()));
        int answers = 0;
        m_channel = 0; // answered below instead
        m_answer = [&](const QByteArray &body) {
            if (body == hex("37")) {
                const char channel = ++answers == 1 ? 10 : answers == 2 ? 27 : 26;
                m_peer->write(rx16(0, QByteArray(1, 0x37) + channel));
            }
        };
        QCOMPARE(m_link->read_chan(), 26);
        QCOMPARE(answers, 3);
    }

    void aSilentDeviceIsNoDongle()
    {
        m_channel = 0;
        MessageCapture capture;
        QVERIFY(!m_link->openPort(m_peer->slavePath()));
        QVERIFY(!m_link->isOpen());
        QCOMPARE(m_link->linkMode(), 6);
        QVERIFY(capture.contains("Error opening port"));
        // what it was asked: the channel three times, then the presence byte
        QCOMPARE(m_peer->frames().count(hex("37")), 3);
        QCOMPARE(m_peer->frames().count(hex("04")), 1);
    }

    void aMissingPortFailsWithoutChangingTheMode()
    {
        MessageCapture capture;
        QVERIFY(!m_link->openPort(m_dir.filePath("no-such-port")));
        QCOMPARE(m_link->linkMode(), 0);
        QVERIFY(capture.contains("Error opening port !"));
        QVERIFY(!m_link->sendFrame(hex("01")));
        QVERIFY(capture.contains("sendFrame : Port not open !"));
    }

    void receiveFramesArriveWhateverTheirSplitting_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<QByteArray>("data");
        const QByteArray frame = hex("7E 00 07 81 12 34 28 00 37 0F CA");
        QTest::newRow("one write") << QList<QByteArray>{frame} << 0 << hex("37 0F");
        QList<QByteArray> bytes;
        for (char c : frame)
            bytes << QByteArray(1, c);
        QTest::newRow("byte by byte") << bytes << 2 << hex("37 0F");
        // the tail comes after the 40 ms wait but within its extensions
        QTest::newRow("late tail")
            << QList<QByteArray>{frame.left(5), frame.mid(5)} << 70 << hex("37 0F");
        QTest::newRow("truncated") << QList<QByteArray>{frame.left(8)} << 0 << QByteArray();
        QTest::newRow("huge length")
            << QList<QByteArray>{hex("7E FF F0 81 00 01 02 03")} << 0 << QByteArray();
    }
    void receiveFramesArriveWhateverTheirSplitting()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(int, gapMs);
        QFETCH(QByteArray, data);
        openApi();
        m_link->setReceiveTimeout(40);
        m_peer->writeChunks(chunks, gapMs);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_link->receiveApiFrame(0xFFFF), data);
        // at most the wait and nine 10 ms extensions, with room for a slow machine
        QVERIFY(clock.elapsed() < 40 + 90 + 400);
        if (!data.isEmpty()) {
            QCOMPARE(m_link->lastSourceAddress(), uint16_t(0x1234));
            QCOMPARE(m_link->lastRssi(), 40);
        }
    }

    // A dongle may hand over two radio events in one read: the second waits for the next
    // receive, unless the input is flushed.
    void theSecondFrameOfOneReadWaitsForTheNextReceive()
    {
        openApi();
        const QByteArray first = rx16(0x1234, hex("31 01"));
        const QByteArray second = rx16(0x1234, hex("32 02"));
        for (bool flush : {false, true}) {
            m_peer->write(first + second);
            spin(20); // both in the driver before the read
            QCOMPARE(m_link->receiveApiFrame(0xFFFF), hex("31 01"));
            if (flush)
                m_link->flushInput();
            QCOMPARE(m_link->receiveApiFrame(0xFFFF), flush ? QByteArray() : hex("32 02"));
        }
    }

    // A click or a timer may try an exchange in the middle of another one's wait.
    void anExchangeStartedInsideAWaitIsRefused()
    {
        openApi();
        MessageCapture capture;
        QSignalSpy busy(m_link.get(), &ManageSerialPort::busyChanged);
        int nested = -1;
        QTimer::singleShot(10, this, [&] {
            QVERIFY(m_link->isBusy());
            nested = m_link->read_chan();
        });
        m_peer->writeLater(rx16(0x1234, hex("31 01")), 60);
        m_link->setReceiveTimeout(500);
        QCOMPARE(m_link->receiveApiFrame(0xFFFF), hex("31 01"));
        QCOMPARE(nested, 0);
        QCOMPARE(capture.count("link busy, refused :\" \"read_chan\""), 1);
        QCOMPARE(m_peer->frames().count(hex("37")), 0);
        QCOMPARE(busy.count(), 2);
        QCOMPARE(busy[0][0].toBool(), true);
        QCOMPARE(busy[1][0].toBool(), false);
        QVERIFY(!m_link->isBusy());
    }

    void aFrameFromAnotherSourceIsRejected()
    {
        openApi();
        MessageCapture capture;
        m_peer->write(rx16(0x1234, hex("37 0F")));
        QVERIFY(m_link->receiveApiFrame(0x0001).isEmpty());
        QVERIFY(capture.contains("error address, read adress : "));
        QCOMPARE(m_link->lastSourceAddress(), uint16_t(0));
    }

    void sensorAnswersAreClassifiedByTheirFirstByte_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("result");
        QTest::newRow("sensor frame") << sensorAnswer() << 1;
        QTest::newRow("rssi list") << hex("31 01 02") << 2;
        QTest::newRow("relay list ack") << hex("32") << 3;
        QTest::newRow("relay channel") << hex("46 0F") << 4;
        QTest::newRow("firmware ack") << hex("88") << 5;
        FrameBuffer shortFrame;
        shortFrame.buildSensorFrame(QByteArray(16, 0x21));
        QTest::newRow("20-byte sensor frame") << shortFrame.toByteArray() << 0;
        QTest::newRow("other byte") << hex("55 01") << 0;
        QTest::newRow("nothing") << QByteArray() << 0;
    }
    void sensorAnswersAreClassifiedByTheirFirstByte()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, result);
        openApi();
        MessageCapture capture;
        QSignalSpy ok(m_link.get(), &ManageSerialPort::noErrorCom);
        for (int round = 0; round < 2; ++round) {
            if (!data.isEmpty())
                m_peer->write(rx16(0x4321, data));
            QCOMPARE(m_link->receiveSensorAnswer(0x4321), result);
        }
        // the first good answer after construction says so once
        QCOMPARE(ok.count(), result ? 1 : 0);
        if (QByteArray(QTest::currentDataTag()) == "20-byte sensor frame")
            QVERIFY(capture.lines().contains(
                QStringLiteral("\"write validation auto : error nb \" 3")));
        if (result == 1) {
            QCOMPARE(m_link->lastFrameLength(), 54);
            QCOMPARE(m_link->lastFrameData()[53], uint8_t(0x37));
            QCOMPARE(m_link->lastFrameDataLength(), 41);
        }
    }

    void pageFramesAreTakenFromTheSharedBuffer_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("diagnostic");
        QByteArray two(api::TwoPageLength - 5, 0x11);
        QByteArray one(api::OnePageLength - 5, 0x22);
        QTest::newRow("two pages") << rx16(0x1234, two) << 1 << QString();
        QTest::newRow("one page") << rx16(0x1234, one) << 4 << QString();
        QTest::newRow("sensor frame instead") << rx16(0x1234, sensorAnswer()) << 2 << QString();
        QTest::newRow("short bad sensor frame") << rx16(0x1234, hex("C0 01 C1")) << 0 << QString();
        // A relay's RSSI list during a download: no damage, and no page.
        QTest::newRow("rssi list") << rx16(0x8001, hex("31 01 10 03 37")) << 6 << QString();
        QTest::newRow("missing 7E") << hex("41 00 00 00") << 3 << "missing 7E";
        QTest::newRow("never completes") << rx16(0x1234, one).left(300) << 3 << QString();
        QTest::newRow("nothing") << QByteArray() << 0 << "timeout";
        QTest::newRow("other source") << rx16(0x9999, two) << 3 << "error address, read adress : ";
        QByteArray broken = rx16(0x1234, two);
        broken[500] = char(broken[500] ^ 0x01);
        QTest::newRow("bad checksum") << broken << 3 << "Bad CS, computed CS : ";
        QByteArray wrongId = rx16(0x1234, one);
        wrongId[3] = 0x55;
        QTest::newRow("wrong identifier") << wrongId << 3 << "wrong command 0x81";
        QTest::newRow("length beyond any buffer") << hex("7E F0 00 81") << 3 << "too large";
    }
    void pageFramesAreTakenFromTheSharedBuffer()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, result);
        QFETCH(QString, diagnostic);
        openApi();
        MessageCapture capture;
        // Nothing but the receive pulls the bytes in, as in a download: its wait must end as
        // each piece comes, or the frame is still unread when the deadline passes.
        if (!bytes.isEmpty())
            m_peer->writeChunks({bytes.left(100), bytes.mid(100)}, 5);
        QCOMPARE(m_link->receivePageFrame(0x1234, 150), result);
        if (!diagnostic.isEmpty())
            QVERIFY2(capture.contains(diagnostic), qPrintable(capture.lines().join('\n')));
        if (result == 1 || result == 4) {
            QCOMPARE(m_link->lastFrameLength(),
                     (result == 1 ? api::TwoPageLength : api::OnePageLength) - 5);
            QCOMPARE(m_link->lastSourceAddress(), uint16_t(0x1234));
        }
        if (result == 6)
            QCOMPARE(m_link->lastSourceAddress(), uint16_t(0x8001));
    }

    // An exchange asks again while no fitting answer comes: an acknowledgement three times, a
    // marker four, the dongle's version three.
    void exchangesAskAgainUntilAnswered_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("answeredAt"); // the ask that is answered; 0: none, -1: every one
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("asked");
        QTest::newRow("acknowledgement") << hex("AA 01") << rx16(0x42, hex("88")) << 2 << 1 << 2;
        QTest::newRow("acknowledgement with more bytes")
            << hex("AA 01") << rx16(0x42, hex("88 00")) << -1 << 0 << 3;
        QTest::newRow("marker") << hex("53 33") << hex("00 01 DA 02") << 4 << 1 << 4;
        QTest::newRow("no marker") << hex("53 33") << QByteArray() << 0 << 0 << 4;
        QTest::newRow("version: one raw byte")
            << hex("A1") << QByteArray(1, char(104)) << 1 << 104 << 1;
        QTest::newRow("no version") << hex("A1") << QByteArray() << 0 << 0 << 3;
    }
    void exchangesAskAgainUntilAnswered()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(int, answeredAt);
        QFETCH(int, result);
        QFETCH(int, asked);
        openApi();
        int requests = 0;
        m_answer = [&](const QByteArray &body) {
            if (body == request && (++requests == answeredAt || answeredAt < 0))
                m_peer->write(answer);
        };
        const int got = request == hex("AA 01")   ? int(m_link->sendAndWaitAck(request, 0x0042))
                        : request == hex("53 33") ? int(m_link->sendAndWaitMarker(request))
                                                  : int(m_link->readDongleVersion());
        QCOMPARE(got, result);
        QCOMPARE(requests, asked);
        QCOMPARE(m_link->receiveTimeout(), 40); // the wait is back as it was
    }

    void sensorCommandsGoDirectOrThroughARelay()
    {
        openApi();
        const command::Block block = {0x03, 0x03, 0x26, 0x12, 0x06, 0x16, 0x39, 0x00};
        QVERIFY(m_link->sendSensorCommand(0x00005678, 0x0F, block, 0));
        QVERIFY(m_link->sendSensorCommand(0x00005678, 0x0F, block, 0x8001));
        QVERIFY(m_peer->waitForReceived(1, 500));
        spin(20);
        const QList<QByteArray> frames = m_peer->frames();
        QCOMPARE(frames.size(), 2);
        FrameBuffer expected;
        expected.buildSensorFrame(api::sensorCommandPayload(0x5678, 0x0F, block));
        QCOMPARE(frames[0], hex("01 00 56 78 01") + expected.toByteArray());
        QCOMPARE(frames[1], hex("51 56 78 80 01") + expected.toByteArray());
    }

    void flushingDropsPendingAndSharedBytes()
    {
        openApi();
        m_peer->write(hex("01 02 03"));
        spin(20);
        m_link->refresh_serial();
        m_peer->write(hex("04 05"));
        spin(20);
        m_link->flushInput();
        m_peer->write(rx16(1, hex("31")));
        QCOMPARE(m_link->receiveApiFrame(0xFFFF), hex("31"));
    }

    void unpluggingIsReportedOnceAndClosesThePort()
    {
        openApi();
        QSignalSpy closed(m_link.get(), &ManageSerialPort::comclose);
        QSignalSpy changed(m_link.get(), &ManageSerialPort::com_change);
        // the device goes away in the middle of a long receive: the wait ends there
        m_link->setReceiveTimeout(5000);
        QTimer::singleShot(50, this, [this] { m_peer->close(); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_link->receiveApiFrame(0xFFFF).isEmpty());
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 2000);
        QCOMPARE(changed.count(), 1);
        QVERIFY(!m_link->isOpen());
        spin(50);
        QCOMPARE(closed.count(), 1);
    }

    void aLostPortIsTriedAFewTimesEachTimeItComesBack_data()
    {
        QTest::addColumn<QString>(
            "presence"); // one look a tick: '#' there, '.' not; the last stays
        QTest::addColumn<int>("attempts");
        QTest::newRow("back at once") << "#" << 3;
        QTest::newRow("away a while, then back") << "...#" << 3;
        QTest::newRow("back for a moment") << ".#." << 1;
        QTest::newRow("back, away, back again") << "##..#" << 5;
        QTest::newRow("never back") << "." << 0;
    }
    void aLostPortIsTriedAFewTimesEachTimeItComesBack()
    {
        QFETCH(QString, presence);
        QFETCH(int, attempts);
        openApi();
        PortReconnect reconnect(m_link.get(), nullptr, 5);
        reconnect.watch(QStringLiteral("dongle"));
        int looks = 0;
        reconnect.setPresence([&](const QString &port) {
            const int at = std::min(looks++, int(presence.size()) - 1);
            return port == QLatin1String("dongle") && presence[at] == QLatin1Char('#');
        });
        QSignalSpy lost(&reconnect, &PortReconnect::portLost);
        QSignalSpy back(&reconnect, &PortReconnect::portBack);
        // another device comes while ours stays: nothing was lost
        m_link->onDeviceAttached(QSerialPortInfo());
        QCOMPARE(lost.count(), 0);
        m_peer->close();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 2000);
        QCOMPARE(lost.first().first().toString(), QStringLiteral("dongle"));
        // nobody reopens it here: it stays lost, and a present port is not tried for ever
        QTRY_VERIFY_WITH_TIMEOUT(looks > presence.size() + 5, 2000);
        QCOMPARE(back.count(), attempts);
        QCOMPARE(reconnect.lostPort(), QStringLiteral("dongle"));
    }

    void portListChangesReachTheWindowsInOrder()
    {
        QStringList order;
        connect(m_link.get(), &ManageSerialPort::com_change, this, [&] { order << "change"; });
        connect(m_link.get(), &ManageSerialPort::comclose, this, [&] { order << "close"; });
        m_link->onDeviceAttached(QSerialPortInfo());
        QCOMPARE(order, QStringList{"change"});
        order.clear();
        m_link->onDeviceRemoved(QSerialPortInfo());
        QCOMPARE(order, (QStringList{"change", "close"}));
    }

    void randomBytesEndEveryReceiveInItsTime()
    {
        openApi();
        MessageCapture capture(MessageCapture::Silent);
        QRandomGenerator rng(7);
        QTimer refresh;
        connect(&refresh, &QTimer::timeout, m_link.get(), &ManageSerialPort::refresh_serial);
        for (int round = 0; round < 20; ++round) {
            QByteArray noise(int(rng.bounded(1, 600)), 0);
            for (char &c : noise)
                c = char(rng.bounded(256));
            m_peer->write(noise);
            QElapsedTimer clock;
            clock.start();
            const int answer = m_link->receiveSensorAnswer(0xFFFF);
            QVERIFY(answer >= 0 && answer <= 5);
            refresh.start(5);
            const int page = m_link->receivePageFrame(0xFFFF, 50);
            refresh.stop();
            QVERIFY(page >= 0 && page <= 4);
            QVERIFY(clock.elapsed() < 2000);
            m_link->flushInput();
        }
    }

    void loraAnswersAreStoredAtTheSensorOffsets_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("answer") << hex("02 37 AA BB") << hex("C0 00 00 00 02 37 AA BB 37");
        // nothing to repeat: the radio's "no extra byte" value instead of a read past the end
        QTest::newRow("one byte") << hex("02") << hex("C0 00 00 00 02 FF");
    }
    void loraAnswersAreStoredAtTheSensorOffsets()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, stored);
        openLora();
        serveLora([](const QByteArray &) { return hex("06 01"); },
                  [answer](const QByteArray &) { return QList<QByteArray>{answer}; });
        const command::Block block = {0x02, 0x05};
        QVERIFY(m_link->sendLoraCommand(0x00001234, block));
        const QByteArray request = m_peer->frames().last();
        QCOMPARE(request.left(8), hex("01 08 00 00 12 34 0F 02"));
        QCOMPARE(request.mid(8, 15),
                 QByteArray(reinterpret_cast<const char *>(block.data()) + 1, 15));
        QCOMPARE(request.right(7), QByteArray(7, 0));
        QCOMPARE(lastData(*m_link), stored);
    }

    void framingErrorsReachTheWindowsAndFramesComeOnePerTick()
    {
        openLora();
        QSignalSpy errors(m_link.get(), &ManageSerialPort::error_rx);
        QSignalSpy frames(m_link.get(), &ManageSerialPort::new_frame);
        m_peer->write(hex("7E 00 42 01 02 03"));
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 1000);
        QVERIFY(m_link->loraErrorText().startsWith("Error : frame size > 65 or 0;pos7e:0"));
        m_peer->write(api::buildFrame(hex("11 50 0A")) + api::buildFrame(hex("02 01 21 00 00")));
        QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 2, 1000);
        QCOMPARE(m_link->lastLoraFrame(), hex("02 01 21 00 00"));
        QCOMPARE(errors.count(), 1);

        // A long run of broken frames costs what reading it costs: each error shows a few
        // dozen bytes, and only a few errors of one read are written out.
        MessageCapture capture(MessageCapture::Silent);
        QByteArray burst;
        for (int i = 0; i < 64 * 1024 / 3; ++i)
            burst += hex("7E 00 00");
        QList<QByteArray> chunks;
        for (int at = 0; at < burst.size(); at += 3000)
            chunks << burst.mid(at, 3000);
        m_peer->writeChunks(chunks << api::buildFrame(hex("11 50 0B")), 2);
        QTRY_COMPARE_WITH_TIMEOUT(m_link->lastLoraFrame(), hex("11 50 0B"), 20000);
        int volume = 0;
        for (const QString &line : capture.lines())
            volume += line.size();
        QVERIFY2(volume < burst.size() / 2, qPrintable(QString::number(volume)));
        QVERIFY(m_link->loraErrorText().size() < 200);
    }

    // Quitting while a transaction waits for a sensor that never answers: its nested event
    // loops return at once from then on, and the wait must end instead of spinning.
    void quittingEndsALoraTransactionPromptly()
    {
        openLora();
        QElapsedTimer clock;
        clock.start();
        qint64 quitAt = -1;
        qint64 endedAt = -1;
        bool result = true;
        QTimer::singleShot(0, this, [&] {
            const command::Block block = {0x02};
            result = m_link->sendLoraCommand(0x1234, block);
            endedAt = clock.elapsed();
        });
        QTimer::singleShot(400, this, [&] {
            quitAt = clock.elapsed();
            QCoreApplication::quit();
        });
        QCoreApplication::exec();
        QVERIFY(!result);
        QVERIFY(quitAt > 0);
        QVERIFY2(endedAt >= quitAt && endedAt - quitAt < 200,
                 qPrintable(QStringLiteral("quit %1, ended %2").arg(quitAt).arg(endedAt)));
    }

    // The wake-up preamble keeps the radio busy for 7236 ms: the request is sent again only
    // once that window has wholly passed, never a few percent early.
    void theWakeUpAcknowledgementWindowNeverEndsEarly()
    {
        openLora();
        MessageCapture capture;
        const command::Block block = {0x02};
        // the overall time-out leaves room for exactly one more attempt, even on a loaded machine
        QVERIFY(!m_link->sendframe(0x1234, 34, block, 8500));
        QList<qint64> sent;
        for (const QString &line : capture.lines())
            if (line.contains(QStringLiteral("\"sendframe\"")))
                sent << line.section(' ', 0, 0).toLongLong();
        QCOMPARE(sent.size(), 2);
        QVERIFY2(sent[1] - sent[0] >= 7236, qPrintable(QString::number(sent[1] - sent[0])));
    }

    // Nothing reads an idle 802.15.4 link; noise must not pile up in it meanwhile.
    void noiseOnAnIdleLinkIsDropped()
    {
        openApi();
        MessageCapture capture(MessageCapture::Silent);
        QRandomGenerator rng(11);
        QList<QByteArray> noise; // 25 KB a second for three seconds
        for (int chunk = 0; chunk < 30; ++chunk) {
            QByteArray bytes(2500, 0);
            for (char &c : bytes)
                c = char(rng.bounded(256));
            noise << bytes;
        }
        m_peer->writeChunks(noise, 100);
        for (int second = 0; second < 3; ++second) {
            spin(1000);
            QVERIFY2(m_link->bufferedBytes() <= 4096,
                     qPrintable(QString::number(m_link->bufferedBytes())));
        }
        QTRY_COMPARE_WITH_TIMEOUT(capture.count("bytes no exchange was waiting for"), 1, 3000);
        // a frame that came meanwhile is still there for the next receive
        m_peer->write(rx16(0x1234, hex("31 07")));
        spin(1100);
        QCOMPARE(m_link->receiveApiFrame(0xFFFF), hex("31 07"));
    }

    // A dongle that hands over the RSSI lists of the dongle and of the relay in one write.
    void framesHeardTogetherAreAllReceived()
    {
        sim::Scenario scenario = testScenario();
        scenario.dongle.backToBack = true;
        std::unique_ptr<sim::Simulator> simulator;
        QVERIFY(startSimLink(scenario, simulator, m_link));
        QTRY_COMPARE(simulator->wire().queued(), 0);
        m_link->flushInput();
        QVERIFY(m_link->sendApiFrame(hex("31 FF FF"), 0));
        QCOMPARE(m_link->receiveSensorAnswer(0xFFFF), int(ManageSerialPort::AnswerRssiLists));
        QCOMPARE(m_link->lastSourceAddress(), uint16_t(0));
        QCOMPARE(m_link->receiveSensorAnswer(0xFFFF), int(ManageSerialPort::AnswerRssiLists));
        QCOMPARE(m_link->lastSourceAddress(), uint16_t(0x8001));
    }
};

QTEST_MAIN(TestLink)
#include "tst_link.moc"
