#include "managewirelessdata.h"

#include "connectiondialog.h"
#include "dialogdouble.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "settings.h"
#include "simulator.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The detection and action buttons against the simulated test fleet: what the operator sees while a
// detection runs, from inside the click that started it, and once a second click stopped it.
class TestDetectButton : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void aClickStartsTheDetectionAndAnotherStopsIt()
    {
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        setPortLister([] { return QList<PortEntry>(); });
        MessageCapture log(MessageCapture::Silent);
        DialogDouble dialogs;
        sim::Simulator simulator(
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/test-fleet.ini")).scenario);
        QVERIFY(simulator.open());
        ManageSerialPort link;
        managewirelessdata w(&link);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Opened behind the connection bar's back: its start-up refresh closes the link.
        QVERIFY(link.openPort(simulator.slavePath()));
        w.com_slot();
        QPushButton *detect = w.detectButton();

        QStringList seen; // the button's style, the locks, 1234's status, the list boxes shown
        QElapsedTimer running, sinceStop;
        QTimer look;
        connect(&look, &QTimer::timeout, this, [&] {
            const int row = w.find_row(0x1234);
            const bool heard = row >= 0 && w.model().sensor(row).detected;
            if (!heard && !simulator.fleet().isAwake(*simulator.device(0x1234)))
                simulator.wake(0x1234);
            if ((!heard || !w.rssiCombo(0)->isVisible()) && running.elapsed() < 15000)
                return;
            look.stop();
            seen << detect->styleSheet() << (w.sendActionButton()->isEnabled() ? "send" : "")
                 << QString::number(w.table()->selectionMode())
                 << ((w.table()->model()->index(row, 0).flags() & Qt::ItemIsEditable) ? "editable"
                                                                                      : "")
                 << w.table()->model()->index(row, 10).data().toString()
                 << w.rssiCombo(0)->itemText(0) << (w.rssiCombo(2)->isVisible() ? "third box" : "");
            QVERIFY(detect->text() == "Ongoing Detection, Press to interrupt" ||
                    detect->text().isEmpty());
            sinceStop.start();
            QTest::mouseClick(detect, Qt::LeftButton);
        });
        look.start(50);
        running.start();
        QTest::mouseClick(detect, Qt::LeftButton);
        QVERIFY2(sinceStop.elapsed() < 500, qPrintable(QString::number(sinceStop.elapsed())));
        QCOMPARE(seen, (QStringList{"font-weight: bold;color: red", "", "0", "", "Sensor Detected",
                                    "Dongle", ""}));

        QVERIFY(w.hold() == managewirelessdata::Hold::None && !w.session().isDetecting());
        QCOMPARE(detect->text(), QStringLiteral("Auto-detect and add sensors to list"));
        QCOMPARE(detect->styleSheet(), QStringLiteral("color: black"));
        QVERIFY(w.sendActionButton()->isEnabled());
        QCOMPARE(w.table()->selectionMode(), QAbstractItemView::ExtendedSelection);
        QVERIFY(w.table()->model()->index(w.find_row(0x1234), 0).flags() & Qt::ItemIsEditable);
        // The clock goes on after the detection.
        const QString clock = w.clockLabel()->text();
        QTRY_VERIFY_WITH_TIMEOUT(w.clockLabel()->text() != clock, 1500);
    }

    // A stop before the run served anyone changed nothing: the boxes stay as the operator set
    // them. Once a sensor was served, the run's end unticks them.
    void aRunStoppedBeforeAnyoneIsServedKeepsTheChoice()
    {
        QDir::setCurrent(m_dir.path());
        MessageCapture log(MessageCapture::Silent);
        DialogDouble dialogs;
        sim::Simulator simulator(
            sim::loadScenario(QStringLiteral(TESSARAN_SCENARIOS "/test-fleet.ini")).scenario);
        QVERIFY(simulator.open());
        ManageSerialPort link;
        managewirelessdata w(&link);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(link.openPort(simulator.slavePath()));
        w.com_slot();
        QVERIFY(w.insert_sensor(0x1234) >= 0);
        w.setTimeBox()->setChecked(true);
        QPushButton *send = w.sendActionButton();

        QTimer::singleShot(400, send, [send] { QTest::mouseClick(send, Qt::LeftButton); });
        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(w.hold() == managewirelessdata::Hold::None);
        QVERIFY(w.setTimeBox()->isChecked());

        QTimer wake;
        connect(&wake, &QTimer::timeout, &simulator, [&] {
            if (!simulator.fleet().isAwake(*simulator.device(0x1234)))
                simulator.wake(0x1234);
        });
        wake.start(200);
        QTimer::singleShot(20000, send, [send] { QTest::mouseClick(send, Qt::LeftButton); });
        QTest::mouseClick(send, Qt::LeftButton);
        QCOMPARE(w.model().sensor(w.find_row(0x1234)).status, QStringLiteral("Action succesfull"));
        QVERIFY(!w.setTimeBox()->isChecked());
    }
};

QTEST_MAIN(TestDetectButton)
#include "tst_detectbutton.moc"
