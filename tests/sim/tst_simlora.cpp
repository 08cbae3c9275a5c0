#include "apiframe.h"
#include "commandset.h"
#include "loraframe.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "page.h"
#include "sensoranswer.h"
#include "settings.h"
#include "simulator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using sim::Simulator;

// A failed start leaves nothing to test against.
#define START()                                                                                    \
    do {                                                                                           \
        start();                                                                                   \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (0)

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

uint8_t bcd(int v)
{
    return uint8_t(((v / 10) << 4) | (v % 10));
}
} // namespace

// The program's LoRa link against the simulated LoRa dongle and its sleeping sensors.
class TestSimLora : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;

    void writeIni(const QByteArray &text)
    {
        QFile f(settings::FileName);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }

    void start()
    {
        const sim::ScenarioResult r =
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/lora-test.ini"));
        QVERIFY2(r.ok(), qPrintable(r.errors.join('\n')));
        m_link.reset();
        m_sim = std::make_unique<Simulator>(r.scenario);
        QVERIFY(m_sim->loraDongle());
        QVERIFY(m_sim->open());
        m_link = std::make_unique<ManageSerialPort>();
        QVERIFY(m_link->openPort(m_sim->slavePath()));
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Lora));
    }

    sim::LoraDongle &dongle() { return *m_sim->loraDongle(); }

    QByteArray lastData() const
    {
        return QByteArray(reinterpret_cast<const char *>(m_link->lastFrameData()),
                          m_link->lastFrameLength());
    }

    // What the link stored, read with the 802.15.4 answer offsets.
    answer::Status stored()
    {
        const auto s = answer::parse(m_link->lastFrameData(), m_link->lastFrameLength());
        return s ? *s : answer::Status();
    }

    static command::Block clockBlock(const QDateTime &when)
    {
        command::Actions a;
        a.flags = command::SetClock;
        a.clock = when;
        return command::actionBlock(a);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
    }

    void init() { QFile::remove(settings::FileName); }

    void cleanup()
    {
        m_link.reset();
        m_sim.reset();
    }

    void openDetectsTheDongleAndSendsItsConfiguration_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("sent");         // "tx" lines: frames sent, tries included
        QTest::addColumn<int>("echoed");       // "set conf ok"
        QTest::addColumn<int>("failed");       // "false"
        QTest::addColumn<QByteArray>("radio"); // what 03 00 reads back after the open
        QTest::newRow("defaults") << QByteArray() << 6 << 6 << 0
                                  << hex("03 6C 56 66 93 64 04 53 00 00 00");
        QTest::newRow("override and extra keys")
            << QByteArray(
                   "[LORA]\nCONFIG0=10112233445566770000AA\nCONFIG8=1000000000000000AB0100\n")
            << 7 << 7 << 0 << hex("03 11 22 33 44 55 66 77 00 00 AA");
        // An empty key among the first six still goes out, as a body of nothing that no dongle
        // can echo; an empty one among the last four is not sent at all.
        QTest::newRow("empty keys") << QByteArray("[LORA]\nCONFIG2=\nCONFIG6=\n") << 8 << 5 << 1
                                    << hex("03 6C 56 66 93 64 04 53 00 00 00");
    }

    void openDetectsTheDongleAndSendsItsConfiguration()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, sent);
        QFETCH(int, echoed);
        QFETCH(int, failed);
        QFETCH(QByteArray, radio);
        if (!ini.isEmpty())
            writeIni(ini);
        MessageCapture capture(MessageCapture::Silent);
        START();
        QVERIFY(capture.contains(QStringLiteral("lora detected")));
        QCOMPARE(capture.count(QStringLiteral("\"tx\"")), sent);
        QCOMPARE(capture.count(QStringLiteral("set conf ok")), echoed);
        QCOMPARE(capture.lines().filter(QRegularExpression(QStringLiteral("^false$"))).size(),
                 failed);
        const int empties =
            int(std::count(dongle().received().begin(), dongle().received().end(), QByteArray()));
        QCOMPARE(empties, failed * 3);

        QSignalSpy frames(m_link.get(), &ManageSerialPort::new_frame);
        m_link->sendApiFrame(hex("03 00"), 1);
        QVERIFY(frames.wait(1000));
        QCOMPARE(m_link->lastLoraFrame(), radio);
    }

    void presenceReportsTheLastSignal()
    {
        START();
        QSignalSpy frames(m_link.get(), &ManageSerialPort::new_frame);
        m_link->sendApiFrame(hex("04"), 0);
        QVERIFY(frames.wait(1000));
        // Nothing heard yet: the noise floor.
        QCOMPARE(m_link->lastLoraFrame(), hex("11 11 00"));

        QVERIFY(m_sim->wake(0x1234));
        uint8_t block[17] = {0x00, 0x12, 0x00, 0x02};
        QVERIFY(m_link->sendframe(0x1234, 8, block, 700));
        m_link->sendApiFrame(hex("04"), 0);
        QVERIFY(QTest::qWaitFor([&] { return m_link->lastLoraFrame().startsWith(char(0x11)); }));
        QCOMPARE(uint8_t(m_link->lastLoraFrame()[1]) - 137, -40);
    }

    void requestsReachSensorsThatListen_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<bool>("woken");
        QTest::addColumn<int>("preamble");
        QTest::addColumn<bool>("ok");
        QTest::newRow("awake, short preamble") << 0x1234 << true << 8 << true;
        QTest::newRow("asleep, short preamble") << 0x1234 << false << 8 << false;
        QTest::newRow("asleep, wake-up preamble") << 0x1234 << false << 34 << true;
        QTest::newRow("asleep, preamble just short of waking") << 0x1234 << false << 33 << false;
        QTest::newRow("always listening") << 0x9001 << false << 8 << true;
        QTest::newRow("out of reach") << 0x1111 << true << 34 << false;
    }

    void requestsReachSensorsThatListen()
    {
        QFETCH(int, sn);
        QFETCH(bool, woken);
        QFETCH(int, preamble);
        QFETCH(bool, ok);
        START();
        if (woken)
            QVERIFY(m_sim->wake(uint16_t(sn)));
        uint8_t block[17] = {0x00, 0x12, 0x00, 0x02}; // read the type from EEPROM
        QCOMPARE(m_link->sendframe(uint32_t(sn), preamble, block, 700), ok);
        QVERIFY(!dongle().requests().isEmpty());
        const QByteArray first = dongle().requests().first();
        QCOMPARE(first.size(), lora::RequestLength);
        QCOMPARE(uint8_t(first[1]), uint8_t(preamble));
        if (ok) {
            QCOMPARE(uint8_t(m_link->lastLoraFrame()[0]), lora::Answer);
        } else {
            // Every unheard request was answered 06 00 and sent again.
            QVERIFY(dongle().requests().size() >= 2);
        }
    }

    void aSleepingSensorAnswersOnTheWakeUpPassWithTheSensorOffsets()
    {
        START();
        uint8_t block[17] = {0x00, 0x12, 0x00, 0x02};
        QVERIFY(m_link->sendLoraCommand(0x2345, block));
        const QByteArray data = lastData();
        QCOMPARE(data.size(), answer::CheckedLength);
        QCOMPARE(data.left(4), hex("C0 00 00 00"));
        QCOMPARE(uint8_t(data[answer::End]), uint8_t(0xC1));
        QCOMPARE(137 - uint8_t(data[answer::Extra]), 91);
        // The normal pass went unheard; the last request had the wake-up preamble.
        QCOMPARE(uint8_t(dongle().requests().first()[1]), uint8_t(8));
        QCOMPARE(uint8_t(dongle().requests().last()[1]), uint8_t(34));

        sim::Device *d = m_sim->device(0x2345);
        const answer::Status truth = d->status(m_sim->fleet().simNowMs(), command::SensorFunction);
        const answer::Status got = stored();
        QCOMPARE(got.sensorType, uint8_t(3));
        QCOMPARE(got.version, truth.version);
        QCOMPARE(got.periodCode, truth.periodCode);
        QCOMPARE(got.channelMask, truth.channelMask);
        QCOMPARE(got.pageCount, truth.pageCount);
        QCOMPARE(got.batteryIndex, truth.batteryIndex);
        QCOMPARE(uint8_t(data[answer::MemoryBytes]), uint8_t(3)); // EEPROM 0002: the type
        QVERIFY(qAbs(got.clock.secsTo(QDateTime::currentDateTime())) <= 2);
    }

    void aRefusalMakesSendframeSendAgain()
    {
        START();
        QVERIFY(m_sim->wake(0x1234));
        m_sim->faults().refuseNext = 2;
        uint8_t block[17] = {0x00, 0x12, 0x00, 0x02};
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_link->sendframe(0x1234, 8, block, 700));
        QCOMPARE(dongle().requests().size(), 3);
        QCOMPARE(capture.count(QStringLiteral("sendframe")), 3);
        QCOMPARE(capture.count(QStringLiteral("06 00")), 2);
    }

    void aStopRequestEndsTheWait()
    {
        START();
        // Nobody ever takes it: without the stop the wake-up pass would go on for 65 s.
        QTimer::singleShot(900, m_link.get(), &ManageSerialPort::requestStop);
        QElapsedTimer clock;
        clock.start();
        uint8_t block[17] = {0x00, 0x12, 0x00, 0x02};
        QVERIFY(!m_link->sendLoraCommand(0x1111, block));
        QVERIFY(m_link->stopRequested());
        QVERIFY2(clock.elapsed() < 10000, "the stop did not end the wait");
        QCOMPARE(uint8_t(dongle().requests().last()[1]), uint8_t(34));
    }

    void everyAttemptCarriesTheClockOfItsOwnSending()
    {
        START();
        const QDateTime stale(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        command::Block block = clockBlock(stale);
        QVERIFY(m_link->sendLoraCommand(0x2345, block.data()));
        const QVector<QByteArray> &requests = dongle().requests();
        QVERIFY(requests.size() >= 2);
        const QDateTime now = QDateTime::currentDateTime();
        for (const QByteArray &request : requests) {
            // Block byte 2 travels at body offset 9; not one attempt carries the stale clock.
            const QByteArray sent = request.mid(9, 6);
            QCOMPARE(uint8_t(sent[0]), bcd(now.date().year() % 100));
            QCOMPARE(uint8_t(sent[1]), bcd(now.date().month()));
        }
        const answer::Status got = stored();
        QVERIFY(got.timeSet != 0);
        QVERIFY2(qAbs(got.clock.secsTo(QDateTime::currentDateTime())) <= 1,
                 qPrintable(got.clock.toString()));
    }

    void aParameterBlockIsConfirmedInTheNextAnswer_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("value"); // -1: EEPROM 0078 of the device holds 0x64
        QTest::addColumn<bool>("lasting");
        QTest::newRow("period") << 0x1234 << hex("02 05") << answer::PeriodCode << 5 << true;
        QTest::newRow("channels") << 0x1234 << hex("40 00 000000000000 000000000000 01 01")
                                  << answer::ChannelMask << 0x01 << true;
        QTest::newRow("channels of another type refused")
            << 0x1234 << hex("40 00 000000000000 000000000000 01 02") << answer::ChannelMask << 0x03
            << true;
        QTest::newRow("clear") << 0x2345 << hex("04") << answer::FirstPage
                               << int(answer::ClearedMark) << false;
        QTest::newRow("wake-up write")
            << 0x0430 << hex("00 13 00 78 64 00") << answer::MemoryBytes << -1 << false;
        QTest::newRow("RAM read") << 0x9001 << hex("00 14 00 00") << answer::SensorType << 6
                                  << true;
    }

    void aParameterBlockIsConfirmedInTheNextAnswer()
    {
        QFETCH(int, sn);
        QFETCH(QByteArray, block);
        QFETCH(int, offset);
        QFETCH(int, value);
        QFETCH(bool, lasting);
        START();
        command::Block b = command::blockFromBytes(block);
        QVERIFY(m_link->sendLoraCommand(uint32_t(sn), b.data()));
        const QByteArray data = lastData();
        QCOMPARE(data.size(), answer::CheckedLength);
        if (value >= 0)
            QCOMPARE(uint8_t(data[offset]), uint8_t(value));
        else
            QCOMPARE(uint8_t(m_sim->device(uint16_t(sn))->eeprom()[0x78]), uint8_t(0x64));
        // The next answer says the same.
        uint8_t read[17] = {0x00, 0x12, 0x00, 0x02};
        QVERIFY(m_link->sendLoraCommand(uint32_t(sn), read));
        if (lasting)
            QCOMPARE(uint8_t(lastData()[offset]), uint8_t(value));
    }

    void aPageComesBackInTenFragments_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<int>("which"); // 0 first recorded page, 1 last, 2 the one before
        QTest::newRow("first") << 0x2345 << 0;
        QTest::newRow("last, still being written") << 0x2345 << 1;
        QTest::newRow("middle") << 0x1234 << 2;
    }

    void aPageComesBackInTenFragments()
    {
        QFETCH(int, sn);
        QFETCH(int, which);
        START();
        sim::Device *d = m_sim->device(uint16_t(sn));
        const int last = d->memory().newestPage();
        const int pageNumber = which == 0 ? d->memory().oldestPage() : which == 1 ? last : last - 1;
        QVERIFY(pageNumber >= 0);
        command::Block block = command::loraPageRequest(uint16_t(pageNumber));
        QVERIFY(m_link->sendLoraCommand(uint32_t(sn), block.data()));
        const QByteArray data = lastData();
        QCOMPARE(data.size(), lora::FragmentHeader + lora::Fragments * lora::FragmentData);
        QCOMPARE(uint8_t(data[0]), lora::Answer);
        QCOMPARE((uint8_t(data[3]) << 8) | uint8_t(data[4]), pageNumber);
        d->catchUp(m_sim->fleet().simNowMs());
        QCOMPARE(data.mid(lora::FragmentHeader, page::Size), d->memory().pageBytes(pageNumber));
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
        START();
        m_sim->faults().dropFragment = lost;
        MessageCapture capture(MessageCapture::Silent);
        command::Block block = command::loraPageRequest(0);
        QVERIFY(!m_link->sendLoraCommand(0x0430, block.data()));
        const QStringList lines = capture.lines().filter(QStringLiteral("error frag: expected:"));
        QCOMPARE(lines.size(), reported ? 1 : 0);
        if (reported)
            QVERIFY2(lines[0].contains(QStringLiteral("expected:\" %1 ").arg(lost)),
                     qPrintable(lines[0]));
        // The next page request comes back whole.
        QVERIFY(m_link->sendLoraCommand(0x0430, block.data()));
    }

    // The demo fleet at its real air times: the terminal's wake-up write reaches 0430.
    void theDemoFleetTakesTheWakeUpWrite()
    {
        const sim::ScenarioResult r =
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/lora.ini"));
        QVERIFY2(r.ok(), qPrintable(r.errors.join('\n')));
        m_sim = std::make_unique<Simulator>(r.scenario);
        QVERIFY(m_sim->open());
        m_link = std::make_unique<ManageSerialPort>();
        QVERIFY(m_link->openPort(m_sim->slavePath()));
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Lora));
        command::Block block = command::memoryWrite(0x0078, 0x64, false);
        QVERIFY(m_link->sendLoraCommand(0x0430, block.data()));
        QCOMPARE(uint8_t(m_sim->device(0x0430)->eeprom()[0x78]), uint8_t(0x64));
        QCOMPARE(uint8_t(lastData()[answer::SensorType]), uint8_t(13));
    }

    void framingErrorsAreReported_data()
    {
        QTest::addColumn<bool>("corrupt");
        QTest::addColumn<QString>("text");
        QTest::newRow("corrupted answer") << true << QStringLiteral("bad checksum, pos7e:");
        QTest::newRow("length above 65")
            << false << QStringLiteral("Error : frame size > 65 or 0;pos7e:0");
    }

    void framingErrorsAreReported()
    {
        QFETCH(bool, corrupt);
        QFETCH(QString, text);
        START();
        QSignalSpy errors(m_link.get(), &ManageSerialPort::error_rx);
        if (corrupt) {
            m_sim->faults().corruptNext = 1;
            m_link->sendApiFrame(hex("04"), 0);
        } else {
            m_sim->wire().sendRaw(hex("7E 00 42 01 02 03"), QStringLiteral("noise"));
        }
        QVERIFY(errors.wait(1000));
        QVERIFY2(m_link->loraErrorText().startsWith(text), qPrintable(m_link->loraErrorText()));
        // The link finds the next frame again.
        QSignalSpy frames(m_link.get(), &ManageSerialPort::new_frame);
        m_link->sendApiFrame(hex("04"), 0);
        QVERIFY(frames.wait(1000));
        QCOMPARE(m_link->lastLoraFrame().size(), lora::PresenceLength);
    }
};

QTEST_GUILESS_MAIN(TestSimLora)
#include "tst_simlora.moc"
