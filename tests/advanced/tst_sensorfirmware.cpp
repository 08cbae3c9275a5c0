#include "devicemaintenance.h"
#include "dialogdouble.h"
#include "firmwarefile.h"
#include "messagecapture.h"
#include "sensorfirmware.h"
#include "sensorfirmwaregroup.h"
#include "settings.h"
#include "simlink.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
// The test fleet's dongle channel.
constexpr int HomeChannel = 15;
} // namespace

class TestSensorFirmware : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    QString m_path;
    QByteArray m_image; // as the loaders take it, worked out from the file's text
    int m_hookCalls = 0;

    void start(uint16_t sn, bool inLoader, int updateVersion = -1, bool updateFails = false,
               int silentAfter = -1)
    {
        sim::Scenario scenario = testScenario();
        for (sim::DeviceConfig &d : scenario.devices)
            if (d.serialNumber == sn) {
                d.startInLoader = inLoader;
                d.updateVersion = updateVersion;
                d.updateFails = updateFails;
            }
        sim::Faults faults;
        faults.loaderSilentAfter = silentAfter;
        QVERIFY(startSimLink(scenario, m_sim, m_link, faults));
        m_hookCalls = 0;
    }

    // What the advanced window does: the sensor shows up as when it next wakes, and is
    // restarted with its loader flag set.
    SensorFirmwareUpdate::RestartIntoLoader hook(uint16_t sn)
    {
        return [this, sn](quint8 *before) {
            ++m_hookCalls;
            QTimer::singleShot(60, m_sim.get(), [this, sn] { m_sim->wake(sn); });
            return DeviceMaintenance(m_link.get(), sn, 0).restart_into_loader(before);
        };
    }

    void checkDongleHome()
    {
        QCOMPARE(m_sim->fleet().channel(), HomeChannel);
        QCOMPARE(m_link->read_chan(), HomeChannel);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("new.srec"));
        for (const QByteArray &line : loaderBytes(writeFirmware(m_path, 42)))
            m_image += line;
        QVERIFY(!m_image.isEmpty());
    }

    void updatesEndToEnd_data()
    {
        QTest::addColumn<int>("serial");
        QTest::addColumn<bool>("inLoader");
        QTest::addColumn<int>("updateVersion");
        QTest::addColumn<bool>("updateFails");
        QTest::addColumn<int>("silentAfter");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("imageTaken");
        QTest::addColumn<int>("hookCalls");
        // 900 image bytes: 9 frames for a sensor, 32 for a relay.
        QTest::newRow("sensor already in its loader")
            << 0x1234 << true << -1 << false << -1
            << "Sensor successfully updated, new version : 22" << true << 0;
        QTest::newRow("sensor restarted into its loader")
            << 0x1234 << false << -1 << false << -1
            << "Sensor successfully updated, new version : 22" << true << 1;
        QTest::newRow("sensor reports the version it came back with")
            << 0x1234 << true << 40 << false << -1
            << "Sensor successfully updated, new version : 40" << true << 0;
        QTest::newRow("sensor back with the same version")
            << 0x1234 << true << -1 << true << -1 << "Error when updating sensor" << true << 0;
        QTest::newRow("relay") << 0x8001 << false << -1 << false << -1
                               << "Relais successfully updated, new version :21" << true << 0;
        QTest::newRow("sensor stops acknowledging after frame 3")
            << 0x1234 << true << -1 << false << 3 << "Error when updating sensor" << false << 0;
        QTest::newRow("relay stops acknowledging after frame 3")
            << 0x8001 << false << -1 << false << 3 << "Error when updating sensor" << false << 0;
    }
    void updatesEndToEnd()
    {
        QFETCH(int, serial);
        QFETCH(bool, inLoader);
        QFETCH(int, updateVersion);
        QFETCH(bool, updateFails);
        QFETCH(int, silentAfter);
        QFETCH(QString, status);
        QFETCH(bool, imageTaken);
        QFETCH(int, hookCalls);
        const uint16_t sn = uint16_t(serial);
        start(sn, inLoader, updateVersion, updateFails, silentAfter);
        MessageCapture capture(MessageCapture::Silent);
        SensorFirmwareUpdate update(m_link.get(), sn, 21, hook(sn));
        update.run(m_path);
        QCOMPARE(update.status(), status);
        QCOMPARE(m_hookCalls, hookCalls);
        const sim::FirmwareLoader &loader = m_sim->device(sn)->loader();
        QCOMPARE(loader.image(), imageTaken ? m_image : QByteArray());
        if (silentAfter >= 0) {
            QCOMPARE(loader.framesTaken(), silentAfter);
            QVERIFY(capture.contains(QStringLiteral("write firm error")));
        }
        checkDongleHome();
    }

    // An interrupted update is not resumed: the next one sends the whole image again.
    void cancelStopsBetweenFrames_data()
    {
        QTest::addColumn<int>("serial");
        QTest::addColumn<QString>("success");
        QTest::newRow("sensor") << 0x1234 << "Sensor successfully updated, new version : 22";
        QTest::newRow("relay") << 0x8001 << "Relais successfully updated, new version :21";
    }
    void cancelStopsBetweenFrames()
    {
        QFETCH(int, serial);
        QFETCH(QString, success);
        const uint16_t sn = uint16_t(serial);
        start(sn, true);
        SensorFirmwareUpdate update(m_link.get(), sn, 21, hook(sn));
        int frames = 0;
        const auto connection =
            connect(&update, &SensorFirmwareUpdate::progressChanged, &update, [&] {
                if (++frames == 2)
                    update.cancel();
            });
        update.run(m_path);
        QCOMPARE(update.status(), QStringLiteral("Sensor update canceled by user"));
        QCOMPARE(m_sim->device(sn)->loader().framesTaken(), 2);
        QVERIFY(m_sim->device(sn)->loader().image().isEmpty());
        checkDongleHome();

        disconnect(connection);
        update.run(m_path);
        QCOMPARE(update.status(), success);
        QCOMPARE(m_sim->device(sn)->loader().image(), m_image);
        checkDongleHome();
    }

    void badFilesSendNothing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("status");
        QTest::newRow("not an S-record file")
            << QByteArray("hello\n") << "Not a firmware file: line 1: not an S-record";
        QTest::newRow("checksum off in line 2")
            << QByteArray("S1051000AB122D\nS1051000AB122E\n")
            << "Not a firmware file: line 2: checksum does not match";
        QTest::newRow("missing file") << QByteArray() << "The file can't be opened";
    }
    void badFilesSendNothing()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, status);
        start(0x1234, false);
        QString path = m_dir.filePath(QStringLiteral("missing.srec"));
        if (!text.isEmpty()) {
            path = m_dir.filePath(QStringLiteral("bad.srec"));
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(text);
        }
        QSignalSpy fromHost(&m_sim->wire(), &sim::Wire::frameFromHost);
        SensorFirmwareUpdate update(m_link.get(), 0x1234, 21, hook(0x1234));
        update.run(path);
        QCOMPARE(update.status(), status);
        QCOMPARE(fromHost.count(), 0);
        QCOMPARE(m_hookCalls, 0);
        checkDongleHome();
    }

    // The group's own part: the file dialog, the stored folder, the button back to idle and
    // the running signal around the update.
    void groupRunsTheChosenFile()
    {
        start(0x8001, false);
        QVERIFY(QDir::setCurrent(m_dir.path()));
        DialogDouble dialogs;
        dialogs.answerText(m_path);
        SensorRecord record = SensorRecord::entered(0x8001);
        SensorFirmwareGroup group(m_link.get(), record, hook(0x8001));
        QSignalSpy running(&group, &SensorFirmwareGroup::uploadRunning);
        auto *button = group.findChild<QPushButton *>(QStringLiteral("uploadButton"));
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(running.count(), 2);
        QCOMPARE(running[0][0].toBool(), true);
        QCOMPARE(running[1][0].toBool(), false);
        QCOMPARE(dialogs.calls.size(), 1);
        QCOMPARE(dialogs.calls[0].title, QStringLiteral("Choose Filename"));
        QCOMPARE(group.statusText(),
                 QStringLiteral("Relais successfully updated, new version :21"));
        QCOMPARE(button->text(), QStringLiteral("Upload file to sensor"));
        QCOMPARE(settings::readString(settings::key::AdvSensorSrecDir), m_path);

        // A cancelled dialog leaves everything as it was.
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(dialogs.calls.size(), 2);
        QCOMPARE(dialogs.calls[1].text, m_path);
        QCOMPARE(group.statusText(),
                 QStringLiteral("Relais successfully updated, new version :21"));
        QCOMPARE(button->text(), QStringLiteral("Upload file to sensor"));
        checkDongleHome();
    }
};

QTEST_MAIN(TestSensorFirmware)
#include "tst_sensorfirmware.moc"
