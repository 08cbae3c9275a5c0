#include "periods.h"

#include <QtTest>

class TestPeriods : public QObject
{
    Q_OBJECT
private slots:
    // The selector's order, the code each item sends and its length, written out: the sensor's
    // codes part ways from the selector's order after "1 min".
    void everySelectorItemHasItsCodeAndLength()
    {
        const QStringList texts{"1 sec",   "2 secs",  "5 secs", "10 secs", "15 secs",
                                "20 secs", "30 secs", "1 min",  "2 mins",  "5 mins",
                                "10 mins", "15 mins", "1 hour"};
        const int codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 8, 12, 9};
        const int seconds[] = {1, 2, 5, 10, 15, 20, 30, 60, 120, 300, 600, 900, 3600};
        QCOMPARE(periods::texts(), texts);
        for (int item = 0; item < texts.size(); ++item) {
            QCOMPARE(periods::text(item), texts[item]);
            QCOMPARE(periods::codeOfItem(item), codes[item]);
            QCOMPARE(periods::itemOfCode(codes[item]), item);
            QCOMPARE(periods::secondsOfItem(item), seconds[item]);
            QCOMPARE(periods::secondsOfCode(codes[item]), seconds[item]);
        }
    }

    void valuesOutsideTheListAreRefused_data()
    {
        QTest::addColumn<int>("value");
        QTest::newRow("negative") << -1;
        QTest::newRow("first non-period code") << 13;
        QTest::newRow("first value beyond the code nibble") << 16;
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
