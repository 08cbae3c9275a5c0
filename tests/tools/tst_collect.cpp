#include "fleetjournal.h"
#include "scripteddongle.h"
#include "sensorlistfile.h"
#include "sensortype.h"
#include "testbroker.h"
#include "truthrows.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <csignal>

namespace
{
// Wakes every two seconds: 1A01's clock is five minutes behind, so only a set clock reads
// "Action succesfull". Hourly samples: nothing new is recorded while a test runs. 1C03 is not
// there, so it never wakes.
const char *Fleet = "[dongle]\n"
                    "channel = 15\n"
                    "[device 1A01]\ntype = 1\nperiod = 9\nspan = 6h\nwake = 2\nfirst_wake = 1\n"
                    "rssi = 40\nclock_offset = -300\n"
                    "[device 1B02]\ntype = 2\nperiod = 9\nspan = 6h\nwake = 2\nfirst_wake = 2\n"
                    "rssi = 42\n";

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

} // namespace

class TestCollect : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QProcess m_sim;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    void startSim(const QString &scenario = QString(), const QStringList &options = {})
    {
        QDir(path("truth")).removeRecursively();
        QVERIFY(QDir().mkpath(path("truth")));
        m_sim.start(QStringLiteral(TESSARAN_SIM_EXE),
                    QStringList{"--link", path("dongle"), "--truth", path("truth")} + options +
                        QStringList{scenario.isEmpty() ? path("fleet.ini") : scenario});
        QVERIFY(m_sim.waitForReadyRead(20000));
        QCOMPARE(m_sim.readLine().trimmed(), path("dongle").toLocal8Bit());
    }

    void stopSim()
    {
        if (m_sim.state() == QProcess::NotRunning)
            return;
        m_sim.terminate();
        QVERIFY(m_sim.waitForFinished(10000));
    }

    // Runs the tool in the test folder; SIGTERM once its first event line is out when
    // `interrupt`.
    int collect(const QStringList &arguments, QString &out, QString &err, bool interrupt = false)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(QStringLiteral(TESSARAN_COLLECT_EXE), arguments);
        if (!p.waitForStarted(10000))
            return -1;
        QByteArray stdOut;
        if (interrupt) {
            while (!stdOut.contains("listening") && !stdOut.contains("detecting") &&
                   p.waitForReadyRead(20000))
                stdOut += p.readAllStandardOutput();
            ::kill(pid_t(p.processId()), SIGTERM);
        }
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        out = QString::fromLocal8Bit(stdOut + p.readAllStandardOutput());
        err = QString::fromLocal8Bit(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), path("sensor.ini")));
        QVERIFY(writeFile(path("fleet.ini"), Fleet));
    }

    void cleanup() { stopSim(); }

    void theListFileGivesItsSensors_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("serials");
        QTest::addColumn<int>("rejected");
        // of the first sensor: type, channels, period selector item, channel mask
        QTest::addColumn<QString>("first");
        QTest::newRow("as exported")
            << QByteArray("[General]\nNB_SENSOR=2\nLIST_SENSOR=\"0A3F;1B2C;\"\n"
                          "[0A3F]\nType_of_module=1\nType_of_module_title=TH Logger\n"
                          "Recording_channels=Temperature, Humidity\nPeriode_index=9\n"
                          "[1B2C]\nType_of_module=3\n")
            << true << "0A3F,1B2C" << 0 << "1 Temperature|Humidity 12 0";
        QTest::newRow("typed by hand, sections missing")
            << QByteArray("LIST_SENSOR = 1234;;8001;\n") << true << "1234,8001" << 0 << "0  0 0";
        // index 10 is "2 mins", the selector's ninth item
        QTest::newRow("bad serials and a duplicate")
            << QByteArray("[General]\nLIST_SENSOR=\"12345;0;XY;0x12;abc;1234;ABC;\"\n"
                          "[0ABC]\nPeriode_index=10\nRecording_channels_index=3\n")
            << true << "0ABC,1234" << 5 << "0  8 3";
        QTest::newRow("a period index past the table")
            << QByteArray("[General]\nLIST_SENSOR=1A01;\n[1A01]\nPeriode_index=13\n") << true
            << "1A01" << 0 << "0  -1 0";
        QTest::newRow("no list") << QByteArray("[0A3F]\nType_of_module=1\n") << false << "" << 0
                                 << "";
    }
    void theListFileGivesItsSensors()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, ok);
        QFETCH(QString, serials);
        QFETCH(int, rejected);
        QFETCH(QString, first);
        const QString file = path("list.ini");
        QVERIFY(writeFile(file, content));
        const SensorListFile list = SensorListFile::read(file);
        QCOMPARE(list.ok(), ok);
        QCOMPARE(list.error().isEmpty(), ok);
        QStringList got;
        for (const SensorListFile::Sensor &s : list.sensors())
            got << SensorListFile::section(s.serialNumber);
        QCOMPARE(got.join(QLatin1Char(',')), serials);
        QCOMPARE(list.rejected().size(), rejected);
        if (ok) {
            const SensorListFile::Sensor &s = list.sensors().first();
            QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                         .arg(s.typeOfModule)
                         .arg(s.recordingChannels.join(QLatin1Char('|')))
                         .arg(s.periodItem())
                         .arg(s.recordingChannelsIndex),
                     first);
        }
    }

    void wrongArgumentsAreRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said");
        const QString port = QStringLiteral("--port=/nowhere");
        QTest::newRow("no port") << QStringList{"--sensors", "1A01"} << "--port is required";
        QTest::newRow("no sensors") << QStringList{port} << "either --sensors or --list";
        QTest::newRow("mqtt port") << QStringList{port, "--sensors", "1", "--mqtt", "h:70000"}
                                   << "--mqtt takes HOST or HOST:PORT";
        QTest::newRow("mqtt rows") << QStringList{port, "--sensors", "1", "--mqtt-rows"}
                                   << "--mqtt-rows publishes what --download new adds";
        QTest::newRow("both lists") << QStringList{port, "--sensors", "1", "--list", "l.ini"}
                                    << "either --sensors or --list";
        QTest::newRow("five digits")
            << QStringList{port, "--sensors", "1A01,12345"} << "bad serial number \"12345\"";
        QTest::newRow("an empty serial")
            << QStringList{port, "--sensors", "1A01,"} << "bad serial number \"\"";
        QTest::newRow("download what") << QStringList{port, "--sensors", "1", "--download", "some"}
                                       << "--download takes \"all\" or \"new\"";
        QTest::newRow("from alone")
            << QStringList{port, "--sensors", "1", "--from", "2026-01-01 10:00"}
            << "--from and --to go together";
        QTest::newRow("a day that is not")
            << QStringList{port,   "--sensors",       "1", "--from", "2026-02-30 10:00",
                           "--to", "2026-03-01 10:00"}
            << "yyyy-MM-dd hh:mm[:ss]";
        QTest::newRow("all and a window")
            << QStringList{port,     "--sensors",        "1",    "--download",      "all",
                           "--from", "2026-03-01 10:00", "--to", "2026-03-02 10:00"}
            << "either --download or --from and --to";
        QTest::newRow("a period that is none")
            << QStringList{port, "--list", "bad.ini", "--period", "7"} << "--period takes one of";
        QTest::newRow("channel 9") << QStringList{port, "--list", "bad.ini", "--channels", "1,9"}
                                   << "--channels takes channel numbers from 1 to 8";
        QTest::newRow("a period without the types")
            << QStringList{port, "--sensors", "1", "--period", "60"}
            << "--period and --channels need each sensor's type";
        QTest::newRow("a clear with a download")
            << QStringList{port, "--sensors", "1", "--clear-memory", "--download", "new"}
            << "cannot go with a download";
        QTest::newRow("a clear after a window")
            << QStringList{port,   "--sensors",       "1", "--from", "2026-03-01 10:00",
                           "--to", "2026-03-02 10:00", "--clear-after-download"}
            << "--clear-after-download needs --download all or --download new";
        const QStringList window{"--from", "2026-03-01 10:00", "--to", "2026-03-02 10:00"};
        QTest::newRow("set time and a window")
            << (QStringList{port, "--sensors", "1", "--set-time"} + window)
            << "--set-time cannot go with a download";
        QTest::newRow("set time and all")
            << QStringList{port, "--sensors", "1", "--set-time", "--download", "all"}
            << "--set-time cannot go with a download";
        QTest::newRow("a reversed window")
            << QStringList{port,   "--sensors",       "1", "--from", "2026-03-02 10:00",
                           "--to", "2026-03-01 10:00"}
            << "--to is before --from";
        QTest::newRow("an empty window")
            << QStringList{port,   "--sensors",       "1", "--from", "2026-03-02 10:00",
                           "--to", "2026-03-02 10:00"}
            << "the window is empty";
        QTest::newRow("a window in the future")
            << QStringList{port,   "--sensors",       "1", "--from", "2999-03-01 10:00",
                           "--to", "2999-03-02 10:00"}
            << "--from is in the future";
        QTest::newRow("detect without its time")
            << QStringList{port, "--detect"} << "Missing value after '--detect'";
        QTest::newRow("detect for no number")
            << QStringList{port, "--detect", "soon"} << "--detect takes a number of seconds";
        QTest::newRow("detect for no time")
            << QStringList{port, "--detect", "0"} << "--detect takes a number of seconds";
        QTest::newRow("no config file")
            << QStringList{port, "--sensors", "1", "--config", "none.ini"}
            << "cannot read none.ini";
        QTest::newRow("no list file")
            << QStringList{port, "--list", "missing.ini"} << "cannot read missing.ini";
        QTest::newRow("bad list entry")
            << QStringList{port, "--list", "bad.ini"} << "\"FFFFF\": Serial Number must be";
        QTest::newRow("an output folder that cannot be")
            << QStringList{port, "--sensors", "1A01", "--out", "notadongle/data"}
            << "notadongle/data can't be created";
        QTest::newRow("a frame log that cannot be written")
            << QStringList{port, "--sensors", "1A01", "--frame-log", "nofolder/frames.log"}
            << "The frame log";
        QTest::newRow("no dongle") << QStringList{"--port", "notadongle", "--sensors", "1A01"}
                                   << "notadongle could not be opened, or no dongle answered";
    }
    void wrongArgumentsAreRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        QVERIFY(writeFile(path("bad.ini"), "[General]\nLIST_SENSOR=1A01;FFFFF;\n"));
        QVERIFY(writeFile(path("notadongle"), "plain text\n"));
        QString out, err;
        QCOMPARE(collect(arguments, out, err), 2);
        QVERIFY2(err.contains(said), qPrintable(err));
        QVERIFY2(!out.contains("served"), qPrintable(out));
    }

    void theHelpTellsTheOptionsAndExitCodes()
    {
        QString out, err;
        QCOMPARE(collect({"--help"}, out, err), 0);
        for (const char *said :
             {"--port", "--sensors", "--list", "--set-time", "--download", "--from", "--to",
              "--out", "--timeout", "--config", "--frame-log", "yyyy-MM-dd hh:mm[:ss]",
              "--set-time with a download", "Exit codes", "  2  "})
            QVERIFY2(out.contains(QLatin1String(said)), said);
    }

    void aRunEndsWithItsExitCode_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("interrupt");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("detected, then served")
            << QStringList{"--detect", "5",           "--set-time", "--timeout",
                           "60",       "--frame-log", "frames.log"}
            << false << 0
            << QStringList{"1A01: detected", "1B02: detected", "1A01: served",
                           "1A01 served: Action succesfull", "1B02 served: Action succesfull"};
        QTest::newRow("from a list, one never wakes")
            << QStringList{"--list", "list.ini", "--timeout", "8"} << false << 1
            << QStringList{"time-out after 8 s", "1A01 served: Sensor reading done",
                           "1C03 NOT served: time-out after 8 s before it was served"};
        QTest::newRow("stopped by a signal")
            << QStringList{"--sensors", "1C03", "--download", "all"} << true << 1
            << QStringList{"interrupted", "1C03 NOT served: interrupted before it was served"};
        QTest::newRow("stopped by a signal while detecting")
            << QStringList{"--detect", "30", "--sensors", "1C03"} << true << 1
            << QStringList{"1C03 NOT served: interrupted during detection"};
    }
    void aRunEndsWithItsExitCode()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, interrupt);
        QFETCH(int, exitCode);
        QFETCH(QStringList, said);
        QVERIFY(writeFile(path("list.ini"), "[General]\nLIST_SENSOR=1A01;1C03;\n"));
        startSim();
        QString out, err;
        QCOMPARE(collect(QStringList{"--port", path("dongle")} + arguments, out, err, interrupt),
                 exitCode);
        for (const QString &s : said)
            QVERIFY2(out.contains(s), qPrintable(out + err));
        if (arguments.contains("--frame-log")) {
            const QByteArray log = fileBytes(path("frames.log"));
            QVERIFY2(log.contains(" out     5  read radio channel  | 7E 00 01 37 C8"),
                     log.left(300));
            QVERIFY(log.contains(": answer of 1A01 (fn "));
        }
        // The collector's own stop is no operator's: one final word per sensor, the true one.
        QVERIFY2(!out.contains("by User"), qPrintable(out));
        for (const QString &sn : {QStringLiteral("1A01"), QStringLiteral("1C03")})
            QVERIFY2(!(out.contains(sn + ": served") && out.contains(sn + " NOT served")),
                     qPrintable(out));
    }

    // New data into the archives, then the memories cleared; the summary file tells it all. A
    // run cut short clears nothing.
    void newDataThenTheMemoriesCleared()
    {
        startSim();
        QString out, err;
        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01,1C03", "--download", "new",
                          "--clear-after-download", "--out", "out", "--timeout", "8"},
                         out, err),
                 1);
        QVERIFY2(out.contains("1A01 served: Download Complete") &&
                     out.contains("1C03 NOT served: time-out after 8 s") &&
                     out.contains("; memory NOT cleared"),
                 qPrintable(out));
        QVERIFY2(!out.contains("memory cleared"), qPrintable(out));

        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01,1B02", "--download", "new",
                          "--clear-after-download", "--out", "out", "--summary-json", "sum.json"},
                         out, err),
                 0);
        const QJsonObject doc = QJsonDocument::fromJson(fileBytes(path("sum.json"))).object();
        QCOMPARE(doc.value("version").toInt(), 1);
        QCOMPARE(doc.value("download").toString(), QStringLiteral("new"));
        const QJsonArray sensors = doc.value("sensors").toArray();
        QCOMPARE(sensors.size(), 2);
        for (const QJsonValue &v : sensors) {
            const QJsonObject o = v.toObject();
            QVERIFY2(o.value("done").toBool() && o.value("memoryCleared").toBool(),
                     QJsonDocument(o).toJson().constData());
            QCOMPARE(o.value("last").toObject().value("periodSeconds").toInt(), 3600);
        }
        // 1A01 had nothing new since the first run: nothing is written twice.
        QCOMPARE(sensors[0].toObject().value("outcome").toString(), QStringLiteral("no-data"));
        QVERIFY(sensors[0].toObject().value("archives").toArray().isEmpty());
        const QString b02 = sensors[1].toObject().value("archives").toArray()[0].toString();
        QVERIFY2(QFileInfo(b02).isFile(), qPrintable(b02));
        const QStringList a01 = QDir(path("out/archive")).entryList({"1A01_*.tsv"});
        QCOMPARE(a01.size(), 1);
        const QVector<TruthRow> rows = tsvRows(path("out/archive/") + a01[0]);
        QVERIFY(rows.size() >= 6);
        for (int i = 1; i < rows.size(); ++i)
            QVERIFY(rows[i - 1].time < rows[i].time);

        // Cleared: the next collection is a new recording, in an archive of its own. A journal
        // that is damaged is said, and the download goes on.
        QFile::remove(path("journal.sqlite"));
        QVERIFY(writeFile(path("journal.sqlite"), QByteArray(4096, 'x')));
        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01", "--download", "new",
                          "--out", "out"},
                         out, err),
                 0);
        QVERIFY2(out.contains("1A01: new archive 1A01_") &&
                     out.contains(": the recording restarted"),
                 qPrintable(out));
        QVERIFY2(err.contains("warning: The journal") && err.contains("is damaged"),
                 qPrintable(err));
    }

    // A broker that is not there holds nothing up: every sensor's answers, status and
    // collection wait in the journal's outbox, in the order they were made. The next run, with
    // the broker there, delivers them first and then its own, rows included, each once.
    void aBrokerDownForOneRunGetsBothRunsMessagesOnceInOrder()
    {
        startSim();
        QFile::remove(path("journal.sqlite"));
        QString out, err;
        // Nothing listens on port 9 of this machine.
        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01,1B02", "--download", "new",
                          "--out", "mq", "--mqtt", "127.0.0.1:9"},
                         out, err),
                 0);
        QVERIFY2(out.contains("MQTT: broker 127.0.0.1:9 unreachable") &&
                     out.contains(QRegularExpression("MQTT: 0 sent, [1-9][0-9]* left in the "
                                                     "journal for the next run")),
                 qPrintable(out));
        FleetJournal journal;
        QVERIFY(journal.open(path("journal.sqlite")));
        const QVector<OutboxMessage> waiting = journal.pending(1000);
        QStringList leaves[2];
        for (const OutboxMessage &m : waiting) {
            const QStringList levels = m.topic.split('/');
            QCOMPARE(levels.size(), 5);
            QCOMPARE(levels[2], QStringLiteral("sensor"));
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            QCOMPARE(o.value("v").toInt(), 1);
            QCOMPARE(o.value("sensor").toString(), levels[3]);
            QCOMPARE(m.retained, levels[4] == "status" || levels[4] == "health");
            if (levels[4] != "health")
                leaves[levels[3] == "1B02"] << levels[4];
        }
        for (const QStringList &l : leaves) {
            QVERIFY2(l.size() >= 3 && l[0] == "answer" && l[1] == "status" &&
                         l.last() == "collection" && l.count("collection") == 1,
                     qPrintable(l.join(',')));
        }
        testbroker::Broker broker(path("."));
        QVERIFY(broker.start());
        QProcess sub;
        sub.start(QStringLiteral("mosquitto_sub"), {"-h", "127.0.0.1", "-p",
                                                     QString::number(broker.port()), "-t", "#",
                                                     "-v", "-q", "1"});
        QVERIFY(sub.waitForStarted());
        QStringList lines;
        const auto heard = [&sub, &lines] {
            while (sub.canReadLine()) {
                const QString line = QString::fromUtf8(sub.readLine()).trimmed();
                if (!line.startsWith(QLatin1String("ready ")))
                    lines << line;
            }
            return lines.size();
        };
        // Subscribed once a message of its own comes back.
        QTRY_VERIFY_WITH_TIMEOUT(
            (QProcess::execute(QStringLiteral("mosquitto_pub"),
                               {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t",
                                "ready", "-m", "1"}),
             sub.waitForReadyRead(500)),
            20000);
        // Into a new folder: no archive yet, so every sample goes, and with it its rows.
        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01,1B02", "--download", "new",
                          "--out", "mq2", "--mqtt",
                          QStringLiteral("127.0.0.1:%1").arg(broker.port()), "--mqtt-rows"},
                         out, err),
                 0);
        const QRegularExpressionMatch sent =
            QRegularExpression("MQTT: ([0-9]+) sent, 0 left").match(out);
        QVERIFY2(sent.hasMatch(), qPrintable(out));
        const int count = sent.captured(1).toInt();
        QTRY_COMPARE_WITH_TIMEOUT(heard(), count, 20000);
        sub.kill();
        sub.waitForFinished();
        QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), count);
        for (int k = 0; k < waiting.size(); ++k)
            QCOMPARE(lines[k], waiting[k].topic + ' ' + QString::fromUtf8(waiting[k].payload));
        QVERIFY(journal.pendingCount() == 0);

        // Each sensor's rows are its archive's samples, in order, before its collection message.
        for (const QString &sn : {QStringLiteral("1A01"), QStringLiteral("1B02")}) {
            QStringList times;
            int collectionAt = -1;
            for (int k = waiting.size(); k < lines.size(); ++k) {
                const QString topic = lines[k].section(' ', 0, 0);
                if (topic.section('/', 3, 3) != sn)
                    continue;
                const QJsonObject o =
                    QJsonDocument::fromJson(lines[k].section(' ', 1).toUtf8()).object();
                if (topic.endsWith("/rows")) {
                    QVERIFY2(collectionAt < 0, "rows after their collection");
                    QCOMPARE(o.value("units").toArray().first().toString(),
                             sn == "1A01" ? QStringLiteral("degC") : QStringLiteral("mA"));
                    for (const QJsonValue &r : o.value("rows").toArray())
                        times << r.toArray().first().toString();
                } else if (topic.endsWith("/collection")) {
                    collectionAt = k;
                    QCOMPARE(o.value("rows").toInt(), times.size());
                }
            }
            QVERIFY(collectionAt > 0);
            const QStringList archives =
                QDir(path("mq2/archive")).entryList({sn + "_*.tsv"}, QDir::Files);
            QCOMPARE(archives.size(), 1);
            const QList<QByteArray> rows =
                fileBytes(path("mq2/archive/") + archives.first()).split('\n').mid(2);
            QCOMPARE(times.size(), rows.size());
            QVERIFY2(times.size() >= 5, qPrintable(out));
            for (int k = 0; k < rows.size(); ++k) {
                const QByteArray t = rows[k].left(17);
                QCOMPARE(times[k], QStringLiteral("20%1-%2-%3T%4")
                                       .arg(QString::fromLatin1(t.mid(6, 2)),
                                            QString::fromLatin1(t.mid(3, 2)),
                                            QString::fromLatin1(t.left(2)),
                                            QString::fromLatin1(t.mid(9))));
            }
        }
    }

    // One collector per dongle: a second one is refused at once, and a killed one leaves the
    // port to the next.
    void aPortServesOneCollectorAtATime()
    {
        startSim();
        QProcess first;
        first.setWorkingDirectory(m_dir.path());
        first.start(QStringLiteral(TESSARAN_COLLECT_EXE),
                    {"--port", path("dongle"), "--sensors", "1C03", "--timeout", "60"});
        QVERIFY(first.waitForStarted(10000));
        QByteArray said;
        while (!said.contains("listening") && first.waitForReadyRead(20000))
            said += first.readAllStandardOutput();
        QVERIFY(said.contains("listening"));
        QString out, err;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01", "--set-time"}, out, err),
                 2);
        QVERIFY2(clock.elapsed() < 3000, "the refused collector tried the port again");
        QVERIFY2(err.contains("is in use by tessaran-collect (process " +
                              QString::number(first.processId()) + ")"),
                 qPrintable(err));
        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(collect({"--port", path("dongle"), "--sensors", "1A01", "--set-time", "--timeout",
                          "30"},
                         out, err),
                 0);
    }

    // A port where nothing answers: the identification and its attempts take seconds.
    void aSignalDuringTheOpeningEndsItAtOnce()
    {
        ScriptedDongle mute(ScriptedDongle::Mute);
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(QStringLiteral(TESSARAN_COLLECT_EXE),
                {"--port", mute.path(), "--sensors", "1A01", "--set-time"});
        QVERIFY(p.waitForStarted(10000));
        QTest::qWait(1500);
        QCOMPARE(p.state(), QProcess::Running);
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        const qint64 ms = clock.elapsed();
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(out.contains("interrupted") && out.contains("1A01 NOT served: interrupted"),
                 qPrintable(out));
        QVERIFY2(ms <= 200, qPrintable(QStringLiteral("ended %1 ms after the signal").arg(ms)));
    }

    // One download per dongle type; the replug is the collector's own: it watches the port and
    // opens it again itself.
    void aDownloadWritesWhatTheSensorRecorded_data()
    {
        QTest::addColumn<QString>("sensor");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("simOptions");
        // 1D04's forty pages take some six seconds at 38400 baud from its first wake: the
        // dongle is pulled out in the middle and comes back a second later. It ignores its first
        // three queries after each power-up, so the first opening (some three seconds) and the
        // reopening both need a second attempt.
        QTest::newRow("across a replug")
            << "1D04" << 2 << path("replug.ini")
            << QStringList{"--baud",         "38400", "--unplug-after", "7",
                           "--replug-after", "1",     "--late-answers", "3"};
        // 1234's hour of temperatures, its clock standing still.
        QTest::newRow("LoRa") << "1234" << 1 << QStringLiteral(TESSARAN_SCENARIOS "/lora-test.ini")
                              << QStringList{"--speed", "0.001"};
    }
    void aDownloadWritesWhatTheSensorRecorded()
    {
        QFETCH(QString, sensor);
        QFETCH(int, type);
        QFETCH(QString, scenario);
        QFETCH(QStringList, simOptions);
        QVERIFY(writeFile(path("replug.ini"),
                          "[dongle]\nchannel = 15\n[device 1D04]\ntype = 2\nperiod = 9\n"
                          "pages = 40\nwake = 2\nfirst_wake = 1\nrssi = 42\n"));
        startSim(scenario, simOptions);
        QDir(path("out")).removeRecursively();
        QString out, err;
        const int code = collect({"--port", path("dongle"), "--sensors", sensor, "--download",
                                  "all", "--out", "out", "--timeout", "60"},
                                 out, err);
        QVERIFY2(code == 0, qPrintable(out + err));
        const int complete = out.indexOf(sensor + ": Download Complete");
        QVERIFY2(complete > 0, qPrintable(out + err));
        const int progress = out.indexOf(" % downloaded");
        QVERIFY2(progress > 0, qPrintable(out));
        if (simOptions.contains("--unplug-after")) {
            // Lost after the download began, and taken back before it ended.
            const int lost = out.indexOf("port lost: " + path("dongle"));
            const int back = out.indexOf("port back: " + path("dongle"));
            QVERIFY2(progress < lost && lost < back && back < complete, qPrintable(out));
            QVERIFY2(out.contains("port back, but no dongle answered: " + path("dongle")),
                     qPrintable(out));
        }
        stopSim(); // the truth is complete once the simulator is gone
        const QStringList files = QDir(path("out")).entryList({sensor + "_*.tsv"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        const QVector<TruthRow> got = tsvRows(path("out/") + files.first());
        const QVector<TruthRow> want = truthRows(path("truth/") + sensor + ".truth");
        QVERIFY(!want.isEmpty());
        QCOMPARE(got.size(), want.size());
        const SensorType described = describeType(type, QStringLiteral(TESSARAN_CATALOGUE));
        for (int i = 0; i < got.size(); ++i)
            QVERIFY2(writtenAs(got[i], want[i], described),
                     qPrintable(QStringLiteral("row %1: %2 instead of %3")
                                    .arg(i)
                                    .arg(got[i].time, want[i].time)));
    }
};

QTEST_GUILESS_MAIN(TestCollect)
#include "tst_collect.moc"
