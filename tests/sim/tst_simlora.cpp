#include "commandset.h"
#include "loraframe.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "sensoranswer.h"
#include "settings.h"
#include "simlink.h"
#include "testkit.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

using sim::Simulator;

namespace
{
uint8_t bcd(int v)
{
    return uint8_t(((v / 10) << 4) | (v % 10));
}

const command::Block readType = {0x00, 0x12, 0x00, 0x02}; // EEPROM 0002 holds the type
} // namespace

// The program's LoRa link against the simulated LoRa dongle and its sleeping sensors. One link
// serves every case; init() puts the sensors back to sleep and clears the faults.
class TestSimLora : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    int m_first = 0; // the first request of the current case

    static void open(const char *scenario, std::unique_ptr<Simulator> &sim,
                     std::unique_ptr<ManageSerialPort> &link)
    {
        QVERIFY(startSimLink(testScenario(scenario), sim, link));
        QVERIFY(sim->loraDongle());
        QCOMPARE(link->linkMode(), int(ManageSerialPort::Lora));
    }

    sim::LoraDongle &dongle() { return *m_sim->loraDongle(); }
    QVector<QByteArray> requests() const { return m_sim->loraDongle()->requests().mid(m_first); }

    QByteArray lastData() const { return ::lastData(*m_link); }

    // The dongle's radio report.
    QByteArray presence(ManageSerialPort &link)
    {
        QSignalSpy frames(&link, &ManageSerialPort::new_frame);
        link.sendApiFrame(hex("04"), 0);
        return frames.wait(1000) ? link.lastLoraFrame() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        MessageCapture capture(MessageCapture::Silent);
        open("lora-test.ini", m_sim, m_link);
        QVERIFY(capture.contains(QStringLiteral("lora detected")));
        QCOMPARE(capture.count(QStringLiteral("set conf ok")), 6);
    }

    void init()
    {
        QTRY_VERIFY(!dongle().busy() && m_sim->wire().queued() == 0);
        for (const auto &d : m_sim->fleet().devices())
            m_sim->fleet().ackDirect(d->serialNumber());
        m_sim->faults() = sim::Faults();
        m_first = dongle().requests().size();
    }

    void cleanup() { QFile::remove(settings::FileName); }

    void openSendsTheConfigurationWithAnOverrideAndEmptyKeys()
    {
        // An empty key among the first six still goes out, as a body of nothing that no dongle
        // can echo (three tries); an empty one among the last four is not sent at all.
        QFile ini(settings::FileName);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[COM]\nBR_RADIO=1000000\n[LORA]\nCONFIG0=10112233445566770000AA\nCONFIG2=\n"
                  "CONFIG6=\nCONFIG8=1000000000000000AB0100\n");
        ini.close();
        MessageCapture capture(MessageCapture::Silent);
        std::unique_ptr<Simulator> sim;
        std::unique_ptr<ManageSerialPort> link;
        open("lora-test.ini", sim, link);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(capture.count(QStringLiteral("\"tx\"")), 9);
        QCOMPARE(capture.count(QStringLiteral("set conf ok")), 6);
        QCOMPARE(capture.lines().filter(QRegularExpression(QStringLiteral("^false$"))).size(), 1);
        const QVector<QByteArray> &received = sim->loraDongle()->received();
        QCOMPARE(int(std::count(received.begin(), received.end(), QByteArray())), 3);
        QVERIFY(received.contains(hex("1000000000000000AB0100")));
        QVERIFY(!received.contains(hex("106C566693640453000000"))); // CONFIG0's default
        QCOMPARE(link->baudRate(), 115200); // a LoRa dongle's rate, whatever the radio key says
        // Nothing heard yet: the noise floor, idle.
        QCOMPARE(presence(*link), hex("11 11 00"));
        QSignalSpy frames(link.get(), &ManageSerialPort::new_frame);
        link->sendApiFrame(hex("03 00"), 1);
        QVERIFY(frames.wait(1000));
        QCOMPARE(link->lastLoraFrame(), hex("03 11 22 33 44 55 66 77 00 00 AA"));
    }

    void requestsReachSensorsThatListen_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<bool>("woken");
        QTest::addColumn<int>("preamble");
        QTest::addColumn<bool>("ok");
        QTest::newRow("awake, short preamble") << 0x1234 << true << 8 << true;
        QTest::newRow("asleep, wake-up preamble") << 0x1234 << false << 34 << true;
        QTest::newRow("asleep, preamble just short of waking") << 0x1234 << false << 33 << false;
        QTest::newRow("always listening") << 0x9001 << false << 8 << true;
        QTest::newRow("on another channel") << 0x1111 << true << 34 << false;
    }
    void requestsReachSensorsThatListen()
    {
        QFETCH(int, sn);
        QFETCH(bool, woken);
        QFETCH(int, preamble);
        QFETCH(bool, ok);
        if (woken)
            QVERIFY(m_sim->wake(uint16_t(sn)));
        QCOMPARE(m_link->sendframe(uint32_t(sn), preamble, readType, 300), ok);
        QVERIFY(!requests().isEmpty());
        QCOMPARE(requests().first().size(), lora::RequestLength);
        QCOMPARE(uint8_t(requests().first()[1]), uint8_t(preamble));
        if (!ok) {
            // Every unheard request was answered 06 00 and sent again.
            QVERIFY(requests().size() >= 2);
            return;
        }
        QCOMPARE(uint8_t(m_link->lastLoraFrame()[0]), lora::Answer);
        // The radio report carries the level of the answer just heard.
        const QByteArray report = presence(*m_link);
        QCOMPARE(report.size(), lora::PresenceLength);
        QCOMPARE(uint8_t(report[1]) - 137, -m_sim->device(uint16_t(sn))->config().rssi);
    }

    // The clock block of each attempt is stamped as it leaves, never the stale one given.
    void aSleepingSensorAnswersOnTheWakeUpPassWithTheSensorOffsets()
    {
        command::Actions a;
        a.flags = command::SetClock;
        a.clock = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        command::Block block = command::actionBlock(a);
        QVERIFY(m_link->sendLoraCommand(0x2345, block));
        const QByteArray data = lastData();
        QCOMPARE(data.size(), answer::CheckedLength);
        QCOMPARE(data.left(4), hex("C0 00 00 00"));
        QCOMPARE(uint8_t(data[answer::End]), uint8_t(0xC1));
        sim::Device *d = m_sim->device(0x2345);
        QCOMPARE(137 - uint8_t(data[answer::Extra]), d->config().rssi);
        // The normal pass went unheard; the last request had the wake-up preamble.
        QCOMPARE(uint8_t(requests().first()[1]), uint8_t(8));
        QCOMPARE(uint8_t(requests().last()[1]), uint8_t(34));
        const QDateTime now = QDateTime::currentDateTime();
        for (const QByteArray &request : requests()) {
            // Block byte 2 travels at body offset 9.
            QCOMPARE(uint8_t(request[9]), bcd(now.date().year() % 100));
            QCOMPARE(uint8_t(request[10]), bcd(now.date().month()));
        }
        const answer::Status truth = d->status(m_sim->fleet().simNowMs(), command::SensorFunction);
        // What the link stored, read with the 802.15.4 answer offsets.
        const auto parsed = answer::parse(m_link->lastFrameData(), m_link->lastFrameLength());
        QVERIFY(parsed);
        const answer::Status got = *parsed;
        QCOMPARE(got.sensorType, truth.sensorType);
        QCOMPARE(got.version, truth.version);
        QCOMPARE(got.periodCode, truth.periodCode);
        QCOMPARE(got.channelMask, truth.channelMask);
        QCOMPARE(got.pageCount, truth.pageCount);
        QCOMPARE(got.batteryIndex, truth.batteryIndex);
        QVERIFY(got.timeSet != 0);
        QVERIFY2(qAbs(got.clock.secsTo(now)) <= 1, qPrintable(got.clock.toString()));
    }

    void aRefusalMakesSendframeSendAgain()
    {
        QVERIFY(m_sim->wake(0x1234));
        m_sim->faults().refuseNext = 2;
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_link->sendframe(0x1234, 8, readType, 700));
        QCOMPARE(requests().size(), 3);
        QCOMPARE(capture.count(QStringLiteral("sendframe")), 3);
        // the whole acknowledgement, quoted: a clock in an answer may read "06 00" too
        QCOMPARE(capture.count(QStringLiteral("\"06 00 \"")), 2);
    }

    // The terminal's wake-up write has a case of its own below, on the demo fleet.
    void aParameterBlockIsConfirmedInTheNextAnswer()
    {
        QVERIFY(m_sim->wake(0x1234)); // spares the unheard normal pass
        command::Block b = command::blockFromBytes(hex("40 00 000000000000 000000000000 01 01"));
        QVERIFY(m_link->sendLoraCommand(0x1234, b));
        QCOMPARE(lastData().size(), answer::CheckedLength);
        QCOMPARE(uint8_t(lastData()[answer::ChannelMask]), uint8_t(0x01));
        // The next answer says the same.
        QVERIFY(m_link->sendLoraCommand(0x1234, readType));
        QCOMPARE(uint8_t(lastData()[answer::ChannelMask]), uint8_t(0x01));
    }

    void aLostFragmentFailsThePage_data()
    {
        QTest::addColumn<int>("lost");
        QTest::addColumn<bool>("reported");
        QTest::newRow("fragment 3") << 3 << true;
        QTest::newRow("the last fragment") << 9 << false;
    }
    void aLostFragmentFailsThePage()
    {
        QFETCH(int, lost);
        QFETCH(bool, reported);
        QVERIFY(m_sim->wake(0x0430));
        m_sim->faults().dropFragment = lost;
        MessageCapture capture(MessageCapture::Silent);
        command::Block block = command::loraPageRequest(0);
        QVERIFY(!m_link->sendLoraCommand(0x0430, block));
        const QStringList lines = capture.lines().filter(QStringLiteral("error frag: expected:"));
        QCOMPARE(lines.size(), reported ? 1 : 0);
        if (reported)
            QVERIFY2(lines[0].contains(QStringLiteral("expected:\" %1 ").arg(lost)),
                     qPrintable(lines[0]));
        // The next page request comes back whole.
        QVERIFY(m_link->sendLoraCommand(0x0430, block));
    }

    void aCorruptedAnswerIsReportedAndTheNextFrameFound()
    {
        QSignalSpy errors(m_link.get(), &ManageSerialPort::error_rx);
        m_sim->faults().corruptNext = 1;
        m_link->sendApiFrame(hex("04"), 0);
        QVERIFY(errors.wait(1000));
        QVERIFY2(m_link->loraErrorText().startsWith(QStringLiteral("bad checksum, pos7e:")),
                 qPrintable(m_link->loraErrorText()));
        QCOMPARE(presence(*m_link).size(), lora::PresenceLength);
    }

    // The demo fleet at its real air times: the terminal's wake-up write reaches 0430.
    void theDemoFleetTakesTheWakeUpWrite()
    {
        std::unique_ptr<Simulator> sim;
        std::unique_ptr<ManageSerialPort> link;
        open("lora.ini", sim, link);
        if (QTest::currentTestFailed())
            return;
        command::Block block = command::memoryWrite(0x0078, 0x64, false);
        QVERIFY(link->sendLoraCommand(0x0430, block));
        QCOMPARE(uint8_t(sim->device(0x0430)->eeprom()[0x78]), uint8_t(0x64));
        QCOMPARE(uint8_t(link->lastFrameData()[answer::SensorType]), uint8_t(13));
    }
};

QTEST_GUILESS_MAIN(TestSimLora)
#include "tst_simlora.moc"
