#include "periods.h"

#include <QtTest>

class TestPeriods : public QObject
{
    Q_OBJECT
private slots:
    void everySelectorItemHasItsCodeAndLength_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("seconds");
        const struct {
            const char *text;
            int code;
            int seconds;
        } rows[] = {{"1 sec", 0, 1},     {"2 secs", 1, 2},    {"5 secs", 2, 5},
                    {"10 secs", 3, 10},  {"15 secs", 4, 15},  {"20 secs", 5, 20},
                    {"30 secs", 6, 30},  {"1 min", 7, 60},    {"2 mins", 10, 120},
                    {"5 mins", 11, 300}, {"10 mins", 8, 600}, {"15 mins", 12, 900},
                    {"1 hour", 9, 3600}};
        int item = 0;
        for (const auto &r : rows) {
            QTest::newRow(r.text) << item << QString::fromLatin1(r.text) << r.code << r.seconds;
            ++item;
        }
    }
    void everySelectorItemHasItsCodeAndLength()
    {
        QFETCH(int, item);
        QFETCH(QString, text);
        QFETCH(int, code);
        QFETCH(int, seconds);
        QCOMPARE(periods::text(item), text);
        QCOMPARE(periods::texts().value(item), text);
        QCOMPARE(periods::codeOfItem(item), code);
        QCOMPARE(periods::itemOfCode(code), item);
        QCOMPARE(periods::secondsOfCode(code), seconds);
        QCOMPARE(periods::secondsOfItem(item), seconds);
    }

    void valuesOutsideTheListAreRefused_data()
    {
        QTest::addColumn<int>("value");
        QTest::newRow("negative") << -1;
        QTest::newRow("first non-period code") << 13;
        QTest::newRow("last nibble value") << 15;
        QTest::newRow("byte") << 255;
    }
    void valuesOutsideTheListAreRefused()
    {
        QFETCH(int, value);
        QCOMPARE(periods::itemOfCode(value), -1);
        QCOMPARE(periods::codeOfItem(value), -1);
        QCOMPARE(periods::text(value), QString());
        QCOMPARE(periods::secondsOfCode(value), 0);
        QCOMPARE(periods::secondsOfItem(value), 0);
    }
};

QTEST_GUILESS_MAIN(TestPeriods)
#include "tst_periods.moc"
