#include "commandset.h"
#include "device.h"
#include "scenario.h"

#include <QtTest>

using sim::Device;

class TestSimMemory : public QObject
{
    Q_OBJECT

private slots:
    void presetsAreReadOrRefused_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("address");
        QTest::addColumn<bool>("ram");
        QTest::addColumn<QByteArray>("bytes"); // the image from the address on
        QTest::newRow("list") << QByteArray("eeprom = 0040:12 34, 0042:56") << true << 0x0040
                              << false << QByteArray("\x12\x34\x56\xFF", 4);
        QTest::newRow("ram") << QByteArray("ram = 07FF:AB") << true << 0x07FF << true
                             << QByteArray("\xAB\xFF", 2);
        QTest::newRow("past the end is dropped") << QByteArray("eeprom = 2007:01 02") << true
                                                 << 0x2007 << false << QByteArray("\x01\xFF", 2);
        QTest::newRow("address not hex")
            << QByteArray("eeprom = zz:01") << false << 0 << false << QByteArray();
        QTest::newRow("byte too big")
            << QByteArray("ram = 0040:123") << false << 0 << false << QByteArray();
        QTest::newRow("address too big")
            << QByteArray("ram = 10000:01") << false << 0 << false << QByteArray();
    }
    void presetsAreReadOrRefused()
    {
        QFETCH(QByteArray, keys);
        QFETCH(bool, ok);
        QFETCH(int, address);
        QFETCH(bool, ram);
        QFETCH(QByteArray, bytes);
        const sim::ScenarioResult r = sim::parseScenario("[device 1234]\n" + keys);
        QCOMPARE(r.ok(), ok);
        if (!ok) {
            QVERIFY(r.errors.first().contains(QStringLiteral(":2:")));
            return;
        }
        const Device d(r.scenario.devices[0], 15);
        const auto read = d.images().read(ram, uint16_t(address));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(read.data()), bytes.size()), bytes);
    }
};

QTEST_MAIN(TestSimMemory)
#include "tst_simmemory.moc"
