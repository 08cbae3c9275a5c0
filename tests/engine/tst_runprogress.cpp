#include "runprogress.h"

#include <QtTest>

// Each event is "<ms> <what> [n [m]]"; "<from>:<to>:<step>" as the time repeats the event.
// What: start <listed>, served <sn>, download <to fetch> <already>, pages <n>, end, finish.
class TestRunProgress : public QObject
{
    Q_OBJECT
    qint64 m_now = 0;

    void play(RunProgress &p, const QStringList &events)
    {
        for (const QString &event : events) {
            const QStringList f = event.split(QLatin1Char(' '));
            const QStringList t = f[0].split(QLatin1Char(':'));
            const qint64 from = t[0].toLongLong();
            const qint64 to = t.size() == 3 ? t[1].toLongLong() : from;
            const qint64 step = t.size() == 3 ? t[2].toLongLong() : 1;
            const int n = f.value(2).toInt(nullptr, 0);
            for (m_now = from; m_now <= to; m_now += step) {
                if (f[1] == "start")
                    p.start(n);
                else if (f[1] == "served")
                    p.served(uint32_t(n));
                else if (f[1] == "download")
                    p.downloadStarted(n, f.value(3).toInt());
                else if (f[1] == "pages")
                    p.pagesReceived(n);
                else if (f[1] == "end")
                    p.downloadEnded();
                else if (f[1] == "finish")
                    p.finish();
                else
                    QFAIL(qPrintable("unknown event " + event));
            }
        }
    }

private slots:
    void barFollowsTheRun_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<qint64>("atMs");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("elapsed");

        QTest::newRow("no sensor served")
            << QStringList{"0 start 8"} << qint64(0) << "0 of 8 sensors served" << 0 << 8
            << "Elapsed 00:00:00";
        QTest::newRow("some served, one of them twice, the bar back on sensors after a download")
            << QStringList{"0 start 8",          "100 served 0x1234", "200 download 50",
                           "1000 pages 50",      "2000 end",          "2000 served 0x2345",
                           "3000 served 0x1234", "4000 served 0x3003"}
            << qint64(3723000) << "3 of 8 sensors served" << 3 << 8 << "Elapsed 01:02:03";
        // A bar whose maximum is 0 turns into a busy indicator: an empty run is a full bar.
        QTest::newRow("a run of zero sensors")
            << QStringList{"0 start 0"} << qint64(59000) << "0 of 0 sensors served" << 1 << 1
            << "Elapsed 00:00:59";
        QTest::newRow("the elapsed time stops with the run and nothing counts after it")
            << QStringList{"1000 start 8", "500000 served 1", "755000 finish", "800000 served 2",
                           "800000 download 50"}
            << qint64(900000) << "1 of 8 sensors served" << 1 << 8 << "Elapsed 00:12:34";
        // The rate and the time left keep their place while no estimate holds.
        QTest::newRow("no rate in the first second of a download")
            << QStringList{"0 start 3", "0 download 3968", "500 pages 2"} << qint64(999)
            << "0 of 3 sensors served \u2014 2 of 3968 pages \u2014 no rate yet \u2014 time left "
               "unknown"
            << 2 << 3968 << "Elapsed 00:00:00";
        // 410 pages in 10 s is 41 pages/s; 3968 - 1234 = 2734 pages take 66.7 s, told as 67.
        QTest::newRow("a download half done at a known rate")
            << QStringList{"0 start 3", "0 served 0x1001", "0 download 3968 824",
                           "1000:10000:1000 pages 41"}
            << qint64(10000)
            << "1 of 3 sensors served \u2014 1234 of 3968 pages \u2014 41 pages/s \u2014 about 1 "
               "min 7 s left"
            << 1234 << 3968 << "Elapsed 00:00:10";
        // The window is (10 s, 20 s]: the fast first ten seconds, the page at 10 s included, are
        // out of it. 50 pages in 10 s; 9750 pages left at 5 pages/s is 1950 s.
        QTest::newRow("the rate window forgets the fast start")
            << QStringList{"0 start 1", "0 download 10000", "1000:10000:1000 pages 20",
                           "11000:20000:1000 pages 5"}
            << qint64(20000)
            << "0 of 1 sensors served \u2014 250 of 10000 pages \u2014 5.0 pages/s \u2014 about 32 "
               "min 30 s left"
            << 250 << 10000 << "Elapsed 00:00:20";
        QTest::newRow("a sensor quiet for a whole window has no estimate, at 0 pages/s")
            << QStringList{"0 start 1", "0 download 500", "1000:5000:1000 pages 10"}
            << qint64(15000)
            << "0 of 1 sensors served \u2014 50 of 500 pages \u2014 0 pages/s \u2014 time left "
               "unknown"
            << 50 << 500 << "Elapsed 00:00:15";
        // 4 pages in 10 s; 9996 left at 0.4 pages/s is 24990 s.
        QTest::newRow("a slow rate keeps a decimal and a long wait is told in hours")
            << QStringList{"0 start 1", "0 download 10000", "2500:10000:2500 pages 1"}
            << qint64(10000)
            << "0 of 1 sensors served \u2014 4 of 10000 pages \u2014 0.4 pages/s \u2014 about 6 h "
               "56 min left"
            << 4 << 10000 << "Elapsed 00:00:10";
        QTest::newRow("a resumed download keeps its pages and starts its rate again")
            << QStringList{"0 start 2", "0 download 300",        "1000:5000:1000 pages 20",
                           "5000 end",  "6000 download 300 100", "6500 pages 10"}
            << qint64(6800)
            << "0 of 2 sensors served \u2014 110 of 300 pages \u2014 no rate yet \u2014 time left "
               "unknown"
            << 110 << 300 << "Elapsed 00:00:06";
        QTest::newRow("pages past the range stop the bar at full")
            << QStringList{"0 start 1", "0 download 10 8", "100 pages 2", "200 pages 2"}
            << qint64(300)
            << "0 of 1 sensors served \u2014 10 of 10 pages \u2014 no rate yet \u2014 time left "
               "unknown"
            << 10 << 10 << "Elapsed 00:00:00";
    }
    void barFollowsTheRun()
    {
        QFETCH(QStringList, events);
        QFETCH(qint64, atMs);
        RunProgress p([this] { return m_now; });
        play(p, events);
        m_now = atMs;
        QTEST(p.barText(), "text");
        QTEST(p.value(), "value");
        QTEST(p.maximum(), "maximum");
        QTEST(p.elapsedText(), "elapsed");
    }
};

QTEST_GUILESS_MAIN(TestRunProgress)
#include "tst_runprogress.moc"
