#include "framelog.h"
#include "frametablemodel.h"
#include "frameview.h"
#include "simlink.h"
#include "testkit.h"

#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTableView>
#include <QtTest>

namespace
{
TappedFrame tapped(const QByteArray &bytes,
                   framedecode::Direction direction = framedecode::Direction::In)
{
    TappedFrame f;
    f.direction = direction;
    f.bytes = bytes;
    return f;
}
} // namespace

class TestFrames : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;

private slots:
    void theTableKeepsTheLastFramesOnly()
    {
        FrameTableModel model(5);
        QVector<TappedFrame> first;
        for (char c : QByteArray("abc"))
            first << tapped(QByteArray(1, c));
        model.append(first);
        QVector<TappedFrame> second;
        for (char c : QByteArray("defg"))
            second << tapped(QByteArray(1, c));
        model.append(second);
        QCOMPARE(model.rowCount(), 5);
        QCOMPARE(model.frame(0).bytes, QByteArray("c"));
        QCOMPARE(model.frame(4).bytes, QByteArray("g"));
        // A burst larger than the table keeps its newest frames.
        QVector<TappedFrame> burst;
        for (int i = 0; i < 12; ++i)
            burst << tapped(QByteArray(1, char('A' + i)));
        model.append(burst);
        QCOMPARE(model.rowCount(), 5);
        QCOMPARE(model.frame(0).bytes, QByteArray("H"));
        // Paused, the rows stay still and what came is counted.
        model.setPaused(true);
        model.append(first);
        QCOMPARE(model.rowCount(), 5);
        QCOMPARE(model.frame(4).bytes, QByteArray("L"));
        QCOMPARE(model.missedWhilePaused(), qint64(3));
    }

    // The real link on the simulator: both frames of a channel query reach the view and the file.
    void theTapSeesAnExchangeOverThePort()
    {
        std::unique_ptr<sim::Simulator> sim;
        std::unique_ptr<ManageSerialPort> link;
        QVERIFY(startSimLink(testScenario(), sim, link));
        QStringList seen;
        {
            FrameLog log(link->frameTap());
            QVERIFY(!link->frameTap()->active());
            connect(&log, &FrameLog::framesLogged, this, [&](const QVector<TappedFrame> &frames) {
                for (const TappedFrame &f : frames)
                    seen << framedecode::oneLine(
                        framedecode::decode(f.direction, f.line, f.piece, f.bytes));
            });
            log.setWatched(true);
            QVERIFY(log.openFile(QStringLiteral("frames.log"), 1 << 20));
            QVERIFY(link->read_chan() != 0);
            log.flush();
            QVERIFY2(seen.contains(QStringLiteral("read radio channel")),
                     qPrintable(seen.join('|')));
            QVERIFY2(seen.filter(QRegularExpression("^from .*: radio channel \\d+$")).size() == 1,
                     qPrintable(seen.join('|')));
        }
        // Nobody uses the tap any more: the link is read as before, at no cost.
        QVERIFY(!link->frameTap()->active());
        const QList<QByteArray> lines = fileBytes(QStringLiteral("frames.log")).split('\n');
        QVERIFY(lines.size() >= 3);
        QVERIFY2(lines[0].contains(" out     5  read radio channel  | 7E 00 01 37 C8"), lines[0]);
    }

    void aFileThatCannotBeWrittenIsSaidSo()
    {
        FrameTap tap;
        FrameLog log(&tap);
        QVERIFY(!log.openFile(QStringLiteral("no-such-folder/frames.log"), 1 << 20));
        QVERIFY2(log.fileError().contains(QStringLiteral("can't be written")),
                 qPrintable(log.fileError()));
        QVERIFY(!tap.active());
        writeIni("[LOG]\nFRAME_LOG=.\n");
        QVERIFY(!log.openConfigured(settings::Store()));
        QVERIFY(log.fileError().endsWith(QStringLiteral("it is a folder")));
    }

    void theFileIsRotatedAtItsLimit()
    {
        FrameTap tap;
        FrameLog log(&tap);
        QFile::remove(QStringLiteral("small.log.1"));
        QVERIFY(log.openFile(QStringLiteral("small.log"), 400));
        for (int i = 0; i < 10; ++i) {
            tap.out(QByteArray::fromHex("7E000137C8"));
            log.flush();
        }
        QVERIFY(QFileInfo::exists(QStringLiteral("small.log.1")));
        QVERIFY(QFileInfo(QStringLiteral("small.log")).size() <= 400);
        QVERIFY(QFileInfo(QStringLiteral("small.log.1")).size() <= 400);
    }

    // The keyboard walks the rows; the detail follows, a refused frame with its reason.
    void theDetailFollowsTheKeyboard()
    {
        FrameTap tap;
        FrameLog log(&tap);
        FrameView view(&log);
        view.resize(900, 500);
        view.show();
        log.setWatched(true);
        tap.out(QByteArray::fromHex("7E000137C8"));
        tap.in(QByteArray::fromHex("7E0007811234280037 0FCB"));
        log.flush();
        QCOMPARE(view.model()->rowCount(), 2);
        QVERIFY(view.model()->refused(1));
        QCOMPARE(view.model()->data(view.model()->index(1, FrameTableModel::ColSummary)).toString(),
                 QStringLiteral("REFUSED (bad checksum (received CB, computed CA)): from 1234 "
                                "(-40 dBm): radio channel 15"));
        view.table()->setFocus();
        QTest::keyClick(view.table(), Qt::Key_Home);
        QVERIFY(view.detail()->toPlainText().contains(QStringLiteral("0000  7E 00 01 37 C8")));
        QTest::keyClick(view.table(), Qt::Key_Down);
        QVERIFY(view.detail()->toPlainText().contains(QStringLiteral("Refused: bad checksum")));
        QVERIFY(view.detail()->toPlainText().contains(QStringLiteral("source: 1234")));
    }
};

QTEST_MAIN(TestFrames)
#include "tst_frames.moc"
