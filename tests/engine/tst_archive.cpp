#include "archive.h"
#include "fleetjournal.h"
#include "filesizelimit.h"
#include "messagecapture.h"
#include "runbench.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QtTest>

namespace
{
constexpr int Sn = 0x1234;
const QString Header = QStringLiteral("1234\tSN1234\tSN1234\r\nTime\tTemperature\tHumidity");
} // namespace

// Collections of new data, again and again, into one archive per recording: every sample the
// sensor recorded is there once and in order, whatever cut the collections short, and what the
// ring overwrote before it was collected is told.
class TestArchive : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    RunBench m_bench;
    // Every sample the truth ever showed, by time: the ring forgets, this does not.
    QMap<QString, TruthRow> m_seen;

    QString linkPath() const { return m_dir.path() + QStringLiteral("/dongle"); }
    QString truthFile() const { return m_dir.path() + QStringLiteral("/truth/1234.truth"); }
    QString archiveDir() const { return m_dir.path() + QStringLiteral("/out/archive"); }
    QStringList archives() const
    {
        return QDir(archiveDir()).entryList({QStringLiteral("1234_*.tsv")}, QDir::Files,
                                            QDir::Name);
    }

    void start(int periodCode = 3)
    {
        QDir(m_dir.path() + QStringLiteral("/truth")).removeRecursively();
        QDir(m_dir.path() + QStringLiteral("/out")).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir.path() + QStringLiteral("/truth")));
        m_seen.clear();
        sim::Scenario scenario = testScenario();
        scenario.speed = 1e-6; // the clock moves when the test says so
        scenario.dongle.pageLatencyMs = 5;
        for (sim::DeviceConfig &d : scenario.devices)
            if (d.serialNumber == Sn) {
                d.pages = 12;
                d.periodCode = periodCode;
            }
        QVERIFY(m_bench.start(scenario, m_dir.path() + QStringLiteral("/out"),
                              m_dir.path() + QStringLiteral("/truth"), linkPath()));
        QVERIFY(m_bench.model->insert_sensor(Sn) >= 0);
        actionblock::Choice choice;
        choice.downloadNew = true;
        m_bench.model->setChoice(choice);
    }

    // The sensor records `seconds` more; what its memory holds joins what was ever seen.
    void record(int64_t seconds)
    {
        m_bench.sim->fleet().advance(seconds * 1000);
        m_bench.sim->flushTruth();
        for (const TruthRow &r : truthRows(truthFile()))
            m_seen.insert(r.time, r);
    }

    void wake()
    {
        sim::Device *d = m_bench.sim->device(Sn);
        if (d && !m_bench.sim->fleet().isAwake(*d) && !m_bench.model->sensor(0).served &&
            !m_bench.run->isDownloading() && m_bench.run->listenAddress() == 0xFFFF)
            m_bench.sim->wake(Sn);
    }

    // The archives, read in order: every sample seen up to their last one, once, with the
    // sensor's values. What the ring overwrote between two looks of the test was never seen.
    QVector<TruthRow> compareWithEverythingSeen()
    {
        QVector<TruthRow> rows;
        for (const QString &name : archives())
            rows << tsvRows(archiveDir() + QLatin1Char('/') + name);
        [&] {
            QVERIFY(!rows.isEmpty());
            const SensorType &type = m_bench.model->sensor(0).type;
            for (int i = 1; i < rows.size(); ++i)
                QVERIFY2(rows[i - 1].time < rows[i].time,
                         qPrintable(rows[i].time + QStringLiteral(" after ") + rows[i - 1].time +
                                    QStringLiteral(" in ") + archives().join(QLatin1Char(' '))));
            int at = 0;
            for (auto it = m_seen.cbegin(); it != m_seen.cend() && it.key() <= rows.last().time;
                 ++it, ++at)
                QVERIFY2(at < rows.size() && writtenAs(rows[at], *it, type),
                         qPrintable(it.key() + QStringLiteral(" / ") +
                                    (at < rows.size() ? rows[at].time : QString())));
            QCOMPARE(at, rows.size());
        }();
        return rows;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        m_bench.wake = [this] { wake(); };
    }

    void cleanup() { m_bench.reset(); }

    void theEndIsTheLastWholeRow_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QString>("lastRow"); // empty: none
        QTest::addColumn<int>("torn");
        const QByteArray h = Header.toLatin1();
        const QByteArray a = "\r\n01/02/26 10:00:00\t21.50\t40.1\t";
        const QByteArray b = "\r\n01/02/26 10:00:10\t21.60\t40.2\t";
        QTest::newRow("whole") << h + a + b << true << "2026-02-01T10:00:10" << 0;
        QTest::newRow("header only") << h << true << "" << 0;
        QTest::newRow("cut in a value") << h + a + b.left(24) << true << "2026-02-01T10:00:00"
                                        << 24;
        QTest::newRow("cut after a field") << h + a + b.left(27) << true
                                           << "2026-02-01T10:00:00" << 27;
        QTest::newRow("cut in the line break") << h + a + "\r" << true << "2026-02-01T10:00:00"
                                               << 1;
        QTest::newRow("stop row") << h + a + "\r\n01/02/26 10:00:04\t-1\t0\t" << true
                                  << "2026-02-01T10:00:04" << 0;
        QTest::newRow("first row torn") << h + a.left(12) << true << "" << 12;
        QTest::newRow("two rows that are not ours") << h + a + "\r\nabc\r\ndef" << false << ""
                                                    << 0;
        QTest::newRow("no header") << QByteArray("01/02/26 10:00:00\t1\t") << false << "" << 0;
    }

    void theEndIsTheLastWholeRow()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, usable);
        QFETCH(QString, lastRow);
        QFETCH(int, torn);
        const archive::End e = archive::trueEndOf(text.left(64), text, text.size());
        QCOMPARE(e.usable, usable);
        if (!usable)
            return;
        QCOMPARE(e.header, Header.toLatin1());
        QCOMPARE(e.lastRow == archive::Nothing ? QString()
                                               : QDateTime::fromSecsSinceEpoch(e.lastRow, Qt::UTC)
                                                     .toString(Qt::ISODate)
                                                     .left(19),
                 lastRow);
        QCOMPARE(e.torn, qint64(torn));
        QCOMPARE(e.length + e.torn, qint64(text.size()));
    }

    // Collections with a stop in the middle, a power cut that tore the last row and a full disk
    // between them: one archive, every sample once.
    void collectionsCutShortLoseAndRepeatNothing()
    {
        start();
        record(0);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(m_bench.status(Sn), QStringLiteral("Download Complete"));
        QCOMPARE(archives().size(), 1);
        const QString path = archiveDir() + QLatin1Char('/') + archives().first();
        QCOMPARE(m_bench.session->summaryFor(Sn).archivePaths, QStringList{path});
        compareWithEverythingSeen();

        // Stopped after a few pages of a longer collection.
        record(24 * 3600);
        bool stopped = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!stopped && m_bench.run->downloadStats(Sn).fetched >= 3) {
                stopped = true;
                m_bench.session->stop();
            }
        });
        watch.start(2);
        m_bench.runFor(60000);
        watch.stop();
        QVERIFY(stopped);
        QVERIFY2(!m_bench.session->summaryFor(Sn).done, qPrintable(m_bench.status(Sn)));
        compareWithEverythingSeen();

        // The PC lost its power in the middle of a write.
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append));
            f.write("\r\n01/02/26 10:0");
        }
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(m_bench.status(Sn), QStringLiteral("Download Complete"));
        compareWithEverythingSeen();

        // The disk fills up in the middle; the next collection takes the rest.
        record(3 * 3600);
        {
            FileSizeLimit full(rlim_t(QFileInfo(path).size() + 700));
            m_bench.runFor(60000);
        }
        QCOMPARE(m_bench.status(Sn), QStringLiteral("Error writing data in file"));
        QVERIFY(!m_bench.session->summaryFor(Sn).done);
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(m_bench.status(Sn), QStringLiteral("Download Complete"));
        compareWithEverythingSeen();

        // The dongle pulled out in the middle and plugged in again: the same collection goes on.
        record(24 * 3600);
        bool pulled = false;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (pulled || m_bench.run->downloadStats(Sn).fetched < 3)
                return;
            pulled = true;
            m_bench.sim->unplug();
            QTimer::singleShot(400, this, [this] {
                QVERIFY(m_bench.sim->replug());
                QVERIFY(m_bench.link->openPort(linkPath()));
            });
        });
        watch.start(2);
        QVERIFY(m_bench.runFor(60000));
        watch.stop();
        QVERIFY(pulled);
        QCOMPARE(m_bench.status(Sn), QStringLiteral("Download Complete"));
        QCOMPARE(archives().size(), 1);
        compareWithEverythingSeen();

        // Nothing recorded since: nothing asked for twice, nothing written.
        const qint64 size = QFileInfo(path).size();
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(m_bench.status(Sn), QStringLiteral("No new data"));
        QVERIFY(m_bench.session->summaryFor(Sn).done);
        QCOMPARE(QFileInfo(path).size(), size);
        QCOMPARE(archives().size(), 1);
    }

    // A cleared memory, or other channels, start a new archive, and the operator hears why; an
    // archive whose header is not the sensor's is never appended to.
    void aChangedRecordingStartsANewArchive()
    {
        start();
        record(0);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(60000));
        const QString first = archives().value(0);

        actionblock::Choice clear;
        clear.clearData = true;
        m_bench.model->setChoice(clear);
        QVERIFY(m_bench.runFor(60000));
        record(600);
        actionblock::Choice collect;
        collect.downloadNew = true;
        m_bench.model->setChoice(collect);
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(archives().size(), 2);
        const SensorSummary s = m_bench.session->summaryFor(Sn);
        QCOMPARE(s.archiveNotes.size(), 1);
        QVERIFY2(s.archiveNotes[0].endsWith(QStringLiteral(": the recording restarted")),
                 qPrintable(s.archiveNotes[0]));
        QVERIFY(!s.archivePaths.value(0).endsWith(first));
        compareWithEverythingSeen();

        // One channel less, with samples of both still to collect: those finish the archive
        // they belong to, the others start one of their own. (Half a period on, so that the
        // new recording's first sample is not at the second of the old one's last.)
        record(605);
        m_bench.model->setCheckedChannels(0, {QStringLiteral("Temperature")});
        actionblock::Choice channels;
        channels.selectChannels = true;
        m_bench.model->setChoice(channels);
        QVERIFY(m_bench.runFor(60000));
        record(600);
        m_bench.model->setChoice(collect);
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(archives().size(), 3);
        const SensorSummary c = m_bench.session->summaryFor(Sn);
        QCOMPARE(c.archivePaths.size(), 2);
        QCOMPARE(c.archivePaths[0], s.archivePaths.value(0));
        QVERIFY2(c.archiveNotes.value(0).endsWith(QStringLiteral(": the channels changed")),
                 qPrintable(c.archiveNotes.value(0)));
        compareWithEverythingSeen();

        // Somebody's edit of the newest archive's header.
        const QString newest = c.archivePaths.value(1);
        QFile f(newest);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QByteArray text = f.readAll();
        text.replace("Time\tTemperature", "Time\tTEMPERATURE");
        f.seek(0);
        f.write(text);
        f.close();
        record(600);
        QVERIFY(m_bench.runFor(60000));
        QCOMPARE(archives().size(), 4);
        QVERIFY2(m_bench.session->summaryFor(Sn).archiveNotes.value(0).contains(
                     QStringLiteral("header")),
                 qPrintable(m_bench.session->summaryFor(Sn).archiveNotes.value(0)));
        QFile again(newest);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), text);
    }

    // Collected too late: the ring went round past the last sample collected. The archive
    // goes on with what is left, and the lost range is told, in the summary and the status.
    void whatTheRingOverwroteIsToldAsAGap()
    {
        start(0); // every second: the ring goes round in a few days
        FleetJournal journal;
        QVERIFY(journal.open(m_dir.filePath(QStringLiteral("journal.sqlite"))));
        m_bench.session->setJournal(&journal, {});
        record(0);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(60000));
        record(int64_t(page::RingPages) * 128 + 5000);
        QVERIFY(m_bench.runFor(120000));
        const SensorSummary s = m_bench.session->summaryFor(Sn);
        QVERIFY(s.done);
        QCOMPARE(s.gaps.size(), 1);
        QVERIFY(s.gaps[0].from < s.gaps[0].to);
        QVERIFY2(m_bench.status(Sn).contains(QStringLiteral("overwritten")),
                 qPrintable(m_bench.status(Sn)));
        QCOMPARE(archives().size(), 1);
        // The gap is exactly the samples between the two collections' rows.
        const QVector<TruthRow> rows = compareWithEverythingSeen();
        const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
        int jumps = 0;
        for (int i = 1; i < rows.size(); ++i) {
            const QDateTime a = QDateTime::fromString(rows[i - 1].time, format);
            const QDateTime b = QDateTime::fromString(rows[i].time, format);
            if (a.secsTo(b) == 1)
                continue;
            ++jumps;
            QCOMPARE(s.gaps[0].from.toString(format), a.addSecs(1).toString(format));
            QCOMPARE(s.gaps[0].to.toString(format), b.addSecs(-1).toString(format));
        }
        QCOMPARE(jumps, 1);

        // The journal has every answer and both collections, the gap with the second.
        QVERIFY(journal.statusHistory(Sn).size() >= 2);
        const std::optional<CollectionEntry> c = journal.lastCollection(Sn);
        QVERIFY(c);
        QCOMPARE(c->ask, CollectionAsk::New);
        QCOMPARE(c->archivePath, s.archivePaths.join(QLatin1Char(';')));
        QCOMPARE(c->gaps.size(), 1);
        QCOMPARE(c->rowsWritten, qint64(s.rows));
        QVERIFY(c->windowFromMs);
        m_bench.session->setJournal(nullptr, {});
    }
};

QTEST_MAIN(TestArchive)
#include "tst_archive.moc"
