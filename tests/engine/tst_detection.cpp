#include "detection.h"

#include "apiframe.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "scripteddongle.h"
#include "sensoranswer.h"
#include "sensortext.h"
#include "simlink.h"
#include "simulator.h"
#include "testkit.h"

#include <QElapsedTimer>
#include <QtTest>
#include <memory>

using FM = FleetModel;

class TestDetection : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    MessageCapture m_log{MessageCapture::Silent};
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<FleetModel> m_model;
    radiopaths::RadioPaths m_paths;
    std::unique_ptr<Detection> m_detection;
    QVector<radiopaths::ListView> m_views;
    bool m_fleetDetected = false; // the test fleet's detection ran, once for all its rows

    void attach(const QString &port)
    {
        m_link = std::make_unique<ManageSerialPort>();
        QVERIFY(m_link->openPort(port));
        m_model = std::make_unique<FleetModel>();
        m_paths = radiopaths::RadioPaths();
        m_detection = std::make_unique<Detection>(m_model.get(), m_link.get(), &m_paths);
        connect(m_detection.get(), &Detection::rssiListsShown, this,
                [this](const QVector<radiopaths::ListView> &v) { m_views = v; });
    }
    void startSimulator()
    {
        m_sim = std::make_unique<sim::Simulator>(testScenario());
        QVERIFY(m_sim->open());
        attach(m_sim->slavePath());
    }
    QString statusOf(int sn) const { return m_model->sensor(m_model->find_row(sn)).status; }
    int detectedCount() const
    {
        int n = 0;
        for (int r = 0; r < m_model->size(); ++r)
            n += m_model->sensor(r).detected;
        return n;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
    }
    void cleanup()
    {
        if (!m_fleetDetected || QTest::currentTestFunction() != QLatin1String("theFleetIsDetected"))
            m_model.reset();
        m_detection.reset();
        m_link.reset();
        m_sim.reset();
    }

    // A scripted dongle answers the bodies that start as given ("prefix=source,rssi,data"; a
    // line "~ms=..." is sent every ms; data "statusT": a status of type T from the source).
    // `expected` must go out in this order, other bodies between them.
    void whatIsHeardIsAnswered_data()
    {
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("rows");
        QTest::newRow("a silent second calls everyone")
            << QStringList()
            << QStringList{"200000", "30", "31ffff", "51ffffffff60", "0100ffff0160"} << 0;
        QTest::newRow("a frame every 300 ms: called every second all the same")
            << QStringList{"~300=1234,40,status1"} << QStringList{"31ffff", "31ffff"} << 1;
        QTest::newRow("a new relay's list emptied, then the sensor it hears registered")
            << QStringList{"31ffff=8001,33,3123454201", "4000008001=8001,33,32",
                           "4023458001=8001,33,322345"}
            << QStringList{"31ffff", "4000008001", "31ffff", "4023458001"} << 1;
        QTest::newRow("an announcing relay acknowledged, then ended directly")
            << QStringList{"0100ffff0160=8001,33,status8"}
            << QStringList{"0100ffff0160", "010080010161", "518001ffff61", "218001"} << 1;
        QTest::newRow("a list of 10 bytes ignored")
            << QStringList{"31ffff=0000,40,312345420100"} << QStringList{"31ffff", "31ffff"} << 0;
    }
    void whatIsHeardIsAnswered()
    {
        QFETCH(QStringList, script);
        QFETCH(QStringList, expected);
        QFETCH(int, rows);
        ScriptedDongle dongle(ScriptedDongle::Api);
        const auto frameOf = [](const QString &line) {
            const QStringList f = line.split('=')[1].split(',');
            const auto source = uint16_t(f[0].toUInt(nullptr, 16));
            answer::Status s;
            s.serialNumber = source;
            s.sensorType = uint8_t(f[2].mid(6).toInt());
            const QByteArray data = f[2].startsWith("status")
                                        ? answer::buildFrame(s)
                                        : QByteArray::fromHex(f[2].toLatin1());
            return api::rx16Frame(source, uint8_t(f[1].toInt()), data);
        };
        QTimer busy;
        for (const QString &line : script)
            if (line.startsWith('~')) {
                connect(&busy, &QTimer::timeout, this,
                        [&, line] { dongle.peer().write(frameOf(line)); });
                busy.start(line.mid(1).split('=')[0].toInt());
            }
        QStringList sent;
        int matched = 0;
        dongle.other = [&](const QByteArray &body) {
            sent << QString::fromLatin1(body.toHex());
            if (matched < expected.size() && sent.last() == expected[matched] &&
                ++matched == expected.size())
                m_detection->stop();
            for (const QString &line : script)
                if (!line.startsWith('~') && sent.last().startsWith(line.split('=')[0]))
                    dongle.peer().write(frameOf(line));
        };
        attach(dongle.path());
        QTimer::singleShot(5000, m_detection.get(), &Detection::stop);
        m_detection->detect_sensors();
        QVERIFY2(matched == expected.size(), qPrintable(sent.join(' ')));
        QCOMPARE(m_model->size(), rows);
    }

    // The test fleet, every sleeping sensor woken until it answered, 2345 (behind relay 8001)
    // before any list named its relay. Each row checks one device.
    void theFleetIsDetected_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<int>("relay");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("cell"); // the Rssi cell, up to the age
        QTest::addColumn<QString>("item"); // its line in its path's list, up to the age
        const QString found = QStringLiteral("Sensor Detected");
        QTest::newRow("1234") << 0x1234 << 0 << found << "-40dbm\n"
                              << "1234 - 40 dbm";
        QTest::newRow("2345") << 0x2345 << 0x8001 << found << "-66dbm\nR1 "
                              << "2345 - 66 dbm";
        QTest::newRow("1313") << 0x1313 << 0 << "Error Pointer != 0"
                              << "-49dbm\n"
                              << "1313 - 49 dbm";
        QTest::newRow("8001") << 0x8001 << 0 << found << "-33dbm\n"
                              << "8001 - 33 dbm";
        QTest::newRow("9001") << 0x9001 << 0 << found << "-50dbm\n"
                              << "9001 - 50 dbm";
    }
    void theFleetIsDetected()
    {
        QFETCH(int, sn);
        QFETCH(int, relay);
        QFETCH(QString, status);
        QFETCH(QString, cell);
        QFETCH(QString, item);
        if (!m_fleetDetected) {
            startSimulator();
            QTimer waker;
            connect(&waker, &QTimer::timeout, this, [this] {
                for (uint16_t s : {0x2345, 0x1234, 0x3003, 0x1400, 0x1010, 0x1313}) {
                    const int r = m_model->find_row(s);
                    if (r >= 0 && m_model->sensor(r).detected)
                        continue;
                    if (!m_sim->fleet().isAwake(*m_sim->device(s)))
                        m_sim->wake(s);
                    return;
                }
                if (detectedCount() == 8 && m_paths.pending_announcements().isEmpty())
                    m_detection->stop();
            });
            m_sim->wake(0x2345);
            waker.start(100);
            QTimer::singleShot(30000, m_detection.get(), &Detection::stop);
            m_detection->detect_sensors();
            m_fleetDetected = true;
        }
        QCOMPARE(detectedCount(), 8);
        const int row = m_model->find_row(sn);
        QCOMPARE(m_model->sensor(row).record.relay_address, uint16_t(relay));
        QCOMPARE(statusOf(sn), status);
        const QString shown = sensortext::rssi(m_model->sensor(row));
        QVERIFY2(shown.startsWith(cell), qPrintable(shown));
        QCOMPARE(m_views.size(), radiopaths::ListViews);
        QCOMPARE(m_views[0].title, QStringLiteral("Dongle"));
        QCOMPARE(m_views[1].title, QStringLiteral("R1, 8001, -33 dbm"));
        QVERIFY(m_views[2].items.isEmpty());
        const QStringList lines = m_views[relay ? 1 : 0].items.filter(QString::number(sn, 16));
        QVERIFY2(lines.size() == 1 && lines[0].startsWith(item), qPrintable(lines.join('|')));
    }

    // A frame that came while the program idled is not the sensor heard by this detection.
    void framesFromBeforeTheDetectionAreNotHeard()
    {
        startSimulator();
        QVERIFY(queueIdleFrames(*m_sim, *m_link, 0x1234, 2));
        m_detection->setMaxPasses(1);
        m_detection->detect_sensors();
        QCOMPARE(m_model->find_row(0x1234), -1);
    }

    // The operator's stop ends the detection within a receive and empties the cells of what
    // was never heard; running out of seconds leaves them.
    void stoppingOrRunningOut_data()
    {
        QTest::addColumn<bool>("operatorStops");
        QTest::addColumn<QString>("unheard");
        QTest::newRow("stopped") << true << "";
        QTest::newRow("ran out") << false << "Waiting for sensor";
    }
    void stoppingOrRunningOut()
    {
        QFETCH(bool, operatorStops);
        QFETCH(QString, unheard);
        startSimulator();
        m_model->insert_sensor(0x0777);
        QSignalSpy ranOut(m_detection.get(), &Detection::ranOut);
        QElapsedTimer elapsed, sinceStop;
        elapsed.start();
        QString before;
        if (operatorStops)
            QTimer::singleShot(1200, m_detection.get(), [&] {
                before = statusOf(0x0777);
                sinceStop.start();
                m_detection->stop();
            });
        else
            m_detection->setMaxPasses(2);
        m_detection->detect_sensors();
        QVERIFY(!m_detection->isRunning());
        QCOMPARE(statusOf(0x0777), unheard);
        QCOMPARE(ranOut.count(), operatorStops ? 0 : 1);
        if (operatorStops) {
            QCOMPARE(before, Detection::Waiting);
            QVERIFY2(sinceStop.elapsed() < 300, qPrintable(QString::number(sinceStop.elapsed())));
        } else {
            QVERIFY2(elapsed.elapsed() >= 2000 && elapsed.elapsed() < 6000,
                     qPrintable(QString::number(elapsed.elapsed())));
        }
    }
};

QTEST_MAIN(TestDetection)
#include "tst_detection.moc"
