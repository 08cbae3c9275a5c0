#include "firmwarefile.h"
#include "loader.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "simlink.h"
#include "testkit.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

using LoaderFaults = sim::BootLoader::Faults;
Q_DECLARE_METATYPE(LoaderFaults)

// The dongle's firmware upload over the real port against the simulated dongle and its loader.
class TestDongleUpload : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;

    sim::BootLoader &loader() { return m_sim->apiDongle()->loader(); }
    QStringList statuses(const QSignalSpy &spy) const
    {
        QStringList out;
        for (const QList<QVariant> &args : spy)
            out << args.at(0).toString();
        return out;
    }

private slots:
    void init() { QVERIFY(startSimLink(testScenario(), m_sim, m_link)); }
    void cleanup()
    {
        m_link.reset();
        m_sim.reset();
    }

    void uploadOutcomes_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<LoaderFaults>("faults"); // no sync, sync on, no ack, noisy ack
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("lastStatuses");
        QTest::addColumn<QString>("diagnostic");
        QTest::addColumn<int>("linesTaken");
        QTest::addColumn<int>("syncRequests");
        QTest::addColumn<int>("versionAfter");

        QTest::newRow("every line acknowledged")
            << 5 << LoaderFaults{} << 0
            << QStringList{"Writing page 5/5", "Device succesfully updated"} << QString() << 5 << 1
            << 105;
        QTest::newRow("loader answers the 31st request")
            << 3 << LoaderFaults{false, 31, 0, 0} << 0
            << QStringList{"Writing page 3/3", "Device succesfully updated"} << QString() << 3 << 31
            << 105;
        QTest::newRow("loader never answers")
            << 3 << LoaderFaults{true, 0, 0, 0} << 3
            << QStringList{"Wait for dongle response", "Timeout expired"}
            << "Timeout when receiving ack" << 0 << 31 << 104;
        QTest::newRow("line 3 of 120 not acknowledged")
            << 120 << LoaderFaults{false, 0, 3, 0} << 4
            << QStringList{"Writing page 3/120", "Error writing page3"}
            << "Timeout when sending data" << 3 << 1 << 104;
        QTest::newRow("stray byte before the acknowledgement of line 2")
            << 4 << LoaderFaults{false, 0, 0, 2} << 4
            << QStringList{"Writing page 2/4", "Error writing page2"} << "Timeout when sending data"
            << 2 << 1 << 104;
    }
    void uploadOutcomes()
    {
        QFETCH(int, lines);
        QFETCH(LoaderFaults, faults);
        QFETCH(int, result);
        QFETCH(QStringList, lastStatuses);
        QFETCH(QString, diagnostic);
        QFETCH(int, linesTaken);
        QFETCH(int, syncRequests);
        QFETCH(int, versionAfter);

        const QByteArray text = writeFirmware("dongle.srec", lines);
        QVERIFY(!text.isEmpty());
        loader().faults() = faults;
        QSignalSpy status(m_link.get(), &ManageSerialPort::update_program_status);
        MessageCapture capture(MessageCapture::Silent);

        QCOMPARE(m_link->uploadDongleFirmware("dongle.srec"), result);

        const QStringList seen = statuses(status);
        QVERIFY2(seen.size() >= 2, qPrintable(seen.join(" | ")));
        QCOMPARE(seen.mid(seen.size() - 2), lastStatuses);
        if (!diagnostic.isEmpty())
            QVERIFY(capture.contains(diagnostic));
        QCOMPARE(m_link->baudRate(), loader::BaudRate);
        QCOMPARE(loader().syncRequests(), syncRequests);
        QCOMPARE(loader().lines(), loaderBytes(text).mid(0, linesTaken));

        // Reopened as the dongle window does, the dongle answers again, updated or not.
        m_link->closePort();
        QVERIFY(m_link->openPort(m_sim->slavePath()));
        QCOMPARE(int(m_link->readDongleVersion()), versionAfter);
    }

    // Sensors go on waking while the dongle is in its loader: the loader alone speaks, so no
    // status frame lands between two acknowledgements.
    void aFleetWakingDuringTheUploadIsNotHeard()
    {
        const QByteArray text = writeFirmware("dongle.srec", 60);
        QVERIFY(!text.isEmpty());
        QList<uint16_t> fleet;
        for (const auto &d : m_sim->fleet().devices())
            fleet << d->serialNumber();
        QVERIFY(!fleet.isEmpty());
        int woken = 0;
        QTimer waking;
        connect(&waking, &QTimer::timeout, this, [&] {
            if (loader().active())
                m_sim->wake(fleet[woken++ % fleet.size()]);
        });
        waking.start(3);
        MessageCapture capture(MessageCapture::Silent);
        QCOMPARE(m_link->uploadDongleFirmware("dongle.srec"), 0);
        waking.stop();
        QVERIFY2(woken > 20, qPrintable(QString::number(woken)));
        QCOMPARE(loader().lines(), loaderBytes(text));
    }

    // Nothing leaves before the file was checked whole: the dongle stays in its firmware.
    void refusedFilesLeaveTheDongleAlone_data()
    {
        QTest::addColumn<QByteArray>("text"); // empty: no such file
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("status");
        QTest::newRow("no such file") << QByteArray() << 1 << "Error Opening File";
        QTest::newRow("nothing in it")
            << QByteArray("\n") << 5 << "Not a firmware file: line 1: not an S-record";
        QTest::newRow("bad checksum on line 2")
            << QByteArray("S00600004844521B\nS1051000AB1235\nS9030000FC\n") << 5
            << "Not a firmware file: line 2: checksum does not match";
    }
    void refusedFilesLeaveTheDongleAlone()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, result);
        QFETCH(QString, status);
        QFile file("bad.srec");
        QVERIFY(text.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(text) > 0));
        file.close();
        QSignalSpy spy(m_link.get(), &ManageSerialPort::update_program_status);
        MessageCapture capture(MessageCapture::Silent);
        QCOMPARE(m_link->uploadDongleFirmware(text.isEmpty() ? "missing.srec" : "bad.srec"),
                 result);
        QCOMPARE(statuses(spy), QStringList{status});
        if (result == 1)
            QVERIFY(capture.contains("The file can't be opened"));
        QCOMPARE(loader().entries(), 0);
        QCOMPARE(m_link->read_chan(), 15); // still the firmware, at the link's rate
    }

    void stoppingEndsTheSynchronisationAtOnce()
    {
        QVERIFY(!writeFirmware("dongle.srec", 3).isEmpty());
        loader().faults().noSync = true;
        QTimer::singleShot(450, m_link.get(), &ManageSerialPort::requestStop);
        QElapsedTimer clock;
        clock.start();
        MessageCapture capture(MessageCapture::Silent);
        QCOMPARE(m_link->uploadDongleFirmware("dongle.srec"), 3);
        // 31 windows of 200 ms would be over 6 s.
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(loader().syncRequests() < 31);
    }
};

QTEST_MAIN(TestDongleUpload)
#include "tst_dongleupload.moc"
