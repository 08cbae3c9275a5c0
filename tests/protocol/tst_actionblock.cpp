#include "actionblock.h"

#include <QtTest>

using actionblock::Choice;
using actionblock::Sensor;

namespace
{
// The block as hexadecimal text, so a failure shows every byte.
QByteArray hexOf(const command::Block &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())).toHex(' ');
}
QByteArray bytes(std::initializer_list<int> leading)
{
    QByteArray b(command::BlockSize, '\0');
    int i = 0;
    for (int v : leading)
        b[i++] = char(v);
    return b.toHex(' ');
}
Sensor sensor(int type, int reportedCode, int selectedCode, int reportedMask, int selectedMask)
{
    Sensor s;
    s.sensorType = uint8_t(type);
    s.reportedPeriodCode = uint8_t(reportedCode);
    s.selectedPeriodCode = uint8_t(selectedCode);
    s.reportedChannelMask = uint8_t(reportedMask);
    s.selectedChannelMask = uint8_t(selectedMask);
    return s;
}
} // namespace

Q_DECLARE_METATYPE(Choice)
Q_DECLARE_METATYPE(Sensor)

class TestActionBlock : public QObject
{
    Q_OBJECT
private slots:
    void blockCarriesWhatTheBoxesAndTheRowAsk_data()
    {
        QTest::addColumn<Choice>("choice");
        QTest::addColumn<Sensor>("sensor");
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<bool>("memoryWrite");

        const Sensor matching = sensor(1, 8, 8, 0x03, 0x03);
        Choice none;
        QTest::newRow("nothing checked, no Add: all zeros")
            << none << matching << bytes({}) << false;

        Choice timeAndClear;
        timeAndClear.setTime = true;
        timeAndClear.clearData = true;
        QTest::newRow("set time and clear") << timeAndClear << matching << bytes({0x05}) << false;

        Choice plusPeriod = timeAndClear;
        plusPeriod.changePeriod = true;
        QTest::newRow("period already right adds nothing")
            << plusPeriod << matching << bytes({0x05}) << false;
        QTest::newRow("period differs: 10 mins is code 8")
            << plusPeriod << sensor(1, 7, 8, 3, 3) << bytes({0x07, 0x08}) << false;

        Choice channels;
        channels.selectChannels = true;
        QTest::newRow("channels differ: mask and type in 14, 15")
            << channels << sensor(13, 0, 0, 0x07, 0x05)
            << bytes({0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 13}) << false;
        QTest::newRow("channels already right")
            << channels << sensor(13, 0, 0, 5, 5) << bytes({}) << false;

        Choice window;
        window.downloadBetween = true;
        window.windowStart = QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58));
        window.windowEnd = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
        QTest::newRow("download between: BCD window")
            << window << matching
            << bytes({0x08, 0, 0x25, 0x12, 0x31, 0x23, 0x59, 0x58, 0x26, 0x01, 0x02, 0x03, 0x04,
                      0x05})
            << false;

        Choice all;
        all.downloadAll = true;
        QTest::newRow("download all") << all << matching << bytes({0x10}) << false;

        Sensor write = matching;
        write.memoryAddress = QStringLiteral("1f0");
        write.memoryValue = QStringLiteral("A5");
        QTest::newRow("memory write from Add and Val")
            << none << write << bytes({0, 0x13, 0x01, 0xF0, 0xA5, 1}) << true;
        Choice periodOnly;
        periodOnly.changePeriod = true;
        QTest::newRow("nothing to set leaves room for the write")
            << periodOnly << write << bytes({0, 0x13, 0x01, 0xF0, 0xA5, 1}) << true;
        Choice timeOnly;
        timeOnly.setTime = true;
        QTest::newRow("an action wins over the write")
            << timeOnly << write << bytes({0x01}) << false;

        const struct {
            const char *name;
            const char *address;
            const char *value;
        } refused[] = {{"address beyond 16 bits", "12345", "1"},
                       {"value beyond a byte", "10", "1FF"},
                       {"address not hexadecimal", "1G", "1"},
                       {"value missing", "10", ""},
                       {"blank address", "  ", "1"}};
        for (const auto &r : refused) {
            Sensor s = matching;
            s.memoryAddress = QString::fromLatin1(r.address);
            s.memoryValue = QString::fromLatin1(r.value);
            QTest::newRow(r.name) << none << s << bytes({}) << false;
        }
    }
    void blockCarriesWhatTheBoxesAndTheRowAsk()
    {
        QFETCH(Choice, choice);
        QFETCH(Sensor, sensor);
        QFETCH(QByteArray, block);
        QFETCH(bool, memoryWrite);
        const actionblock::Payload p = actionblock::build(choice, sensor);
        QCOMPARE(hexOf(p.block), block);
        QCOMPARE(p.memoryWrite, memoryWrite);
    }
};

QTEST_APPLESS_MAIN(TestActionBlock)
#include "tst_actionblock.moc"
