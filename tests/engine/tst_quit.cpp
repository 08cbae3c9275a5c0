#include "detection.h"
#include "devicemaintenance.h"
#include "firmwarefile.h"
#include "linkwait.h"
#include "lorarun.h"
#include "radiopaths.h"
#include "runbench.h"
#include "scripteddongle.h"
#include "sensorfirmware.h"
#include "waveformcapture.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

// Quitting the application while the engine waits: each kind of work ends with its wait and
// the event loop returns. A quit lasts for the rest of a process (every later event loop returns
// at once), so each case runs in a child process of this test.
namespace
{
const char *const CaseVariable = "TESSARAN_QUIT_CASE";
constexpr int Sn = 0x1234;

// Quits once `ready` holds (looked at every 20 ms) and prints how long after the quit the
// application's event loop returned.
int quitWhen(const std::function<bool()> &ready, const std::function<void()> &work)
{
    QElapsedTimer sinceQuit;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        if (!ready())
            return;
        poll.stop();
        sinceQuit.start();
        QCoreApplication::quit();
    });
    poll.start(20);
    QTimer::singleShot(0, work);
    QCoreApplication::exec();
    std::printf("ended %lld\n", sinceQuit.isValid() ? sinceQuit.elapsed() : -1LL);
    return 0;
}

int runChild(const QByteArray &kind)
{
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini"));
    if (kind == "open") {
        // Nothing answers: the identification and its attempts take seconds.
        ScriptedDongle mute(ScriptedDongle::Mute);
        ManageSerialPort link;
        QElapsedTimer clock;
        clock.start();
        return quitWhen([&] { return clock.elapsed() > 300; }, [&] { link.openPort(mute.path()); });
    }
    // The runs have a bench of their own; the other kinds of work want only the link.
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<ManageSerialPort> port;
    const bool onBench = kind == "listen" || kind == "download" || kind == "dongle away";
    const QString file =
        kind == "lora" ? QStringLiteral("lora-test.ini") : QStringLiteral("test-fleet.ini");
    if (!onBench && !startSimLink(testScenario(file), sim, port))
        return 3;
    if (kind == "lora") {
        ManageSerialPort &link = *port;
        FleetModel model;
        LoraRun run(&model, &link);
        model.insert_sensor(0x7777); // nobody: the run goes on to the wake-up pass
        actionblock::Choice choice;
        choice.setTime = true;
        model.setChoice(choice);
        QElapsedTimer clock;
        clock.start();
        return quitWhen([&] { return clock.elapsed() > 1500; }, [&] { run.lora_action_run(); });
    }
    if (kind == "dump" || kind == "device away") {
        sim::Simulator &simulator = *sim;
        ManageSerialPort &link = *port;
        // 1234 shows up and is dumped line by line; 7777 never shows up (the 120 s guard).
        const bool dump = kind == "dump";
        DeviceMaintenance maintenance(&link, dump ? 0x1234 : 0x7777, 0);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QTimer::singleShot(60, &simulator, [&] { simulator.wake(0x1234); });
        return quitWhen([&] { return dump ? out.size() > 2000 : maintenance.isRunning(); },
                        [&] { maintenance.run(memorycommand::Operation::Save, {}, &out); });
    }
    if (kind == "firmware") {
        sim::Simulator &simulator = *sim;
        ManageSerialPort &link = *port;
        const QString path = dir.filePath(QStringLiteral("new.srec"));
        writeFirmware(path, 400);
        SensorFirmwareUpdate update(&link, 0x1234, 21, [&](quint8 *before) {
            QTimer::singleShot(60, &simulator, [&] { simulator.wake(0x1234); });
            return DeviceMaintenance(&link, 0x1234, 0).restart_into_loader(before);
        });
        bool sending = false;
        QObject::connect(&update, &SensorFirmwareUpdate::progressChanged, &update,
                         [&](int sent) { sending = sent > 0; });
        return quitWhen([&] { return sending; }, [&] { update.run(path); });
    }
    if (kind == "waveform") {
        ManageSerialPort &link = *port;
        WaveformCapture capture(&link, 0x9001, SensorType::unknown());
        int updates = 0;
        QObject::connect(&capture, &WaveformCapture::updated, &capture, [&] { ++updates; });
        return quitWhen([&] { return updates > 0; }, [&] { capture.start(); });
    }
    if (kind == "detection") {
        ManageSerialPort &link = *port;
        FleetModel model;
        radiopaths::RadioPaths paths;
        Detection detection(&model, &link, &paths);
        QElapsedTimer clock;
        clock.start();
        return quitWhen([&] { return clock.elapsed() > 1500; },
                        [&] { detection.detect_sensors(); });
    }
    RunBench bench;
    sim::Scenario scenario = testScenario();
    scenario.speed = 1e-6;
    for (sim::DeviceConfig &d : scenario.devices)
        if (d.serialNumber == Sn)
            d.pages = 3000; // long enough to be in the middle of it
    if (!bench.start(scenario, dir.path() + QStringLiteral("/out")))
        return 3;
    actionblock::Choice choice;
    QElapsedTimer clock;
    clock.start();
    std::function<bool()> ready = [&] { return clock.elapsed() > 1500; };
    if (kind == "listen") {
        bench.model->insert_sensor(0x7777); // never heard: the run listens on
        choice.setTime = true;
    } else {
        bench.model->insert_sensor(Sn);
        choice.downloadAll = true;
        bench.wake = [&] {
            if (!bench.model->sensor(0).served && !bench.run->isDownloading())
                bench.sim->wake(Sn);
        };
        // A second into the download: in the middle of its pages.
        std::function<bool()> downloading = [&, since = QElapsedTimer()]() mutable {
            if (!bench.run->isDownloading())
                return false;
            if (!since.isValid())
                since.start();
            return since.elapsed() > 1000;
        };
        if (kind == "download") {
            ready = downloading;
        } else { // "dongle away": the run waits for the port to come back
            ready = [&, downloading, unplugged = QElapsedTimer()]() mutable {
                if (!unplugged.isValid() && downloading()) {
                    bench.sim->unplug();
                    unplugged.start();
                }
                return unplugged.isValid() && unplugged.elapsed() > 1000;
            };
        }
    }
    bench.model->setChoice(choice);
    return quitWhen(ready, [&] { bench.runFor(120000); });
}
} // namespace

class TestQuit : public QObject
{
    Q_OBJECT
private slots:
    void everyKindOfWorkEndsWithTheApplication_data()
    {
        QTest::addColumn<QByteArray>("kind");
        for (const char *kind : {"open", "listen", "download", "dongle away", "detection", "lora",
                                 "dump", "device away", "firmware", "waveform"})
            QTest::newRow(kind) << QByteArray(kind);
    }
    void everyKindOfWorkEndsWithTheApplication()
    {
        QFETCH(QByteArray, kind);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(CaseVariable), QString::fromLatin1(kind));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(60000));
        const QByteArray out = child.readAllStandardOutput();
        QCOMPARE(child.exitCode(), 0);
        const int at = out.lastIndexOf("ended ");
        QVERIFY2(at >= 0, out.constData());
        const int ms = out.mid(at + 6).trimmed().toInt();
        QVERIFY2(ms >= 0, out.constData());
        QVERIFY2(ms <= 200, qPrintable(QStringLiteral("%1 ms after the quit").arg(ms)));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray kind = qgetenv(CaseVariable);
    if (!kind.isEmpty()) {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return runChild(kind);
    }
    TestQuit test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_quit.moc"
