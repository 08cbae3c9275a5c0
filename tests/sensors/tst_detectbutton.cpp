#include "managewirelessdata.h"

#include "connectiondialog.h"
#include "dialogdouble.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "settings.h"
#include "simulator.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

// The detection button against the simulated test fleet: what the operator sees while a
// detection runs and after it was interrupted.
class TestDetectButton : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        QFile::remove(settings::FileName);
        setPortLister([] { return QList<PortEntry>(); });
    }

    void aClickStartsTheDetectionAndAnotherStopsIt()
    {
        MessageCapture log(MessageCapture::Silent);
        DialogDouble dialogs;
        sim::ScenarioResult scenario =
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/test-fleet.ini"));
        sim::Simulator simulator(scenario.scenario);
        QVERIFY(simulator.open());
        ManageSerialPort link;
        managewirelessdata w(&link);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Opened behind the connection bar's back: its start-up refresh closes the link.
        QVERIFY(link.openPort(simulator.slavePath()));
        w.com_slot();
        QPushButton *detect = w.detectButton();
        QVERIFY(detect->isVisible());

        // Seen while the detection runs, from inside the click that started it.
        QString text, style, status;
        bool sendEnabled = true, snEditable = true, dongleShown = false, relayShown = true;
        QAbstractItemView::SelectionMode selection = QAbstractItemView::ExtendedSelection;
        QElapsedTimer sinceStop;
        QTimer look;
        QElapsedTimer running;
        running.start();
        connect(&look, &QTimer::timeout, this, [&] {
            const int row = w.find_row(0x1234);
            if (row < 0 || !w.model().sensor(row).detected) {
                if (!simulator.fleet().isAwake(*simulator.device(0x1234)))
                    simulator.wake(0x1234);
                if (running.elapsed() < 15000)
                    return;
            }
            if (!w.rssiCombo(0)->isVisible() && running.elapsed() < 15000)
                return;
            look.stop();
            text = detect->text();
            style = detect->styleSheet();
            sendEnabled = w.sendActionButton()->isEnabled();
            selection = w.table()->selectionMode();
            snEditable = w.table()->item(row, 0)->flags() & Qt::ItemIsEditable;
            status = w.table()->item(row, 10)->text();
            dongleShown = w.rssiCombo(0)->isVisible() && w.rssiCombo(0)->itemText(0) == "Dongle";
            relayShown = w.rssiCombo(2)->isVisible();
            sinceStop.start();
            QTest::mouseClick(detect, Qt::LeftButton);
        });
        look.start(50);
        QTest::mouseClick(detect, Qt::LeftButton);
        const qint64 stopTook = sinceStop.elapsed();

        QVERIFY2(text == "Ongoing Detection, Press to interrupt" || text.isEmpty(),
                 qPrintable(text));
        QCOMPARE(style, QStringLiteral("font-weight: bold;color: red"));
        QVERIFY(!sendEnabled);
        QCOMPARE(selection, QAbstractItemView::NoSelection);
        QVERIFY(!snEditable);
        QCOMPARE(status, QStringLiteral("Sensor Detected"));
        QVERIFY(dongleShown);
        QVERIFY(!relayShown); // one relay: combo 1 holds its list, combo 2 nothing

        QVERIFY2(stopTook < 500, qPrintable(QString::number(stopTook)));
        QVERIFY(!w.detection_running);
        QCOMPARE(detect->text(), QStringLiteral("Auto-detect and add sensors to list"));
        QCOMPARE(detect->styleSheet(), QStringLiteral("color: black"));
        QVERIFY(w.sendActionButton()->isEnabled());
        QCOMPARE(w.table()->selectionMode(), QAbstractItemView::ExtendedSelection);
        QVERIFY(w.table()->item(w.find_row(0x1234), 0)->flags() & Qt::ItemIsEditable);
        // The clock goes on after the detection.
        const QString clock = w.clockLabel()->text();
        QTRY_VERIFY_WITH_TIMEOUT(w.clockLabel()->text() != clock, 1500);
    }
};

QTEST_MAIN(TestDetectButton)
#include "tst_detectbutton.moc"
