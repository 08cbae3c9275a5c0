#include "datafiles.h"
#include "pageframes.h"
#include "testkit.h"

#include <QTemporaryDir>
#include <QtTest>
#include <vector>

namespace
{

pagedecode::Layout oneChannel()
{
    pagedecode::Layout l;
    l.sensorType = 1;
    l.channelCount = 1;
    l.titles[0] = QStringLiteral("Level");
    return l;
}

} // namespace

class TestDataFiles : public QObject
{
    Q_OBJECT
private slots:
    void filesAreNamedAfterSerialAndCreationTime_data()
    {
        QTest::addColumn<uint>("serial");
        QTest::addColumn<QDateTime>("stamp");
        QTest::addColumn<QString>("name");
        QTest::newRow("upper-case digits, 24-hour clock")
            << 0x1a2bu << QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58)) << "1A2B_311224_235958";
        // only the low 16 bits of the serial number; every field zero-padded
        QTest::newRow("zero-padded") << 0x100ABu << QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5))
                                     << "00AB_020126_030405";
    }
    void filesAreNamedAfterSerialAndCreationTime()
    {
        QFETCH(uint, serial);
        QFETCH(QDateTime, stamp);
        QFETCH(QString, name);
        QCOMPARE(dataFileBaseName(serial, stamp), name);
    }

    void rowsOfEveryPageAreOnDiskBeforeTheFileIsClosed()
    {
        QTemporaryDir dir;
        const QString base = dataFileBaseName(0x1A2B, QDateTime(QDate(2026, 3, 1), QTime(12, 0)));
        DataFiles files;
        QVERIFY(files.openText(dir.path(), base + ".tsv"));
        QVERIFY(files.openBinary(dir.path(), base + ".pdc"));
        QCOMPARE(files.textPath(), dir.path() + "/1A2B_010326_120000.tsv");

        pagedecode::PageDecoder decoder(0x1A2B, 0x07, oneChannel(), pagedecode::Options());
        QVERIFY(files.writeText(decoder.header()));
        QCOMPARE(fileBytes(files.textPath()), QByteArray("1A2B\tSN1A2B\r\nTime\tLevel"));

        // pages 10 and 11, then page 12, the end of the range, from a two-page frame
        std::vector<uint8_t> frame = pageFrame(2, 0x01, 100, 2);
        FrameOutcome out = writeFramePages(decoder, files, frame.data(), int(frame.size()), 2, 10,
                                           12, page::RingPages);
        QCOMPARE(out.pages, 2);
        QCOMPARE(out.samples, 4u);
        QVERIFY(out.written);
        const QByteArray twoPages = "1A2B\tSN1A2B\r\nTime\tLevel"
                                    "\r\n01/03/26 12:00:00\t100\t\r\n01/03/26 12:00:01\t101\t"
                                    "\r\n01/03/26 12:01:00\t102\t\r\n01/03/26 12:01:01\t103\t";
        QCOMPARE(fileBytes(files.textPath()), twoPages);

        int afterPage = 0;
        frame = pageFrame(2, 0x01, 200, 2);
        out = writeFramePages(decoder, files, frame.data(), int(frame.size()), 2, 12, 12,
                              page::RingPages, [&] { ++afterPage; });
        QCOMPARE(out.pages, 1);
        QCOMPARE(afterPage, 1);
        QCOMPARE(decoder.samplesWritten(), 6u);
        QCOMPARE(fileBytes(files.textPath()),
                 twoPages + "\r\n01/03/26 12:00:00\t200\t\r\n01/03/26 12:00:01\t201\t");

        const QByteArray pdc = fileBytes(files.binaryPath());
        QCOMPARE(pdc.size(), 3 * pagedecode::PdcRecordSize);
        for (int k = 0; k < 3; ++k) {
            const QByteArray record = pdc.mid(k * pagedecode::PdcRecordSize);
            QCOMPARE(int(uint8_t(record[10])) << 8 | uint8_t(record[11]), 10 + k);
            QCOMPARE(uint8_t(record[16]), uint8_t(0x07));
        }
        files.close();
        QVERIFY(!files.isOpen());
        QVERIFY(!files.writeText("late"));
    }

    void creatingOverwritesAnEarlierFileOfTheSameName()
    {
        QTemporaryDir dir;
        {
            QFile f(dir.filePath("x.tsv"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("older and longer content");
        }
        DataFiles files;
        QVERIFY(files.openText(dir.path(), "x.tsv"));
        QVERIFY(files.writeText("new"));
        QCOMPARE(fileBytes(dir.filePath("x.tsv")), QByteArray("new"));
    }

    void failuresAreReportedNotHidden()
    {
        QTemporaryDir dir;
        DataFiles files;
        QVERIFY(!files.openText(dir.filePath("missing/folder"), "a.tsv"));
        QVERIFY(!files.isOpen());
        QVERIFY(!files.errorString().isEmpty());
        QCOMPARE(files.textPath(), dir.filePath("missing/folder/a.tsv"));
        QVERIFY(!files.writeText("row"));

        // a page that cannot reach the disk makes the frame's outcome a failure
        if (QFileInfo::exists("/dev/full")) {
            QVERIFY(files.openText("/dev", "full"));
            pagedecode::PageDecoder decoder(1, 0, oneChannel(), pagedecode::Options());
            const std::vector<uint8_t> frame = pageFrame(1, 0x01, 1, 2);
            const FrameOutcome out =
                writeFramePages(decoder, files, frame.data(), int(frame.size()), 1, 0, 5, 3968);
            QCOMPARE(out.pages, 1);
            QVERIFY(!out.written);
        }
    }

    void outputFoldersAreCreatedWithTheirParents()
    {
        QTemporaryDir dir;
        QVERIFY(ensureFolder(dir.path()));
        const QString nested = dir.filePath("a/b/c");
        QVERIFY(ensureFolder(nested));
        QVERIFY(QFileInfo(nested).isDir());
        QFile plain(dir.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(!ensureFolder(plain.fileName()));
        QVERIFY(!ensureFolder(dir.filePath("plain/sub")));
    }
};

QTEST_GUILESS_MAIN(TestDataFiles)
#include "tst_datafiles.moc"
