#include "messagecapture.h"
#include "rowrefresh.h"
#include "runbench.h"
#include "sensoranswer.h"
#include "sensortext.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

namespace
{
using FM = FleetModel;

// A checked answer as the link leaves it: 0xC0, the 49-byte payload, a CRC the refresh does not
// read, 0xC1 and the extra byte.
QByteArray checkedAnswer(const answer::Status &s)
{
    QByteArray a(1, char(0xC0));
    a += answer::buildPayload(s);
    a += QByteArray(2, '\0');
    a += char(0xC1);
    a += char(s.extra);
    return a;
}

sim::Scenario testFleet(double speed = 1.0)
{
    sim::Scenario scenario = testScenario();
    scenario.speed = speed;
    return scenario;
}

} // namespace

class TestActionRun : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    RunBench m_bench;
    bool m_wakeDuringDownload = false;

    void start(const sim::Scenario &scenario, const QString &truth = QString())
    {
        QVERIFY(m_bench.start(scenario, m_dir.path() + QStringLiteral("/out"), truth));
    }

    void add(const QVector<int> &serials)
    {
        for (int sn : serials)
            QVERIFY(m_bench.model->insert_sensor(uint16_t(sn)) >= 0);
    }

    // Stands in for the sensors' own schedule: wakes one sleeping unserved sensor at a time while
    // the run listens, the last row first.
    // With m_wakeDuringDownload, once, another one while a download runs.
    void wakeSensors()
    {
        const FleetModel &model = *m_bench.model;
        sim::Simulator &simulator = *m_bench.sim;
        for (int r = model.size() - 1; r >= 0; --r) {
            const FM::Sensor &s = model.sensor(r);
            sim::Device *d = simulator.device(uint16_t(s.record.serial_number));
            if (s.served || !d || simulator.fleet().isAwake(*d))
                continue;
            if (m_bench.run->isDownloading()) {
                if (!m_wakeDuringDownload || s.record.download_started)
                    continue;
                m_wakeDuringDownload = false;
            } else if (m_bench.run->listenAddress() != 0xFFFF) {
                return; // a sensor is being served: another's frame would go unheard
            }
            simulator.wake(uint16_t(s.record.serial_number));
            return;
        }
    }

    bool run(int limitMs) { return m_bench.runFor(limitMs); }

    answer::Status deviceStatus(int sn)
    {
        return m_bench.sim->device(uint16_t(sn))->status(m_bench.sim->fleet().simNowMs(), 0);
    }

    QString status(int sn) const { return m_bench.status(sn); }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        m_bench.wake = [this] { wakeSensors(); };
    }

    void cleanup() { m_bench.reset(); }

    void lastValuesAreScaledWithTheirUnits_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("value0");
        QTest::addColumn<int>("value1");
        QTest::addColumn<uint>("value2");
        QTest::addColumn<QString>("text");
        // clang-format off
        QTest::newRow("temperature and humidity") << 1 << 0x03 << 2345 << 5670 << 0u << "23.45degC; 56.7%RH; ";
        QTest::newRow("negative, humidity not recorded") << 1 << 0x01 << -150 << 567 << 0u << "-1.50degC; ";
        // 1234567 x 0.001 with its thousands apart
        QTest::newRow("a 32-bit counter") << 3 << 0x05 << 2000 << 0 << 1234567u << "20.00degC; 1 234.567m3; ";
        QTest::newRow("the offset channel") << 13 << 0x01 << -1000 << 0 << 0u << "99000Pa; ";
        // clang-format on
    }
    void lastValuesAreScaledWithTheirUnits()
    {
        QFETCH(int, type);
        QFETCH(int, mask);
        QFETCH(int, value0);
        QFETCH(int, value1);
        QFETCH(uint, value2);
        QFETCH(QString, text);
        answer::Status s;
        s.sensorType = uint8_t(type);
        s.lastValue0 = int16_t(value0);
        s.lastValue1 = int16_t(value1);
        s.lastValue2 = value2;
        QCOMPARE(
            rowrefresh::lastValuesText(describeType(type), type, uint8_t(mask), checkedAnswer(s)),
            text);
    }

    void theStatusTellsWhetherTheActionTookEffect_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("boxes"); // t set time, c clear, s channels, p period, d download
        QTest::addColumn<int>("clockBehind"); // seconds the sensor clock is behind the PC
        // What the answer says: C memory cleared, M the selected channels (else others), P the
        // selected period (else another), E the error byte, 4 a type-4 sensor; L it came over
        // LoRa, S with its "time set" byte.
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("status");
        // clang-format off
        QTest::newRow("read")                       << 0 << ""   << 0   << ""   << "Sensor reading done";
        QTest::newRow("nothing asked")              << 1 << ""   << 500 << ""   << "Action succesfull";
        QTest::newRow("clock set")                  << 1 << "t"  << 4   << ""   << "Action succesfull";
        QTest::newRow("clock still behind")         << 1 << "t"  << 5   << ""   << "Error setting time";
        QTest::newRow("clock ahead")                << 1 << "t"  << -30 << ""   << "Error setting time";
        QTest::newRow("cleared")                    << 1 << "c"  << 0   << "C"  << "Action succesfull";
        QTest::newRow("not cleared")                << 1 << "c"  << 0   << ""   << "Error clearing data";
        QTest::newRow("channels taken")             << 1 << "s"  << 0   << "M"  << "Action succesfull";
        QTest::newRow("channels refused")           << 1 << "s"  << 0   << ""   << "Error setting new channel";
        QTest::newRow("period taken")               << 1 << "p"  << 0   << "P"  << "Action succesfull";
        QTest::newRow("period refused")             << 1 << "p"  << 0   << ""   << "Error setting new periode";
        QTest::newRow("two refused, the last told") << 1 << "tp" << 99  << ""   << "Error setting new periode";
        QTest::newRow("pointer error")              << 1 << ""   << 0   << "E"  << "Error Pointer != 0";
        QTest::newRow("type 4 has no pointer")      << 1 << ""   << 0   << "E4" << "Action succesfull";
        QTest::newRow("a download tells its own")   << 1 << "d"  << 0   << ""   << "before";
        QTest::newRow("LoRa clock set")             << 1 << "t"  << 1   << "LS" << "Action succesfull";
        QTest::newRow("LoRa time byte not set")     << 1 << "t"  << 0   << "L"  << "Error setting time";
        QTest::newRow("LoRa says set, clock behind")<< 1 << "t"  << 96  << "LS" << "Error setting time";
        // clang-format on
    }
    void theStatusTellsWhetherTheActionTookEffect()
    {
        QFETCH(int, mode);
        QFETCH(QString, boxes);
        QFETCH(int, clockBehind);
        QFETCH(QString, answer);
        QFETCH(QString, status);
        FleetModel model;
        actionblock::Choice choice;
        choice.setTime = boxes.contains('t');
        choice.clearData = boxes.contains('c');
        choice.selectChannels = boxes.contains('s');
        choice.changePeriod = boxes.contains('p');
        choice.downloadAll = boxes.contains('d');
        model.setChoice(choice);
        const int row = model.insert_sensor(0x1234);
        model.edit(row).set_time_pending = choice.setTime;
        model.edit(row).clear_pending = choice.clearData;
        model.set_status(row, QStringLiteral("before"));
        FM::Report before;
        before.pageCount = 250;
        model.setReport(row, before);

        const QDateTime now(QDate(2026, 5, 4), QTime(12, 0, 0));
        answer::Status s;
        s.serialNumber = 0x1234;
        s.clock = now.addSecs(-clockBehind);
        s.recordingStart = now.addDays(-1);
        s.firstPage = answer.contains('C') ? 0x8000 : 0x0000;
        s.pageCount = 260;
        s.channelMask = answer.contains('M') ? 0x01 : 0x03;
        s.periodCode = answer.contains('P') ? 8 : 3;
        s.errorFlag = answer.contains('E') ? 1 : 0;
        s.sensorType = answer.contains('4') ? 4 : 1;
        s.timeSet = answer.contains('S') ? 1 : 0;
        rowrefresh::Context c;
        c.lora = answer.contains('L');
        c.now = now;
        c.selectedChannelMask = 0x01;
        c.selectedPeriodCode = 8;
        c.frameRssi = 40;
        rowrefresh::refresh_row_from_answer(model, 0x1234, mode, checkedAnswer(s), c);
        QCOMPARE(model.sensor(row).status, status);
        const FM::Tone tone = status.startsWith("Error") ? FM::Tone::Bad
                              : status == "before"       ? FM::Tone::Plain
                                                         : FM::Tone::Good;
        QCOMPARE(model.sensor(row).tone, tone);
        QVERIFY(!model.sensor(row).set_time_pending && !model.sensor(row).clear_pending);
        // A cleared memory holds no page; a clear not confirmed leaves the count as it was.
        const QString pages = !choice.clearData ? "260" : answer.contains('C') ? "0" : "250";
        QCOMPARE(sensortext::pages(model.sensor(row)), pages);
        if (!c.lora)
            QCOMPARE(int(model.sensor(row).record.rssi), 40); // heard directly
    }

    void theRowShowsTheAnswer()
    {
        FleetModel model;
        const int row = model.insert_sensor(0x1234);
        const QDateTime now(QDate(2026, 5, 4), QTime(12, 0, 0));
        answer::Status s;
        s.serialNumber = 0x1234;
        s.clock = now.addSecs(-75);
        s.recordingStart = QDateTime(QDate(2026, 5, 1), QTime(8, 30, 0));
        s.sensorType = 1;
        s.version = 21;
        s.channelMask = 0x02;
        s.periodCode = 8; // 10 minutes: the selector's item 10
        s.pageCount = 300;
        s.batteryIndex = 5; // "2.3V", low
        s.mode = 0;
        rowrefresh::Context c;
        c.now = now;
        QVERIFY(rowrefresh::refresh_row_from_answer(model, 0x1234, 0, checkedAnswer(s), c));
        const FM::Sensor &r = model.sensor(row);
        QCOMPARE(sensortext::version(r), QStringLiteral("21"));
        QCOMPARE(r.type.title, QStringLiteral("TH Logger"));
        QCOMPARE(sensortext::clock(r), QStringLiteral("04/05/2026 11:58:45"));
        QCOMPARE(sensortext::recordingStart(r), QStringLiteral("01/05/2026 08:30:00"));
        QCOMPARE(sensortext::pages(r), QStringLiteral("300"));
        QCOMPARE(sensortext::battery(r), QStringLiteral("2.3V"));
        QCOMPARE(r.mark(FM::Field::Battery), FM::Mark::Warning);
        QCOMPARE(r.checkedChannels, QStringList{QStringLiteral("Humidity")});
        QCOMPARE(r.periodItem, 10);
        QCOMPARE(int(r.sensor_period_item), 10);
        QCOMPARE(int(r.sensor_channel_mask), 0x02);
        QCOMPARE(r.clock_offset, 75);
        QVERIFY(!r.mode_flag);
    }

    void aRunAppliesTheActionsToTheDevices_data()
    {
        QTest::addColumn<QString>("boxes");
        // 1400's and 2345's selectors stay as they reported: a period or channel choice changes
        // nothing there. 1010 is asked to record one axis, and the accelerometer keeps three.
        QTest::addColumn<QString>("untouched");
        QTest::addColumn<QString>("accel");
        // clang-format off
        QTest::newRow("set time")        << "t" << "Action succesfull"   << "Action succesfull";
        QTest::newRow("change period")   << "p" << "Sensor reading done" << "Sensor reading done";
        QTest::newRow("select channels") << "s" << "Sensor reading done" << "Error setting new channel";
        QTest::newRow("clear data")      << "c" << "Action succesfull"   << "Action succesfull";
        // clang-format on
    }
    void aRunAppliesTheActionsToTheDevices()
    {
        QFETCH(QString, boxes);
        QFETCH(QString, untouched);
        QFETCH(QString, accel);
        sim::Scenario scenario = testFleet();
        for (sim::DeviceConfig &d : scenario.devices)
            if (d.serialNumber == 0x1234)
                d.clockOffsetSeconds = -300;
        start(scenario);
        // 2345 is heard through the relay only: the relay's list routes it there.
        add({0x1010, 0x1234, 0x1400, 0x2345});
        // Without a box the run reads what every sensor has.
        QVERIFY(run(20000));
        QCOMPARE(status(0x1234), QStringLiteral("Sensor reading done"));
        QCOMPARE(status(0x1400), QStringLiteral("Sensor reading done"));
        QCOMPARE(status(0x2345), QStringLiteral("Sensor reading done"));
        QCOMPARE(int(m_bench.model->sensor(m_bench.model->find_row(0x2345)).record.relay_address),
                 0x8001);

        actionblock::Choice choice;
        choice.setTime = boxes == "t";
        choice.changePeriod = boxes == "p";
        choice.selectChannels = boxes == "s";
        choice.clearData = boxes == "c";
        m_bench.model->setChoice(choice);
        const int row = m_bench.model->find_row(0x1234);
        m_bench.model->setPeriodItem(row, 10); // 10 minutes: code 8
        m_bench.model->setCheckedChannels(row, {QStringLiteral("Temperature")}); // mask 0x01
        m_bench.model->setCheckedChannels(m_bench.model->find_row(0x1010),
                                          {QStringLiteral("Accel X")});
        const int pagesBefore = deviceStatus(0x1234).pageCount;
        QVERIFY(run(20000));

        const answer::Status d = deviceStatus(0x1234);
        if (choice.setTime)
            QVERIFY(qAbs(d.clock.secsTo(QDateTime::currentDateTime())) <= 2);
        else
            QVERIFY(qAbs(d.clock.secsTo(QDateTime::currentDateTime())) >= 290);
        QCOMPARE(int(d.periodCode), choice.changePeriod ? 8 : 3);
        QCOMPARE(int(d.channelMask), choice.selectChannels ? 0x01 : 0x03);
        QVERIFY(choice.clearData ? d.pageCount <= 1 : d.pageCount >= pagesBefore);
        QCOMPARE(status(0x1234), QStringLiteral("Action succesfull"));
        QCOMPARE(status(0x1400), untouched);
        QCOMPARE(status(0x2345), untouched);
        QCOMPARE(status(0x1010), accel);
        QCOMPARE(m_bench.model->sensor(0).mark(FM::Field::Channels),
                 choice.selectChannels ? FM::Mark::Failed : FM::Mark::None);
        if (choice.setTime)
            QVERIFY(qAbs(deviceStatus(0x2345).clock.secsTo(QDateTime::currentDateTime())) <= 2);
        QVERIFY(!m_bench.model->sensor(row).change_pending);
    }

    // 1234 woke twice while the program sat idle, reporting its old channels; the run starts
    // at once. Taken as live, the first frame would get the command and the second pass for
    // its answer: "Error setting new channel" for a sensor that never heard it.
    void framesFromBeforeTheRunAnswerNothing()
    {
        start(testFleet());
        add({0x1234});
        QVERIFY(run(20000)); // the row learns the sensor's type and channels
        actionblock::Choice choice;
        choice.selectChannels = true;
        m_bench.model->setChoice(choice);
        m_bench.model->setCheckedChannels(0, {QStringLiteral("Temperature")}); // mask 0x01
        QVERIFY(queueIdleFrames(*m_bench.sim, *m_bench.link, 0x1234, 2));
        QVERIFY(run(20000));
        QCOMPARE(status(0x1234), QStringLiteral("Action succesfull"));
        QCOMPARE(int(deviceStatus(0x1234).channelMask), 0x01);
    }

    void aRunThatCannotStartSaysWhy_data()
    {
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("type unknown") << false << "Missing sensor info"
                                      << "Please click refresh sensor info by clicking send "
                                         "action without action";
        QTest::newRow("no channel") << true << "Action failed"
                                    << "No channel selected for recording on sensor 1234";
        // The output folder would be under a file.
        QTest::newRow("no folder") << true << "Folder Creation Failed"
                                   << "The folder %1 can't be created";
    }
    void aRunThatCannotStartSaysWhy()
    {
        QFETCH(bool, known);
        QFETCH(QString, title);
        QFETCH(QString, text);
        start(testFleet());
        add({0x1234});
        const bool noFolder = title.startsWith("Folder");
        if (noFolder) {
            QFile blocker(m_dir.filePath(QStringLiteral("afile")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            m_bench.run->setSettings({blocker.fileName() + QStringLiteral("/out"), false, false});
            text = text.arg(m_bench.run->settings().folder);
        }
        if (known) {
            m_bench.model->edit(0).record.sensor_type = 1;
            m_bench.model->fill_channel_selector(0, false);
        }
        actionblock::Choice choice;
        choice.selectChannels = !noFolder;
        choice.setTime = noFolder;
        m_bench.model->setChoice(choice);
        QSignalSpy failed(m_bench.run, &ActionRun::failed);
        QSignalSpy stopped(m_bench.run, &ActionRun::stopped);
        m_bench.run->action_run();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toString(), title);
        QCOMPARE(failed[0][1].toString(), text);
        QCOMPARE(stopped.size(), 1);
        QVERIFY(!m_bench.run->isRunning());
    }

    void aStopEndsTheRunAndTheDongleForgetsTheSensors()
    {
        start(testFleet());
        add({0x1234, 0x1400});
        QTimer::singleShot(600, m_bench.session.get(), &FleetSession::stop);
        QVector<QPair<uint32_t, SensorOutcome>> told;
        connect(m_bench.session.get(), &FleetSession::sensorOutcome, this,
                [&](uint32_t sn, SensorOutcome o, const QString &text) {
                    told.append({sn, o});
                    QCOMPARE(text, QStringLiteral("Action Interrupted by User"));
                });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_bench.session->runActions()); // nobody wakes
        QVERIFY2(clock.elapsed() < 2000, "the stop did not end the run");
        QVERIFY(!m_bench.session->isRunning());
        // Each sensor once, with why it was not served.
        QCOMPARE(told,
                 (QVector<QPair<uint32_t, SensorOutcome>>{{0x1234, SensorOutcome::Interrupted},
                                                          {0x1400, SensorOutcome::Interrupted}}));
        QVERIFY(!m_bench.session->summary().allDone());
        QCOMPARE(status(0x1234), QStringLiteral("Action Interrupted by User"));
        QCOMPARE(m_bench.model->sensor(1).tone, FM::Tone::Bad);
        QTRY_VERIFY(m_bench.sim->fleet().wakeTargets().isEmpty());
    }

    void aDownloadGivesWhatTheSensorsRecorded_data()
    {
        QTest::addColumn<QVector<int>>("serials");
        QTest::addColumn<int>("windowFromMin"); // minutes before now; 0: all data
        QTest::addColumn<int>("windowToMin");
        QTest::addColumn<int>("dropEvery");
        QTest::addColumn<bool>("wakeDuringDownload");
        // 3003's ring wrapped: its range runs past the end of memory
        QTest::newRow("all data, one ring wrapped")
            << QVector<int>{0x1234, 0x3003} << 0 << 0 << 0 << true;
        QTest::newRow("a date window") << QVector<int>{0x1234} << 40 << 20 << 0 << false;
        QTest::newRow("frames lost on the way") << QVector<int>{0x1400} << 0 << 0 << 7 << false;
        // The sensor answers "no page": the run ends it at once instead of asking for ever.
        constexpr int YearsAgo = 5 * 365 * 24 * 60;
        QTest::newRow("a window before the recording")
            << QVector<int>{0x1234} << YearsAgo << YearsAgo - 60 << 0 << false;
    }
    void aDownloadGivesWhatTheSensorsRecorded()
    {
        QFETCH(QVector<int>, serials);
        QFETCH(int, windowFromMin);
        QFETCH(int, windowToMin);
        QFETCH(int, dropEvery);
        QFETCH(bool, wakeDuringDownload);
        const QString truth = m_dir.path() + QStringLiteral("/truth");
        QDir(truth).removeRecursively();
        QVERIFY(QDir().mkpath(truth));
        QDir(m_dir.path() + QStringLiteral("/out")).removeRecursively();
        // The sensors' clocks stand still: nothing is recorded between their answer and the
        // last page.
        start(testFleet(1e-6), truth);
        add(serials);
        QVERIFY(run(20000)); // learns the types
        m_bench.sim->flushTruth();

        actionblock::Choice choice;
        QDateTime from, to;
        if (windowFromMin > 0) {
            const QDateTime now = QDateTime::currentDateTime();
            from = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute()))
                       .addSecs(-60 * windowFromMin);
            to = from.addSecs(60 * (windowFromMin - windowToMin));
            choice.downloadBetween = true;
            choice.windowStart = from;
            choice.windowEnd = to;
        } else {
            choice.downloadAll = true;
        }
        m_bench.model->setChoice(choice);
        m_bench.sim->faults().dropEvery = dropEvery;
        m_wakeDuringDownload = wakeDuringDownload;
        MessageCapture capture(MessageCapture::Silent);
        QHash<uint32_t, SensorOutcome> told;
        int ends = 0;
        connect(m_bench.session.get(), &FleetSession::sensorOutcome, this,
                [&](uint32_t sn, SensorOutcome o, const QString &) {
                    QVERIFY2(!told.contains(sn), "an outcome told twice");
                    told.insert(sn, o);
                });
        connect(m_bench.session.get(), &FleetSession::runEnded, this,
                [&](const RunSummary &summary) {
                    ++ends;
                    QVERIFY(summary.allDone());
                    QCOMPARE(summary.sensors.size(), serials.size());
                });
        QVERIFY(run(240000));
        QCOMPARE(ends, 1);
        m_bench.sim->faults().dropEvery = 0;
        // the lost frames really were asked for again
        if (dropEvery)
            QVERIFY(m_bench.run->pageReRequests() > 0);
        if (wakeDuringDownload)
            QVERIFY(
                capture.contains(QStringLiteral("sensor frame during download, served next :")));

        for (int sn : serials) {
            const FM::Sensor &s = m_bench.model->sensor(m_bench.model->find_row(uint32_t(sn)));
            QVERIFY(s.served);
            // What a front end reads, beside the text the window shows.
            QCOMPARE(s.record.download_end,
                     windowFromMin > 1000 ? DownloadEnd::NoData : DownloadEnd::Complete);
            QCOMPARE(told.value(uint32_t(sn)), windowFromMin > 1000
                                                   ? SensorOutcome::NoData
                                                   : SensorOutcome::DownloadComplete);
            if (windowFromMin > 1000) {
                QCOMPARE(status(sn), QStringLiteral("No data in file, check dates"));
                QVERIFY(tsvRows(m_bench.tsvOf(sn)).isEmpty());
                continue;
            }
            QString why;
            QVERIFY2(m_bench.matchesTruth(sn, truth, &why, -1, from, to), qPrintable(why));
            QCOMPARE(status(sn), QStringLiteral("Download Complete"));
        }
    }
};

QTEST_GUILESS_MAIN(TestActionRun)
#include "tst_actionrun.moc"
