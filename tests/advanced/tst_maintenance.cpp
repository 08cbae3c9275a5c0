#include "devicemaintenance.h"
#include "memorycommand.h"

#include "commandset.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "simlink.h"
#include "testkit.h"

#include "filesizelimit.h"
#include <QBuffer>
#include <QSignalSpy>
#include <QTimer>

#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using memorycommand::Fields;
using memorycommand::Operation;
using memorycommand::Plan;

Q_DECLARE_METATYPE(Operation)

class TestMaintenance : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<MessageCapture> m_log;

    void start(const QString &scenario = QStringLiteral("test-fleet.ini"))
    {
        QVERIFY(startSimLink(testScenario(scenario), m_sim, m_link));
    }
    // A sleeping sensor shows up a moment after it was asked for, as when it next wakes.
    void wakeSoon(uint16_t sn)
    {
        if (memorycommand::deviceClass(sn) == memorycommand::DeviceClass::Sensor)
            QTimer::singleShot(60, m_sim.get(), [this, sn] { m_sim->wake(sn); });
    }
    DeviceMaintenance::Result run(DeviceMaintenance &m, Operation op, const Fields &f,
                                  QIODevice *out = nullptr)
    {
        wakeSoon(m.serialNumber());
        return m.run(op, f, out);
    }
    // Whether the dongle, on its present channel, hears `sn` when asked for it.
    bool heard(uint16_t sn)
    {
        // What was still on its way (the answer to the last command) is not an answer now.
        while (m_link->receiveSensorAnswer(sn) != ManageSerialPort::NoAnswer) {
        }
        if (memorycommand::deviceClass(sn) == memorycommand::DeviceClass::Sensor)
            m_sim->wake(sn);
        else
            m_link->sendApiFrame(command::rawDirectBody(sn, command::Attention), 0);
        for (int i = 0; i < 10; ++i)
            if (m_link->receiveSensorAnswer(sn) == ManageSerialPort::AnswerSensorFrame)
                return true;
        return false;
    }

private slots:
    void init() { m_log = std::make_unique<MessageCapture>(MessageCapture::Silent); }
    void cleanup()
    {
        m_link.reset();
        m_sim.reset();
        m_log.reset();
    }

    void fieldsBecomeTheRightBytes_data()
    {
        // `address` is typed into both address fields; `flag` is the RAM choice of a read and
        // the reset box of a write.
        QTest::addColumn<Operation>("op");
        QTest::addColumn<int>("sn");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("flag");
        QTest::addColumn<int>("channelIndex");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("bytes"); // the block's first bytes, or the relay body
        const int M = Plan::MemoryCommand;
        const int R = Plan::RelayChannel;
        const int I = Plan::Invalid;
        const auto row = [](const char *name, Operation op, int sn, const char *address,
                            const char *value, bool flag, int channel, int kind,
                            const char *bytes) {
            QTest::newRow(name) << op << sn << QString::fromLatin1(address)
                                << QString::fromLatin1(value) << flag << channel << kind
                                << hex(bytes);
        };
        row("read 1A EEPROM", Operation::Read, 0x1234, "1A", "00", false, 16, M, "00 12 00 1A 00");
        row("read RAM", Operation::Read, 0x1234, "07ff", "00", true, 16, M, "00 14 07 FF 00");
        row("write, low byte", Operation::Write, 0x1234, "12", "1A5", false, 16, M,
            "00 13 00 12 A5 00");
        row("relay, 12, read", Operation::Read, 0x8001, "12", "14", false, 16, R, "46 14 00 80 01");
        row("relay, 12, dump", Operation::Save, 0x8FFF, " 12", "0b", false, 16, R,
            "46 0B 00 8F FF");
        row("relay, 0C", Operation::Write, 0x8001, "0C", "14", false, 16, M, "00 13 00 0C 14 00");
        row("channel, relay", Operation::Channel, 0x8001, "12", "0", false, 15, R,
            "46 1A 00 80 01");
        row("channel ~", Operation::Channel, 0x1234, "0", "0", false, 16, I, "");
        row("upload", Operation::Upload, 0x1234, "0", "0", false, 16, M, "00 13 01 01 E5 01");
        row("address too long", Operation::Read, 0x1234, "12345", "0", false, 16, I, "");
        row("value not hex", Operation::Write, 0x1234, "0010", "zz", false, 16, I, "");
    }
    void fieldsBecomeTheRightBytes()
    {
        QFETCH(Operation, op);
        QFETCH(int, sn);
        QFETCH(QString, address);
        QFETCH(QString, value);
        QFETCH(bool, flag);
        QFETCH(int, channelIndex);
        QFETCH(int, kind);
        QFETCH(QByteArray, bytes);
        Fields f;
        f.readAddress = f.writeAddress = address;
        f.value = value;
        f.ram = f.reset = flag;
        f.channelIndex = channelIndex;
        const Plan p = memorycommand::plan(op, uint16_t(sn), f);
        QCOMPARE(int(p.kind), kind);
        if (kind == Plan::MemoryCommand) {
            const QByteArray block = command::toBytes(p.block);
            QCOMPARE(block.left(bytes.size()), bytes);
            QCOMPARE(block.mid(bytes.size()), QByteArray(17 - bytes.size(), 0));
        } else if (kind == Plan::RelayChannel) {
            QCOMPARE(p.relayBody, bytes);
        } else {
            QVERIFY(!p.error.isEmpty());
        }
    }

    void shortAnswersShowNothing()
    {
        // Bytes 34 to 41 are what a read shows: a frame cut before them shows nothing rather
        // than what lies beyond it.
        QByteArray frame(54, char(0x5A));
        const auto *f = reinterpret_cast<const uint8_t *>(frame.constData());
        QCOMPARE(memorycommand::readText(f, 42, false), QString("5a 5a 5a 5a 5a 5a 5a 5a "));
        QCOMPARE(memorycommand::readText(f, 41, false), QString());
        QCOMPARE(memorycommand::readText(f, 40, true), QString("5a 5a 5a 5a 5a 5a "));
        QCOMPARE(memorycommand::dumpLine(0, f, 41), QString());
        QVERIFY(!memorycommand::errorWord(f, 35));
        QVERIFY(!memorycommand::errorIndex(f, 34));
    }

    void readAndWriteReachTheDeviceMemory_data()
    {
        QTest::addColumn<int>("sn");
        QTest::addColumn<bool>("reset");
        // 1234: type 1, version 21; 9001: type 6, version 20 (the default).
        QTest::newRow("sensor, no reset") << 0x1234 << false;
        QTest::newRow("sensor, reset") << 0x1234 << true;
        QTest::newRow("always listening, reset") << 0x9001 << true;
    }
    void readAndWriteReachTheDeviceMemory()
    {
        QFETCH(int, sn);
        QFETCH(bool, reset);
        start();
        DeviceMaintenance m(m_link.get(), uint16_t(sn), 0);
        Fields f;
        QCOMPARE(run(m, Operation::Read, f), DeviceMaintenance::Done);
        QCOMPARE(m.text(), sn == 0x1234 ? QStringLiteral("12 34 01 15 ff ff ff ff ")
                                        : QStringLiteral("90 01 06 14 ff ff ff ff "));
        QVERIFY(m_log->contains(QStringLiteral("send param")));
        // The wake-up target is cleared once the read is over.
        QTRY_VERIFY(m_sim->fleet().wakeTargets().isEmpty());

        f.writeAddress = QStringLiteral("0040");
        f.value = QStringLiteral("5A");
        f.reset = reset;
        QCOMPARE(run(m, Operation::Write, f), DeviceMaintenance::Done);
        QTRY_COMPARE(m_sim->device(uint16_t(sn))->images().eepromByte(0x40), uint8_t(0x5A));
        // A sensor restarted by the write sleeps until it next wakes; one that was not stays
        // awake a while.
        if (sn == 0x1234)
            QCOMPARE(m_sim->fleet().isAwake(*m_sim->device(0x1234)), !reset);
        f.readAddress = QStringLiteral("3f");
        QCOMPARE(run(m, Operation::Read, f), DeviceMaintenance::Done);
        QCOMPARE(m.text(), QStringLiteral("ff 5a ff ff ff ff ff ff "));
    }

    // Byte 5 of a frame means nothing defined: a wake frame is the device showing up and the
    // next frame answers the command, whatever that byte holds.
    void answersAreTakenWhateverTheirByteFive_data()
    {
        QTest::addColumn<int>("byte5");
        QTest::newRow("00") << 0x00;
        QTest::newRow("0F, the command's function") << 0x0F;
        QTest::newRow("FF") << 0xFF;
        QTest::newRow("another on each frame") << int(sim::DeviceConfig::Varying);
    }
    void answersAreTakenWhateverTheirByteFive()
    {
        QFETCH(int, byte5);
        sim::Scenario scenario = testScenario();
        for (sim::DeviceConfig &d : scenario.devices)
            d.functionByte = byte5;
        QVERIFY(startSimLink(scenario, m_sim, m_link));
        DeviceMaintenance m(m_link.get(), 0x1313, 0);
        m.setGuardMs(3000);
        Fields f;
        f.readAddress = QStringLiteral("0000");
        QCOMPARE(run(m, Operation::Read, f), DeviceMaintenance::Done);
        QCOMPARE(m.text(), QStringLiteral("13 13 0d 14 ff ff ff ff "));
        QCOMPARE(run(m, Operation::ReadError, {}), DeviceMaintenance::Done);
        QCOMPARE(m.text(), QStringLiteral("e002 "));
    }

    // What the device sent while the window idled is no showing up: the sensor is asleep.
    void framesFromBeforeTheOperationAreNotTheDevice()
    {
        start();
        QVERIFY(queueIdleFrames(*m_sim, *m_link, 0x1234, 2));
        DeviceMaintenance m(m_link.get(), 0x1234, 0);
        m.setGuardMs(500);
        QCOMPARE(m.run(Operation::Read, {}), DeviceMaintenance::Expired);
        QVERIFY(m.text().isEmpty());
    }

    void channelChangeMovesEachDeviceClass_data()
    {
        QTest::addColumn<int>("sn");
        QTest::newRow("sensor") << 0x1234;
        QTest::newRow("always listening") << 0x9001;
        QTest::newRow("relay") << 0x8001;
    }
    void channelChangeMovesEachDeviceClass()
    {
        QFETCH(int, sn);
        start();
        DeviceMaintenance m(m_link.get(), uint16_t(sn), 0);
        Fields f;
        f.channelIndex = 9; // channel 20
        QCOMPARE(run(m, Operation::Channel, f), DeviceMaintenance::Done);
        QCOMPARE(m.relayChannelSent(), sn == 0x8001);
        QTRY_COMPARE(m_sim->device(uint16_t(sn))->radioChannel(), 20);
        // The dongle on its channel 15 no longer hears it; moved to 20, it does.
        QVERIFY(!heard(uint16_t(sn)));
        m_link->sendApiFrame(command::setChannelBody(20), 0);
        QTRY_COMPARE(m_sim->fleet().channel(), 20);
        QVERIFY(heard(uint16_t(sn)));
    }

    void relayRefusingTheChannelIsAnError()
    {
        start();
        DeviceMaintenance m(m_link.get(), 0x8001, 0);
        Fields f;
        f.writeAddress = QStringLiteral("12");
        f.value = QStringLiteral("1B"); // 27: a channel the radio does not have
        QCOMPARE(m.run(Operation::Write, f), DeviceMaintenance::NoAnswer);
        QVERIFY(m.relayChannelSent());
        QCOMPARE(m_sim->device(0x8001)->radioChannel(), 15);
    }

    void errorIsReadAndCleared()
    {
        start();
        // 1313 stores error 2: index 1, its word at 0302 is E002.
        DeviceMaintenance m(m_link.get(), 0x1313, 0);
        QCOMPARE(run(m, Operation::ReadError, {}), DeviceMaintenance::Done);
        QCOMPARE(m.text(), QStringLiteral("e002 "));
        QCOMPARE(run(m, Operation::ClearError, {}), DeviceMaintenance::Done);
        QTRY_COMPARE(m_sim->device(0x1313)->images().eepromByte(0x0301), uint8_t(0));
        QCOMPARE(run(m, Operation::ReadError, {}), DeviceMaintenance::Done);
        QCOMPARE(m.text(), QStringLiteral("no error"));
    }

    void dumpWritesEveryLineOfTheMemory()
    {
        start();
        m_sim->device(0x1234)->images().write(false, 0x1FFF, 0x42);
        DeviceMaintenance m(m_link.get(), 0x1234, 0);
        QSignalSpy progress(&m, &DeviceMaintenance::dumpProgress);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QCOMPARE(run(m, Operation::Save, {}, &out), DeviceMaintenance::Done);
        QCOMPARE(progress.count(), 1025);
        QCOMPARE(progress.last().at(0).toInt(), 0x2000);
        const QList<QByteArray> lines = out.data().split('\n');
        QCOMPARE(lines.size(), 1026); // the last line ends the file
        const QByteArray eeprom = m_sim->device(0x1234)->images().eeprom();
        for (int i = 0; i < 1025; ++i) {
            QByteArray expected = QByteArray::number(i * 8, 16).rightJustified(4, '0') + '\t';
            for (int k = 0; k < 8; ++k)
                expected += eeprom.mid(i * 8 + k, 1).toHex() + ' ';
            QCOMPARE(lines[i], expected + '\r');
        }
        QCOMPARE(lines[1023], QByteArray("1ff8\tff ff ff ff ff ff ff 42 \r"));
    }

    void dumpStopsWhenTheFileRefusesALine()
    {
        start();
        DeviceMaintenance m(m_link.get(), 0x1234, 0);
        QSignalSpy progress(&m, &DeviceMaintenance::dumpProgress);
        QBuffer readOnly;
        readOnly.open(QIODevice::ReadOnly);
        QCOMPARE(run(m, Operation::Save, {}, &readOnly), DeviceMaintenance::FileError);
        QCOMPARE(progress.count(), 0);
        QVERIFY(!m.text().isEmpty());
    }

    void dumpOntoAFullDiskEndsOnAWholeLineAndSaysWhere()
    {
        start();
        DeviceMaintenance m(m_link.get(), 0x1234, 0);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("dump.hex")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered));
        DeviceMaintenance::Result r;
        {
            FileSizeLimit limit(8 * 1024 + 7);
            r = run(m, Operation::Save, {}, &file);
        }
        file.close();
        QCOMPARE(r, DeviceMaintenance::FileError);
        QVERIFY2(m.text() == "could not write " + file.fileName() + ": File too large",
                 qPrintable(m.text()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        QVERIFY2(written.size() > 8 * 1024 - 64 && written.size() <= 8 * 1024 + 7,
                 qPrintable(QString::number(written.size()) + m.text()));
        QVERIFY(written.endsWith("\r\n"));
    }

    void waitEndsWhenStoppedOrPastTheGuard_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::addColumn<int>("result");
        QTest::newRow("stopped") << true << int(DeviceMaintenance::Stopped);
        QTest::newRow("guard") << false << int(DeviceMaintenance::Expired);
    }
    void waitEndsWhenStoppedOrPastTheGuard()
    {
        QFETCH(bool, stop);
        QFETCH(int, result);
        start();
        DeviceMaintenance m(m_link.get(), 0x1234, 0); // never woken: it does not show up
        m.setGuardMs(stop ? DeviceMaintenance::GuardMs : 300);
        if (stop)
            QTimer::singleShot(200, &m, [&m] { m.stop(); });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(int(m.run(Operation::Read, {})), result);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(!m.isRunning());
        QVERIFY(!m_log->contains(QStringLiteral("send param")));
    }

    void restartIntoLoaderMarksTheDevice()
    {
        start();
        DeviceMaintenance m(m_link.get(), 0x1234, 0);
        wakeSoon(0x1234);
        quint8 version = 0;
        QVERIFY(m.restart_into_loader(&version));
        QCOMPARE(version, quint8(21));
        // The restart found the flag: the sensor now runs its loader (which takes the flag).
        QTRY_VERIFY(m_sim->device(0x1234)->inLoader());
        // Stopped before the device shows up, nothing is written.
        DeviceMaintenance other(m_link.get(), 0x1400, 0);
        QTimer::singleShot(100, &other, [&other] { other.stop(); });
        QVERIFY(!other.restart_into_loader(&version));
        QCOMPARE(m_sim->device(0x1400)->images().eepromByte(0x0101), uint8_t(0xFF));
    }

    void loraCarriesReadsAndWritesOnly()
    {
        start(QStringLiteral("lora-test.ini"));
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Lora));
        DeviceMaintenance m(m_link.get(), 0x9001, 0);
        QCOMPARE(m.run(Operation::Read, {}), DeviceMaintenance::Done);
        QCOMPARE(m.text(), QStringLiteral("90 01 06 14 ff ff "));
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QCOMPARE(m.run(Operation::Save, {}, &out), DeviceMaintenance::Refused);
        QCOMPARE(out.size(), 0);
    }
};

QTEST_MAIN(TestMaintenance)
#include "tst_maintenance.moc"
