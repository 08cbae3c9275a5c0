#include "managewirelessdata.h"

#include "dialogdouble.h"
#include "simlink.h"
#include "testkit.h"
#include "testports.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <memory>

class TestRunProgressBar : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        offerTestPorts();
    }

    // The run is the real one against the simulator: the bar appears with the click, counts the
    // sensor that wakes and is served, and goes with the click that stops the run.
    void barShowsDuringARunAndGoesWithIt()
    {
        DialogDouble dialogs;
        std::unique_ptr<sim::Simulator> sim;
        std::unique_ptr<ManageSerialPort> link;
        QVERIFY(startSimLink(testScenario(), sim, link));
        testPorts() = {{sim->slavePath(), QStringLiteral("Simulated dongle")}};
        managewirelessdata w(link.get());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // The connection bar starts on a closed port, as the program does: it connects here.
        w.connectionDialog()->tryToOpenConnection();
        QTRY_VERIFY_WITH_TIMEOUT(link->isOpen(), 3000);
        w.folder_changed(m_dir.path());
        QVERIFY(w.insert_sensor(0x1234) >= 0);
        QVERIFY(w.insert_sensor(0x2345) >= 0);
        QVERIFY(w.runProgressBar()->isHidden());

        QStringList shown;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            QProgressBar *bar = w.runProgressBar();
            if (!bar->isVisible())
                return;
            const QString text = bar->format();
            if (!shown.contains(text))
                shown << text;
            if (shown.size() == 1)
                sim->wake(0x1234);
            // Enough seen, or the sensor never came: the operator stops the run.
            if (text == QStringLiteral("1 of 2 sensors served") || shown.size() > 3 ||
                w.session().progress().elapsedMs() > 20000) {
                watch.stop();
                QTest::mouseClick(w.sendActionButton(), Qt::LeftButton);
            }
        });
        QVERIFY(w.sendActionButton()->isEnabled());
        watch.start(100);
        QTest::mouseClick(w.sendActionButton(), Qt::LeftButton);
        watch.stop();

        QCOMPARE(dialogs.titles(), QStringList());
        QVERIFY(w.hold() == managewirelessdata::Hold::None && !w.session().isRunning());
        QCOMPARE(shown.value(0), QStringLiteral("0 of 2 sensors served"));
        QCOMPARE(shown.last(), QStringLiteral("1 of 2 sensors served"));
        QVERIFY(w.runProgressBar()->isHidden());
        QVERIFY(w.elapsedLabel()->isVisible());
        QVERIFY(w.elapsedLabel()->text().startsWith(QStringLiteral("Elapsed 00:00:")));
    }
};

QTEST_MAIN(TestRunProgressBar)
#include "tst_runprogressbar.moc"
