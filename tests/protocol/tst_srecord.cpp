#include "srecord.h"

#include <QtTest>

// Checksums below were worked out by hand: ones' complement of the low byte of the sum of the
// count, address and data bytes.
class TestSrecord : public QObject
{
    Q_OBJECT
private slots:
    void linesAreCheckedBeforeAnythingIsSent_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("problem");
        const auto p = [](srec::Problem x) { return int(x); };
        QTest::newRow("data S1") << QByteArray("S1051000AB122D") << p(srec::Problem::None);
        QTest::newRow("lower-case digits")
            << QByteArray("S1051000ab122d") << p(srec::Problem::None);
        QTest::newRow("header S0")
            << QByteArray("S00F000068656C6C6F202020202000003C") << p(srec::Problem::None);
        QTest::newRow("end S9") << QByteArray("S9030000FC") << p(srec::Problem::None);
        QTest::newRow("checksum off by one")
            << QByteArray("S1051000AB122E") << p(srec::Problem::BadChecksum);
        QTest::newRow("count says 6, 5 follow")
            << QByteArray("S1061000AB122D") << p(srec::Problem::BadCount);
        QTest::newRow("S4 is reserved")
            << QByteArray("S4030000FC") << p(srec::Problem::UnknownType);
        QTest::newRow("letter for type")
            << QByteArray("SX030000FC") << p(srec::Problem::UnknownType);
        QTest::newRow("not S") << QByteArray(":10010000") << p(srec::Problem::NotARecord);
        QTest::newRow("blank") << QByteArray("") << p(srec::Problem::NotARecord);
        QTest::newRow("carriage return kept")
            << QByteArray("S9030000FC\r") << p(srec::Problem::NotHex);
        QTest::newRow("half a byte") << QByteArray("S9030000FC0") << p(srec::Problem::OddDigits);
        // S3 needs 4 address bytes and a checksum: count 4 is one short.
        QTest::newRow("S3 too short") << QByteArray("S304000000FB") << p(srec::Problem::TooShort);
        QTest::newRow("S1 ending at the top")
            << QByteArray("S105FFFEAB1240") << p(srec::Problem::None);
        QTest::newRow("S1 one byte past 16 bits")
            << QByteArray("S105FFFFAB123F") << p(srec::Problem::PastTop);
        QTest::newRow("S2 one byte past 24 bits")
            << QByteArray("S207FFFFFEAB12340B") << p(srec::Problem::PastTop);
        QTest::newRow("S2 above 16 bits")
            << QByteArray("S206FFFFFEAB1240") << p(srec::Problem::None);
        QTest::newRow("S3 one byte past 32 bits")
            << QByteArray("S307FFFFFFFFAB123F") << p(srec::Problem::PastTop);
    }
    void linesAreCheckedBeforeAnythingIsSent()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, problem);
        QCOMPARE(int(srec::checkLine(line)), problem);
    }

    void filesNameTheirFirstBadLine()
    {
        const QByteArray good = "S00F000068656C6C6F202020202000003C\nS1051000AB122D\nS9030000FC\n";
        srec::Check check = srec::checkText(good);
        QVERIFY(check.ok());
        QCOMPARE(check.lines, 3);

        check = srec::checkText("S1051000AB122D\n\nS9030000FC\n");
        QCOMPARE(check.problem, srec::Problem::NotARecord);
        QCOMPARE(check.line, 2);
        QCOMPARE(srec::describe(check), QStringLiteral("line 2: not an S-record"));

        QCOMPARE(srec::checkText("").problem, srec::Problem::NoLines);
        QCOMPARE(srec::checkText("S00F000068656C6C6F202020202000003C\nS9030000FC").problem,
                 srec::Problem::NoData);
        QCOMPARE(srec::checkText("garbage\x01\xff").line, 1);

        check = srec::checkText("S1051000AB122D\nS105FFFFAB123F\n");
        QCOMPARE(check.line, 2);
        QCOMPARE(srec::describe(check),
                 QStringLiteral(
                     "line 2: the data runs past the top of the record type's address space"));
    }

    void linesBecomeTheLoadersBytes_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("record with its line end")
            << QByteArray("S1051000AB1234\n") << QByteArray::fromHex("533105 1000AB1234");
        // A last line without its line end still sends its checksum byte.
        QTest::newRow("last line without line end")
            << QByteArray("S9030000FC") << QByteArray::fromHex("5339030000FC");
        QTest::newRow("only a line end") << QByteArray("\n") << QByteArray("\n\0", 2);
        // strtol stops at the first non-digit: "4G" is 4, "G4" is 0.
        QTest::newRow("invalid digits")
            << QByteArray("S14GG4\n") << QByteArray::fromHex("5331 04 00");
    }
    void linesBecomeTheLoadersBytes()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, bytes);
        QCOMPARE(srec::encodeLine(line), bytes);
    }

    void splitKeepsLineEnds()
    {
        QCOMPARE(srec::splitLines("a\nb\n"), (QList<QByteArray>{"a\n", "b\n"}));
        QCOMPARE(srec::splitLines("a\nb"), (QList<QByteArray>{"a\n", "b"}));
    }
};

QTEST_GUILESS_MAIN(TestSrecord)
#include "tst_srecord.moc"
