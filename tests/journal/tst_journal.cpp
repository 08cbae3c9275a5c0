// The fleet journal's file: its schema and versions, files it must refuse, a lock held by
// someone else, writers side by side, and what comes back of what went in.
#include "fleetjournal.h"
#include "outboxmessages.h"

#include "messagecapture.h"
#include "testkit.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
// A connection of our own beside the journal's, as another program would hold one.
class RawDb
{
public:
    explicit RawDb(const QString &path) : m_name(QStringLiteral("raw-%1").arg(quintptr(this)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDb()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QVariant value(const QString &sql) const
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }
    bool exec(const QString &sql) const
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        return q.exec(sql);
    }

private:
    QString m_name;
};

StatusEntry status(uint16_t sn, qint64 timeMs, int battery = 13, qint64 offset = 2)
{
    StatusEntry e;
    e.pcTimeMs = timeMs;
    e.serialNumber = sn;
    e.sensorType = 3;
    e.sensorClock = QDateTime::fromMSecsSinceEpoch(timeMs + offset * 1000).toLocalTime();
    e.clockOffsetS = offset;
    e.periodCode = 7;
    e.periodSeconds = 60;
    e.channelMask = 0x03;
    e.pageCount = 120;
    e.firstPage = 0;
    e.lastPage = 119;
    e.batteryIndex = battery;
    e.rssi = 71;
    e.relay = 0x9001;
    e.version = 12;
    e.origin = StatusOrigin::Collection;
    return e;
}

int writeStatuses(const QString &path, uint16_t sn, int count)
{
    FleetJournal j;
    if (!j.open(path))
        return 2;
    for (int i = 0; i < count; ++i)
        if (!j.recordStatus(status(sn, 1000000 + i)))
            return 3;
    return 0;
}

// Every stored field, so that one comparison names the one that came back different.
QVariantList fields(const StatusEntry &e)
{
    return {e.pcTimeMs,
            e.serialNumber,
            e.sensorType,
            e.sensorClock,
            e.clockOffsetS ? QVariant(*e.clockOffsetS) : QVariant(),
            e.periodCode,
            e.periodSeconds,
            e.channelMask,
            e.pageCount,
            e.firstPage,
            e.lastPage,
            e.batteryIndex,
            e.rssi,
            e.relay,
            e.version,
            int(e.origin)};
}

QVariantList fields(const CollectionEntry &e)
{
    QVariantList gaps;
    for (const TimeGap &g : e.gaps)
        gaps << g.fromMs << g.toMs;
    return {e.startedMs,
            e.endedMs,
            e.serialNumber,
            int(e.ask),
            e.windowFromMs ? QVariant(*e.windowFromMs) : QVariant(),
            e.windowToMs ? QVariant(*e.windowToMs) : QVariant(),
            e.pagesRequested,
            e.pagesFetched,
            e.pagesReRequested,
            e.pagesRefused,
            e.rowsWritten,
            e.outcome,
            e.archivePath,
            gaps,
            e.setTime,
            e.setTimeMs};
}

const char *const WriterArgument = "--write-statuses";
// What that other program writes.
constexpr int WriterCount = 300;
} // namespace

class TestJournal : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    int m_file = 0;

    QString newPath() { return m_dir.filePath(QStringLiteral("j%1.sqlite").arg(++m_file)); }

    // A journal of version 1 holding `rows` statuses, closed and checkpointed into one file.
    QString version1File(int rows)
    {
        const QString path = newPath();
        {
            FleetJournal j;
            if (!j.open(path))
                return QString();
            for (int i = 0; i < rows; ++i)
                j.recordStatus(status(0x1000, i * 1000));
        }
        // Back to what a program of schema 1 left: no outbox yet.
        RawDb raw(path);
        if (!raw.exec(QStringLiteral("DROP TABLE outbox")) ||
            !raw.exec(QStringLiteral("PRAGMA user_version=1")))
            return QString();
        return path;
    }

private slots:
    void opensCreatesAndMigratesButRefusesANewerSchema_data()
    {
        QTest::addColumn<QString>("made");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<int>("rowsAfter");
        QTest::newRow("no file yet") << "absent" << true << 0;
        QTest::newRow("empty file, version 0") << "empty" << true << 0;
        QTest::newRow("version 1 with rows") << "v1" << true << 5;
        QTest::newRow("version 9 of a later program") << "newer" << false << -1;
    }

    void opensCreatesAndMigratesButRefusesANewerSchema()
    {
        QFETCH(QString, made);
        QFETCH(bool, opens);
        QFETCH(int, rowsAfter);
        QString path = newPath();
        if (made == QLatin1String("empty")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (made == QLatin1String("v1")) {
            path = version1File(5);
        } else if (made == QLatin1String("newer")) {
            path = version1File(5);
            RawDb(path).exec(QStringLiteral("PRAGMA user_version=9"));
        }
        const QByteArray before = fileBytes(path);

        MessageCapture quiet(MessageCapture::Silent);
        FleetJournal j;
        QCOMPARE(j.open(path), opens);
        if (!opens) {
            QVERIFY2(j.errorText().contains(QLatin1String("newer version")),
                     qPrintable(j.errorText()));
            QVERIFY(!j.recordStatus(status(0x1000, 99)));
            j.close();
            QCOMPARE(fileBytes(path), before); // not even switched to WAL
            return;
        }
        QVERIFY(j.errorText().isEmpty());
        QCOMPARE(j.statusHistory(0x1000).size(), rowsAfter);
        QVERIFY(j.recordStatus(status(0x1000, 1 << 30)));
        RawDb raw(path);
        QCOMPARE(raw.value(QStringLiteral("PRAGMA user_version")).toInt(),
                 FleetJournal::SchemaVersion);
        QCOMPARE(raw.value(QStringLiteral("PRAGMA journal_mode")).toString(),
                 QStringLiteral("wal"));
        QVERIFY(j.enqueue(QStringLiteral("t/a"), "{}", false));
        QCOMPARE(j.pendingCount(), 1);
    }

    // Oldest first, the in-flight skipped, the sent gone for good, and all of it still there
    // for the next program that opens the file.
    void theOutboxGivesTheUnsentInOrderUntilMarkedSent()
    {
        const QString path = newPath();
        qint64 lastId = 0;
        {
            FleetJournal j;
            QVERIFY(j.open(path));
            for (int i = 0; i < 5; ++i)
                QVERIFY(j.enqueue(QStringLiteral("t/%1").arg(i), QByteArray::number(i), i == 0,
                                  i == 4 ? 0 : 1));
            const QVector<OutboxMessage> all = j.pending(10);
            QCOMPARE(all.size(), 5);
            for (int i = 0; i < 5; ++i) {
                QCOMPARE(all[i].topic, QStringLiteral("t/%1").arg(i));
                QCOMPARE(all[i].payload, QByteArray::number(i));
                QCOMPARE(all[i].retained, i == 0);
                QCOMPARE(all[i].qos, i == 4 ? 0 : 1);
                if (i > 0)
                    QVERIFY(all[i].id > all[i - 1].id);
            }
            QCOMPARE(j.pending(2).size(), 2);
            const QVector<OutboxMessage> after = j.pending(10, all[2].id);
            QCOMPARE(after.size(), 2);
            QCOMPARE(after[0].id, all[3].id);
            QVERIFY(j.markSent(all[1].id));
            QVERIFY(j.markSent(all[0].id));
            QCOMPARE(j.pendingCount(), 3);
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            QCOMPARE(j.pruneSent(now - 60000), 0);
            QCOMPARE(j.pruneSent(now + 1000), 2);
            lastId = all[4].id;
        }
        FleetJournal again;
        QVERIFY(again.open(path));
        const QVector<OutboxMessage> left = again.pending(10);
        QCOMPARE(left.size(), 3);
        QCOMPARE(left[0].topic, QStringLiteral("t/2"));
        // Pruned to nothing, the outbox still never gives an id again: a publisher's place
        // after the last one it sent holds.
        for (const OutboxMessage &m : left)
            QVERIFY(again.markSent(m.id));
        QCOMPARE(again.pruneSent(QDateTime::currentMSecsSinceEpoch() + 1000), 3);
        QVERIFY(again.enqueue(QStringLiteral("t/5"), "5", false));
        QVERIFY(again.pending(1).value(0).id > lastId);
    }

    // Rows as messages: the time in ISO form, an empty value null, a value that is no
    // number kept as text, and at most the given rows a message.
    void rowsBecomeMessagesOfBoundedSize()
    {
        const QByteArray rows = "\r\n08/12/26 10:00:00\t21.5\t\t"
                                "\r\n08/12/26 10:05:00\t-0.25\t40\t"
                                "\r\n08/12/26 10:10:00\tOVF\t41\t";
        const QVector<QByteArray> m = outbox::rowsPayloads(
            0x1a01, QStringLiteral("1A01_081226_100000.tsv"), {"Temperature", "Humidity"},
            {"degC", "%RH"}, rows, 2);
        QCOMPARE(m.size(), 2);
        QCOMPARE(m[0], QByteArray("{\"archive\":\"1A01_081226_100000.tsv\",\"columns\":"
                                  "[\"Temperature\",\"Humidity\"],\"rows\":"
                                  "[[\"2026-12-08T10:00:00\",21.5,null],"
                                  "[\"2026-12-08T10:05:00\",-0.25,40]],"
                                  "\"sensor\":\"1A01\",\"units\":[\"degC\",\"%RH\"],\"v\":1}"));
        QVERIFY(m[1].contains("\"rows\":[[\"2026-12-08T10:10:00\",\"OVF\",41]]"));
    }

    void refusesWhatItCannotUseAndLeavesItAsItWas_data()
    {
        QTest::addColumn<QString>("made");
        QTest::addColumn<QString>("said");
        QTest::newRow("garbage bytes") << "garbage"
                                       << "is damaged";
        QTest::newRow("truncated journal") << "truncated"
                                           << "is damaged";
        QTest::newRow("bytes overwritten inside") << "scribbled"
                                                  << "is damaged";
        QTest::newRow("folder that does not exist") << "nofolder"
                                                    << "does not exist";
        QTest::newRow("a folder, not a file") << "folder"
                                              << "is not a file";
    }

    void refusesWhatItCannotUseAndLeavesItAsItWas()
    {
        QFETCH(QString, made);
        QFETCH(QString, said);
        QString path = newPath();
        QByteArray bytes;
        if (made == QLatin1String("garbage")) {
            QRandomGenerator rng(7);
            for (int i = 0; i < 8192; ++i)
                bytes += char(rng.bounded(256));
        } else if (made == QLatin1String("truncated") || made == QLatin1String("scribbled")) {
            bytes = fileBytes(version1File(3000));
            QVERIFY(bytes.size() > 64 * 1024);
            if (made == QLatin1String("truncated"))
                bytes.truncate(bytes.size() / 2 + 100);
            else
                bytes.replace(bytes.size() / 2, 4096, QByteArray(4096, '\x5a'));
        } else if (made == QLatin1String("nofolder")) {
            path = m_dir.filePath(QStringLiteral("no/such/folder/journal.sqlite"));
        } else if (made == QLatin1String("folder")) {
            QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("a-folder")));
            path = m_dir.filePath(QStringLiteral("a-folder"));
        }
        if (!bytes.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }

        MessageCapture quiet(MessageCapture::Silent);
        FleetJournal j;
        QVERIFY(!j.open(path));
        QVERIFY2(j.errorText().contains(said), qPrintable(j.errorText()));
        QVERIFY(j.errorText().contains(QDir::toNativeSeparators(path)));
        QVERIFY(!j.isOpen());
        // Every call after is a no-op: nothing written, nothing read, nothing thrown.
        QVERIFY(!j.recordStatus(status(0x1000, 5)));
        QVERIFY(!j.recordCollection(CollectionEntry()));
        QVERIFY(j.sensors().isEmpty());
        QVERIFY(!j.lastStatus(0x1000));
        j.close();
        if (!bytes.isEmpty())
            QCOMPARE(fileBytes(path), bytes);
    }

    void aLockHeldElsewhereFailsWithinTheBusyTimeoutThenRests()
    {
        const QString path = newPath();
        FleetJournal j;
        QVERIFY(j.open(path));
        MessageCapture quiet(MessageCapture::Silent);
        {
            RawDb other(path);
            QVERIFY(other.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!j.recordStatus(status(0x1000, 1)));
            QVERIFY(clock.elapsed() < FleetJournal::BusyTimeoutMs + 2000);
            QVERIFY2(j.errorText().contains(QLatin1String("locked by another program")),
                     qPrintable(j.errorText()));
            // While it rests nothing waits again, in the middle of a download.
            clock.restart();
            QVERIFY(!j.recordCollection(CollectionEntry()));
            QVERIFY(clock.elapsed() < FleetJournal::BusyTimeoutMs / 2);
            QVERIFY(other.exec(QStringLiteral("ROLLBACK")));
        }
        QVERIFY(!j.recordStatus(status(0x1000, 2))); // still resting
        // Once the rest is over, the journal is back.
        FleetJournal again;
        again.setLockRest(0);
        QVERIFY(again.open(path));
        {
            RawDb other(path);
            QVERIFY(other.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            QVERIFY(!again.recordStatus(status(0x1000, 4)));
        }
        QVERIFY(again.recordStatus(status(0x1000, 5)));
        QCOMPARE(again.statusHistory(0x1000).size(), 1);

        // A new file that another program holds before the schema is made: not opened, and
        // not usable once the lock is gone either.
        const QString fresh = newPath();
        FleetJournal late;
        late.setLockRest(0);
        {
            RawDb other(fresh);
            QVERIFY(other.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            QVERIFY(!late.open(fresh));
            QVERIFY(late.errorText().contains(QLatin1String("locked by another program")));
        }
        QVERIFY(!late.recordStatus(status(0x1000, 6)));
        QVERIFY(!late.lastStatus(0x1000));
    }

    void writersSideBySideLoseNothing()
    {
        const QString path = newPath();
        FleetJournal a, b;
        QVERIFY(a.open(path));
        QVERIFY(b.open(path));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(WriterArgument), path, QStringLiteral("3")});
        QVERIFY(child.waitForStarted());
        // Both objects keep writing for as long as the other program lives, so their writes
        // and its writes overlap whatever its start-up takes.
        QElapsedTimer clock;
        clock.start();
        int written = 0;
        while ((written < WriterCount || child.state() != QProcess::NotRunning) &&
               clock.elapsed() < 60000) {
            QVERIFY(a.recordStatus(status(1, 1000000 + written)));
            QVERIFY(b.recordStatus(status(2, 1000000 + written)));
            ++written;
            child.waitForFinished(0);
        }
        QCOMPARE(child.state(), QProcess::NotRunning);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(b.sensors(), (QVector<uint16_t>{1, 2, 3}));
        for (uint16_t sn : {1, 2, 3}) {
            const QVector<StatusEntry> h = a.statusHistory(sn);
            QCOMPARE(h.size(), sn == 3 ? WriterCount : written);
            for (int i = 0; i < h.size(); ++i)
                QCOMPARE(h[i].pcTimeMs, qint64(1000000 + i));
        }
    }

    void whatGoesInComesBack()
    {
        FleetJournal j;
        QVERIFY(j.open(newPath()));
        QVERIFY(j.sensors().isEmpty());
        QVERIFY(!j.lastStatus(0x1234));

        // From an answer: the offset is the sensor's lead on the PC clock.
        answer::Status s;
        s.serialNumber = 0x00AB1234;
        s.clock = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 30));
        s.periodCode = 8;
        s.pageCount = 321;
        s.firstPage = 3900;
        s.lastPage = 253;
        s.sensorType = 5;
        s.channelMask = 0x05;
        s.version = 17;
        s.batteryIndex = 4;
        const QDateTime pc = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 0));
        const StatusEntry in = StatusEntry::fromAnswer(s, pc, 88, 0x9002, StatusOrigin::Detection);
        QCOMPARE(in.clockOffsetS, std::optional<qint64>(30));
        QCOMPARE(in.periodSeconds, 600);
        QVERIFY(j.recordStatus(in));
        StatusEntry unknown = status(0x1234, pc.toMSecsSinceEpoch() - 5000);
        unknown.sensorClock = QDateTime();
        unknown.clockOffsetS.reset();
        unknown.rssi = -1;
        unknown.version = -1;
        QVERIFY(j.recordStatus(unknown));
        QVERIFY(j.recordStatus(status(0x1234, pc.toMSecsSinceEpoch() - 90000)));

        QCOMPARE(fields(*j.lastStatus(0x1234)), fields(in));

        // Time order whatever the order of recording; unknowns stay unknown.
        const QVector<StatusEntry> h = j.statusHistory(0x1234);
        QCOMPARE(h.size(), 3);
        QVERIFY(h[0].pcTimeMs < h[1].pcTimeMs && h[1].pcTimeMs < h[2].pcTimeMs);
        QCOMPARE(fields(h[1]), fields(unknown));
        QCOMPARE(j.statusHistory(0x1234, h[1].pcTimeMs).size(), 2);

        CollectionEntry c;
        c.serialNumber = 0x1234;
        c.startedMs = pc.toMSecsSinceEpoch() - 20000;
        c.endedMs = pc.toMSecsSinceEpoch() + 40000;
        c.ask = CollectionAsk::New;
        c.windowFromMs = 1000;
        c.pagesRequested = 12;
        c.pagesFetched = 11;
        c.pagesReRequested = 2;
        c.pagesRefused = 1;
        c.rowsWritten = 1408;
        c.outcome = QStringLiteral("Download complete");
        c.archivePath = QStringLiteral("/archive/1234_010326_090000.tsv");
        c.gaps = {{100, 200}, {5000, 6000}};
        c.setTime = true;
        c.setTimeMs = pc.toMSecsSinceEpoch() - 1;
        CollectionEntry older = c;
        older.endedMs -= 3600000;
        older.setTimeMs -= 3600000;
        older.gaps.clear();
        QVERIFY(j.recordCollection(c));
        QVERIFY(j.recordCollection(older));
        CollectionEntry other;
        other.serialNumber = 0x0042;
        other.ask = CollectionAsk::All;
        other.setTime = true; // no time given: the end of the run
        other.endedMs = 777;
        QVERIFY(j.recordCollection(other));

        const std::optional<CollectionEntry> got = j.lastCollection(0x1234);
        QVERIFY(got);
        QVERIFY(!got->windowToMs);
        QCOMPARE(fields(*got), fields(c));
        QCOMPARE(j.lastSetTime(0x1234), std::optional<qint64>(c.setTimeMs));
        QCOMPARE(j.lastSetTime(0x0042), std::optional<qint64>(777));
        QVERIFY(!j.lastSetTime(0x7777));
        QCOMPARE(j.sensors(), (QVector<uint16_t>{0x0042, 0x1234}));

        // The health reads the first offset heard after the Set Time, not the latest.
        QVERIFY(j.recordStatus(status(0x1234, pc.toMSecsSinceEpoch() + 86400000, 13, 41)));
        const health::Facts f = j.healthFacts(0x1234);
        QCOMPARE(f.last->clockOffsetS, std::optional<qint64>(41));
        QCOMPARE(f.offsetAfterSetS, std::optional<qint64>(30));
        QCOMPARE(f.setTimeMs, std::optional<qint64>(c.setTimeMs));
        QCOMPARE(f.history.size(), 4);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The same binary is the second program writing beside the test.
    if (argc == 4 && qstrcmp(argv[1], WriterArgument) == 0)
        return writeStatuses(QString::fromLocal8Bit(argv[2]), uint16_t(atoi(argv[3])), WriterCount);
    TestJournal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
