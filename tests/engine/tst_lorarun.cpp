#include "filesizelimit.h"
#include "lorarun.h"
#include "messagecapture.h"
#include "runbench.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

namespace
{
using FM = FleetModel;

// The times of the first and the last sample a truth file puts in `page`.
QPair<QDateTime, QDateTime> pageTimes(const QString &truthPath, int page)
{
    QFile f(truthPath);
    QPair<QDateTime, QDateTime> span;
    if (!f.open(QIODevice::ReadOnly))
        return span;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split('\t');
        if (line.startsWith('#') || fields.size() < 3 || fields[0].toInt() != page)
            continue;
        const QDateTime t = QDateTime::fromString(QString::fromLatin1(fields[2]),
                                                  QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        if (!span.first.isValid())
            span.first = t;
        span.second = t;
    }
    return span;
}

enum Window { AllData, Minutes, OnePage };

} // namespace

// The LoRa run against the simulated LoRa dongle, whose sensors sleep until the wake-up
// preamble reaches them (at a hundredth of the real air times).
class TestLoraRun : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    // The session picks the LoRa run for the dongle on the link, as the window and the
    // collector have it.
    RunBench m_bench;
    LoraRun *m_run = nullptr;

    // The sensors' clocks stand still unless a case needs them to move: nothing is recorded
    // between an answer and the last page.
    // With a link path, the dongle keeps it across a replug.
    void start(const QString &truth = QString(), int clockOffset = 0,
               const QString &linkPath = QString())
    {
        sim::Scenario scenario = testScenario(QStringLiteral("lora-test.ini"));
        scenario.speed = 1e-6;
        for (sim::DeviceConfig &d : scenario.devices)
            d.clockOffsetSeconds = clockOffset;
        QVERIFY(m_bench.start(scenario, m_dir.path() + QStringLiteral("/out"), truth, linkPath));
        QCOMPARE(m_bench.link->linkMode(), int(ManageSerialPort::Lora));
        m_run = &m_bench.session->loraRun();
    }

    // A fresh truth folder and no data files yet; returns the truth folder.
    QString startWithTruth(const QString &linkPath = QString())
    {
        const QString truth = m_dir.path() + QStringLiteral("/truth");
        QDir(truth).removeRecursively();
        QDir(m_dir.path() + QStringLiteral("/out")).removeRecursively();
        if (QDir().mkpath(truth))
            start(truth, 0, linkPath);
        return truth;
    }

    // The sensor's data file holds the rows of its truth file in [from, to], each once.
    void compareWithTruth(int sn, const QString &truthDir, const QDateTime &from = {},
                          const QDateTime &to = {})
    {
        QString why;
        QVERIFY2(m_bench.matchesTruth(sn, truthDir, &why, -1, from, to), qPrintable(why));
    }

    void add(const QVector<int> &serials)
    {
        for (int sn : serials)
            QVERIFY(m_bench.model->insert_sensor(uint16_t(sn)) >= 0);
    }

    // A run on the dongle of the link: the LoRa one. It returns when the run is over.
    void runActions() { QVERIFY(m_bench.session->runActions()); }

    // A run with no box checked: every sensor tells its type and settings.
    void readSensors()
    {
        m_bench.model->setChoice(actionblock::Choice());
        runActions();
    }

    QString status(int sn) const { return m_bench.status(sn); }
    QString tsvOf(int sn) const { return m_bench.tsvOf(sn); }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
    }

    void cleanup()
    {
        m_run = nullptr;
        m_bench.reset();
    }

    void theActionsReachTheDevice_data()
    {
        QTest::addColumn<bool>("setTime");
        QTest::addColumn<bool>("changePeriod");
        QTest::newRow("set time") << true << false;
        QTest::newRow("change period") << false << true;
    }
    void theActionsReachTheDevice()
    {
        QFETCH(bool, setTime);
        QFETCH(bool, changePeriod);
        start(QString(), -300);
        add({0x1234, 0x0430});
        readSensors();
        QCOMPARE(status(0x1234), QStringLiteral("Action succesfull"));

        actionblock::Choice choice;
        choice.setTime = setTime;
        choice.changePeriod = changePeriod;
        m_bench.model->setChoice(choice);
        const int row = m_bench.model->find_row(0x1234);
        m_bench.model->setPeriodItem(row, 10); // 10 minutes: code 8
        QSignalSpy finished(m_run, &LoraRun::finished);
        runActions();
        QCOMPARE(finished.size(), 1);
        QVERIFY(!m_run->isRunning());

        const QDateTime now = QDateTime::currentDateTime();
        const answer::Status d = m_bench.sim->device(0x1234)->status(
            m_bench.sim->fleet().simNowMs(), command::SensorFunction);
        if (setTime)
            QVERIFY2(qAbs(d.clock.secsTo(now)) <= 1, qPrintable(d.clock.toString()));
        else
            QVERIFY(qAbs(d.clock.secsTo(now)) >= 290);
        QCOMPARE(int(d.periodCode), changePeriod ? 8 : 3);
        // The other row kept its period: nothing to change there.
        const answer::Status other = m_bench.sim->device(0x0430)->status(
            m_bench.sim->fleet().simNowMs(), command::SensorFunction);
        QCOMPARE(int(other.periodCode), 4);
        QCOMPARE(status(0x1234), QStringLiteral("Action succesfull"));
        QVERIFY(m_bench.model->sensor(row).served);
        QVERIFY(!m_bench.model->sensor(row).change_pending);
    }

    void aDownloadGivesWhatTheSensorRecorded_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<int>("refuseEvery");
        QTest::addColumn<int>("loseFragmentEvery");
        QTest::addColumn<int>("window");
        QTest::addColumn<double>("byteFaults");
        QTest::newRow("temperature, clean link") << 0x1234 << 0 << 0 << int(AllData) << 0.0;
        QTest::newRow("counter, refusals and lost fragments")
            << 0x2345 << 3 << 4 << int(AllData) << 0.0;
        // Bytes flipped, dropped and inserted: every page is verified by a second copy, and
        // no wrong row reaches the file.
        QTest::newRow("temperature, damaged bytes") << 0x1234 << 0 << 0 << int(AllData) << 1e-3;
        // from 40 to 20 minutes ago, in whole minutes: inside the counter's day
        QTest::newRow("counter, a date window") << 0x2345 << 0 << 0 << int(Minutes) << 0.0;
        // from the first to the last sample of a page in the middle of the ring
        QTest::newRow("counter, one page") << 0x2345 << 0 << 0 << int(OnePage) << 0.0;
    }
    void aDownloadGivesWhatTheSensorRecorded()
    {
        QFETCH(int, sn);
        QFETCH(int, refuseEvery);
        QFETCH(int, loseFragmentEvery);
        QFETCH(int, window);
        QFETCH(double, byteFaults);
        const QString truth = startWithTruth();
        add({sn});
        readSensors();
        m_bench.sim->flushTruth();

        const QString truthFile = truth + QLatin1Char('/') + hex4(sn) + ".truth";
        QSet<int> pages;
        truthRows(truthFile, {}, {}, &pages);
        QDateTime from, to;
        if (window == Minutes) {
            const QDateTime now = QDateTime::currentDateTime();
            from = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute()))
                       .addSecs(-40 * 60);
            to = from.addSecs(20 * 60);
        } else if (window == OnePage) {
            QList<int> sorted = pages.values();
            std::sort(sorted.begin(), sorted.end());
            QVERIFY(sorted.size() > 2);
            const QPair<QDateTime, QDateTime> span =
                pageTimes(truthFile, sorted[sorted.size() / 2]);
            from = span.first;
            to = span.second;
            QVERIFY(from.isValid() && from < to);
        }
        actionblock::Choice choice;
        choice.downloadAll = window == AllData;
        choice.downloadBetween = window != AllData;
        choice.windowStart = from;
        choice.windowEnd = to;
        m_bench.model->setChoice(choice);
        m_bench.sim->faults().refuseEvery = refuseEvery;
        m_bench.sim->faults().dropFragmentEvery = loseFragmentEvery;
        if (byteFaults > 0) {
            sim::Faults faults = m_bench.sim->faults();
            faults.byteFaultRate = byteFaults;
            faults.seed = 5;
            m_bench.sim->setFaults(faults);
        }
        QStringList progress;
        connect(m_bench.model, &FleetModel::statusChanged, this, [&](int row) {
            const QString text = m_bench.model->sensor(row).status;
            if (text.endsWith(QStringLiteral(" % downloaded")))
                progress << text;
        });
        MessageCapture capture(MessageCapture::Silent);
        runActions();
        m_bench.sim->faults() = sim::Faults();

        compareWithTruth(sn, truth, from, to);
        const int row = m_bench.model->find_row(sn);
        QCOMPARE(status(sn), QStringLiteral("Download Complete"));
        QCOMPARE(m_bench.model->sensor(row).mark(FM::Field::Serial), FM::Mark::Done);
        QVERIFY(!m_bench.model->files().isOpen(uint32_t(sn)));
        QVERIFY(!m_bench.model->sensor(row).record.download_started);
        // One progress step per page fetched, ending at every page.
        if (window == AllData)
            QCOMPARE(progress.size(), pages.size());
        else if (window == OnePage)
            QCOMPARE(progress.size(), 1);
        QCOMPARE(progress.last(), QStringLiteral("100 % downloaded"));
        const pagevouch::Stats stats = m_run->downloadStats(uint32_t(sn));
        QCOMPARE(stats.refused, 0);
        if (byteFaults > 0) {
            QVERIFY(stats.verified > 0);
            QVERIFY(m_run->reRequests() > 0);
        } else if (loseFragmentEvery) {
            QVERIFY(m_run->reRequests() > 0);
            QVERIFY(capture.contains(QStringLiteral("error frag: expected:")));
        } else {
            QCOMPARE(m_run->reRequests(), 0);
        }
    }

    void aFileThatCannotBeWrittenEndsThatDownloadOnly()
    {
        const QString truth = startWithTruth();
        add({0x2345, 0x1234});
        readSensors();
        m_bench.sim->flushTruth();
        actionblock::Choice choice;
        choice.downloadAll = true;
        m_bench.model->setChoice(choice);
        m_bench.session->setRunSettings({m_run->settings().folder, true, false});
        QStringList statuses; // of 2345
        connect(m_bench.model, &FleetModel::statusChanged, this, [&](int row) {
            if (m_bench.model->sensor(row).record.serial_number == 0x2345)
                statuses << m_bench.model->sensor(row).status;
        });
        MessageCapture capture(MessageCapture::Silent);
        {
            // The truth is on disk already: only the data files grow while the limit holds.
            // 2345's day of counts passes it half way, 1234's hour stays below.
            FileSizeLimit full{20000};
            runActions();
        }
        const int row = m_bench.model->find_row(0x2345);
        // The download ended at the page that failed: no page was fetched after it.
        const int failed = statuses.indexOf(QStringLiteral("Error writing data in file"));
        QVERIFY2(failed > 0 && failed == statuses.size() - 1, qPrintable(statuses.join(", ")));
        QCOMPARE(status(0x2345), QStringLiteral("Error writing data in file"));
        QCOMPARE(m_bench.model->sensor(row).tone, FM::Tone::Bad);
        QVERIFY(!m_bench.model->files().isOpen(0x2345));
        QVERIFY(!m_bench.model->sensor(row).record.download_started);
        QFile tsv(tsvOf(0x2345));
        QVERIFY(tsv.open(QIODevice::ReadOnly));
        QVERIFY(wholeRows(tsv.readAll()));
        // What was written is the start of the truth, and only that.
        const int rows = tsvRows(tsvOf(0x2345)).size();
        QVERIFY(rows > 0 && rows < truthRows(truth + QStringLiteral("/2345.truth")).size());
        QString why;
        QVERIFY2(m_bench.matchesTruth(0x2345, truth, &why, rows), qPrintable(why));
        // One record of 548 bytes a page, none cut.
        const qint64 records = QFileInfo(tsvOf(0x2345).replace(".tsv", ".pdc")).size();
        QVERIFY(records > 0);
        QCOMPARE(records % 548, 0);
        // The run went on to the next sensor.
        QCOMPARE(status(0x1234), QStringLiteral("Download Complete"));
        QVERIFY(m_bench.model->sensor(m_bench.model->find_row(0x1234)).served);
    }

    void aRunOutlivesTheDonglePulledOut_data()
    {
        QTest::addColumn<bool>("plugBack");  // or the operator stops the run while it is away
        QTest::addColumn<QString>("first");  // Status of 1234, pulled out in its download
        QTest::addColumn<QString>("second"); // of 2345, not reached yet
        QTest::newRow("plugged in again") << true << "Download Complete"
                                          << "Download Complete";
        QTest::newRow("stopped while away") << false << "Download Interrupted by user"
                                            << "Action Interrupted by User";
    }
    void aRunOutlivesTheDonglePulledOut()
    {
        QFETCH(bool, plugBack);
        QFETCH(QString, first);
        QFETCH(QString, second);
        const QString path = m_dir.path() + QStringLiteral("/dongle");
        const QString truth = startWithTruth(path);
        add({0x2345, 0x1234});
        readSensors();
        m_bench.sim->flushTruth();
        actionblock::Choice choice;
        choice.downloadAll = true;
        m_bench.model->setChoice(choice);

        bool pulled = false;
        QElapsedTimer away;
        connect(m_bench.model, &FleetModel::statusChanged, this, [&](int row) {
            const QString text = m_bench.model->sensor(row).status;
            if (pulled || !text.endsWith(" % downloaded") || text.split(' ').first().toInt() < 30)
                return;
            pulled = true;
            m_bench.sim->unplug();
            away.start();
            if (plugBack)
                // What the connection bar does when the same port comes back.
                QTimer::singleShot(400, this, [this, path] {
                    QVERIFY(m_bench.sim->replug());
                    QVERIFY(m_bench.link->openPort(path));
                });
            else
                QTimer::singleShot(400, m_bench.session.get(), &FleetSession::stop);
        });
        MessageCapture capture(MessageCapture::Silent);
        runActions();
        QVERIFY(pulled);
        QVERIFY(capture.contains(QStringLiteral("port lost, waiting for the dongle")));
        QVERIFY2(away.elapsed() < 15000, "the wait outlasted the dongle or the stop");
        QCOMPARE(status(0x1234), first);
        QCOMPARE(status(0x2345), second);
        QVERIFY(!m_bench.model->files().isOpen(0x1234));
        if (!plugBack)
            return;
        // Nothing was asked of a closed port, and every row came exactly once.
        QCOMPARE(m_run->reRequests(), 0);
        for (int sn : {0x1234, 0x2345})
            compareWithTruth(sn, truth);
        // The dongle heard again that a run is under way: once at each run, once at the reopen.
        QCOMPARE(
            m_bench.sim->loraDongle()->received().count(QByteArray(1, char(command::RunStart))), 3);
    }

    void aStopEndsTheRun_data()
    {
        QTest::addColumn<QVector<int>>("serials"); // in row order
        QTest::addColumn<bool>("download");
        QTest::addColumn<QString>("first");  // Status of the first row after the stop
        QTest::addColumn<QString>("second"); // and of the second
        // 1111 listens on another channel: its wake-up pass would go on for a minute
        QTest::newRow("while a sensor is out of reach")
            << QVector<int>{0x0430, 0x1111} << false << "Action succesfull"
            << "Action Interrupted by User";
        QTest::newRow("during a download")
            << QVector<int>{0x2345, 0x9001} << true << "Download Interrupted by user"
            << "Action Interrupted by User";
    }
    void aStopEndsTheRun()
    {
        QFETCH(QVector<int>, serials);
        QFETCH(bool, download);
        QFETCH(QString, first);
        QFETCH(QString, second);
        start();
        add(serials);
        bool stopAsked = false;
        if (download) {
            readSensors();
            actionblock::Choice choice;
            choice.downloadAll = true;
            m_bench.model->setChoice(choice);
            // The stop lands in the middle of a page transaction.
            connect(m_bench.model, &FleetModel::statusChanged, this, [&](int row) {
                const QString text = m_bench.model->sensor(row).status;
                if (stopAsked || !text.endsWith(QStringLiteral(" % downloaded")) ||
                    text.split(' ').first().toInt() < 10)
                    return;
                stopAsked = true;
                QTimer::singleShot(30, m_bench.session.get(), &FleetSession::stop);
            });
        } else {
            QTimer::singleShot(2500, m_bench.session.get(), &FleetSession::stop);
        }
        QSignalSpy stopped(m_bench.session.get(), &FleetSession::stopped);
        QElapsedTimer clock;
        clock.start();
        runActions();
        QVERIFY2(clock.elapsed() < 15000, "the stop did not end the run");
        QCOMPARE(stopped.size(), 1);
        QVERIFY(!m_run->isRunning() && !m_run->isDownloading());
        QCOMPARE(status(serials[0]), first);
        QCOMPARE(status(serials[1]), second);
        QCOMPARE(m_bench.model->sensor(1).tone, FM::Tone::Bad);
        QVERIFY(!m_bench.model->files().isOpen(uint32_t(serials[0])));
        QVERIFY(!m_bench.model->sensor(0).record.download_started);
        // The link is free again: the next transaction goes out.
        QVERIFY(m_bench.link->sendLoraCommand(0x9001, command::memoryRead(false, 2)));
    }
};

QTEST_GUILESS_MAIN(TestLoraRun)
#include "tst_lorarun.moc"
