#include "commandset.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "page.h"
#include "sensoranswer.h"
#include "simlink.h"
#include "testkit.h"
#include "truthrows.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <map>
#include <memory>

using sim::Simulator;

namespace
{
// The test fleet with only the given devices: the memories of the others, the wrapped ring of
// 3003 above all, take most of a simulator's start.
sim::Scenario fleetOf(const QVector<int> &serials)
{
    sim::Scenario s = testScenario();
    s.devices.erase(std::remove_if(s.devices.begin(), s.devices.end(),
                                   [&](const sim::DeviceConfig &d) {
                                       return !serials.contains(d.serialNumber);
                                   }),
                    s.devices.end());
    return s;
}
} // namespace

class TestSim : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    bool m_shared = false; // kept for the next case that only reads the fleet

    void start(const sim::Scenario &scenario, const QString &truthDir = QString(),
               const sim::Faults &faults = {})
    {
        m_shared = false;
        QVERIFY(startSimLink(scenario, m_sim, m_link, faults, truthDir));
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Api802154));
    }

    // The test fleet as the last case that only read it left it: nothing on the way.
    void startShared()
    {
        if (!m_shared)
            start(testScenario());
        m_shared = true;
        QTRY_COMPARE(m_sim->wire().queued(), 0);
        m_link->flushInput();
    }

    // A sensor answer or list frame, waiting a few receive windows for it.
    int answer(uint16_t filter, int tries = 5)
    {
        for (int i = 0; i < tries; ++i)
            if (const int r = m_link->receiveSensorAnswer(filter))
                return r;
        return 0;
    }

    answer::Status lastStatus()
    {
        const auto s = answer::parse(m_link->lastFrameData(), m_link->lastFrameLength());
        return s ? *s : answer::Status();
    }

    QByteArray lastData() const { return ::lastData(*m_link); }

    // Wakes a sensor and takes its status frame.
    bool wakeAndHear(uint16_t sn) { return m_sim->wake(sn) && answer(sn) == 1; }

    // The page loop as the download does it: ask, flush, then take frames from the shared
    // buffer that a 5 ms timer keeps filling. Returns the first page of every frame.
    QList<int> fetch(uint16_t sn, uint16_t relay, int first, int count,
                     QList<QByteArray> *pages = nullptr)
    {
        m_link->sendApiFrame(
            relay ? command::pageRequestRelayBody(sn, relay, uint16_t(first), uint16_t(count))
                  : command::pageRequestBody(sn, uint16_t(first), uint8_t(count)),
            0);
        LinkWait::pauseFor(1);
        m_link->flushInput();
        QTimer refresh;
        connect(&refresh, &QTimer::timeout, m_link.get(), &ManageSerialPort::refresh_serial);
        refresh.start(5);
        QList<int> firsts;
        for (int r; (r = m_link->receivePageFrame(sn, 400)) == 1 || r == 4;) {
            const char *d = reinterpret_cast<const char *>(m_link->lastFrameData());
            firsts << ((uint8_t(d[1]) << 8) | uint8_t(d[2]));
            for (int k = 0; pages && k < (r == 1 ? 2 : 1); ++k)
                pages->append(QByteArray(d + page::FrameFirstPage + k * page::Size, page::Size));
        }
        return firsts;
    }

private slots:
    void cleanup()
    {
        if (m_shared && !QTest::currentTestFailed())
            return;
        m_shared = false;
        m_link.reset();
        m_sim.reset();
    }

    void theDongleTellsItsChannelAndVersionAndTakesANewChannel()
    {
        start(fleetOf({0x1234}));
        QCOMPARE(m_link->read_chan(), 15);
        QCOMPARE(int(m_link->readDongleVersion()), 104);
        QVERIFY(m_link->sendApiFrame(command::setChannelBody(22), 0));
        QCOMPARE(m_link->read_chan(), 22);
        // a device on the old channel is no longer heard
        QVERIFY(!wakeAndHear(0x1234));
        QVERIFY(m_link->sendApiFrame(command::setChannelBody(15), 0));
        QVERIFY(m_link->sendApiFrame(command::setChannelBody(27), 0)); // not a channel: ignored
        QCOMPARE(m_link->read_chan(), 15);
    }

    void pagesStreamAsOneAndTwoPageFramesWithoutCrossingTheEnd_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("frames");
        QTest::newRow("odd") << 0x3003 << 20 << 5 << QList<int>{20, 22, 24};
        QTest::newRow("past the end stops there")
            << 0x3003 << 3963 << 10 << QList<int>{3963, 3965, 3967};
        QTest::newRow("through the relay") << 0x2345 << 0 << 3 << QList<int>{0, 2};
    }
    void pagesStreamAsOneAndTwoPageFramesWithoutCrossingTheEnd()
    {
        QFETCH(int, sn);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(QList<int>, frames);
        startShared();
        const uint16_t relay = sn == 0x2345 ? 0x8001 : 0;
        QVERIFY(wakeAndHear(uint16_t(sn)));
        QList<QByteArray> pages;
        QCOMPARE(fetch(uint16_t(sn), relay, first, count, &pages), frames);
        const sim::SensorMemory &memory = m_sim->device(uint16_t(sn))->memory();
        for (int k = 0; k < pages.size(); ++k)
            QCOMPARE(pages[k], memory.pageBytes(first + k));
        QCOMPARE(m_link->lastRssi(), relay ? 33 : 44);
    }

    void aDownloadCanBeStoppedAndASleepingSensorSendsNothing()
    {
        startShared();
        m_sim->fleet().ackDirect(0x1234);
        QVERIFY(fetch(0x1234, 0, 0, 4).isEmpty()); // asleep: no page at all
        QVERIFY(wakeAndHear(0x3003));
        m_link->sendApiFrame(command::pageRequestBody(0x3003, 0, 200), 0);
        m_link->sendApiFrame(command::pageRequestBody(0, 0, 0), 0); // the stop request
        // nothing but what was already on its way
        QVERIFY(fetch(0x3003, 0, 0, 0).size() <= 1);
        QVERIFY(!m_sim->apiDongle()->streaming());
    }

    void faultsAreSeenAsFailuresNotHangs_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("corrupted answer") << "corrupt";
        QTest::newRow("corrupted page frame") << "corrupt page";
        QTest::newRow("dropped page frame") << "drop page";
    }
    void faultsAreSeenAsFailuresNotHangs()
    {
        QFETCH(QString, fault);
        startShared();
        MessageCapture capture(MessageCapture::Silent);
        const bool page = fault.endsWith("page");
        if (page)
            QVERIFY(wakeAndHear(0x3003));
        (fault.startsWith("corrupt") ? m_sim->faults().corruptNext : m_sim->faults().dropNext) = 1;
        QElapsedTimer clock;
        clock.start();
        if (!page) {
            m_sim->wake(0x1234);
            QCOMPARE(m_link->receiveSensorAnswer(0x1234), 0);
            QVERIFY(capture.contains("bad checksum"));
            QVERIFY(wakeAndHear(0x1234)); // the next one is whole again
        } else {
            // the first of two frames is damaged or lost: the second still arrives alone
            const QList<int> frames = fetch(0x3003, 0, 0, 4);
            QVERIFY(frames.isEmpty() || frames == QList<int>{2});
            if (fault == "corrupt page")
                QVERIFY(capture.contains("Bad CS, computed CS : "));
            QCOMPARE(fetch(0x3003, 0, 0, 4), (QList<int>{0, 2}));
        }
        QVERIFY(clock.elapsed() < 5000);
    }

    void rssiListsComeFromTheDongleAndEveryRelay()
    {
        start(testScenario());
        QVERIFY(m_link->sendApiFrame(command::rssiListsBody(), 0));
        std::map<int, QVector<command::RssiEntry>> lists;
        while (answer(0xFFFF, 3) == 2) {
            const auto entries = command::parseRssiList(lastData());
            QVERIFY(entries);
            lists[m_link->lastSourceAddress()] = *entries;
        }
        QCOMPARE(int(lists.size()), 2);
        QVector<int> dongle;
        for (const auto &e : lists[0])
            dongle << e.serialNumber;
        QCOMPARE(dongle, (QVector<int>{0x1010, 0x1234, 0x1313, 0x1400, 0x3003, 0x8001, 0x9001}));
        QCOMPARE(lists[0][1].rssi, uint8_t(40));
        QCOMPARE(lists[0x8001].size(), 1);
        QCOMPARE(int(lists[0x8001][0].serialNumber), 0x2345);
        QCOMPARE(int(lists[0x8001][0].rssi), 66);
        // ages count from the last time each was heard, in 4 s units
        m_sim->fleet().advance(41000);
        QVERIFY(wakeAndHear(0x1234));
        QVERIFY(m_link->sendApiFrame(command::rssiListsBody(0), 0));
        QCOMPARE(answer(0xFFFF), 2);
        const auto aged = command::parseRssiList(lastData());
        QVERIFY(aged);
        for (const auto &e : *aged)
            QCOMPARE(int(e.ageUnits), e.serialNumber == 0x1234 ? 0 : 10);
    }

    void relayListsAreAcknowledged_data()
    {
        QTest::addColumn<QByteArrayList>("bodies");
        QTest::addColumn<QVector<int>>("list");
        const auto body = [](uint8_t op, uint16_t sn) {
            return command::relayListBody(op, sn, 0x8001);
        };
        const QByteArrayList two{body(command::RelayRegister, 0x2345),
                                 body(command::RelayRegister, 0x1234)};
        QTest::newRow("kept in order") << two << QVector<int>{0x1234, 0x2345};
        QTest::newRow("release") << two + QByteArrayList{body(command::RelayRelease, 0x2345)}
                                 << QVector<int>{0x1234};
        QTest::newRow("add current")
            << QByteArrayList{body(command::RelayAddCurrent, 0x2345)} << QVector<int>{0x2345};
        QTest::newRow("clear") << two + QByteArrayList{body(command::RelayRegister, 0)}
                               << QVector<int>{};
    }
    void relayListsAreAcknowledged()
    {
        QFETCH(QByteArrayList, bodies);
        QFETCH(QVector<int>, list);
        start(fleetOf({0x1234, 0x2345, 0x8001}));
        for (const QByteArray &body : bodies) {
            QVERIFY(m_link->sendApiFrame(body, 0));
            QCOMPARE(answer(0x8001), 3);
        }
        const auto ack = command::parseRelayListAck(lastData());
        QVERIFY(ack);
        QCOMPARE(QVector<int>(ack->begin(), ack->end()), list);
        QCOMPARE(m_link->lastRssi(), 33);
    }

    void aRelayConfirmsAChannelAndMovesThere()
    {
        start(fleetOf({0x2345, 0x8001}));
        // nobody answers for a relay that does not exist
        QVERIFY(m_link->sendApiFrame(command::relayListBody(command::RelayRegister, 0x2345, 0x8002),
                                     0));
        QCOMPARE(answer(0x8002, 2), 0);
        QVERIFY(m_link->sendApiFrame(command::relayChannelBody(20, 0x8001), 0));
        QCOMPARE(answer(0x8001), 4);
        QCOMPARE(lastData(), hex("46 14"));
        QVERIFY(m_link->sendApiFrame(command::relayListBody(command::RelayRegister, 0, 0x8001), 0));
        QCOMPARE(answer(0x8001, 2), 0); // on channel 20 now
    }

    void alwaysListeningDevicesAnswerAtOnceAndAnnounceUntilAcknowledged()
    {
        sim::ScenarioResult r =
            sim::parseScenario("[device 9002]\ntype = 6\nrssi = 50\nannounce = 1\nfirst_wake = 0\n"
                               "[device 1111]\ntype = 1\nwake = 0\nrssi = 20\n");
        QVERIFY2(r.ok(), qPrintable(r.errors.join('\n')));
        start(r.scenario);
        // the attention byte
        QVERIFY(m_link->sendApiFrame(command::rawDirectBody(0x9002, command::Attention), 0));
        QCOMPARE(answer(0x9002), 1);
        QCOMPARE(int(lastStatus().sensorType), 6);
        // a sleeping sensor does not hear it
        QVERIFY(m_link->sendApiFrame(command::rawDirectBody(0x1111, command::Attention), 0));
        QCOMPARE(answer(0x1111, 2), 0);
        // announcements every simulated second until the acknowledgement
        m_sim->fleet().setSpeed(50);
        int heard = 0;
        for (int i = 0; i < 40 && heard < 2; ++i)
            heard += answer(0x9002, 1) == 1;
        QCOMPARE(heard, 2);
        QVERIFY(m_link->sendApiFrame(command::rawDirectBody(0x9002, command::AnnounceAck), 0));
        // what was already on its way goes out first
        LinkWait::pauseFor(5);
        QTRY_COMPARE(m_sim->wire().queued(), 0);
        LinkWait::pauseFor(5);
        m_link->flushInput();
        for (int i = 0; i < 10; ++i) // 400 ms: twenty announcements if it still announced
            QCOMPARE(m_link->receiveSensorAnswer(0x9002), 0);
    }

    // Every page of every ring, decoded as the program does, holds what the truth says the
    // sensor recorded there, in recording order.
    void decodingEveryPageGivesBackTheRecordedSamples()
    {
        QTemporaryDir truth;
        // Every type of the fleet but 3003, whose wrapped ring the download runs hold against its
        // truth: read as rows, its quarter of a million samples would take most of the suite.
        sim::Scenario scenario = fleetOf({0x1234, 0x2345, 0x1400, 0x1010, 0x1313, 0x8001, 0x9001});
        // a power logger beside the fleet's two power meters
        const sim::ScenarioResult logger =
            sim::parseScenario("[device 4004]\ntype = 4\nperiod = 0\nspan = 6h\n");
        QVERIFY(logger.ok());
        scenario.devices.push_back(logger.scenario.devices.front());
        start(scenario, truth.path());
        m_sim->fleet().advance(5000); // a few live samples after the recorded span
        m_sim->flushTruth();
        for (const auto &d : m_sim->fleet().devices()) {
            const uint16_t sn = d->serialNumber();
            const QVector<TruthRow> want = truthRows(truth.filePath(hex4(sn) + ".truth"));
            QVERIFY2(!want.isEmpty(), qPrintable(hex4(sn)));
            const sim::SensorMemory &memory = d->memory();
            // The catalogue gives the pulse counter and the power meters (their energies) 32-bit
            // counters on channels 2 and 3; counters only ever rise.
            const bool counters = QList<int>{3, 4, 6, 8}.contains(d->type());
            qint64 lastCount[4] = {-1, -1, -1, -1};
            int row = 0;
            for (int k = 0; k < memory.pagesUsed(); ++k) {
                const int index = (memory.oldestPage() + k) % page::RingPages;
                const uint8_t *p = memory.page(index);
                const page::Header h = page::readHeader(p);
                const int c = page::channelCount(h.channelMask);
                qint64 high[4] = {0, 0, h.high2, h.high3}, low[4] = {};
                for (int i = 0; i < h.sampleCount; ++i, ++row) {
                    TruthRow got;
                    got.mask = h.channelMask;
                    if (d->type() == page::AccelType) {
                        const page::Accel a = page::accelRecord(p, i);
                        got.values = {double(a.x), double(a.y), double(a.z)};
                    }
                    for (int ch = 0, w = i * c; ch < 8 && d->type() != page::AccelType; ++ch) {
                        if (!(h.channelMask & (1 << ch)))
                            continue;
                        const uint16_t word = page::sampleWord(p, w++);
                        qint64 v = ch >= 2 && ch <= 5 ? word : qint64(int16_t(word));
                        if (counters && (ch == 2 || ch == 3)) {
                            high[ch] += word < low[ch];
                            low[ch] = word;
                            v = high[ch] * 65536 + word;
                            if (v < lastCount[ch])
                                QFAIL(qPrintable(QStringLiteral("%1 page %2: counter %3 went down")
                                                     .arg(hex4(sn))
                                                     .arg(index)
                                                     .arg(ch)));
                            lastCount[ch] = v;
                        }
                        got.values << double(v);
                    }
                    got.time = h.time()
                                   .addSecs(qint64(i) * page::periodSeconds[h.periodIndex])
                                   .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
                    if (row >= want.size() || got.time != want[row].time ||
                        got.mask != want[row].mask || got.values != want[row].values)
                        QFAIL(
                            qPrintable(QStringLiteral("%1 page %2 sample %3 differs from its truth")
                                           .arg(hex4(sn))
                                           .arg(index)
                                           .arg(i)));
                }
            }
            QCOMPARE(row, want.size());
        }
    }

    void pacingHoldsTheBytesBackToTheBaudRate()
    {
        start(testScenario());
        QVERIFY(wakeAndHear(0x3003));
        QCOMPARE(fetch(0x3003, 0, 7, 1), QList<int>{7});
        // 542 bytes at 9600 baud take over half a second: the wait and its extensions end
        // with the header in and the body still on its way
        m_sim->setBaud(9600);
        QCOMPARE(fetch(0x3003, 0, 7, 1), QList<int>{});
        QVERIFY(m_sim->wire().queued() == 1);
    }

    void anUnplugClosesTheLinkPort_data()
    {
        QTest::addColumn<int>("afterMs"); // -1: unplugged by the test
        QTest::newRow("at once") << -1;
        QTest::newRow("after a time") << 800;
    }
    void anUnplugClosesTheLinkPort()
    {
        QFETCH(int, afterMs);
        sim::Faults faults;
        faults.unplugAfterMs = afterMs;
        start(fleetOf({0x1234}), QString(), faults);
        QSignalSpy closed(m_link.get(), &ManageSerialPort::comclose);
        QSignalSpy unplugged(m_sim.get(), &Simulator::unplugged);
        if (afterMs < 0)
            m_sim->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(unplugged.count(), 1, 3000);
        QVERIFY(m_link->receiveApiFrame(0xFFFF).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 3000);
        QVERIFY(!m_link->isOpen());
        QCOMPARE(m_link->receiveSensorAnswer(0xFFFF), 0);
    }

    void brokenScenariosAreRefusedWithTheirLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        const char *rows[][3] = {
            {"unknown key", "[device 0001]\ntype = 1\ncolour = red\n",
             "scenario:3: unknown key \"colour\""},
            {"twice the same device", "[device 0001]\n[device 1]\n",
             "scenario:2: device 0001 appears twice"},
            {"bad serial number", "[device 12345]\n",
             "scenario:1: the device section must be a serial number"},
            {"relay that is no relay", "[device 0001]\nrelay = 0002\n[device 0002]\n",
             "relay 0002 is not a relay"},
            {"nobody hears it", "[device 0001]\nrssi = none\n", "heard by nobody"},
            {"channels the type lacks", "[device 0001]\ntype = 1\nchannels = 0x10\n",
             "are not all channels of type 1"},
            {"no section", "speed = 2\n", "scenario:1: key \"speed\" outside a section"},
            {"bad duration", "[device 0001]\nspan = 3 weeks\n", "span must be a duration"},
            {"another dongle kind", "[dongle]\nkind = zigbee\n", "802.15.4 or lora"},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QByteArray(row[1]) << QString::fromUtf8(row[2]);
    }
    void brokenScenariosAreRefusedWithTheirLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        const sim::ScenarioResult r = sim::parseScenario(text);
        QVERIFY(!r.ok());
        QVERIFY2(r.errors.join('\n').contains(error), qPrintable(r.errors.join('\n')));
    }

    // The fleet as the program meets it: a process behind a link path, which appears only once
    // the recorded span is in the truth files (a few MB here) and the dongle answers.
    void theExecutableServesUntilTerminated()
    {
        const QString link = m_dir.filePath("dongle");
        const QString log = m_dir.filePath("frames.log");
        const QDir truth(m_dir.filePath("truth"));
        QFile scenario(m_dir.filePath("big.ini"));
        QVERIFY(scenario.open(QIODevice::WriteOnly));
        scenario.write("[dongle]\nchannel = 15\n");
        for (int i = 0; i < 8; ++i)
            scenario.write(QStringLiteral("[device %1]\ntype = 2\nperiod = 0\nspan = 6h\n")
                               .arg(0x2000 + i, 4, 16, QChar('0'))
                               .toLatin1());
        scenario.close();
        QProcess process;
        process.start(QStringLiteral(TESSARAN_SIM_EXE),
                      {"--link", link, "--log", log, "--truth", truth.path(), scenario.fileName()});
        QVERIFY(process.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), 20000);
        const QStringList files = truth.entryList({"*.truth"});
        QCOMPARE(files.size(), 8);
        for (const QString &name : files) {
            QFile file(truth.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            // Six hours at a sample a second, two header lines.
            QVERIFY2(text.count('\n') >= 6 * 3600 + 2 && text.endsWith('\n'), qPrintable(name));
        }
        m_link = std::make_unique<ManageSerialPort>();
        QVERIFY(m_link->openPort(link));
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 10000);
        QCOMPARE(process.readLine().trimmed(), link.toLocal8Bit());
        QCOMPARE(m_link->read_chan(), 15);
        m_link->closePort();
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
        QFile frames(log);
        QVERIFY(frames.open(QIODevice::ReadOnly));
        const QByteArray text = frames.readAll();
        QVERIFY(text.contains("H>D 7E 00 01 37 C8  | read channel"));
        QVERIFY(text.contains("D>H 7E 00 07 81 00 00 00 00 37 0F"));
    }

    void everyDeviceWakesOnItsOwnSchedule()
    {
        // three devices waking every simulated second: each must be heard, none skipped by the
        // fleet's passes
        QFile file(m_dir.filePath("three.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[simulator]\nspeed = 10\n[dongle]\nchannel = 15\n"
                   "[device 0A01]\ntype = 1\nspan = 1m\nwake = 1\n"
                   "[device 0A02]\ntype = 1\nspan = 1m\nwake = 1\n"
                   "[device 0A03]\ntype = 1\nspan = 1m\nwake = 1\n");
        file.close();
        const sim::ScenarioResult loaded = sim::loadScenario(file.fileName());
        QVERIFY2(loaded.ok(), qPrintable(loaded.errors.join('\n')));
        start(loaded.scenario);
        QSet<int> heard;
        for (int i = 0; i < 60 && heard.size() < 3; ++i)
            if (m_link->receiveSensorAnswer(0xFFFF) == 1)
                heard << int(lastStatus().serialNumber);
        QCOMPARE(heard, (QSet<int>{0x0A01, 0x0A02, 0x0A03}));
    }

    void aFullFleetAtHighSpeedEndsWithinASecondOfAnInterrupt()
    {
        // 255 sensors sampling every second at 100000 simulated seconds a second: far more
        // than the simulator can record, so it is always behind.
        QFile scenario(m_dir.filePath("full.ini"));
        QVERIFY(scenario.open(QIODevice::WriteOnly));
        for (int i = 0; i < 255; ++i)
            scenario.write(
                QStringLiteral("[device %1]\ntype = 2\nperiod = 0\nspan = 1h\nwake = 5\n")
                    .arg(0x1000 + i, 4, 16, QChar('0'))
                    .toLatin1());
        scenario.close();
        QProcess process;
        process.start(QStringLiteral(TESSARAN_SIM_EXE),
                      {"--link", m_dir.filePath("full"), "--speed", "100000", scenario.fileName()});
        QVERIFY(process.waitForReadyRead(20000));
        QTest::qWait(500);
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(20000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(process.exitCode(), 0);
    }

    void theExecutableRefusesABrokenScenario()
    {
        QFile bad(m_dir.filePath("bad.ini"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("[device 0001]\ntype = many\n");
        bad.close();
        QProcess process;
        process.start(QStringLiteral(TESSARAN_SIM_EXE),
                      {"--link", m_dir.filePath("x"), bad.fileName()});
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("bad.ini:2: type must be a number"));
    }
};

QTEST_MAIN(TestSim)
#include "tst_sim.moc"
