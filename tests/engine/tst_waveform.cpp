// The waveform computation, the data file reader and the power meters of the simulator, which
// the waveform window trusts.
#include "waveformcapture.h"

#include "simlink.h"
#include "tsvfile.h"
#include "waveformframe.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

namespace
{
QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(char(v));
    return b;
}

// A voltage frame: header, calU, calW, then `samples` (the rest zero).
QByteArray voltageData(int calU, int calW, const QVector<int> &samples)
{
    QByteArray b = bytes({0x24, 0xFF, 0x00, 0x00, 0x01, calU & 0xFF, (calU >> 8) & 0xFF,
                          calW & 0xFF, (calW >> 8) & 0xFF});
    for (int k = 0; k < waveform::Samples; ++k) {
        const int s = samples.value(k);
        b += bytes({s & 0xFF, (s >> 8) & 0xFF});
    }
    return b;
}

QByteArray currentData(const QByteArray &fields, const QByteArray &firstSample)
{
    QByteArray b = bytes({0x24, 0xFF, 0x00, 0x00, 0x02}) + fields + firstSample;
    b.append(QByteArray(waveform::CurrentDataLength - b.size(), '\0'));
    return b;
}
} // namespace

class TestWaveform : public QObject
{
    Q_OBJECT
private slots:
    void aFileWithoutLineEndsIsRefusedBeforeItIsRead()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("huge.tsv")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(3 * 1024 * 1024)); // sparse: three MB of zeros, no line end
        file.close();
        TsvData data;
        QString error;
        QVERIFY(!readTsvFile(file.fileName(), data, &error, 2 * 1024 * 1024));
        QCOMPARE(error,
                 QStringLiteral("the file is larger than 2 MB: not a data file of a sensor"));
        QVERIFY(data.time.isEmpty());
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("voltage");
        QTest::addColumn<QByteArray>("current");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("calU");
        QTest::addColumn<int>("firstU");
        QTest::addColumn<int>("firstI");
        QTest::addColumn<int>("rmsCurrent");
        const QByteArray fields = bytes({0x34, 0x12, 0, 0, 0, 0, 0, 0});
        QTest::newRow("positive") << voltageData(1000, 10, {49})
                                  << currentData(fields, bytes({1, 0, 0})) << true << 1000 << 49
                                  << 1 << 0x1234;
        QTest::newRow("negative samples")
            << voltageData(0xFC18, 10, {0xFFCF}) << currentData(fields, bytes({0xFF, 0xFF, 0xFF}))
            << true << -1000 << -49 << -1 << 0x1234;
        QTest::newRow("24-bit extremes")
            << voltageData(1, 1, {0x7FFF}) << currentData(fields, bytes({0x00, 0x00, 0x80})) << true
            << 1 << 32767 << -8388608 << 0x1234;
        QTest::newRow("frames swapped")
            << currentData(fields, {}) << voltageData(1, 1, {}) << false << 0 << 0 << 0 << 0;
        QTest::newRow("short voltage frame")
            << voltageData(1, 1, {}).left(100) << currentData(fields, {}) << false << 0 << 0 << 0
            << 0;
        const auto padded = [](QByteArray data) {
            return data + QByteArray(waveform::PageFrameDataLength - data.size(), '\0');
        };
        QTest::newRow("page-length frames")
            << padded(voltageData(1000, 10, {49})) << padded(currentData(fields, bytes({1, 0, 0})))
            << true << 1000 << 49 << 1 << 0x1234;
        QTest::newRow("a page answer") << QByteArray(waveform::VoltageDataLength, '\x24')
                                       << currentData(fields, {}) << false << 0 << 0 << 0 << 0;
    }

    void decoding()
    {
        QFETCH(QByteArray, voltage);
        QFETCH(QByteArray, current);
        QFETCH(bool, ok);
        waveform::VoltageFrame v;
        waveform::CurrentFrame c;
        const bool decoded =
            waveform::decodeVoltageFrame(reinterpret_cast<const uint8_t *>(voltage.constData()),
                                         voltage.size(), v) &&
            waveform::decodeCurrentFrame(reinterpret_cast<const uint8_t *>(current.constData()),
                                         current.size(), c);
        QCOMPARE(decoded, ok);
        if (!ok)
            return;
        QTEST(int(v.calU), "calU");
        QTEST(int(v.samples[0]), "firstU");
        QTEST(int(c.samples[0]), "firstI");
        QTEST(int(c.rmsCurrent), "rmsCurrent");
    }

    void formulas_data()
    {
        QTest::addColumn<bool>("isVoltage");
        QTest::addColumn<int>("raw");
        QTest::addColumn<int>("calU");
        QTest::addColumn<int>("calW");
        QTest::addColumn<float>("c4");
        QTest::addColumn<double>("expected");
        // 2.42 / 5888 = 0.00041100543...; q = raw / 25 truncated toward zero.
        QTest::newRow("u 49 is one step") << true << 49 << 1000 << 0 << 1.0f << 0.41100543;
        QTest::newRow("u -49 is minus one step") << true << -49 << 1000 << 0 << 1.0f << -0.41100543;
        QTest::newRow("u 24 is nothing") << true << 24 << 1000 << 0 << 1.0f << 0.0;
        QTest::newRow("u 242 V") << true << 2500 << 5888 << 0 << 1.0f << 242.0;
        // 368000 / (1000 x 368000) x 100 x 10 = 1 A
        QTest::newRow("i one ampere") << false << 368000 << 1000 << 100 << 1.0f << 1.0;
        // -8388608 / 368e6 x 10 x 100 = -22.7951304
        QTest::newRow("i most negative, scale 10")
            << false << -8388608 << 1000 << 10 << 10.0f << -22.7951304;
    }

    void formulas()
    {
        QFETCH(bool, isVoltage);
        QFETCH(int, raw);
        QFETCH(int, calU);
        QFETCH(int, calW);
        QFETCH(float, c4);
        QFETCH(double, expected);
        const double got = isVoltage ? waveform::voltage(int16_t(calU), int16_t(raw))
                                     : waveform::current(raw, int16_t(calU), int16_t(calW), c4);
        QVERIFY2(std::abs(got - expected) < 1e-6, qPrintable(QString::number(got, 'g', 12)));
    }

    void zeroCross_data()
    {
        QTest::addColumn<QVector<double>>("u");
        QTest::addColumn<int>("z");
        QTest::addColumn<int>("offset");
        QVector<double> at2(140, 1.0);
        at2[0] = at2[1] = -1;
        QVector<double> between0and1(140, 1.0);
        between0and1[0] = -1;
        QVector<double> none(140, -1.0);
        QVector<double> at5(140, 1.0);
        at5[4] = 0.0; // zero counts as not yet positive
        QVector<double> at30(140, -1.0);
        for (int k = 30; k < 100; ++k)
            at30[k] = 1;
        QTest::newRow("at k = 2") << at2 << 2 << 124;
        QTest::newRow("between 0 and 1 is not seen") << between0and1 << 140 << 122;
        QTest::newRow("none") << none << 140 << 122;
        QTest::newRow("z = 5 wraps") << at5 << 5 << 127;
        QTest::newRow("z = 30") << at30 << 30 << 12;
    }

    void zeroCross()
    {
        QFETCH(QVector<double>, u);
        const int z = waveform::zeroCross(u.constData(), u.size());
        QTEST(z, "z");
        QTEST(waveform::currentOffset(z, u.size()), "offset");
    }

    void range_data()
    {
        QTest::addColumn<double>("previous");
        QTest::addColumn<double>("peak");
        QTest::addColumn<double>("expected");
        QTest::newRow("150 keeps 200") << 200.0 << 150.0 << 200.0;
        QTest::newRow("130 leaves 200 for 150") << 200.0 << 130.0 << 150.0;
        QTest::newRow("201 goes up to 500") << 200.0 << 201.0 << 500.0;
        QTest::newRow("0.45 keeps 1") << 1.0 << 0.45 << 1.0;
        QTest::newRow("0.45 leaves 2 for 0.5") << 2.0 << 0.45 << 0.5;
        QTest::newRow("64 leaves 100 for 75") << 100.0 << 64.0 << 75.0;
        QTest::newRow("2500 kept above 1000") << 2500.0 << 5000.0 << 2500.0;
        QTest::newRow("2500 kept from 800") << 2500.0 << 800.0 << 2500.0;
        QTest::newRow("2500 left below 800") << 2500.0 << 799.0 << 1000.0;
        QTest::newRow("above 1000 is 2500") << 1000.0 << 1000.5 << 2500.0;
        QTest::newRow("0.5 has no hold") << 0.5 << 0.3 << 0.5;
        QTest::newRow("nothing") << 50.0 << 0.0 << 0.5;
    }

    void range()
    {
        QFETCH(double, previous);
        QFETCH(double, peak);
        QTEST(waveform::nextRange(previous, peak), "expected");
    }

    void labels_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("voltage");
        QTest::addColumn<int>("active");
        QTest::addColumn<int>("apparent");
        QTest::addColumn<float>("c5");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("plain") << 500 << 23000 << 1000 << 1150 << 1.0f
                               << QStringList{"5.000", "230.00", "1000.0", "1150.0"};
        // 7000 x 10 = 70000, 70000 mod 65536 = 4464
        QTest::newRow("scaled current wraps, overflow power")
            << 7000 << 23012 << 0xEA61 << 100 << 10.0f
            << QStringList{"44.640", "230.12", "0.0", "1000.0"};
        QTest::newRow("largest power")
            << 1 << 0 << 0xEA60 << 0 << 1.0f << QStringList{"0.010", "0.00", "60000.0", "0.0"};
    }

    void labels()
    {
        QFETCH(int, current);
        QFETCH(int, voltage);
        QFETCH(int, active);
        QFETCH(int, apparent);
        QFETCH(float, c5);
        QFETCH(QStringList, texts);
        waveform::CurrentFrame f;
        f.rmsCurrent = uint16_t(current);
        f.rmsVoltage = uint16_t(voltage);
        f.activePower = uint16_t(active);
        f.apparentPower = uint16_t(apparent);
        const waveform::Labels l = waveform::labels(f, c5);
        QCOMPARE(l.current, "<b>Current RMS</b> : " + texts[0] + " <b>A</b>");
        QCOMPARE(l.voltage, "<b>Voltage RMS</b> :  " + texts[1] + " <b>V</b>");
        QCOMPARE(l.activePower, "<b>Active Power</b> : " + texts[2] + " <b>W</b>");
        QCOMPARE(l.apparentPower, "<b>Apparent Power</b> :  " + texts[3] + " <b>VA</b>");
    }

    void tsvRows()
    {
        const QByteArray text = "1A2B\tSN1A2B\tSN1A2B\r\nTime\tTemperature\tCounter A\tCounter B"
                                "\r\n06/12/26 10:00:00\t21.50\t\t7\t"
                                "\r\n06/12/26 10:00:10\t-3.25\t\t8\t12\t3.7V\t"
                                "\r\n29/02/25 10:00:20\t1\t\t1\t"
                                "\r\n06/12/26 10:00:12\t-1\t0\t"
                                "\r\n06/12/26 10:00:05\tx\t\t9";
        TsvData d;
        QString error;
        QVERIFY2(parseTsv(text, d, &error), qPrintable(error));
        QCOMPARE(d.serialNumber, QStringLiteral("1A2B"));
        QCOMPARE(d.titles, (QStringList{"Temperature", "Counter A", "Counter B"}));
        QCOMPARE(d.time.size(), 3);
        QCOMPARE(d.rejectedRows, 1);
        QCOMPARE(d.stopRows, 1);
        QCOMPARE(d.time[0],
                 double(QDateTime(QDate(2026, 12, 6), QTime(10, 0), Qt::UTC).toSecsSinceEpoch()));
        QCOMPARE(d.time[1] - d.time[0], 10.0);
        QVERIFY(!d.sorted);
        QCOMPARE(d.columns[0][0], 21.5);
        QCOMPARE(d.columns[0][1], -3.25);
        QVERIFY(std::isnan(d.columns[1][0])); // channel not recorded
        QCOMPARE(d.columns[2][1], 8.0);       // the debug fields after it are not channels
        QVERIFY(std::isnan(d.columns[0][2]));
        QCOMPARE(d.columns[2][2], 9.0);
    }

    void tsvRefusesOtherFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("no Time line") << QByteArray("a,b\r\n1,2\r\n3,4");
        QTest::newRow("no channel") << QByteArray("1A2B\r\nTime\r\n06/12/26 10:00:00\t");
        QTest::newRow("no row") << QByteArray("1A2B\tSN1A2B\r\nTime\tT\r\n\r\nbad\t1");
        const QByteArray head("1A2B\tSN1A2B\r\nTime\tT\r\n06/12/26 10:00:00\t1\r\n");
        QTest::newRow("a header line without end") << QByteArray(MaxTsvLine + 1, 'x');
        QTest::newRow("a row without end")
            << head + "06/12/26 10:00:01\t" + QByteArray(MaxTsvLine, '7');
    }

    void tsvRefusesOtherFiles()
    {
        QFETCH(QByteArray, text);
        TsvData d;
        QString error;
        QVERIFY(!parseTsv(text, d, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(d.time.isEmpty());
        if (text.size() > MaxTsvLine)
            QVERIFY2(error.contains(QStringLiteral("longer than")), qPrintable(error));
    }

    void decimationKeepsPeaks()
    {
        QVector<double> x, y;
        for (int i = 0; i < 100000; ++i) {
            x << i;
            y << (i % 7);
        }
        y[53337] = 1000;
        y[71111] = -1000;
        y[80000] = std::nan("");
        QVector<double> ox, oy;
        decimateMinMax(x.constData(), y.constData(), x.size(), 0, 99999, 500, ox, oy);
        QVERIFY(ox.size() <= 4 * 501 + 2);
        QVERIFY(ox.size() >= 500);
        QVERIFY(std::is_sorted(ox.begin(), ox.end()));
        QVERIFY(oy.contains(1000.0));
        QVERIFY(oy.contains(-1000.0));
        QVERIFY(std::none_of(oy.begin(), oy.end(), [](double v) { return std::isnan(v); }));
        // Zoomed in to fewer points than pixel columns: every point, one beyond each edge.
        decimateMinMax(x.constData(), y.constData(), x.size(), 100, 200, 500, ox, oy);
        QCOMPARE(ox.size(), 103);
        QCOMPARE(ox.first(), 99.0);
        QCOMPARE(ox.last(), 201.0);
    }

    void latestFileByStamp()
    {
        QTemporaryDir dir;
        for (const char *name :
             {"1006_011226_101010.tsv", "1006_051226_090000.tsv", "1006_311126_235959.tsv",
              "1007_061226_000000.tsv", "1006_051226_090000.pdc", "1006_xx.tsv"}) {
            QFile f(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(latestDataFile(dir.path(), 0x1006), dir.filePath("1006_051226_090000.tsv"));
        QCOMPARE(latestDataFile(dir.path(), 0x1008), QString());
    }

    void meterAgainstSimulator_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<float>("scale");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<double>("voltageRms");
        QTest::addColumn<double>("range");
        QTest::addColumn<bool>("pageFrames");
        QTest::addColumn<int>("latencyMs");
        // 5 A with 10 % third harmonic: 5.0249 A rms, 230 x 5 x cos 30 = 995.9 W,
        // 230 x 5.0249 = 1155.7 VA; the peak (about 7.7 A) goes from 200 to 10.
        const QStringList type6{"5.020", "230.00", "996.0", "1156.0"};
        QTest::newRow("type 6") << 0x9001 << 1.0f << type6 << 230.0 << 10.0 << false << 10;
        QTest::newRow("type 6, buffers in page-length frames")
            << 0x9001 << 1.0f << type6 << 230.0 << 10.0 << true << 10;
        // An answer there before the read has left the program is still the read's.
        QTest::newRow("type 6 answering at once")
            << 0x9001 << 1.0f << type6 << 230.0 << 10.0 << false << 0;
        // Type 8 scales current and power by 10: 40 A in steps of 0.1 A, 4800 W in steps of 10;
        // the peak of 56.6 A gives 75. At 60 Hz 20 ms is not a whole period: no rms check.
        QTest::newRow("type 8") << 0x8001 << 10.0f
                                << QStringList{"40.000", "120.00", "4800.0", "4800.0"} << -1.0
                                << 75.0 << false << 10;
    }

    void meterAgainstSimulator()
    {
        QFETCH(int, address);
        QFETCH(float, scale);
        QFETCH(QStringList, texts);
        QFETCH(bool, pageFrames);
        QFETCH(int, latencyMs);
        sim::Scenario scenario = meterScenario();
        scenario.dongle.pageLatencyMs = latencyMs;
        for (sim::DeviceConfig &d : scenario.devices)
            d.power.pageFrames = pageFrames;
        std::unique_ptr<sim::Simulator> simulator;
        std::unique_ptr<ManageSerialPort> link;
        QVERIFY(startSimLink(scenario, simulator, link));
        SensorType type = SensorType::unknown();
        type.coefficients[4] = type.coefficients[5] = scale;
        WaveformCapture capture(link.get(), uint16_t(address), type);
        capture.requestNext();
        QVERIFY(capture.acquire());
        QVERIFY(capture.labels().current.contains(" " + texts[0] + " "));
        QVERIFY(capture.labels().voltage.contains(" " + texts[1] + " "));
        QVERIFY(capture.labels().activePower.contains(" " + texts[2] + " "));
        QVERIFY2(capture.labels().apparentPower.contains(" " + texts[3] + " "),
                 qPrintable(capture.labels().apparentPower));
        QTEST(capture.currentRange(), "range");
        // Aligned on the rising zero crossing.
        const double *u = capture.displayedVoltage();
        QVERIFY(capture.zeroCrossIndex() < waveform::Samples);
        QVERIFY(u[0] > 0 && u[waveform::Samples - 1] <= 0);
        QFETCH(double, voltageRms);
        if (voltageRms > 0) {
            double sum = 0;
            for (int k = 0; k < waveform::Samples; ++k)
                sum += u[k] * u[k];
            QVERIFY(std::abs(std::sqrt(sum / waveform::Samples) - voltageRms) < 0.01 * voltageRms);
        }
    }

    void lostFrameKeepsTheDisplay()
    {
        std::unique_ptr<sim::Simulator> simulator;
        std::unique_ptr<ManageSerialPort> link;
        QVERIFY(startSimLink(meterScenario(), simulator, link));
        WaveformCapture capture(link.get(), 0x9001, SensorType::unknown());
        int updates = 0;
        connect(&capture, &WaveformCapture::updated, this, [&] { ++updates; });
        capture.requestNext();
        QVERIFY(capture.acquire());
        const std::vector<double> shown(capture.displayedVoltage(),
                                        capture.displayedVoltage() + waveform::Samples);
        const std::vector<double> shownI(capture.displayedCurrent(),
                                         capture.displayedCurrent() + waveform::Samples);
        // Without the voltage frame, the current frame comes first; with a broken one, the
        // checksum fails; without an answer, the wait ends. The next capture starts elsewhere in
        // the mains period, so a decoded frame would change the traces.
        for (int fault = 0; fault < 3; ++fault) {
            capture.requestNext();
            if (fault == 0)
                simulator->faults().dropNext = 1;
            else if (fault == 1)
                simulator->faults().corruptNext = 1;
            else
                simulator->faults().dropNext = 2;
            QVERIFY(!capture.acquire());
            QVERIFY(capture.busy());
        }
        QCOMPARE(updates, 1);
        QCOMPARE(capture.missed(), 3);
        QVERIFY(std::equal(shown.begin(), shown.end(), capture.displayedVoltage()));
        QVERIFY(std::equal(shownI.begin(), shownI.end(), capture.displayedCurrent()));
        capture.requestNext();
        QVERIFY(!capture.busy());
        QVERIFY(capture.acquire());
        QVERIFY(!std::equal(shown.begin(), shown.end(), capture.displayedVoltage()));
    }
};

QTEST_MAIN(TestWaveform)
#include "tst_waveform.moc"
