#include "sensorlist.h"

#include <QtTest>

using sensorlist::PendingRow;

Q_DECLARE_METATYPE(PendingRow)
Q_DECLARE_METATYPE(QVector<PendingRow>)
Q_DECLARE_METATYPE(actionblock::Choice)

namespace
{
PendingRow pendingRow(int type, int selectedMask, int reportedMask, int item, int reportedItem)
{
    PendingRow r;
    r.sensorType = uint8_t(type);
    r.selectedMask = uint8_t(selectedMask);
    r.reportedMask = uint8_t(reportedMask);
    r.periodItem = item;
    r.reportedPeriodItem = reportedItem;
    return r;
}
} // namespace

class TestSensorList : public QObject
{
    Q_OBJECT
private slots:
    void typedSerialNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("serial"); // -1: refused
        QTest::newRow("digits read as hexadecimal") << "1234" << 0x1234;
        QTest::newRow("hexadecimal letters") << "9a01" << 0x9A01;
        QTest::newRow("one digit") << "F" << 0x000F;
        QTest::newRow("scanner blanks") << " 1A2B\t" << 0x1A2B;
        QTest::newRow("zero") << "0000" << -1;
        QTest::newRow("five digits") << "10000" << -1;
        QTest::newRow("not hexadecimal") << "abcg" << -1;
        QTest::newRow("negative") << "-12" << -1;
        QTest::newRow("prefix") << "0x12" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void typedSerialNumbers()
    {
        QFETCH(QString, text);
        QFETCH(int, serial);
        const std::optional<uint16_t> parsed = sensorlist::parseTypedSerialNumber(text);
        QCOMPARE(parsed ? int(*parsed) : -1, serial);
    }

    void newSensorsGoWhereTheOrderWantsThem()
    {
        const QVector<uint32_t> serials{0x0100, 0x0300, 0x9001};
        QCOMPARE(sensorlist::insertionIndex(serials, 0x0050), 0);
        QCOMPARE(sensorlist::insertionIndex(serials, 0x0300), 1); // before an equal one
        QCOMPARE(sensorlist::insertionIndex(serials, 0xA000), 3);
        QCOMPARE(sensorlist::insertionIndex({}, 0x0001), 0);
    }

    void periodSelectorGivesTheSensorsCode()
    {
        QCOMPARE(sensorlist::selectedPeriodCode(10, 3), uint8_t(8)); // "10 mins"
        // An empty selector asks for no change.
        QCOMPARE(sensorlist::selectedPeriodCode(-1, 3), uint8_t(3));
    }

    void pendingChanges_data()
    {
        QTest::addColumn<actionblock::Choice>("choice");
        QTest::addColumn<QVector<PendingRow>>("rows");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("failingRow");
        QTest::addColumn<QString>("changed"); // per row: c = change, t = set time, x = clear

        const PendingRow unknown = pendingRow(0, 1, 0, -1, 255);
        const PendingRow same = pendingRow(1, 3, 3, 4, 4);
        const PendingRow otherPeriod = pendingRow(1, 3, 3, 5, 4);
        const PendingRow otherChannels = pendingRow(1, 1, 3, 4, 4);
        const PendingRow noChannel = pendingRow(1, 0, 3, 4, 4);

        actionblock::Choice time;
        time.setTime = true;
        QTest::newRow("set time marks all, changes known")
            << time << QVector<PendingRow>{unknown, same} << 0 << -1 << "t,ct";
        actionblock::Choice clear;
        clear.clearData = true;
        QTest::newRow("clear marks all, changes known")
            << clear << QVector<PendingRow>{same, unknown} << 0 << -1 << "cx,x";
        actionblock::Choice period;
        period.changePeriod = true;
        QTest::newRow("period: only differing rows")
            << period << QVector<PendingRow>{same, otherPeriod} << 0 << -1 << ",c";
        QTest::newRow("period on an unknown sensor")
            << period << QVector<PendingRow>{same, unknown} << 1 << 1 << ",";
        actionblock::Choice channels;
        channels.selectChannels = true;
        QTest::newRow("channels: only differing rows")
            << channels << QVector<PendingRow>{otherChannels, same} << 0 << -1 << "c,";
        QTest::newRow("no channel selected names its row")
            << channels << QVector<PendingRow>{otherChannels, noChannel, unknown} << 2 << 1
            << "c,,";
        QTest::newRow("unknown sensor before an empty selection")
            << channels << QVector<PendingRow>{unknown, noChannel} << 1 << 0 << ",";
        actionblock::Choice timeAndPeriod = time;
        timeAndPeriod.changePeriod = true;
        QTest::newRow("marks made before a failure stay")
            << timeAndPeriod << QVector<PendingRow>{same, unknown} << 1 << 1 << "ct,t";
    }
    void pendingChanges()
    {
        QFETCH(actionblock::Choice, choice);
        QFETCH(QVector<PendingRow>, rows);
        QFETCH(int, code);
        QFETCH(int, failingRow);
        QFETCH(QString, changed);
        const sensorlist::PendingResult r = sensorlist::markPendingChanges(choice, rows);
        QCOMPARE(r.code, code);
        QCOMPARE(r.row, failingRow);
        QStringList marks;
        for (const sensorlist::PendingMarks &m : r.marks)
            marks << QString(m.change ? "c" : "") + (m.setTime ? "t" : "") + (m.clear ? "x" : "");
        QCOMPARE(marks.join(','), changed);
    }
};

QTEST_APPLESS_MAIN(TestSensorList)
#include "tst_sensorlist.moc"
