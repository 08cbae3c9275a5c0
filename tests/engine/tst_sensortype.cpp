#include "sensortype.h"

#include "messagecapture.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
using Floats = QVector<float>;
using Bytes = QVector<int>;

// One field of the eight channels as a list, so a failure shows all of them.
template <typename List, typename Array> List listOf(const Array &a)
{
    return List(a.begin(), a.end());
}
QStringList repeated(const QString &text)
{
    QStringList list;
    for (int i = 0; i < 8; ++i)
        list << text;
    return list;
}
} // namespace

class TestSensorType : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;

    // Each catalogue gets its own file: the INI reader caches what it has read per file name.
    QString catalogue(const QByteArray &text)
    {
        const QString path = m_dir.filePath(QStringLiteral("sensor%1.ini").arg(++m_files));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        f.write(text);
        return path;
    }

private slots:
    void listsKeepEmptyItemsAndFallBackPerField_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<int>("count");
        QTest::addColumn<Floats>("coefficients");
        QTest::addColumn<Bytes>("decimals");
        QTest::addColumn<QStringList>("units");
        QTest::addColumn<Bytes>("sizes");
        const QStringList noUnits = repeated(QString());
        QTest::newRow("an empty coefficient leaves the raw value")
            << QByteArray("TITLE_DATA=\"A;B;C\"\nNB_DATA=3\nCOEFF=\"0.1;;2\"\nFORMAT=\"1;2;3\"\n"
                          "UNIT=\"V;;A\"\nSIZE=\"0;0;1\"")
            << QStringList{"A", "B", "C"} << 3 << Floats{0.1f, 1, 2, 1, 1, 1, 1, 1}
            << Bytes{1, 2, 3, 0, 0, 0, 0, 0} << QStringList{"V", "", "A", "", "", "", "", ""}
            << Bytes{0, 0, 1, 0, 0, 0, 0, 0};
        QTest::newRow("missing keys give the defaults")
            << QByteArray() << QStringList() << 0 << Floats(8, 1.0f) << Bytes(8, 0) << noUnits
            << Bytes(8, 0);
        QTest::newRow("non-numbers read 0, coefficients 1")
            << QByteArray("NB_DATA=two\nCOEFF=\"x;nan;1e50; 2.5 \"\nFORMAT=\"-1;two;3\"\n"
                          "SIZE=\"yes;1\"")
            << QStringList() << 0 << Floats{1, 1, 1, 2.5f, 1, 1, 1, 1}
            << Bytes{0, 0, 3, 0, 0, 0, 0, 0} << noUnits << Bytes{0, 1, 0, 0, 0, 0, 0, 0};
        QTest::newRow("counts keep their low 8 bits of 16")
            << QByteArray("NB_DATA=300\nFORMAT=\"258;70000\"") << QStringList() << 44
            << Floats(8, 1.0f) << Bytes{2, 0, 0, 0, 0, 0, 0, 0} << noUnits << Bytes(8, 0);
        QTest::newRow("more than eight entries")
            << QByteArray("TITLE_DATA=\"c0;c1;c2;c3;c4;c5;c6;c7;c8;c9\"\nNB_DATA=10\n"
                          "COEFF=\"1;2;3;4;5;6;7;8;9;10\"\nUNIT=\"u0;u1;u2;u3;u4;u5;u6;u7;u8\"")
            << QStringList{"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9"} << 10
            << Floats{1, 2, 3, 4, 5, 6, 7, 8} << Bytes(8, 0)
            << QStringList{"u0", "u1", "u2", "u3", "u4", "u5", "u6", "u7"} << Bytes(8, 0);
        QTest::newRow("an unquoted comma is part of the text")
            << QByteArray("TITLE_DATA=Temp, Hum\nNB_DATA=1") << QStringList{"Temp, Hum"} << 1
            << Floats(8, 1.0f) << Bytes(8, 0) << noUnits << Bytes(8, 0);
    }
    void listsKeepEmptyItemsAndFallBackPerField()
    {
        QFETCH(QByteArray, section);
        QFETCH(QStringList, titles);
        QFETCH(int, count);
        QFETCH(Floats, coefficients);
        QFETCH(Bytes, decimals);
        QFETCH(QStringList, units);
        QFETCH(Bytes, sizes);
        MessageCapture capture(MessageCapture::Silent);
        const SensorType t = describeType(7, catalogue("[7]\nTITLE=Probe\n" + section + "\n"));
        QVERIFY(t.known);
        QCOMPARE(t.title, QStringLiteral("Probe"));
        QCOMPARE(t.channelTitles, titles);
        QCOMPARE(int(t.channelCount), count);
        QCOMPARE(listOf<Floats>(t.coefficients), coefficients);
        QCOMPARE(listOf<Bytes>(t.decimals), decimals);
        QCOMPARE(listOf<QStringList>(t.units), units);
        QCOMPARE(listOf<Bytes>(t.sizes), sizes);
        QCOMPARE(capture.lines(), QStringList{"\"sensor title\""});
    }

    void coefficientsThatAreNoNumberAreNamedByLine()
    {
        const QString path = catalogue("[1]\nTITLE=A\nCOEFF=\"0.5;1\"\n\n[3]\nTITLE=B\n"
                                       "COEFF=\"2;x; 1e50\"\n[4]\nCOEFF=\n");
        QCOMPARE(catalogueWarnings(path),
                 (QStringList{path + " line 7: [3] COEFF item 2 \"x\" is no number; channel 2 "
                                     "is written unscaled",
                              path + " line 7: [3] COEFF item 3 \"1e50\" is no number; channel 3 "
                                     "is written unscaled"}));
        QVERIFY(catalogueWarnings(QStringLiteral(TESSARAN_CATALOGUE)).isEmpty());
    }

    void typesWithoutATitleAreUnknown_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("type");
        const QByteArray text =
            "[5]\nTITLE=\nTITLE_DATA=\"A;B\"\nNB_DATA=2\n[6]\nTITLE_DATA=\"A\"\n";
        QTest::newRow("empty title") << catalogue(text) << 5;
        QTest::newRow("no title key") << catalogue(text) << 6;
        QTest::newRow("type 0 of the shipped catalogue") << QStringLiteral(TESSARAN_CATALOGUE) << 0;
        QTest::newRow("missing file") << m_dir.filePath("absent.ini") << 1;
        QTest::newRow("not an INI file") << catalogue(QByteArray("\x00\xFF[[=\n\"", 7)) << 1;
    }
    void typesWithoutATitleAreUnknown()
    {
        QFETCH(QString, file);
        QFETCH(int, type);
        MessageCapture capture(MessageCapture::Silent);
        const SensorType t = describeType(type, file);
        QVERIFY(!t.known);
        QCOMPARE(t.title, QStringLiteral("Unknown"));
        QCOMPARE(t.channelTitles, repeated("UNKN")); // for the file headers
        QCOMPARE(t.selectableChannels(), QStringList());
        QCOMPARE(int(t.channelCount), 8);
        QCOMPARE(listOf<Floats>(t.coefficients), Floats(8, 1.0f));
        QCOMPARE(listOf<Bytes>(t.decimals), Bytes(8, 0));
        QCOMPARE(capture.lines(), QStringList{"\"sensor unknown\""});
        QVERIFY(!QFile::exists(m_dir.filePath("absent.ini"))); // reading never creates it
    }

    void reDescribingFollowsTheFileAsItIsNow()
    {
        MessageCapture capture(MessageCapture::Silent);
        const QString path = catalogue("[1]\nTITLE=TH\nTITLE_DATA=\"Temperature;Humidity\"\n");
        SensorType row = describeType(1, path);
        QCOMPARE(row.channelTitles.size(), 2);
        row = describeType(2, path);
        QCOMPARE(row.channelTitles, repeated("UNKN"));

        // an edited catalogue counts at the next description, without a restart
        QSettings edit(path, QSettings::IniFormat);
        edit.setValue("2/TITLE", "Analog");
        edit.setValue("2/TITLE_DATA", "In 1;In 2;In 3");
        edit.sync();
        row = describeType(2, path);
        QCOMPARE(row.title, QStringLiteral("Analog"));
        QCOMPARE(row.channelTitles, (QStringList{"In 1", "In 2", "In 3"}));
    }

    void selectorsOfferTitlesOfThreeCharactersAmongTheFirstEight_data()
    {
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QStringList>("selectable");
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<int>("mask");
        QTest::newRow("short and empty titles")
            << QStringList{"U", "In", "Act. Pow.", "", "App. Pow."}
            << QStringList{"Act. Pow.", "App. Pow."} << QStringList{"Act. Pow.", "App. Pow."}
            << 0x14;
        QTest::newRow("beyond the eighth")
            << QStringList{"c00", "c01", "c02", "c03", "c04", "c05", "c06", "c07", "c08"}
            << QStringList{"c00", "c01", "c02", "c03", "c04", "c05", "c06", "c07"}
            << QStringList{"c07", "c08"} << 0x80;
    }
    void selectorsOfferTitlesOfThreeCharactersAmongTheFirstEight()
    {
        QFETCH(QStringList, titles);
        QFETCH(QStringList, selectable);
        QFETCH(QStringList, checked);
        QFETCH(int, mask);
        SensorType t;
        t.known = true;
        t.channelTitles = titles;
        QCOMPARE(t.selectableChannels(), selectable);
        QCOMPARE(int(t.channelMask(checked)), mask);
    }

    void layoutCarriesTheDecoderFields()
    {
        MessageCapture capture(MessageCapture::Silent);
        const SensorType t =
            describeType(3, catalogue("[3]\nTITLE=P\nTITLE_DATA=\"T;;A\"\nNB_DATA=2\nFORMAT=\"2\"\n"
                                      "COEFF=\"0.5\"\nSIZE=\"0;0;1;2\"\n"));
        const pagedecode::Layout l = t.layout(3);
        QCOMPARE(l.sensorType, 3);
        QCOMPARE(l.channelCount, 2);
        QCOMPARE(l.titles[2], QStringLiteral("A"));
        QCOMPARE(l.titles[5], QString());
        QCOMPARE(l.decimals[0], 2);
        QCOMPARE(l.coefficients[0], 0.5f);
        QCOMPARE(l.coefficients[1], 1.0f);
        QVERIFY(!l.wideCounter[1] && l.wideCounter[2] && l.wideCounter[3]);
    }

    void theShippedCatalogueDescribesTheTypesWeTreatSpecially_data()
    {
        QTest::addColumn<int>("type");
        for (int type : {1, 2, 3, 4, 6, 8, 10, 13})
            QTest::newRow(qPrintable(QString::number(type))) << type;
    }
    void theShippedCatalogueDescribesTheTypesWeTreatSpecially()
    {
        QFETCH(int, type);
        MessageCapture capture(MessageCapture::Silent);
        const SensorType t = describeType(type, QStringLiteral(TESSARAN_CATALOGUE));
        QVERIFY(t.known);
        QVERIFY(!t.selectableChannels().isEmpty());
        // every data column has a header title, or the rows would not line up under them
        int columns = 0;
        for (int k = 0; k < SensorType::Channels; ++k)
            columns += t.layout(type).hasColumn(k) ? 1 : 0;
        QCOMPARE(int(t.channelCount), columns);
        for (int k = 0; k < SensorType::Channels; ++k) {
            QVERIFY(std::isfinite(t.coefficients[k]) && t.coefficients[k] != 0.0f);
            QVERIFY(t.decimals[k] <= 6);
        }
        QSettings ini(QStringLiteral(TESSARAN_CATALOGUE), QSettings::IniFormat);
        const QStringList coeff =
            splitCatalogueList(ini.value(QString::number(type) + "/COEFF").toString());
        QCOMPARE(coeff.size(), t.channelTitles.size());
        if (type == 4 || type == 6 || type == 8) // the waveform scales
            QVERIFY(coeff.size() > 5);
        if (type == 3)
            QVERIFY(t.sizes[2] && t.sizes[3]);
        if (type == 1) // a per cent sign in a quoted value is no escape
            QCOMPARE(t.units[1], QStringLiteral("%RH"));
        QCOMPARE(t.channelTitles.size(), columns + (type == 3 ? 1 : 0));
    }
};

QTEST_GUILESS_MAIN(TestSensorType)
#include "tst_sensortype.moc"
