#include "datafiles.h"
#include "filesizelimit.h"
#include "messagecapture.h"
#include "page.h"
#include "pageframes.h"
#include "runbench.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
using FM = FleetModel;

// Rows of a .tsv: each starts with its line break, after the two header lines.
int rowCount(const QByteArray &text)
{
    return text.split('\n').size() - 2;
}

constexpr int Sn = 0x1234;
constexpr int MonthByte = 3; // of a page header
} // namespace

// Downloads on the 802.15.4 link that keep what the sensor recorded, and only that: damaged
// pages the frame checksum let through, a full disk, a dongle pulled out in the middle.
class TestDownload : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    RunBench m_bench;

    QString truthDir() const { return m_dir.path() + QStringLiteral("/truth"); }
    QString linkPath() const { return m_dir.path() + QStringLiteral("/dongle"); }

    // The test fleet with its clocks standing still, behind a link path that survives a replug;
    // the run has learnt 1234's type and the truth is on disk.
    void start(int pages = 12, int pageLatencyMs = 10)
    {
        QDir(truthDir()).removeRecursively();
        QVERIFY(QDir().mkpath(truthDir()));
        QDir(m_dir.path() + QStringLiteral("/out")).removeRecursively();
        sim::Scenario scenario = testScenario();
        scenario.speed = 1e-6;
        // At 0 an answer can come before the request has left the program's hands.
        scenario.dongle.pageLatencyMs = pageLatencyMs;
        for (sim::DeviceConfig &d : scenario.devices)
            if (d.serialNumber == Sn)
                d.pages = pages; // 12: room to be cut in the middle
        QVERIFY(
            m_bench.start(scenario, m_dir.path() + QStringLiteral("/out"), truthDir(), linkPath()));
        QVERIFY(m_bench.model->insert_sensor(Sn) >= 0);
        QVERIFY(m_bench.runFor(20000));
        m_bench.sim->flushTruth();
        actionblock::Choice choice;
        choice.downloadAll = true;
        m_bench.model->setChoice(choice);
    }

    // Wakes the sensor whenever it sleeps unserved and the run listens to everyone.
    void wake()
    {
        sim::Device *d = m_bench.sim->device(Sn);
        if (!m_bench.link->isOpen() || !d || m_bench.sim->fleet().isAwake(*d) ||
            m_bench.model->sensor(0).served || m_bench.run->isDownloading() ||
            m_bench.run->listenAddress() != 0xFFFF)
            return;
        m_bench.sim->wake(Sn);
    }

    const SensorRecord &record() const { return m_bench.model->sensor(0).record; }
    QString status() const { return m_bench.status(Sn); }
    QString tsv() const { return m_bench.tsvOf(Sn); }

    // The downloaded rows are the truth's first `count` rows (all of them when -1).
    void compareWithTruth(int count = -1)
    {
        QString why;
        QVERIFY2(m_bench.matchesTruth(Sn, truthDir(), &why, count), qPrintable(why));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        m_bench.wake = [this] { wake(); };
    }

    void cleanup() { m_bench.reset(); }

    void aPageThatFailsItsCheckIsAskedForAgain_data()
    {
        QTest::addColumn<bool>("onTheWay"); // else the sensor's memory holds the damage
        QTest::addColumn<int>("offset");    // the damaged page, from the first one downloaded
        // The frame sum is made over the damaged bytes: only the page check can see them.
        QTest::newRow("first page of a frame, damaged on the way") << true << 2;
        QTest::newRow("second page of a frame, damaged on the way") << true << 5;
        QTest::newRow("held so by the sensor: taken at the second copy") << false << 3;
    }
    void aPageThatFailsItsCheckIsAskedForAgain()
    {
        QFETCH(bool, onTheWay);
        QFETCH(int, offset);
        start();
        sim::SensorMemory &memory = m_bench.sim->device(Sn)->memory();
        const int page = memory.oldestPage() + offset;
        QVERIFY(page <= memory.newestPage());
        const int at = page * page::Size + MonthByte;
        const uint8_t month = memory.page(page)[MonthByte];
        QVERIFY(memory.pokeByte(at, 0x13));
        // Put right before the page is asked for again: the first copy was damaged on its way.
        QVector<int> refused;
        connect(m_bench.run, &ActionRun::pageRefused, this, [&](uint32_t sn, int number) {
            QCOMPARE(int(sn), Sn);
            refused << number;
            if (onTheWay)
                memory.pokeByte(at, month);
        });
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(120000));
        // Damaged on the way, only the first copy fails; held so, every copy does, and two
        // that agree are what the sensor holds.
        QCOMPARE(refused, onTheWay ? QVector<int>({page}) : QVector<int>({page, page}));
        const pagevouch::Stats stats = m_bench.run->downloadStats(Sn);
        QVERIFY(stats.verified >= 1);
        QVERIFY(stats.reRequested >= 1);
        QCOMPARE(stats.refused, 0);
        QCOMPARE(status(), QStringLiteral("Download Complete"));
        if (onTheWay) {
            compareWithTruth();
        } else {
            QVERIFY(capture.contains(QStringLiteral("page taken as the sensor holds it :")));
            QVERIFY(tsvRows(tsv()).size() > 0);
        }
    }

    // Bytes flipped, dropped and inserted on their way from the dongle (seeded): no row that the
    // sensor did not record reaches the file. The download ends complete and equal to the truth,
    // or on a page it could not vouch for, with every row before it the truth's.
    void byteFaultsNeverPutAWrongRowInTheFile_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<uint>("seed");
        // Two densities, a seed each: the benchmark runs 400 pages more through the worse one.
        QTest::addRow("1e-3 per byte") << 1e-3 << 11u;
        QTest::addRow("5e-4 per byte") << 5e-4 << 12u;
    }
    void byteFaultsNeverPutAWrongRowInTheFile()
    {
        QFETCH(double, rate);
        QFETCH(uint, seed);
        start(100, 0);
        sim::Faults faults = m_bench.sim->faults();
        faults.byteFaultRate = rate;
        faults.seed = seed;
        m_bench.sim->setFaults(faults);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(240000));
        m_bench.sim->faults().byteFaultRate = 0;
        const pagevouch::Stats stats = m_bench.run->downloadStats(Sn);
        QVERIFY(capture.contains(QStringLiteral("link fault :")));
        QVERIFY(stats.verified > 0);
        const auto rows = tsvRows(tsv());
        if (stats.refused > 0) {
            QVERIFY(status().endsWith(QStringLiteral(" could not be read without errors")));
            compareWithTruth(rows.size());
        } else {
            QCOMPARE(status(), QStringLiteral("Download Complete"));
            compareWithTruth();
        }
        QFile f(tsv());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(wholeRows(f.readAll()));
    }

    // A frame lost in the middle of a request is asked for again at once, whether the answer
    // comes a moment after the request or before the program has finished sending it: the
    // download ends within the sensor's one wake.
    void aLostFrameCostsOneRequestNotAWake_data()
    {
        QTest::addColumn<int>("pageLatencyMs");
        QTest::newRow("answer at once") << 0;
        QTest::newRow("answer after 10 ms") << 10;
    }
    void aLostFrameCostsOneRequestNotAWake()
    {
        QFETCH(int, pageLatencyMs);
        start(40, pageLatencyMs);
        // The second frame of the first request goes missing.
        bool dropped = false;
        connect(m_bench.model, &FleetModel::changed, this, [&] {
            if (!dropped && status().endsWith(QStringLiteral(" % downloaded"))) {
                dropped = true;
                m_bench.sim->faults().dropNext = 1;
            }
        });
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(60000));
        QVERIFY(dropped);
        QCOMPARE(status(), QStringLiteral("Download Complete"));
        QVERIFY(!capture.contains(QStringLiteral("flag_dl_interrupt")));
        QVERIFY(m_bench.run->downloadStats(Sn).reRequested >= 1);
        // One copy of each page was enough: a lost frame is no damage.
        QCOMPARE(m_bench.run->downloadStats(Sn).verified, 0);
        compareWithTruth();
    }

    // A sensor the run has nothing for (not in the fleet, or served already) may wake in the
    // middle of a download: the download goes on in the same wake.
    void aSensorThatWakesForNothingDoesNotCutTheDownload()
    {
        start(40);
        bool woke = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (!woke && m_bench.run->isDownloading() && record().current_page >= 6)
                woke = m_bench.sim->wake(0x1400);
        });
        poll.start(1);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(60000));
        QVERIFY(woke);
        QVERIFY(!capture.contains(QStringLiteral("served next")));
        QVERIFY(capture.contains(QStringLiteral("not for this run")));
        QCOMPARE(status(), QStringLiteral("Download Complete"));
        compareWithTruth();
    }

    void aFullDiskLeavesWholeRowsAndRecords_data()
    {
        QTest::addColumn<bool>("binary");
        QTest::addColumn<int>("room");  // bytes a file may grow past the .tsv header's length
        QTest::addColumn<int>("pages"); // pages whole in the files
        // A .pdc record is 548 bytes: 2 (1096) fit, the third (1644) is cut and taken back, and
        // the .tsv loses the rows of that page with it. The header is well under 500 bytes.
        QTest::newRow("record cut") << true << 1100 << 2;
        // "\r\n01/03/26 12:00:00\t0\t1\t": two rows of 24 bytes on page 0, of 26 on page 1
        // (values 10 to 13), of 28 on page 2 (100 to 103): 120 bytes end inside page 2's first row.
        QTest::newRow("row cut") << false << 120 << 2;
    }
    void aFullDiskLeavesWholeRowsAndRecords()
    {
        QFETCH(bool, binary);
        QFETCH(int, room);
        QFETCH(int, pages);
        QTemporaryDir dir;
        pagedecode::Layout layout;
        layout.sensorType = 1;
        layout.channelCount = 2;
        layout.titles[0] = QStringLiteral("Temperature");
        layout.titles[1] = QStringLiteral("Humidity");
        pagedecode::PageDecoder decoder(Sn, 0, layout, pagedecode::Options());
        DataFiles files;
        QVERIFY(files.openText(dir.path(), QStringLiteral("a.tsv")));
        if (binary)
            QVERIFY(files.openBinary(dir.path(), QStringLiteral("a.pdc")));
        QVERIFY(files.writeText(decoder.header()));
        const int limit = decoder.header().size() + room;
        FrameOutcome outcome;
        {
            FileSizeLimit full{rlim_t(limit)};
            for (int frame = 0; frame < 8 && outcome.written; ++frame) {
                const std::vector<uint8_t> data = pageFrame(2, 0x03, 100 * frame, 10);
                const FrameOutcome o = writeFramePages(decoder, files, data.data(),
                                                       int(data.size()), 2, 2 * frame, 99, 3968);
                outcome.pages += o.pages;
                outcome.written = o.written;
            }
        }
        QVERIFY(!outcome.written);
        files.close();
        QFile tsv(dir.path() + "/a.tsv");
        QVERIFY(tsv.open(QIODevice::ReadOnly));
        const QByteArray text = tsv.readAll();
        QVERIFY(text.size() <= limit);
        // Two header lines, then two rows a page, each starting on its line break.
        const int whole = outcome.pages - 1; // the last one decoded could not be written
        QCOMPARE(rowCount(text), 2 * whole);
        QVERIFY(wholeRows(text));
        QCOMPARE(whole, pages);
        if (binary)
            QCOMPARE(QFileInfo(dir.path() + "/a.pdc").size(), qint64(548 * whole));
    }

    void aWriteFailureStopsTheDownloadWithTheFilesClosed()
    {
        start();
        MessageCapture capture(MessageCapture::Silent);
        {
            // The truth is on disk already: only the data file grows while the limit holds.
            FileSizeLimit full{20000}; // some 5 of its 12 pages
            QVERIFY(m_bench.runFor(120000));
        }
        QCOMPARE(status(), QStringLiteral("Error writing data in file"));
        QCOMPARE(m_bench.tone(Sn), FM::Tone::Bad);
        QVERIFY(!m_bench.model->files().isOpen(Sn));
        QVERIFY(!record().download_started);
        QFile f(tsv());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(wholeRows(f.readAll()));
        const int rows = tsvRows(tsv()).size();
        QVERIFY(rows > 0);
        compareWithTruth(rows);
        QVERIFY(rows < truthRows(truthDir() + "/" + hex4(Sn) + ".truth").size());
    }

    // The operator's stop in the middle of a download: the files close on whole rows, each of
    // them the sensor's, and the sensor is told why it was not finished.
    void aStopInTheMiddleClosesTheFilesOnWholeRows()
    {
        start();
        bool stopped = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!stopped && m_bench.run->isDownloading() &&
                record().current_page >= record().start_page + 4) {
                stopped = true;
                m_bench.session->stop();
            }
        });
        watch.start(2);
        MessageCapture capture(MessageCapture::Silent);
        m_bench.runFor(120000);
        QVERIFY(stopped);
        QVERIFY(!m_bench.session->isRunning());
        QCOMPARE(status(), QStringLiteral("Download Interrupted by user"));
        QCOMPARE(m_bench.session->summary().sensors.value(0).outcome, SensorOutcome::Interrupted);
        QVERIFY(!m_bench.model->files().isOpen(Sn));
        QVERIFY(!record().download_started);
        QFile f(tsv());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const int fetched = m_bench.run->downloadStats(Sn).fetched;
        QVERIFY2(fetched >= 4 && fetched < 12, qPrintable(QString::number(fetched)));
        const int rows = rowCount(f.readAll());
        QVERIFY(rows > 0);
        compareWithTruth(rows);
    }

    void aRunOutlivesTheDongleBeingPulledOut_data()
    {
        QTest::addColumn<int>("afterPages"); // pulled out after this many pages; -1: listening
        QTest::newRow("in the middle of a download") << 6;
        QTest::newRow("while the run listens") << -1;
    }
    void aRunOutlivesTheDongleBeingPulledOut()
    {
        QFETCH(int, afterPages);
        start();
        bool pulled = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            const bool now = afterPages < 0
                                 ? !m_bench.run->isDownloading()
                                 : m_bench.run->isDownloading() &&
                                       record().current_page >= record().start_page + afterPages;
            if (pulled || !now)
                return;
            pulled = true;
            m_bench.sim->unplug();
            // What the connection bar does when the same port comes back.
            QTimer::singleShot(400, this, [this] {
                QVERIFY(m_bench.sim->replug());
                QVERIFY(m_bench.link->openPort(linkPath()));
            });
        });
        watch.start(afterPages < 0 ? 50 : 2);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(m_bench.runFor(120000));
        QVERIFY(pulled);
        QVERIFY(capture.contains(QStringLiteral("port lost, waiting for the dongle")));
        if (afterPages >= 0)
            QVERIFY(capture.contains(QStringLiteral("port lost during download :")));
        QCOMPARE(status(), QStringLiteral("Download Complete"));
        compareWithTruth();
    }
};

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
