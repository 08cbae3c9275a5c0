#include "advancedconfigwindow.h"
#include "dialogdouble.h"
#include "firmwarefile.h"
#include "manageserialport.h"
#include "settings.h"
#include "simlink.h"
#include "testkit.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <memory>

// The dongle window's firmware update, clicked through, with the simulated dongle behind.
class TestDongleUpdate : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;

private slots:
    void cleanup()
    {
        m_link.reset();
        m_sim.reset();
    }

    void uploadFromTheWindow_data()
    {
        QTest::addColumn<QString>("file"); // the dialog's answer; empty: cancelled
        QTest::addColumn<int>("noAck");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("version"); // shown after the port was reopened
        QTest::addColumn<int>("linesSent");
        QTest::addColumn<int>("closeAt"); // the operator closes the window as this line goes
        QTest::newRow("updated") << "fw.srec" << 0 << "Device succesfully updated"
                                 << "Dongle version : 105" << 6 << 0;
        QTest::newRow("line 3 unacknowledged") << "fw.srec" << 3 << "Error writing page3"
                                               << "Dongle version : 104" << 3 << 0;
        QTest::newRow("closed during line 2") << "fw.srec" << 0 << "Error writing page2"
                                              << "" << 2 << 2;
        QTest::newRow("cancelled") << "" << 0 << "Dongle version : 104"
                                   << "" << 0 << 0;
    }
    void uploadFromTheWindow()
    {
        QFETCH(QString, file);
        QFETCH(int, noAck);
        QFETCH(QString, status);
        QFETCH(QString, version);
        QFETCH(int, linesSent);
        QFETCH(int, closeAt);
        QVERIFY(startSimLink(testScenario(), m_sim, m_link));
        writeIni("[COM]\nCOM_PORT=" + m_sim->slavePath().toUtf8() +
                 "\n[ADV_CONFIG]\nDIR_SREC_FILE=/old/dongle.srec\n");
        QVERIFY(!writeFirmware("fw.srec", 6).isEmpty());
        m_sim->apiDongle()->loader().faults().noAckLine = noAck;
        DialogDouble dialogs;
        dialogs.answerText(file);

        AdvancedConfigWindow w(m_link.get());
        w.show();
        QTRY_COMPARE(w.statusLabel()->text(), QStringLiteral("Dongle version : 104"));
        QTRY_VERIFY(w.uploadButton()->isEnabled());
        // What the window shows while each line goes out.
        QStringList shown;
        bool buttonEnabled = false;
        connect(m_link.get(), &ManageSerialPort::uploadProgress, &w, [&](int line, int) {
            shown << w.statusLabel()->text() + " " + w.progressBar()->text();
            buttonEnabled = buttonEnabled || w.uploadButton()->isEnabled();
            if (line == closeAt)
                w.close();
        });
        QTest::mouseClick(w.uploadButton(), Qt::LeftButton);

        QCOMPARE(dialogs.titles(), QStringList{"Choose Filename"});
        QCOMPARE(dialogs.calls[0].text, QStringLiteral("/old/dongle.srec"));
        QCOMPARE(settings::readString(settings::key::DongleSrecDir),
                 file.isEmpty() ? QStringLiteral("/old/dongle.srec") : file);
        QCOMPARE(w.statusLabel()->text(), status);
        QCOMPARE(shown.size(), linesSent);
        for (int n = 1; n <= linesSent; ++n)
            QCOMPARE(shown[n - 1], QStringLiteral("Writing page %1/6 %1/6").arg(n));
        QVERIFY(!buttonEnabled);
        QCOMPARE(m_sim->apiDongle()->loader().entries(), file.isEmpty() ? 0 : 1);
        // Back on the stored port at the link's rate, the dongle in its firmware.
        QCOMPARE(m_link->linkMode(), int(ManageSerialPort::Api802154));
        QCOMPARE(w.versionLabel()->isVisible() ? w.versionLabel()->text() : QString(), version);
        QVERIFY(m_link->isOpen() && w.uploadButton()->isEnabled());
    }
};

QTEST_MAIN(TestDongleUpdate)
#include "tst_dongleupdate.moc"
