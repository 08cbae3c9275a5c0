#include "actionrun.h"
#include "datafiles.h"
#include "filesizelimit.h"
#include "fleetmodel.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "page.h"
#include "pageframes.h"
#include "simulator.h"
#include "truthrows.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace
{
using FM = FleetModel;

QString hex4(int sn)
{
    return QStringLiteral("%1").arg(sn, 4, 16, QLatin1Char('0')).toUpper();
}

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
    QTemporaryDir m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<FleetModel> m_model;
    std::unique_ptr<ActionRun> m_run;
    QTimer m_waker;

    QString truthDir() const { return m_dir.path() + QStringLiteral("/truth"); }
    QString linkPath() const { return m_dir.path() + QStringLiteral("/dongle"); }

    // The test fleet with its clocks standing still, behind a link path that survives a replug;
    // the run has learnt 1234's type and the truth is on disk.
    void start()
    {
        QDir(truthDir()).removeRecursively();
        QVERIFY(QDir().mkpath(truthDir()));
        QDir(m_dir.path() + QStringLiteral("/out")).removeRecursively();
        sim::ScenarioResult r =
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/test-fleet.ini"));
        r.scenario.speed = 1e-6;
        for (sim::DeviceConfig &d : r.scenario.devices)
            if (d.serialNumber == Sn)
                d.pages = 12; // room to be cut in the middle
        m_sim = std::make_unique<sim::Simulator>(r.scenario);
        QVERIFY(m_sim->setTruthDir(truthDir()));
        QVERIFY(m_sim->open(linkPath()));
        m_link = std::make_unique<ManageSerialPort>();
        QVERIFY(m_link->openPort(linkPath()));
        m_model = std::make_unique<FleetModel>();
        m_run = std::make_unique<ActionRun>(m_model.get(), m_link.get());
        m_run->folder = m_dir.path() + QStringLiteral("/out");
        QVERIFY(m_model->insert_sensor(Sn) >= 0);
        QVERIFY(run(20000));
        m_sim->flushTruth();
        actionblock::Choice choice;
        choice.downloadAll = true;
        m_model->setChoice(choice);
    }

    // Wakes the sensor whenever it sleeps unserved and the run listens to everyone.
    void wake()
    {
        sim::Device *d = m_sim->device(Sn);
        if (!m_link->isOpen() || !d || m_sim->fleet().isAwake(*d) || m_model->sensor(0).served ||
            m_run->download_running || m_run->listen_address != 0xFFFF)
            return;
        m_sim->wake(Sn);
    }

    bool run(int limitMs)
    {
        bool late = false;
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [&] {
            late = true;
            m_run->stop_run();
        });
        guard.start(limitMs);
        m_waker.start(150);
        m_run->action_run();
        m_waker.stop();
        return !late && !m_run->action_running;
    }

    const SensorRecord &record() const { return m_model->sensor(0).record; }
    QString status() const { return m_model->cell(0, FM::ColStatus).text; }
    uint colour() const { return uint(m_model->cell(0, FM::ColStatus).colour); }

    QString tsv() const
    {
        const QStringList found = QDir(m_run->folder).entryList({hex4(Sn) + "_*.tsv"}, QDir::Files);
        return found.size() == 1 ? m_run->folder + QLatin1Char('/') + found.first() : QString();
    }

    // The downloaded rows are the truth's first `count` rows (all of them when -1).
    void compareWithTruth(int count = -1)
    {
        const QVector<TruthRow> got = tsvRows(tsv());
        const QVector<TruthRow> want = truthRows(truthDir() + "/" + hex4(Sn) + ".truth");
        QVERIFY(!want.isEmpty());
        QCOMPARE(got.size(), count < 0 ? want.size() : count);
        for (int i = 0; i < got.size(); ++i)
            QVERIFY2(writtenAs(got[i], want[i], m_model->sensor(0).type),
                     qPrintable(QStringLiteral("row %1: %2 instead of %3")
                                    .arg(i)
                                    .arg(got[i].time, want[i].time)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        connect(&m_waker, &QTimer::timeout, this, &TestDownload::wake);
    }

    void cleanup()
    {
        m_waker.stop();
        m_run.reset();
        m_link.reset();
        m_sim.reset();
        m_model.reset();
    }

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
        sim::SensorMemory &memory = m_sim->device(Sn)->memory();
        const int page = memory.oldestPage() + offset;
        QVERIFY(page <= memory.newestPage());
        const int at = page * page::Size + MonthByte;
        const uint8_t month = memory.page(page)[MonthByte];
        QVERIFY(memory.pokeByte(at, 0x13));
        // Put right before the page is asked for again: the first copy was damaged on its way.
        QVector<int> refused;
        connect(m_run.get(), &ActionRun::pageRefused, this, [&](uint32_t sn, int number) {
            QCOMPARE(int(sn), Sn);
            refused << number;
            if (onTheWay)
                memory.pokeByte(at, month);
        });
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(run(120000));
        QCOMPARE(refused, QVector<int>{page});
        QCOMPARE(m_run->pageReRequests(), 1);
        QVERIFY(capture.contains(QStringLiteral("\"pages requested again :\" 1")));
        QCOMPARE(status(), QStringLiteral("Download Complete"));
        if (onTheWay) {
            compareWithTruth();
        } else {
            QVERIFY(capture.contains(QStringLiteral("page taken as the sensor holds it :")));
            QVERIFY(tsvRows(tsv()).size() > 0);
        }
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
            QVERIFY(run(120000));
        }
        QCOMPARE(status(), QStringLiteral("Error writing data in file"));
        QCOMPARE(colour(), uint(FM::Red));
        QVERIFY(!m_model->files().isOpen(Sn));
        QVERIFY(!record().download_started);
        QFile f(tsv());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(wholeRows(f.readAll()));
        const int rows = tsvRows(tsv()).size();
        QVERIFY(rows > 0);
        compareWithTruth(rows);
        QVERIFY(rows < truthRows(truthDir() + "/" + hex4(Sn) + ".truth").size());
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
                                 ? !m_run->download_running
                                 : m_run->download_running &&
                                       record().current_page >= record().start_page + afterPages;
            if (pulled || !now)
                return;
            pulled = true;
            m_sim->unplug();
            // What the connection bar does when the same port comes back.
            QTimer::singleShot(400, this, [this] {
                QVERIFY(m_sim->replug());
                QVERIFY(m_link->openPort(linkPath()));
            });
        });
        watch.start(afterPages < 0 ? 50 : 2);
        MessageCapture capture(MessageCapture::Silent);
        QVERIFY(run(120000));
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
