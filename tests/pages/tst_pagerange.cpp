#include "page.h"
#include "pagecheck.h"
#include "pagerange.h"
#include "pagevouch.h"

#include <QtTest>
#include <vector>

using pagecheck::Reason;
using Patch = QVector<QPair<int, int>>; // byte offset, value

Q_DECLARE_METATYPE(Reason)

namespace
{
constexpr uint16_t Ring = 3968;

// 14 March 2026 09:26:53, period code 3, battery 2, channels 0 and 1, 100 samples.
QByteArray goodPage(const Patch &patch = {})
{
    QByteArray bytes(page::Size, '\0');
    page::Header h;
    h.setTime(QDateTime(QDate(2026, 3, 14), QTime(9, 26, 53), Qt::UTC));
    h.periodIndex = 3;
    h.batteryIndex = 2;
    h.channelMask = 0x03;
    h.sampleCount = 100;
    page::writeHeader(reinterpret_cast<uint8_t *>(bytes.data()), h);
    for (const auto &p : patch)
        bytes[p.first] = char(p.second);
    return bytes;
}

const uint8_t *bytesOf(const QByteArray &b)
{
    return reinterpret_cast<const uint8_t *>(b.constData());
}
} // namespace

class TestPageRange : public QObject
{
    Q_OBJECT
private slots:
    // Requests answered by frames of `framePages` pages until the download completes: every
    // page of the range exactly once, completion only on the last frame.
    void walkToCompletion_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("framePages");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("requests");
        QTest::newRow("no wrap") << 10 << 45 << 1 << 36 << 4;
        QTest::newRow("wrapped, cut at the end of memory") << 3960 << 5 << 1 << 14 << 2;
        QTest::newRow("wrapped, ten would cross by one") << 3959 << 5 << 1 << 15 << 2;
        QTest::newRow("one page") << 7 << 7 << 1 << 1 << 1;
        QTest::newRow("full memory, wrapped") << 100 << 99 << 1 << 3968 << 397;
        QTest::newRow("full memory from page 0") << 0 << 3967 << 2 << 3968 << 397;
        QTest::newRow("two-page frames, wrapped") << 3961 << 6 << 2 << 14 << 2;
        QTest::newRow("end in a frame's second page") << 10 << 15 << 2 << 6 << 1;
        QTest::newRow("end in a one-page frame") << 10 << 14 << 2 << 5 << 1;
    }
    void walkToCompletion()
    {
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(int, framePages);
        QFETCH(int, total);
        QFETCH(int, requests);
        std::vector<int> seen(Ring, 0);
        int current = start, fetched = 0, made = 0;
        bool done = false;
        while (!done && made < 1000) {
            const pagerange::Request r =
                pagerange::nextRequest(uint16_t(current), uint16_t(end), Ring);
            ++made;
            QVERIFY(r.count > 0 && r.first + r.count <= Ring);
            for (int got = 0; got < r.count && !done;) {
                const int pages = std::min(framePages, r.count - got);
                for (int k = 0; k < pages; ++k)
                    ++seen[size_t(current + k)];
                done = pagerange::completes(current, pages, uint16_t(end));
                current = pagerange::wrap(current + pages, Ring);
                got += pages;
                fetched += pages;
            }
        }
        QVERIFY(done);
        QCOMPARE(fetched, total);
        // The LoRa download fetches the same pages one request each.
        QCOMPARE(pagerange::loraTotal(uint16_t(start), uint16_t(end), Ring).value_or(-1), total);
        QCOMPARE(made, requests);
        for (int p = 0; p < Ring; ++p) {
            const bool inRange = start <= end ? p >= start && p <= end : p >= start || p <= end;
            QCOMPARE(seen[size_t(p)], inRange ? 1 : 0);
        }
    }

    void edgesOfTheRing()
    {
        // 3968 names no page: a range ending there would never see its end arrive.
        QVERIFY(!pagerange::fitsRing(0, 3968, Ring) && !pagerange::fitsRing(3968, 5, Ring));
        QVERIFY(!pagerange::loraTotal(0, 3968, Ring) && pagerange::fitsRing(0, 3967, Ring));
        QCOMPARE(pagerange::loraProgress(7, 14), 50);
        QCOMPARE(int(pagerange::nextRequest(3968, 5, Ring).count), 0);
        // Tested before the wrap: the second page of a frame at the last page is not page 0.
        QVERIFY(!pagerange::completes(3967, 2, 0));
    }

    void progress_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("next");
        QTest::addColumn<int>("percent");
        QTest::newRow("nothing yet") << 10 << 209 << 10 << 0;
        QTest::newRow("truncated, not rounded") << 0 << 2 << 1 << 66;
        QTest::newRow("just below 100") << 0 << 999 << 988 << 98;
        QTest::newRow("reaching 100 shows 99") << 0 << 99 << 99 << 99;
        QTest::newRow("one page shows 99") << 7 << 7 << 8 << 99;
        QTest::newRow("wrapped, next not yet wrapped") << 3960 << 5 << 3968 << 64;
        QTest::newRow("wrapped, after the wrap") << 3960 << 5 << 3 << 85;
        QTest::newRow("full memory, near the end") << 100 << 99 << 50 << 98;
    }
    void progress()
    {
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(int, next);
        QFETCH(int, percent);
        QCOMPARE(pagerange::progress(uint16_t(start), uint16_t(end), next, Ring), percent);
    }

    void rangeFromAnswer_data()
    {
        QTest::addColumn<QByteArray>("from25"); // the answer's bytes from offset 25 on
        QTest::addColumn<int>("start");         // -1: no range
        QTest::addColumn<int>("end");
        QTest::newRow("a range") << QByteArray("\x01\x2C\x0F\x7F", 4) << 300 << 3967;
        QTest::newRow("big-endian") << QByteArray("\x12\x34\x00\x05", 4) << 0x1234 << 5;
        QTest::newRow("no first page") << QByteArray("\xFF\xFF\x00\x05", 4) << -1 << -1;
        QTest::newRow("no last page") << QByteArray("\x00\x05\xFF\xFF", 4) << -1 << -1;
        QTest::newRow("answer too short") << QByteArray("\x00\x01\x00", 3) << -1 << -1;
    }
    void rangeFromAnswer()
    {
        QFETCH(QByteArray, from25);
        QFETCH(int, start);
        QFETCH(int, end);
        const auto r = pagerange::readRange(QByteArray(25, '\0') + from25);
        QCOMPARE(r ? int(r->start) : -1, start);
        QCOMPARE(r ? int(r->end) : -1, end);
        QCOMPARE(r ? int(r->pageCount) : 3968, 3968);
    }

    void pageCheck_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QByteArray>("frame"); // the page frame's first bytes; 57 was asked for
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("previous");
        QTest::addColumn<Reason>("reason");
        const QByteArray none, page57("\x00\x00\x39", 3);
        const QByteArray erased(page::Size, char(0xFF));
        auto row = [&](const char *name, const Patch &patch, Reason r, int type = 1) {
            QTest::newRow(name) << goodPage(patch) << page57 << type << none << r;
        };
        row("good", {}, Reason::None);
        QTest::newRow("another page number")
            << goodPage() << QByteArray("\x00\x00\x3A", 3) << 1 << none << Reason::WrongNumber;
        QTest::newRow("page number read big-endian")
            << goodPage() << QByteArray("\x00\x39\x00", 3) << 1 << none << Reason::WrongNumber;
        QTest::newRow("erased") << erased << page57 << 1 << none << Reason::Erased;
        QByteArray almost = erased;
        almost[300] = 0;
        QTest::newRow("erased but one byte") << almost << page57 << 1 << none << Reason::BadDate;
        row("month 13", {{3, 0x13}}, Reason::BadDate);
        row("30 February", {{3, 0x02}, {4, 0x30}}, Reason::BadDate);
        row("29 February of a leap year", {{2, 0x24}, {3, 0x02}, {4, 0x29}}, Reason::None);
        row("hour not decimal", {{5, 0x0A}}, Reason::BadTime);
        row("second 60", {{7, 0x60}}, Reason::BadTime);
        row("second's top bit is not part of it", {{7, 0xD3}}, Reason::None);
        row("period 13", {{8, 0x2D}}, Reason::UnknownPeriod);
        row("129 samples of 2 channels", {{10, 129}}, Reason::TooManySamples);
        row("33 samples of 8 channels", {{9, 0xFF}, {10, 33}}, Reason::TooManySamples);
        row("255 samples of 1 channel", {{9, 0x01}, {10, 255}}, Reason::None);
        row("samples of no channel", {{9, 0x00}, {10, 1}}, Reason::TooManySamples);
        row("accelerometer, 102 records", {{9, 0x00}, {10, 102}}, Reason::None, 10);
        row("accelerometer, 103 records", {{10, 103}}, Reason::TooManySamples, 10);
        auto after = [&](const char *name, const Patch &previous, Reason r) {
            QTest::newRow(name) << goodPage() << page57 << 1 << goodPage(previous) << r;
        };
        // The rows' names say where the checked page stands against the previous one.
        after("a second after the previous", {{7, 0x52}}, Reason::None);
        after("a second before the previous", {{7, 0x54}}, Reason::BeforePrevious);
        after("next day at an earlier hour", {{4, 0x13}, {5, 0x23}}, Reason::None);
        after("after a previous of another period", {{8, 0x29}, {6, 0x00}}, Reason::None);
        QTest::newRow("previous erased") << goodPage() << page57 << 1 << erased << Reason::None;
    }
    void pageCheck()
    {
        QFETCH(QByteArray, page);
        QFETCH(QByteArray, frame);
        QFETCH(int, type);
        QFETCH(QByteArray, previous);
        QFETCH(Reason, reason);
        const uint8_t *prev = previous.isEmpty() ? nullptr : bytesOf(previous);
        QCOMPARE(
            pagecheck::check(bytesOf(page), page::framePageNumber(bytesOf(frame)), 57, type, prev),
            reason);
    }

    // Copies of page 5 as they arrive, each a kind and the request it answers: g good, G good
    // with other bytes (a damaged copy whose header still passes), e erased, m month 13. "!"
    // is a fault on the link, "c" a clean frame. A written at once, V verified by another copy,
    // H held.
    void vouch_data()
    {
        QTest::addColumn<int>("linkCleanRun");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("verdicts");
        QTest::addColumn<int>("verified");
        const int clean = pagevouch::Vouch::CleanRunToTrust;
        QTest::newRow("a clean line takes one copy") << clean << "g1" << "A" << 0;
        QTest::newRow("after a fault two copies are needed") << clean << "! g1 g2" << "HV" << 1;
        QTest::newRow("two copies of one request are no proof") << clean << "! g1 g1 g2"
                                                                << "HHV" << 1;
        QTest::newRow("a third copy decides between two") << clean << "! g1 G2 G3" << "HHV" << 1;
        QTest::newRow("a bad header needs the sensor's own second copy") << clean << "m1 m2"
                                                                         << "HV" << 1;
        QTest::newRow("erased twice is what the sensor holds") << clean << "e1 e2" << "HV" << 1;
        QTest::newRow("a line damaged a moment ago verifies from the start") << 3 << "g1 g2"
                                                                              << "HV" << 1;
        QTest::newRow("a run of clean frames trusts one copy again")
            << clean << QStringLiteral("! ") + QStringLiteral("c ").repeated(clean) + "g1" << "A"
            << 0;
        QTest::newRow("one frame short of the run still verifies")
            << clean << QStringLiteral("! ") + QStringLiteral("c ").repeated(clean - 1) + "g1 g2"
            << "HV" << 1;
    }
    void vouch()
    {
        QFETCH(int, linkCleanRun);
        QFETCH(QString, events);
        QFETCH(QString, verdicts);
        QFETCH(int, verified);
        const QMap<QChar, QByteArray> kinds{{'g', goodPage()},
                                            {'G', goodPage({{20, 0x42}})},
                                            {'e', QByteArray(page::Size, char(0xFF))},
                                            {'m', goodPage({{3, 0x13}})}};
        pagevouch::Vouch v(linkCleanRun);
        QString got;
        int verifiedCount = 0;
        for (const QString &e : events.split(' ', Qt::SkipEmptyParts)) {
            if (e == "!") {
                v.fault();
            } else if (e == "c") {
                v.cleanFrame();
            } else {
                const uint8_t *bytes = bytesOf(kinds[e[0]]);
                const auto verdict = v.offer(5, e.mid(1).toInt(), bytes,
                                             pagecheck::check(bytes, 5, 5, 1));
                got += "AVH"[int(verdict)];
                verifiedCount += verdict == pagevouch::Vouch::Verdict::Verified ? 1 : 0;
            }
        }
        QCOMPARE(got, verdicts);
        QCOMPARE(verifiedCount, verified);
    }

    // A page kept before its turn is compared with the copy that comes when it is asked for, and a
    // page that never gets vouched for is given up after a bounded number of requests.
    void vouchKeepsEarlyCopiesAndGivesUp()
    {
        pagevouch::Vouch v(0);
        const QByteArray g = goodPage();
        v.keep(6, 1, bytesOf(g));
        QCOMPARE(v.offer(6, 2, bytesOf(g), pagecheck::Reason::None),
                 pagevouch::Vouch::Verdict::Verified);
        int requests = 1;
        while (!v.fruitless(7))
            ++requests;
        QCOMPARE(requests, pagevouch::Vouch::MaxFruitless);
        v.done(7);
        QVERIFY(!v.fruitless(7)); // a page written starts its count again
    }
};

QTEST_GUILESS_MAIN(TestPageRange)
#include "tst_pagerange.moc"
