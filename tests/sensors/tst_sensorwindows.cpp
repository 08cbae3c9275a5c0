// The waveform and data plot windows opened for a row of the sensor table.
#include "managewirelessdata.h"

#include "dataplotwindow.h"
#include "dialogdouble.h"
#include "plug_waveform.h"
#include "simlink.h"
#include "testkit.h"
#include "testports.h"

#include <QtTest>
#include <memory>

namespace
{
const char *const Fleet = R"(
[dongle]
kind = 802.15.4
[device 9001]
type = 6
span = 1h
first_wake = 7d
[device 1001]
type = 1
span = 1h
rssi = none
[device 1002]
type = 1
span = 1h
first_wake = 7d
)";
} // namespace

class TestSensorWindows : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        const sim::ScenarioResult s = sim::parseScenario(Fleet);
        QVERIFY(startSimLink(s.scenario, m_sim, m_link));
        offerTestPorts();
        testPorts() = {{m_sim->slavePath(), QStringLiteral("Simulated dongle")}};
    }

    // The table opens the port itself when it connects, as the program does.
    void connect(managewirelessdata &w)
    {
        w.connectionDialog()->tryToOpenConnection();
        QTRY_VERIFY_WITH_TIMEOUT(m_link->isOpen(), 3000);
    }

    void waveformOpensForAnAnsweringMeterAndReportsItsClose()
    {
        DialogDouble dialogs;
        managewirelessdata w(m_link.get());
        connect(w);
        const int row = w.insert_sensor(0x9001);
        QVERIFY(row >= 0);
        // Another sensor's status frame arrives first: it is not this row's answer.
        m_sim->wake(0x1002);
        w.open_waveform(row);
        QVERIFY(dialogs.calls.isEmpty());
        QVERIFY(w.waveform_window);
        // The wake-up answer refreshed the row: it now knows the type.
        QCOMPARE(int(w.model().sensor(row).record.sensor_type), 6);
        QVERIFY(!w.waveform_answer.isEmpty());
        // Closed before its cycle even started, the window still reaches the table.
        w.waveform_window->close();
        QTRY_VERIFY_WITH_TIMEOUT(!w.waveform_window, 2000);
    }

    void waveformWarnsWhenTheSensorIsSilent()
    {
        DialogDouble dialogs;
        managewirelessdata w(m_link.get());
        connect(w);
        w.open_waveform(w.insert_sensor(0x1001));
        QCOMPARE(dialogs.titles(), QStringList{QStringLiteral("Waveform")});
        QCOMPARE(dialogs.calls[0].text, QStringLiteral("Communication error with the sensor"));
        QVERIFY(!w.waveform_window);
    }

    // Which file is the newest is the engine's (tst_waveform); the row gives the units.
    void dataPlotShowsTheRowsFileWithItsUnits()
    {
        DialogDouble dialogs;
        managewirelessdata w(m_link.get());
        w.folder_changed(m_dir.path());
        const int row = w.insert_sensor(0x1001);
        w.describe(row, 1);
        QVERIFY(!w.open_data_plot(row));
        QCOMPARE(dialogs.titles(), QStringList{QStringLiteral("Plot data")});
        QFile f(QStringLiteral("1001_021226_101010.tsv"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("1001\tSN1001\tSN1001\r\nTime\tTemperature\tHumidity\r\n02/12/26 "
                "10:10:10\t21.5\t40.0\t");
        f.close();
        DataPlotWindow *plot = w.open_data_plot(row);
        QVERIFY(plot);
        QCOMPARE(plot->data().time.size(), 1);
        QCOMPARE(plot->units(), (QStringList{"degC", "%RH"}));
        delete plot;
    }
};

QTEST_MAIN(TestSensorWindows)
#include "tst_sensorwindows.moc"
