#include "advancedconfigwindow.h"
#include "apiframe.h"
#include "connectiondialog.h"
#include "manageserialport.h"
#include "scripteddongle.h"
#include "settings.h"
#include "simlink.h"
#include "testkit.h"
#include "testports.h"
#include "linkwait.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <QtTest>
#include <memory>

class TestConnection : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<ConnectionDialog> m_bar;

    void build() { m_bar = std::make_unique<ConnectionDialog>(m_link.get()); }
    // The bar with `dongle` as the only port, asked to connect.
    void openOn(const ScriptedDongle &dongle, const QString &name = QStringLiteral("dongle"))
    {
        testPorts() = {{dongle.path(), name}};
        build();
        m_bar->tryToOpenConnection();
    }
    QString styleColour() const { return m_bar->portCombo()->styleSheet(); }

private slots:
    void initTestCase() { offerTestPorts(); }
    void init()
    {
        QFile::remove(settings::FileName);
        testPorts().clear();
        m_link = std::make_unique<ManageSerialPort>();
    }
    void cleanup()
    {
        m_bar.reset();
        m_link.reset();
    }

    void withoutPortsOpeningOnlyReports()
    {
        build();
        QCOMPARE(m_bar->portCombo()->count(), 0);
        QCOMPARE(m_bar->portCombo()->currentIndex(), -1);
        QSignalSpy tocom(m_bar.get(), &ConnectionDialog::tocom);
        QTest::mouseClick(m_bar->openButton(), Qt::LeftButton);
        QCOMPARE(tocom.count(), 1);
        QVERIFY(!m_link->isOpen());
        QVERIFY(m_bar->channelCombo()->isHidden());
        QCOMPARE(m_bar->channelCombo()->itemText(0), QStringLiteral("11 (0xb)"));
        QCOMPARE(m_bar->channelCombo()->itemText(15), QStringLiteral("26 (0x1a)"));
        QCOMPARE(m_bar->channelCombo()->currentText(), QStringLiteral("~"));
    }

    void aSinglePortIsSelectedButNotOpened()
    {
        ScriptedDongle dongle(ScriptedDongle::Api);
        testPorts() = {{dongle.path(), "USB Serial (ttyUSB0)"}};
        build();
        QCOMPARE(m_bar->portCombo()->currentIndex(), 0);
        QCOMPARE(m_bar->portCombo()->currentText(), QStringLiteral("USB Serial (ttyUSB0)"));
        QVERIFY(!m_link->isOpen());
    }

    void anApiDongleShowsItsChannelAndIsRemembered()
    {
        ScriptedDongle other(ScriptedDongle::Mute);
        ScriptedDongle dongle(ScriptedDongle::Api);
        dongle.channel = 15;
        testPorts() = {{other.path(), "first"}, {dongle.path(), "USB dongle (ttyUSB1)"}};
        build();
        QCOMPARE(m_bar->portCombo()->currentIndex(), -1); // several ports, none stored
        QSignalSpy tocom(m_bar.get(), &ConnectionDialog::tocom);
        m_bar->portCombo()->setCurrentIndex(1); // choosing opens at once
        QVERIFY(m_link->isOpen());
        QCOMPARE(m_link->linkMode(), 2);
        QCOMPARE(tocom.count(), 1);
        QVERIFY(!m_bar->channelCombo()->isHidden());
        QCOMPARE(m_bar->channelCombo()->currentIndex(), 15 - 11);
        // showing the channel read is not a change: nothing is written back
        QCOMPARE(m_bar->statusLabel()->text(),
                 QStringLiteral("<font color=green>Connection 802.15.4 OK</font>"));
        QCOMPARE(dongle.peer().frames().count(QByteArray::fromHex("360F")), 0);
        QCOMPARE(styleColour(), QStringLiteral("QComboBox   {  color:   green;   }"));
        QCOMPARE(settings::readString(settings::key::ComPort), dongle.path());

        // the next start finds the stored port among several
        m_bar.reset();
        m_link->closePort();
        build();
        QCOMPARE(m_bar->portCombo()->currentIndex(), 1);
        QVERIFY(m_bar->refreshComList());
    }

    void channelChangesAreConfirmedByReadingBack_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("status");
        const QString ok = QStringLiteral("<font color=green>Channel successfully changed.");
        const QString refused = QStringLiteral("<font color=red>Unable to set new channel.");
        QTest::newRow("channel 11") << 0 << true << ok;
        QTest::newRow("channel 26") << 15 << true << ok;
        QTest::newRow("dongle refuses") << 3 << false << refused;
        QTest::newRow("the ~ item") << 16 << true << refused;
    }
    void channelChangesAreConfirmedByReadingBack()
    {
        QFETCH(int, index);
        QFETCH(bool, accept);
        QFETCH(QString, status);
        ScriptedDongle dongle(ScriptedDongle::Api);
        dongle.channel = 20;
        openOn(dongle);
        QVERIFY(m_link->isOpen());
        dongle.acceptChannelChange = accept;
        m_bar->channelCombo()->setCurrentIndex(index);
        QCOMPARE(m_bar->statusLabel()->text(), status);
        QCOMPARE(dongle.channel, accept && index < 16 ? index + 11 : 20);
    }

    // A dongle slow to tell its channel: a read that had to ask twice leaves a late answer
    // behind, which the next change must not take for its own. Each change is made with the
    // arrow key a moment after the last.
    void quickChannelChangesWithTheArrowKeyAreEachConfirmed()
    {
        ScriptedDongle dongle(ScriptedDongle::Api);
        dongle.channel = 12;
        openOn(dongle);
        QVERIFY(m_link->isOpen());
        dongle.channelAnswerDelayMs = 60;
        QSignalSpy busy(m_link.get(), &ManageSerialPort::busyChanged);
        for (int change = 1; change <= 4; ++change) {
            QTest::qWait(150);
            QTest::keyClick(m_bar->channelCombo(), Qt::Key_Down);
            QCOMPARE(dongle.channel, 12 + change);
            QCOMPARE(m_bar->statusLabel()->text(),
                     QStringLiteral("<font color=green>Channel successfully changed."));
        }
        // the controls were held while the link waited, and are usable again
        QVERIFY(busy.count() >= 8);
        QVERIFY(m_bar->channelCombo()->isEnabled() && m_bar->openButton()->isEnabled());
    }

    void aLoraDongleHidesTheChannel()
    {
        ScriptedDongle dongle(ScriptedDongle::Lora);
        openOn(dongle, "LoRa (ttyACM0)");
        QCOMPARE(m_link->linkMode(), 6);
        QCOMPARE(m_bar->statusLabel()->text(),
                 QStringLiteral("<font color=green>Connection LORA OK</font>"));
        QVERIFY(m_bar->channelCombo()->isHidden());
        QVERIFY(m_bar->channelLabel()->isHidden());
    }

    void aDeviceThatIsNoDongleIsMarkedAndCanRecover()
    {
        ScriptedDongle dongle(ScriptedDongle::Mute);
        testPorts() = {{dongle.path(), "Modem (ttyS1)"}};
        build();
        QSignalSpy tocom(m_bar.get(), &ConnectionDialog::tocom);
        m_bar->tryToOpenConnection();
        QCOMPARE(tocom.count(), 1);
        QVERIFY(!m_link->isOpen());
        QCOMPARE(m_bar->portCombo()->currentText(), QStringLiteral("Modem (ttyS1)###"));
        QCOMPARE(styleColour(), QStringLiteral("QComboBox   {  color:   red;   }"));
        QCOMPARE(m_bar->statusLabel()->text(),
                 QStringLiteral("<font color=red><b>Unable to open connection.</b></font>"));
        QCOMPARE(m_bar->portCombo()->itemData(0, Qt::ForegroundRole).value<QColor>(),
                 QColor(Qt::red));

        dongle.kind = ScriptedDongle::Api; // a dongle now answers on the same port
        m_bar->tryToOpenConnection();
        QVERIFY(m_link->isOpen());
        QCOMPARE(m_bar->portCombo()->currentText(), QStringLiteral("Modem (ttyS1)"));
        QCOMPARE(styleColour(), QStringLiteral("QComboBox   {  color:   green;   }"));
    }

    void aStoredPortThatEnumerationMissesIsOffered()
    {
        ScriptedDongle dongle(ScriptedDongle::Api);
        settings::write(settings::key::ComPort, dongle.path());
        build();
        QCOMPARE(m_bar->ports().size(), 1);
        QCOMPARE(m_bar->portCombo()->currentText(), dongle.path());
        QVERIFY(m_bar->refreshComList());
        // a stored name that is no device file is not offered
        settings::write(settings::key::ComPort, m_dir.filePath("gone"));
        QVERIFY(!m_bar->refreshComList());
        QCOMPARE(m_bar->portCombo()->count(), 0);
    }

    void refreshingClosesTheConnection()
    {
        ScriptedDongle dongle(ScriptedDongle::Api);
        openOn(dongle);
        QVERIFY(m_link->isOpen());
        QVERIFY(m_bar->channelCombo()->isVisibleTo(m_bar.get()));
        QSignalSpy tocom(m_bar.get(), &ConnectionDialog::tocom);
        QTest::mouseClick(m_bar->refreshButton(), Qt::LeftButton);
        QVERIFY(!m_link->isOpen());
        // the table hears of it, and the channel box goes with the connection
        QCOMPARE(tocom.count(), 1);
        QVERIFY(m_bar->channelCombo()->isHidden());
        QVERIFY(m_bar->statusLabel()->text().isEmpty());
        QCOMPARE(styleColour(), QStringLiteral("QComboBox   {  color:   black;   }"));
    }

    // A dongle that ignores its first identification queries after each power-up: the opening
    // at start and the reopening after a replug each get more than one attempt. While it is
    // away the lost port stays the chosen one, never the other port of the machine.
    void aLostPortIsReportedAndReopenedWhenItComesBack_data()
    {
        QTest::addColumn<int>("lateAnswers");
        QTest::newRow("answers at once") << 0;
        QTest::newRow("ignores its first three queries") << 3;
    }
    void aLostPortIsReportedAndReopenedWhenItComesBack()
    {
        QFETCH(int, lateAnswers);
        sim::Scenario scenario = testScenario();
        scenario.dongle.lateAnswers = lateAnswers;
        sim::Simulator simulator(scenario);
        const QString link = m_dir.filePath("dongle");
        QVERIFY(simulator.open(link));
        settings::write(settings::key::ComPort, link);
        testPorts() = {{m_dir.filePath("ttyS0"), QStringLiteral("Modem (ttyS0)")}};
        build();
        QCOMPARE(m_bar->portCombo()->currentText(), link);
        m_bar->openAtStart();
        // the first attempt met a dongle not ready yet; a second later it answers
        QCOMPARE(m_link->isOpen(), lateAnswers == 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_link->isOpen(), 8000);
        QCOMPARE(m_bar->statusLabel()->text(),
                 QStringLiteral("<font color=green>Connection 802.15.4 OK</font>"));
        QSignalSpy tocom(m_bar.get(), &ConnectionDialog::tocom);
        simulator.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!m_link->isOpen(), 3000);
        QVERIFY(tocom.count() >= 1);
        QCOMPARE(m_bar->statusLabel()->text(),
                 QStringLiteral("<font color=red><b>Connection lost</b></font>"));
        QVERIFY(m_bar->channelCombo()->isHidden());
        QCOMPARE(m_bar->portCombo()->count(), 2);
        QCOMPARE(m_bar->portCombo()->currentText(), link + QStringLiteral(" (lost)"));
        QTest::mouseClick(m_bar->refreshButton(), Qt::LeftButton);
        QCOMPARE(m_bar->portCombo()->currentText(), link + QStringLiteral(" (lost)"));
        // the same dongle, its fleet as it was, behind the same path
        QVERIFY(simulator.replug());
        QTRY_VERIFY_WITH_TIMEOUT(m_link->isOpen(), 8000);
        QCOMPARE(m_bar->statusLabel()->text(),
                 QStringLiteral("<font color=green>Connection 802.15.4 OK</font>"));
        QCOMPARE(m_bar->portCombo()->currentText(), link);
        QCOMPARE(m_link->read_chan(), 15);
        QVERIFY(m_bar->lostPort().isEmpty());
    }

    void choosingAnotherPortForgetsTheLostOne()
    {
        sim::Simulator simulator(testScenario());
        const QString link = m_dir.filePath("dongle");
        QVERIFY(simulator.open(link));
        settings::write(settings::key::ComPort, link);
        ScriptedDongle other(ScriptedDongle::Api);
        testPorts() = {{other.path(), QStringLiteral("USB Serial (ttyUSB1)")}};
        build();
        m_bar->tryToOpenConnection();
        QVERIFY(m_link->isOpen());
        simulator.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!m_bar->lostPort().isEmpty(), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(m_bar->portCombo()->currentText(),
                                  link + QStringLiteral(" (lost)"), 3000);
        m_bar->portCombo()->setCurrentIndex(0);
        QVERIFY(m_link->isOpen());
        QVERIFY(m_bar->lostPort().isEmpty());
        QCOMPARE(m_bar->portCombo()->currentText(), QStringLiteral("USB Serial (ttyUSB1)"));
    }

    void theDongleWindowShowsVersionOrConsole()
    {
        ScriptedDongle api(ScriptedDongle::Api);
        openOn(api);
        {
            // building the window asks the dongle nothing; showing it does
            api.peer().clearFrames();
            AdvancedConfigWindow w(m_link.get());
            QVERIFY(!w.frameField());
            QTest::qWait(20);
            QCOMPARE(api.peer().frames().count(QByteArray::fromHex("A1")), 0);
            w.show();
            QTRY_COMPARE(w.statusLabel()->text(), QStringLiteral("Dongle version : 104"));
        }
        api.version = 42;
        {
            AdvancedConfigWindow w(m_link.get());
            w.show();
            QTRY_COMPARE(w.statusLabel()->text(),
                         QStringLiteral("<font color=red>No compatible dongle found</font>"));
            QSignalSpy closing(&w, &AdvancedConfigWindow::closingWindow);
            w.move(40, 30);
            w.close();
            QCOMPARE(closing.count(), 1);
            QCOMPARE(settings::readString(settings::key::AdvConfigWinX), QStringLiteral("40"));
        }

        ScriptedDongle lora(ScriptedDongle::Lora);
        QByteArray sent;
        lora.other = [&](const QByteArray &body) {
            sent = body;
            lora.peer().write(api::buildFrame(QByteArray::fromHex("050102")));
        };
        QVERIFY(m_link->openPort(lora.path()));
        AdvancedConfigWindow w(m_link.get());
        QVERIFY(w.frameField());
        w.frameField()->setText("05 01 zz 02");
        QTest::keyClick(w.frameField(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(w.resultBox()->toPlainText(), QStringLiteral("05 01 02 "), 1000);
        QCOMPARE(sent, QByteArray::fromHex("050102"));
        w.read_conf();
        QTRY_COMPARE_WITH_TIMEOUT(sent, QByteArray::fromHex("0300"), 1000);
    }
};

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
