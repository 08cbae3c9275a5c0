#include "detection.h"

#include "apiframe.h"
#include "fleetmodel.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "scripteddongle.h"
#include "sensoranswer.h"
#include "simulator.h"
#include "testkit.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace
{
using FM = FleetModel;

QByteArray statusFrame(uint16_t sn, uint8_t type)
{
    answer::Status s;
    s.serialNumber = sn;
    s.sensorType = type;
    s.clock = s.recordingStart = QDateTime::currentDateTime();
    return answer::buildFrame(s);
}
} // namespace

class TestDetection : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<FleetModel> m_model;
    radiopaths::RadioPaths m_paths;
    std::unique_ptr<Detection> m_detection;
    QVector<radiopaths::ListView> m_views;
    // The test fleet's detection, run once for all the rows that check it.
    std::unique_ptr<FleetModel> m_fleet;
    QVector<radiopaths::ListView> m_fleetViews;
    bool m_fleetDetected = false;

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
        sim::ScenarioResult r =
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/test-fleet.ini"));
        m_sim = std::make_unique<sim::Simulator>(r.scenario);
        QVERIFY(m_sim->open());
        attach(m_sim->slavePath());
    }

    QString status(int sn) const
    {
        return m_model->cell(m_model->find_row(sn), FM::ColStatus).text;
    }

    void detectFleet()
    {
        MessageCapture log(MessageCapture::Silent);
        startSimulator();
        const QVector<uint16_t> sleepers{0x2345, 0x1234, 0x3003, 0x1400, 0x1010, 0x1313};
        const auto allDetected = [&] {
            int n = 0;
            for (int r = 0; r < m_model->size(); ++r)
                n += m_model->sensor(r).detected;
            return n == 8 && m_paths.pending_announcements().isEmpty();
        };
        // A sensor's own schedule, quickened: it wakes again until it was heard.
        QTimer waker;
        connect(&waker, &QTimer::timeout, this, [&] {
            for (uint16_t s : sleepers) {
                const int r = m_model->find_row(s);
                if (r >= 0 && m_model->sensor(r).detected)
                    continue;
                if (!m_sim->fleet().isAwake(*m_sim->device(s)))
                    m_sim->wake(s);
                return;
            }
            if (allDetected())
                m_detection->stop();
        });
        m_sim->wake(0x2345);
        waker.start(100);
        QTimer::singleShot(30000, m_detection.get(), &Detection::stop);
        m_detection->detect_sensors();
        waker.stop();

        QVERIFY(allDetected());
        m_fleetDetected = allDetected();
        m_fleetViews = m_views;
        m_fleet = std::move(m_model);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
    }

    void cleanup()
    {
        m_detection.reset();
        m_link.reset();
        m_sim.reset();
        m_model.reset();
        m_views.clear();
    }

    // A scripted dongle answers bodies that start as given; `expected` must go out in this
    // order (other bodies may come between).
    void whatIsHeardIsAnswered_data()
    {
        QTest::addColumn<QStringList>("script"); // "body prefix=source,rssi,data"
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("rows");
        QTest::newRow("a silent second calls everyone")
            << QStringList()
            << QStringList{"200000", "30", "31ffff", "51ffffffff60", "0100ffff0160"} << 0;
        QTest::newRow("a new relay's list is emptied, then the sensor it hears registered")
            << QStringList{"31ffff=8001,33,3123454201", "4000008001=8001,33,32",
                           "4023458001=8001,33,322345"}
            << QStringList{"31ffff", "4000008001", "31ffff", "4023458001"} << 1;
        QTest::newRow("an announcing relay is acknowledged and ended directly")
            << QStringList{"0100ffff0160=8001,33,status8"}
            << QStringList{"0100ffff0160",
                           "0100800"
                           "10161",
                           "518001ffff61", "218001"}
            << 1;
        // 10 bytes: one entry and a byte too many
        QTest::newRow("a list of a bad length is ignored")
            << QStringList{"31ffff=0000,40,312345420100"}
            << QStringList{"31ffff", "0100ffff0160", "31ffff"} << 0;
    }
    void whatIsHeardIsAnswered()
    {
        QFETCH(QStringList, script);
        QFETCH(QStringList, expected);
        QFETCH(int, rows);
        MessageCapture log(MessageCapture::Silent);
        ScriptedDongle dongle(ScriptedDongle::Api);
        QStringList sent;
        int matched = 0;
        dongle.other = [&](const QByteArray &body) {
            const QString hex = QString::fromLatin1(body.toHex());
            sent << hex;
            if (matched < expected.size() && hex == expected[matched])
                ++matched;
            for (const QString &line : script) {
                const QStringList parts = line.split('=');
                if (!hex.startsWith(parts[0]))
                    continue;
                const QStringList f = parts[1].split(',');
                const QByteArray data = f[2] == "status8" ? statusFrame(0x8001, 8)
                                                          : QByteArray::fromHex(f[2].toLatin1());
                dongle.peer().write(api::rx16Frame(uint16_t(f[0].toUInt(nullptr, 16)),
                                                   uint8_t(f[1].toInt()), data));
            }
        };
        attach(dongle.path());
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (matched == expected.size())
                m_detection->stop();
        });
        watch.start(10);
        QTimer::singleShot(5000, m_detection.get(), &Detection::stop);
        m_detection->detect_sensors();
        QVERIFY2(matched == expected.size(), qPrintable(sent.join(' ')));
        QCOMPARE(m_model->size(), rows);
    }

    // One detection of the test fleet, every device woken until it answered; each row checks
    // one device.
    void theFleetIsDetectedWithItsPaths_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<int>("relay");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("cell"); // the Rssi cell, up to the age
        QTest::addColumn<int>("view");     // the list view that names it
        QTest::addColumn<QString>("item"); // its item there, up to the age
        const QString detected = QStringLiteral("Sensor Detected");
        QTest::newRow("1234 direct") << 0x1234 << 0 << detected << "-40dbm\n"
                                     << 0 << "1234 - 40 dbm";
        // Woken first, its answer comes through the relay before any list named the relay.
        QTest::newRow("2345 behind the relay")
            << 0x2345 << 0x8001 << detected << "-66dbm\nR1 " << 1 << "2345 - 66 dbm";
        QTest::newRow("3003 direct") << 0x3003 << 0 << detected << "-44dbm\n"
                                     << 0 << "3003 - 44 dbm";
        QTest::newRow("1400 direct") << 0x1400 << 0 << detected << "-42dbm\n"
                                     << 0 << "1400 - 42 dbm";
        QTest::newRow("1010 direct") << 0x1010 << 0 << detected << "-47dbm\n"
                                     << 0 << "1010 - 47 dbm";
        QTest::newRow("1313 reports its error") << 0x1313 << 0 << "Error Pointer != 0"
                                                << "-49dbm\n"
                                                << 0 << "1313 - 49 dbm";
        QTest::newRow("8001, the relay") << 0x8001 << 0 << detected << "-33dbm\n"
                                         << 0 << "8001 - 33 dbm";
        QTest::newRow("9001 always listening") << 0x9001 << 0 << detected << "-50dbm\n"
                                               << 0 << "9001 - 50 dbm";
    }
    void theFleetIsDetectedWithItsPaths()
    {
        QFETCH(int, sn);
        QFETCH(int, relay);
        QFETCH(QString, status);
        QFETCH(QString, cell);
        QFETCH(int, view);
        QFETCH(QString, item);
        if (!m_fleet)
            detectFleet();
        QVERIFY(m_fleetDetected);
        const FleetModel &m = *m_fleet;
        const QVector<radiopaths::ListView> &v = m_fleetViews;
        const int row = m.find_row(sn);
        QVERIFY(row >= 0);
        QCOMPARE(m.sensor(row).record.relay_address, uint16_t(relay));
        QCOMPARE(m.cell(row, FM::ColStatus).text, status);
        QVERIFY2(m.cell(row, FM::ColRssi).text.startsWith(cell),
                 qPrintable(m.cell(row, FM::ColRssi).text));
        QCOMPARE(v.size(), radiopaths::ListViews);
        QCOMPARE(v[0].title, QStringLiteral("Dongle"));
        QCOMPARE(v[1].title, QStringLiteral("R1, 8001, -33 dbm"));
        QVERIFY(v[2].items.isEmpty());
        QCOMPARE(v[view].items.filter(hex4(sn)).size(), 1);
        QVERIFY2(v[view].items.filter(hex4(sn)).first().startsWith(item),
                 qPrintable(v[view].items.join('|')));
        QCOMPARE(v[1 - view].items.filter(hex4(sn)).size(), 0);
    }

    // The operator's stop ends the detection within a receive and empties the cells of what
    // was never heard; running out leaves them.
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
        MessageCapture log(MessageCapture::Silent);
        startSimulator();
        m_model->insert_sensor(0x0777);
        QSignalSpy ranOut(m_detection.get(), &Detection::ranOut);
        QElapsedTimer sinceStop;
        if (operatorStops) {
            QTimer::singleShot(1200, m_detection.get(), [&] {
                QCOMPARE(status(0x0777), Detection::Waiting);
                sinceStop.start();
                m_detection->stop();
            });
        } else {
            m_detection->max_passes = 2;
        }
        QElapsedTimer elapsed;
        elapsed.start();
        m_detection->detect_sensors();
        QVERIFY(!m_detection->detection_running);
        QCOMPARE(status(0x0777), unheard);
        QCOMPARE(ranOut.count(), operatorStops ? 0 : 1);
        if (operatorStops)
            QVERIFY2(sinceStop.elapsed() < 300, qPrintable(QString::number(sinceStop.elapsed())));
        else
            QVERIFY2(elapsed.elapsed() >= 2000 && elapsed.elapsed() < 6000,
                     qPrintable(QString::number(elapsed.elapsed())));
    }
};

QTEST_MAIN(TestDetection)
#include "tst_detection.moc"
