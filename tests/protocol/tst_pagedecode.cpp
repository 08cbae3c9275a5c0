#include "pagedecode.h"
#include "testkit.h"

#include <QRandomGenerator>
#include <QtTest>
#include <cstdlib>
#include <ctime>
#include <vector>

using pagedecode::Layout;
using pagedecode::Options;
using pagedecode::PageDecoder;

namespace
{

// A page exactly 528 bytes long on the heap, so a read past its end is caught by the sanitizer.
struct TestPage {
    std::vector<uint8_t> bytes;

    TestPage(const QDateTime &t, int periodIndex, uint8_t mask, int samples, uint16_t high2 = 0,
             uint16_t high3 = 0, int battery = 0)
        : bytes(page::Size, 0)
    {
        page::Header h;
        h.setTime(t);
        h.periodIndex = periodIndex;
        h.batteryIndex = battery;
        h.channelMask = mask;
        h.sampleCount = samples;
        h.high2 = high2;
        h.high3 = high3;
        page::writeHeader(bytes.data(), h);
    }
    TestPage &words(const QVector<int> &ws, int from = 0)
    {
        for (int w : ws)
            page::setSampleWord(bytes.data(), from++, uint16_t(w));
        return *this;
    }
    const uint8_t *data() const { return bytes.data(); }
};

// Semicolon lists as in the catalogue; NB_DATA defaults to the number of titles.
Layout layoutOf(int type, const QString &titles, const QString &decimals = QString(),
                const QString &coefficients = QString(), uint8_t wideMask = 0, int nb = -1)
{
    Layout l;
    l.sensorType = type;
    const QStringList t = titles.split(';');
    const QStringList d = decimals.split(';', Qt::SkipEmptyParts);
    const QStringList c = coefficients.split(';', Qt::SkipEmptyParts);
    for (int k = 0; k < pagedecode::Channels; ++k) {
        l.titles[k] = t.value(k);
        l.decimals[k] = d.value(k, "0").toInt();
        l.coefficients[k] = c.value(k, "1").toFloat();
        l.wideCounter[k] = wideMask & (1 << k);
    }
    l.channelCount = nb >= 0 ? nb : t.size();
    return l;
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

QDateTime local(int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(2026, 6, 15), QTime(h, mi, s, ms), Qt::LocalTime);
}

// The "hh:mm:ss" of every row.
QStringList rowTimes(const QByteArray &rows)
{
    QStringList times;
    for (const QByteArray &row : rows.split('\n'))
        if (row.size() >= 17)
            times << QString::fromLatin1(row.mid(9, 8));
    return times;
}

} // namespace

Q_DECLARE_METATYPE(Layout)

class TestPageDecode : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Half an hour off UTC, so that comparing instants instead of wall clocks shows.
        qputenv("TZ", "TST-05:30");
        tzset();
    }

    void samplesBecomeRowsOfConvertedChannels_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<int>("mask");
        QTest::addColumn<QVector<int>>("words");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QByteArray>("rows");

        QTest::newRow("two channels across new year")
            << layoutOf(1, "Temperature;Humidity", "2;1", "0.01;0.01") << 0x03
            << QVector<int>{2150, 4530, 0xFFDD, 4521} << 2
            << QByteArray("\r\n31/12/26 23:59:55\t21.50\t45.3\t"
                          "\r\n01/01/27 00:00:05\t-0.35\t45.2\t");
        QTest::newRow("signed, unsigned and capped channels")
            << layoutOf(2, "C0;C1;C2;C3;C4;C5;C6;C7") << 0xFF
            << QVector<int>{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 60000, 60001, 0x8000, 0x7FFF} << 1
            << QByteArray("\r\n31/12/26 23:59:55\t-1\t-1\t65535\t65535\t60000\t0\t-32768\t32767\t");
        // Channel 1's one-letter title gives no column; channels 2 and 3 have one and stay aligned.
        QTest::newRow("channels not recorded keep their columns")
            << layoutOf(3, "Temperature;I;Counter A;Counter B", "2", "0.01") << 0x01
            << QVector<int>{2000} << 1 << QByteArray("\r\n31/12/26 23:59:55\t20.00\t\t\t");
        QTest::newRow("type 13 offsets channel 0")
            << layoutOf(13, "Pressure;Temperature", "0;2", "1;0.01") << 0x03
            << QVector<int>{0xFAD3, 2100} << 1
            << QByteArray("\r\n31/12/26 23:59:55\t98675\t21.00\t");
        QTest::newRow("no channel recorded")
            << layoutOf(1, "Temperature;Humidity") << 0x00 << QVector<int>{} << 2
            << QByteArray("\r\n31/12/26 23:59:55\t\t\t\r\n01/01/27 00:00:05\t\t\t");
    }
    void samplesBecomeRowsOfConvertedChannels()
    {
        QFETCH(Layout, layout);
        QFETCH(int, mask);
        QFETCH(QVector<int>, words);
        QFETCH(int, samples);
        QFETCH(QByteArray, rows);
        TestPage p(utc(2026, 12, 31, 23, 59, 55), 3, uint8_t(mask), samples);
        p.words(words);
        PageDecoder decoder(0x1234, 0, layout, Options());
        QByteArray out;
        const pagedecode::PageResult r = decoder.decodePage(p.data(), 7, out);
        QCOMPARE(out, rows);
        QVERIFY(r.timeValid);
        QCOMPARE(r.samples, samples);
        QCOMPARE(decoder.samplesWritten(), uint32_t(samples));
        QVERIFY(!r.stopRow);
    }

    void debugColumnsFollowEverySampleRow()
    {
        Options o;
        o.debugColumns = true;
        PageDecoder decoder(0x1234, 0, layoutOf(1, "Temperature", "1", "0.1"), o);
        TestPage p(utc(2026, 3, 1, 12, 0, 0), 0, 0x01, 2, 0, 0, 3);
        p.words({215, 216, 0xA001});
        QByteArray out;
        decoder.decodePage(p.data(), 3967, out);
        QCOMPARE(out, QByteArray("\r\n01/03/26 12:00:00\t21.5\t3967\t3.4V\t"
                                 "\r\n01/03/26 12:00:01\t21.6\t3967\t3.4V\t"
                                 "\r\n01/03/26 12:00:02\t-1\t"));
    }

    void counterHighWordsCarryWithinAPageOnly()
    {
        const Layout l = layoutOf(3, "T;;Counter A;Counter B", "", "", 0x0C);
        PageDecoder decoder(0x1234, 0, l, Options());
        QByteArray out;
        // channel 2 rolls over twice, channel 3 stands still then rolls over once
        TestPage a(utc(2026, 1, 1, 0, 0, 0), 0, 0x0C, 3, 1, 0);
        a.words({65535, 10, 3, 10, 2, 5});
        decoder.decodePage(a.data(), 0, out);
        // the next page starts again from the high word its own header holds
        TestPage b(utc(2026, 1, 1, 0, 0, 3), 0, 0x0C, 1, 1, 0);
        b.words({7, 9});
        decoder.decodePage(b.data(), 1, out);
        // a 32-bit counter wraps to 0
        TestPage c(utc(2026, 1, 1, 0, 0, 4), 0, 0x04, 2, 0xFFFF, 0);
        c.words({65535, 0});
        decoder.decodePage(c.data(), 2, out);
        QCOMPARE(out, QByteArray("\r\n01/01/26 00:00:00\t131071\t10\t"
                                 "\r\n01/01/26 00:00:01\t131075\t10\t"
                                 "\r\n01/01/26 00:00:02\t196610\t65541\t"
                                 "\r\n01/01/26 00:00:03\t65543\t9\t"
                                 "\r\n01/01/26 00:00:04\t4294967295\t\t"
                                 "\r\n01/01/26 00:00:05\t0\t\t"));
        QCOMPARE(decoder.samplesWritten(), uint32_t(6));

        // a carry in a sample outside the date window still counts
        Options o;
        o.window = true;
        o.from = QDateTime(QDate(2026, 1, 1), QTime(0, 0, 1), Qt::LocalTime);
        o.to = o.from.addDays(1);
        PageDecoder windowed(0x1234, 0, l, o);
        out.clear();
        windowed.decodePage(a.data(), 0, out);
        QCOMPARE(out, QByteArray("\r\n01/01/26 00:00:01\t131075\t10\t"
                                 "\r\n01/01/26 00:00:02\t196610\t65541\t"));
    }

    void stopMarkers_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QVector<int>>("words");
        QTest::addColumn<QByteArray>("rows");
        QTest::newRow("no sample, marker within the period")
            << 0x01 << 0 << QVector<int>{0xA005} << QByteArray("\r\n15/06/26 08:30:05\t-1\t");
        QTest::newRow("marker of exactly the period")
            << 0x01 << 0 << QVector<int>{0xA00A} << QByteArray("\r\n15/06/26 08:30:10\t-1\t");
        QTest::newRow("marker beyond the period")
            << 0x01 << 0 << QVector<int>{0xA00B} << QByteArray();
        QTest::newRow("not a marker") << 0x01 << 0 << QVector<int>{0xB005} << QByteArray();
        QTest::newRow("marker after three-channel samples")
            << 0x07 << 2 << QVector<int>{1, 2, 3, 4, 5, 6, 0xA003}
            << QByteArray("\r\n15/06/26 08:30:00\t1\t2\t3\t"
                          "\r\n15/06/26 08:30:10\t4\t5\t6\t"
                          "\r\n15/06/26 08:30:13\t-1\t0\t0\t");
    }
    void stopMarkers()
    {
        QFETCH(int, mask);
        QFETCH(int, samples);
        QFETCH(QVector<int>, words);
        QFETCH(QByteArray, rows);
        TestPage p(utc(2026, 6, 15, 8, 30, 0), 3, uint8_t(mask), samples);
        p.words(words);
        PageDecoder decoder(0x1234, 0, layoutOf(1, "A0;A1;A2"), Options());
        QByteArray out;
        const pagedecode::PageResult r = decoder.decodePage(p.data(), 0, out);
        QCOMPARE(out, rows);
        QCOMPARE(r.stopRow, rows.contains("\t-1\t"));
        // the stop row is not a sample
        QCOMPARE(decoder.samplesWritten(), uint32_t(samples));
    }

    void countsThePageCannotHoldAreCut_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("samples");
        QTest::addColumn<bool>("stop");
        // 85 x 3 words leave word 255 for the marker
        QTest::newRow("marker in the last word") << 1 << 0x07 << 85 << 85 << true;
        QTest::newRow("full page has no marker") << 1 << 0x03 << 128 << 128 << false;
        QTest::newRow("count beyond the page") << 1 << 0x03 << 200 << 128 << false;
        // no channel: the marker sits in word 0 whatever the count
        QTest::newRow("no channel") << 1 << 0x00 << 255 << 255 << true;
        QTest::newRow("accelerometer count beyond the page") << 10 << 0x07 << 255 << 102 << false;
    }
    void countsThePageCannotHoldAreCut()
    {
        QFETCH(int, type);
        QFETCH(int, mask);
        QFETCH(int, count);
        QFETCH(int, samples);
        QFETCH(bool, stop);
        TestPage p(utc(2026, 6, 15, 8, 30, 0), 0, uint8_t(mask), count);
        for (int i = 0; i < page::SampleWords; ++i)
            page::setSampleWord(p.bytes.data(), i, 0xA001); // a marker wherever one is read
        PageDecoder decoder(0x1234, 0, layoutOf(type, "A0;A1;A2"), Options());
        QByteArray out;
        const pagedecode::PageResult r = decoder.decodePage(p.data(), 0, out);
        QCOMPARE(r.samples, samples);
        QCOMPARE(r.samplesBeyondPage, count - samples);
        QCOMPARE(r.stopRow, stop);
        QCOMPARE(out.count("\r\n"), samples + (stop ? 1 : 0));
    }

    void pagesWithoutAValidTimeGiveNoRow_data()
    {
        QTest::addColumn<QByteArray>("time"); // bytes 2 to 7
        QTest::newRow("day digit above 9") << hex("26 01 1A 00 00 00");
        QTest::newRow("30 February") << hex("26 02 30 00 00 00");
        QTest::newRow("hour 24") << hex("26 01 01 24 00 00");
    }
    void pagesWithoutAValidTimeGiveNoRow()
    {
        QFETCH(QByteArray, time);
        TestPage p(utc(2026, 1, 1, 0, 0, 0), 3, 0x01, 1);
        p.words({100, 0xA001});
        std::copy(time.begin(), time.end(), p.bytes.begin() + 2);
        PageDecoder decoder(0x1234, 0, layoutOf(1, "A0"), Options());
        QByteArray out;
        const pagedecode::PageResult r = decoder.decodePage(p.data(), 0, out);
        QVERIFY(!r.timeValid);
        QVERIFY(out.isEmpty());
        QCOMPARE(decoder.samplesWritten(), uint32_t(0));
    }

    void theDateWindowKeepsItsBoundsOnTheWallClock_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<QStringList>("times");
        QTest::addColumn<int>("samples");
        QTest::newRow("bounds on samples are inclusive")
            << local(10, 1, 0) << local(10, 3, 0)
            << QStringList{"10:01:00", "10:02:00", "10:03:00"} << 3;
        QTest::newRow("a bound's milliseconds count")
            << local(10, 1, 0, 500) << local(10, 3, 0, 999)
            << QStringList{"10:02:00", "10:03:00"} << 2;
        QTest::newRow("stop row inside")
            << local(10, 4, 0) << local(10, 5, 0) << QStringList{"10:04:00", "10:04:30"} << 1;
        QTest::newRow("stop row outside")
            << local(10, 3, 0) << local(10, 4, 29) << QStringList{"10:03:00", "10:04:00"} << 2;
    }
    void theDateWindowKeepsItsBoundsOnTheWallClock()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(QStringList, times);
        QFETCH(int, samples);
        Options o;
        o.window = true;
        o.from = from;
        o.to = to;
        TestPage p(utc(2026, 6, 15, 10, 0, 0), 7, 0x01, 5);
        p.words({1, 2, 3, 4, 5, 0xA000 + 30});
        PageDecoder decoder(0x1234, 0, layoutOf(1, "A0"), o);
        QByteArray out;
        const pagedecode::PageResult r = decoder.decodePage(p.data(), 0, out);
        QCOMPARE(rowTimes(out), times);
        QCOMPARE(r.samples, samples);
    }

    void accelerometerPagesIgnoreTheWindowAndHaveNoStopRow()
    {
        Options o;
        o.debugColumns = true;
        o.window = true;
        o.from = local(0, 0, 0);
        o.to = local(0, 0, 1);
        TestPage p(utc(2026, 6, 15, 10, 0, 0), 0, 0x07, 2);
        page::setAccelRecord(p.bytes.data(), 0, {291, -1, -2048});
        page::setAccelRecord(p.bytes.data(), 1, {0, 2047, -1});
        page::setSampleWord(p.bytes.data(), 5, 0xA001);
        PageDecoder decoder(0x1234, 0, layoutOf(page::AccelType, "Accel X;Accel Y;Accel Z"), o);
        QByteArray out;
        decoder.decodePage(p.data(), 5, out);
        QCOMPARE(out, QByteArray("\r\n15/06/26 10:00:00\t291\t-1\t-2048\t5\t~\t"
                                 "\r\n15/06/26 10:00:01\t0\t2047\t-1\t5\t~\t"));
        QCOMPARE(decoder.samplesWritten(), uint32_t(2));
    }

    void headers_data()
    {
        QTest::addColumn<uint>("serial");
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QByteArray>("header");
        QTest::newRow("two data columns")
            << 0x1A2Bu << layoutOf(1, "Temperature;Humidity")
            << QByteArray("1A2B\tSN1A2B\tSN1A2B\r\nTime\tTemperature\tHumidity");
        QTest::newRow("NB_DATA 0") << 0x1A2Bu << layoutOf(1, "Temperature;Humidity", "", "", 0, 0)
                                   << QByteArray("1A2B\r\nTime\tTemperature\tHumidity");
        // only the low 16 bits of the serial number, zero-padded
        QTest::newRow("untitled channels have no column")
            << 0x100ABu << layoutOf(4, "U;I;Act. Pow.;;App. Pow.", "", "", 0, 2)
            << QByteArray("00AB\tSN00AB\tSN00AB\r\nTime\tAct. Pow.\tApp. Pow.");
    }
    void headers()
    {
        QFETCH(uint, serial);
        QFETCH(Layout, layout);
        QFETCH(QByteArray, header);
        QCOMPARE(pagedecode::tsvHeader(serial, layout), header);
        QCOMPARE(PageDecoder(serial, 0, layout, Options()).header(), header);
    }

    void pdcRecordsWrapThePageAsReceived()
    {
        TestPage p(utc(2026, 6, 15, 10, 0, 0), 7, 0x01, 5);
        for (int i = 0; i < page::SampleWords; ++i)
            page::setSampleWord(p.bytes.data(), i, uint16_t(i * 257));
        const PageDecoder decoder(0x00019A2B, 0x42, layoutOf(6, "Voltage"), Options());
        const QByteArray r = decoder.pdcRecord(p.data(), 3967);
        QCOMPARE(r.size(), pagedecode::PdcRecordSize);
        QCOMPARE(r.left(18), hex("80 01 10 02 00 11 2B 9A 00 00 0F 7F 00 00 06 00 42 00"));
        QCOMPARE(r.mid(18, page::Size),
                 QByteArray(reinterpret_cast<const char *>(p.data()), page::Size));
        QCOMPARE(r.right(2), hex("7F FD"));
    }

    void framesGiveOnlyThePagesOfTheRange_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("end");
        QTest::addColumn<QVector<int>>("numbers");
        const int two = page::FrameFirstPage + 2 * page::Size;
        QTest::newRow("two pages") << two << 2 << 10 << 20 << QVector<int>{10, 11};
        QTest::newRow("current is the end page") << two << 2 << 20 << 20 << QVector<int>{20};
        QTest::newRow("two-page frame at the end of memory")
            << two << 2 << page::RingPages - 1 << 5 << QVector<int>{page::RingPages - 1};
        QTest::newRow("second page not held whole") << two - 1 << 2 << 10 << 20 << QVector<int>{10};
        QTest::newRow("no page asked") << two << 0 << 10 << 20 << QVector<int>{};
        QTest::newRow("more than a frame carries")
            << two + page::Size << 3 << 10 << 20 << QVector<int>{10, 11};
    }
    void framesGiveOnlyThePagesOfTheRange()
    {
        QFETCH(int, length);
        QFETCH(int, count);
        QFETCH(int, current);
        QFETCH(int, end);
        QFETCH(QVector<int>, numbers);
        std::vector<uint8_t> data(size_t(length), 0);
        pagedecode::FramePage pages[pagedecode::MaxPagesPerFrame];
        const int n = pagedecode::framePages(data.data(), length, count, current, end,
                                             page::RingPages, pages);
        QCOMPARE(n, numbers.size());
        for (int k = 0; k < n; ++k) {
            QCOMPARE(pages[k].number, numbers[k]);
            QCOMPARE(pages[k].page, data.data() + page::FrameFirstPage + k * page::Size);
        }
    }

    void numbersAreWrittenAsQtWritesThem_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("decimals");
        QTest::newRow("tie of 2.5") << 2.5 << 0;
        QTest::newRow("negative rounding to zero") << -0.001 << 2;
        QTest::newRow("negative zero") << -0.0 << 0;
        QTest::newRow("large") << 1e20 << 2;
        QTest::newRow("one decimal more than the fast path") << 1.1 << 16;
        QTest::newRow("most decimals") << 0.1 << 255;
        QTest::newRow("infinity") << qInf() << 2;
        QTest::newRow("32-bit counter") << 4294967295.0 * 0.001 << 3;
    }
    void numbersAreWrittenAsQtWritesThem()
    {
        QFETCH(double, value);
        QFETCH(int, decimals);
        QByteArray out("x");
        pagedecode::appendFixed(out, value, decimals);
        QCOMPARE(out, "x" + QString::number(value, 'f', decimals).toLatin1());
    }

    void rawValuesTimesCoefficientsAreWrittenAsQtWritesThem()
    {
        QRandomGenerator rng(20240611);
        const float coefficients[] = {0.1f, 0.01f, 0.001f, 0.0001f, 1.0f, 2.5f, 3.3f, 0.05f, 10.0f};
        QByteArray out;
        for (int i = 0; i < 200000; ++i) {
            const int raw = int(rng.bounded(0x20000)) - 0x10000;
            const float c = (i % 3) ? coefficients[rng.bounded(int(std::size(coefficients)))]
                                    : float(rng.generateDouble() * 10.0);
            const double value = double(raw) * double(c) + ((i % 7) ? 0 : 100000);
            const int decimals = int(rng.bounded(10));
            out.clear();
            pagedecode::appendFixed(out, value, decimals);
            const QByteArray expected = QString::number(value, 'f', decimals).toLatin1();
            if (out != expected)
                QFAIL(
                    qPrintable(QStringLiteral("%1 with %2 decimals: %3 instead of %4")
                                   .arg(value, 0, 'g', 17)
                                   .arg(decimals)
                                   .arg(QString::fromLatin1(out), QString::fromLatin1(expected))));
        }
    }
};

QTEST_GUILESS_MAIN(TestPageDecode)
#include "tst_pagedecode.moc"
