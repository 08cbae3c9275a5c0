#include "managewirelessdata.h"

#include "connectiondialog.h"
#include "dialogdouble.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "settings.h"
#include "simlink.h"
#include "testkit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <memory>

// The detection and action buttons against the simulated test fleet: what the operator sees while a
// detection runs, from inside the click that started it, and once a second click stopped it.
class TestDetectButton : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<managewirelessdata> m_w;

    // The window shown, on a link to the simulated test fleet.
    void openOnTestFleet()
    {
        m_sim = std::make_unique<sim::Simulator>(testScenario());
        QVERIFY(m_sim->open());
        m_link = std::make_unique<ManageSerialPort>();
        m_w = std::make_unique<managewirelessdata>(m_link.get());
        m_w->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_w.get()));
        // Opened behind the connection bar's back: its start-up refresh closes the link.
        QVERIFY(m_link->openPort(m_sim->slavePath()));
        m_w->com_slot();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        setPortLister([] { return QList<PortEntry>(); });
    }
    void cleanup()
    {
        m_w.reset();
        m_link.reset();
        m_sim.reset();
    }

    void aClickStartsTheDetectionAndAnotherStopsIt()
    {
        MessageCapture log(MessageCapture::Silent);
        DialogDouble dialogs;
        openOnTestFleet();
        if (QTest::currentTestFailed())
            return;
        sim::Simulator &simulator = *m_sim;
        managewirelessdata &w = *m_w;
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
        MessageCapture log(MessageCapture::Silent);
        DialogDouble dialogs;
        openOnTestFleet();
        if (QTest::currentTestFailed())
            return;
        sim::Simulator &simulator = *m_sim;
        managewirelessdata &w = *m_w;
        QVERIFY(w.insert_sensor(0x1234) >= 0);
        w.setTimeBox()->setChecked(true);
        QPushButton *send = w.sendActionButton();

        QTimer::singleShot(400, send, [send] { QTest::mouseClick(send, Qt::LeftButton); });
        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(w.hold() == managewirelessdata::Hold::None);
        QVERIFY(w.setTimeBox()->isChecked());
        // Its clock shows red again: it is still to be set.
        QCOMPARE(w.model().sensor(w.find_row(0x1234)).mark(FleetModel::Field::Clock),
                 FleetModel::Mark::Waiting);

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
