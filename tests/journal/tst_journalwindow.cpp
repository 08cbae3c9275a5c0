// The fleet health window over a journal: the curves are the journal's readings.
#include "fleethealthwindow.h"
#include "fleetjournal.h"

#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>
#include <qwt_plot_curve.h>

namespace
{
StatusEntry heard(uint16_t sn, qint64 timeMs, int battery, int rssi, std::optional<qint64> offset)
{
    StatusEntry e;
    e.serialNumber = sn;
    e.pcTimeMs = timeMs;
    e.batteryIndex = battery;
    e.rssi = rssi;
    e.clockOffsetS = offset;
    e.periodSeconds = 60;
    e.channelMask = 1;
    return e;
}

QVector<QPointF> points(const QwtPlotCurve *c)
{
    QVector<QPointF> out;
    for (size_t i = 0; i < c->dataSize(); ++i)
        out << c->sample(int(i));
    return out;
}
} // namespace

class TestJournalWindow : public QObject
{
    Q_OBJECT

private slots:
    void showsTheChosenSensorsReadings()
    {
        QTemporaryDir dir;
        FleetJournal journal;
        QVERIFY(journal.open(dir.filePath(QStringLiteral("journal.sqlite"))));
        const qint64 t = QDateTime::currentMSecsSinceEpoch() - 3 * 86400000LL;
        // Unknown levels ("~", no RSSI, no clock) leave a gap in their curve only.
        QVERIFY(journal.recordStatus(heard(0x2001, t, 13, 70, 1)));
        QVERIFY(journal.recordStatus(heard(0x2001, t + 3600000, 0, -1, std::nullopt)));
        QVERIFY(journal.recordStatus(heard(0x2001, t + 7200000, 5, 82, -4)));
        QVERIFY(journal.recordStatus(heard(0x0100, t, 15, 60, 0)));

        FleetHealthWindow window(&journal);
        window.resize(1000, 640);
        window.show();
        QCOMPARE(window.sensorCombo()->count(), 2);
        QCOMPARE(window.sensorCombo()->itemText(0), QStringLiteral("0100"));
        QCOMPARE(points(window.batteryCurve()), (QVector<QPointF>{{double(t), 3.7}}));

        // Chosen by the operator, with the keyboard.
        window.sensorCombo()->setFocus();
        QTest::keyClick(window.sensorCombo(), Qt::Key_Down);
        QCOMPARE(window.sensor(), 0x2001);
        QCOMPARE(points(window.batteryCurve()),
                 (QVector<QPointF>{{double(t), 3.3}, {double(t + 7200000), 2.3}}));
        QCOMPARE(points(window.rssiCurve()),
                 (QVector<QPointF>{{double(t), -70}, {double(t + 7200000), -82}}));
        QCOMPARE(points(window.offsetCurve()),
                 (QVector<QPointF>{{double(t), 1}, {double(t + 7200000), -4}}));
        QVERIFY2(window.summaryLabel()->text().contains(QLatin1String("battery low (2.3V)")),
                 qPrintable(window.summaryLabel()->text()));

        // Set by the caller, before the journal has heard it; then heard and reloaded.
        window.setSensor(0x3003);
        QCOMPARE(window.batteryCurve()->dataSize(), size_t(0));
        QVERIFY(window.summaryLabel()->text().contains(QLatin1String("not in the journal")));
        QVERIFY(journal.recordStatus(heard(0x3003, t, 14, 50, 2)));
        window.reload();
        QCOMPARE(window.sensor(), 0x3003);
        QCOMPARE(window.sensorCombo()->count(), 3);
        QCOMPARE(points(window.rssiCurve()), (QVector<QPointF>{{double(t), -50}}));
    }
};

QTEST_MAIN(TestJournalWindow)
#include "tst_journalwindow.moc"
