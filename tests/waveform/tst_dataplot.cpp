// The data plot window over a file laid out as the downloads write them.
#include "dataplotwindow.h"

#include "dialogdouble.h"
#include "filesizelimit.h"

#include <QImage>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>

class TestDataPlot : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &text)
    {
        QFile f(m_dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly))
            return QString();
        f.write(text);
        return f.fileName();
    }

private slots:
    void plotsEachChannelOnItsUnitsAxis_data()
    {
        QTest::addColumn<QStringList>("units");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QVector<int>>("axes");
        QTest::newRow("from the catalogue")
            << QStringList() << QStringList{"V", "A", "W"}
            << QVector<int>{QwtPlot::yLeft, QwtPlot::yRight, QwtPlot::yRight};
        QTest::newRow("given, two share the left axis")
            << QStringList{"mA", "mA", "Wh"} << QStringList{"mA", "mA", "Wh"}
            << QVector<int>{QwtPlot::yLeft, QwtPlot::yLeft, QwtPlot::yRight};
    }

    void plotsEachChannelOnItsUnitsAxis()
    {
        QFETCH(QStringList, units);
        QFETCH(QVector<int>, axes);
        const QString catalogue = write(QStringLiteral("sensor.ini"),
                                        "[4]\nTITLE=Meter\nTITLE_DATA=\"Voltage;Current;;Power\"\n"
                                        "UNIT=\"V;A;x;W\"\n");
        QByteArray text = "1006\tSN1006\tSN1006\tSN1006\r\nTime\tVoltage\tCurrent\tPower";
        for (int i = 0; i < 600; ++i)
            text += QStringLiteral("\r\n06/12/26 %1:%2:00\t%3\t%4\t%5\t")
                        .arg(10 + i / 60)
                        .arg(i % 60, 2, 10, QChar('0'))
                        .arg(230 + i % 3)
                        .arg(i * 0.01, 0, 'f', 2)
                        .arg(i)
                        .toLatin1();
        const QString path = write(QStringLiteral("1006_061226_120000.tsv"), text);
        DataPlotWindow window;
        window.resize(900, 600);
        window.show();
        QVERIFY(window.load(path, units, catalogue));
        QTEST(window.units(), "expected");
        QCOMPARE(window.curveCount(), 3);
        for (int c = 0; c < 3; ++c)
            QCOMPARE(window.curve(c)->yAxis(), axes[c]);
        QCOMPARE(window.curve(0)->title().text(),
                 QStringLiteral("Voltage (%1)").arg(window.units()[0]));
        QCOMPARE(window.data().time.size(), 600);
        // The whole file is on show, and every point of it (fewer than the pixel columns x 4).
        QCOMPARE(int(window.curve(2)->dataSize()), 600);
        QCOMPARE(window.curve(2)->maxYValue(), 599.0);

        DialogDouble dialogs;
        const QString png = m_dir.filePath(QStringLiteral("plot.png"));
        dialogs.answerText(m_dir.filePath(QStringLiteral("plot"))); // the suffix is added
        QTest::mouseClick(window.exportButton(), Qt::LeftButton);
        const QImage image(png);
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), window.plot()->size());
        QVERIFY(QFileInfo(png).size() > 1000);

        // A disk that fills: the picture is not left cut short, and the window says where.
        const QString cut = m_dir.filePath(QStringLiteral("cut.png"));
        dialogs.answerText(cut);
        {
            const FileSizeLimit full(500);
            QTest::mouseClick(window.exportButton(), Qt::LeftButton);
        }
        QCOMPARE(dialogs.titles().last(), QStringLiteral("Export"));
        QVERIFY2(dialogs.calls.last().text.startsWith("The picture could not be written to " +
                                                      QFileInfo(cut).absoluteFilePath()),
                 qPrintable(dialogs.calls.last().text));
        QVERIFY(!QFile::exists(cut));
    }

    void refusesAFileThatIsNotData()
    {
        DialogDouble dialogs;
        DataPlotWindow window;
        const QString path = write(QStringLiteral("notes.tsv"), "just some text\n");
        QVERIFY(!window.load(path));
        QCOMPARE(dialogs.calls.size(), 1);
        QVERIFY(dialogs.calls[0].text.startsWith(QStringLiteral("The file ") + path));
        QCOMPARE(window.curveCount(), 0);
    }
};

QTEST_MAIN(TestDataPlot)
#include "tst_dataplot.moc"
