#include "advancedconfigwindow.h"
#include "connectiondialog.h"
#include "dialogdouble.h"
#include "filelocations.h"
#include "frametap.h"
#include "lora_term.h"
#include "mainwindow.h"
#include "manageserialport.h"
#include "managewirelessdata.h"
#include "scripteddongle.h"
#include "settings.h"
#include "testkit.h"
#include "testports.h"

#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QtTest>
#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;

private slots:
    void initTestCase() { offerTestPorts(); } // none: only the stored port of each test
    void init() { QFile::remove(settings::FileName); }

    // The window connects to the stored port once it is up, not inside its constructor, and
    // offers what the dongle it found can do: detection and RSSI lists, or the LoRa level.
    void theStoredPortsDongleDecidesWhatTheWindowOffers_data()
    {
        QTest::addColumn<int>("kind"); // -1: no stored port
        QTest::addColumn<bool>("detection");
        QTest::newRow("802.15.4") << int(ScriptedDongle::Api) << true;
        QTest::newRow("LoRa") << int(ScriptedDongle::Lora) << false;
        QTest::newRow("no stored port") << -1 << false;
    }
    void theStoredPortsDongleDecidesWhatTheWindowOffers()
    {
        QFETCH(int, kind);
        QFETCH(bool, detection);
        std::unique_ptr<ScriptedDongle> dongle;
        if (kind >= 0) {
            dongle = std::make_unique<ScriptedDongle>(ScriptedDongle::Kind(kind));
            settings::write(settings::key::ComPort, dongle->path());
        }
        MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Tessaran v134 - Brovane"));
        QVERIFY(!w.terminal());
        QCOMPARE(w.centralWidget(), static_cast<QWidget *>(w.sensorData()));
        QVERIFY(!w.link()->isOpen());
        if (dongle)
            QTRY_VERIFY(w.link()->isOpen());
        else
            QCoreApplication::processEvents();
        managewirelessdata *data = w.sensorData();
        QCOMPARE(data->sendActionButton()->isEnabled(), bool(dongle));
        QCOMPARE(!data->detectButton()->isHidden(), detection);
        QCOMPARE(!data->rssiGroup()->isHidden(), detection);
        QCOMPARE(!data->dongleLevelLabel()->isHidden(), dongle && !detection);
        QCOMPARE(w.fileMenu()->title(), QStringLiteral("&File"));
        const QList<QAction *> file = w.fileMenu()->actions();
        QCOMPARE(file.value(0)->text(), QStringLiteral("&Plot data file..."));
        QCOMPARE(file.last()->text(), QStringLiteral("&Exit"));
        QCOMPARE(file.last()->shortcut(), QKeySequence("Ctrl+Q"));
        QCOMPARE(w.configurationMenu()->actions().value(0)->text(),
                 QStringLiteral("&Advanced Configuration"));
        if (kind == ScriptedDongle::Lora) {
            dongle->peer().write(QByteArray::fromHex("7E000311500A") + char(0xFF - 0x6B));
            QTRY_COMPARE_WITH_TIMEOUT(data->dongleLevelLabel()->text(),
                                      QStringLiteral("Dongle RSSI: -57 dbm"), 1000);
        }
    }

    void theModeComesFromTheTerminalKey_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("terminal");
        QTest::newRow("1") << QByteArray("1") << true;
        QTest::newRow("2") << QByteArray("2") << false;
    }
    void theModeComesFromTheTerminalKey()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, terminal);
        writeIni("[LORA]\nTERM=" + value + "\n");
        MainWindow w;
        QCOMPARE(w.terminal() != nullptr, terminal);
        QCOMPARE(w.sensorData() != nullptr, !terminal);
    }

    // Ctrl+Q leaves through the close sequence: the list snapshot (a new one: the last run's is
    // dropped at start), the positions and the checked folder are saved, the port closed.
    void exitSavesTheStateInNormalModeOnly()
    {
        ScriptedDongle dongle(ScriptedDongle::Api);
        settings::write(settings::key::ComPort, dongle.path());
        QFile stale(QStringLiteral("export.ini"));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("[0999]\nVbat=old\n");
        stale.close();
        {
            MainWindow w;
            QApplication::setActiveWindow(&w);
            QVERIFY(QTest::qWaitForWindowActive(&w));
            QTRY_VERIFY(w.link()->isOpen());
            w.sensorData()->insert_sensor(0x9A01);
            QVERIFY(w.sensorData()->ensure_output_folder());
            w.move(120, 80);
            QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
            QVERIFY(!w.isVisible());
            QVERIFY(!w.link()->isOpen());
        }
        QCOMPARE(settings::readString(settings::key::MainWinX), QStringLiteral("120"));
        QCOMPARE(settings::readString(settings::key::MainWinY), QStringLiteral("80"));
        QVERIFY(settings::contains(settings::key::DataWinX));
        QCOMPARE(settings::readString(settings::key::DestFolder), QDir::currentPath());
        QSettings snapshot(QStringLiteral("export.ini"), QSettings::IniFormat);
        QCOMPARE(snapshot.childGroups(), QStringList{"9A01"});
        QCOMPARE(snapshot.value("NB_SENSOR").toString(), QStringLiteral("1"));

        writeIni("[LORA]\nTERM=1\n");
        const QByteArray before = fileBytes(settings::FileName);
        {
            MainWindow w;
            w.move(10, 10);
            w.close();
        }
        QCOMPARE(fileBytes(settings::FileName), before);
    }

    void aSavedPositionIsRestoredInsideTheDesktop_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("fits") << QByteArray("[WINDOW_POS]\nMAIN_WIN_X=100\nMAIN_WIN_Y=50\n")
                              << QPoint(100, 50);
        QTest::newRow("negative") << QByteArray("[WINDOW_POS]\nMAIN_WIN_X=-5\nMAIN_WIN_Y=100\n")
                                  << QPoint(0, 0);
        QTest::newRow("not a number")
            << QByteArray("[WINDOW_POS]\nMAIN_WIN_X=abc\nMAIN_WIN_Y=30\n") << QPoint(0, 30);
    }
    void aSavedPositionIsRestoredInsideTheDesktop()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QPoint, expected);
        writeIni(ini);
        MainWindow w;
        QCOMPARE(w.pos(), expected);
    }

    void theAccessCodeGatesTheDongleWindow_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("opens");
        QTest::newRow("right") << "7294" << false << true;
        QTest::newRow("trailing space") << "7294 " << false << false;
        QTest::newRow("wrong") << "1234" << false << false;
        QTest::newRow("cancelled") << "" << true << false;
    }
    void theAccessCodeGatesTheDongleWindow()
    {
        QFETCH(QString, typed);
        QFETCH(bool, cancel);
        QFETCH(bool, opens);
        DialogDouble dialogs;
        if (!cancel)
            dialogs.answerText(typed);
        MainWindow w;
        QSignalSpy enabled(&w, &MainWindow::advancedUserModeEnabled);
        w.openAdvancedConfigWindow();
        QCOMPARE(dialogs.calls.size(), 1);
        QCOMPARE(dialogs.calls[0].title, QStringLiteral("Password"));
        QCOMPARE(dialogs.calls[0].text,
                 QStringLiteral("Restricted functions.<br>Please enter password."));
        QCOMPARE(w.advancedConfigWindow() != nullptr, opens);
        QCOMPARE(enabled.count(), opens ? 1 : 0);
        QCOMPARE(w.sensorData()->isEnabled(), !opens);
        if (opens) {
            w.advancedConfigWindow()->close();
            QVERIFY(w.sensorData()->isEnabled());
        }
    }

    void reopeningTheGateNeverLeavesTheTableDisabled()
    {
        DialogDouble dialogs;
        dialogs.answerText("7294");
        MainWindow w;
        w.openAdvancedConfigWindow();
        QVERIFY(!w.sensorData()->isEnabled());
        w.openAdvancedConfigWindow(); // the script is empty: the second dialog is cancelled
        QVERIFY(!w.advancedConfigWindow());
        QVERIFY(w.sensorData()->isEnabled());
    }

    // Started away from a folder set up by hand, the program names in its About box the user's
    // settings, the installed catalogue and icons, and the user's folder its files go to.
    void theAboutBoxTellsTheFilesInUse()
    {
        QTemporaryDir root;
        const FileLocations::Folders f{root.filePath("empty"), root.filePath("share"),
                                       root.filePath("config"), root.filePath("data")};
        QVERIFY(QDir().mkpath(f.working) && QDir().mkpath(f.data + "/icon"));
        QFile catalogue(f.data + "/sensor.ini");
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.close();
        FileLocations::use(FileLocations::resolve(f));
        DialogDouble dialogs;
        {
            MainWindow w;
            QCOMPARE(w.helpMenu()->title(), QStringLiteral("&Help"));
            QAction *about = w.helpMenu()->actions().value(0);
            QVERIFY(about);
            QCOMPARE(about->text(), QStringLiteral("&About Tessaran..."));
            about->trigger();
        }
        FileLocations::use(FileLocations());
        QCOMPARE(dialogs.titles(), QStringList{"About Tessaran"});
        const QStringList lines = dialogs.calls[0].text.split('\n');
        for (const QString &said : QStringList{
                 "Tessaran v134", "Settings: " + f.settings + "/config.ini (not there)",
                 "Sensor catalogue: " + f.data + "/sensor.ini", "Icons: " + f.data + "/icon",
                 "Working folder: " + f.working, "Output folder: " + f.output})
            QVERIFY2(lines.contains(said), qPrintable(said + " not in:\n" + lines.join('\n')));
    }

    // View > Frames opens the frames and the link's tap runs only while they are open; a log
    // file of config.ini that cannot be written is said once the window is up.
    void theFramesOpenFromTheViewMenu()
    {
        DialogDouble dialogs;
        writeIni("[LOG]\nFRAME_LOG=no-such-folder/frames.log\n");
        MainWindow w;
        QTRY_COMPARE(dialogs.titles(), QStringList{QStringLiteral("Frame log")});
        QVERIFY(dialogs.calls[0].text.contains(QStringLiteral("can't be written")));
        QAction *frames = w.viewMenu()->actions().value(0);
        QVERIFY(frames);
        QCOMPARE(frames->text(), QStringLiteral("&Frames"));
        QCOMPARE(frames->shortcut(), QKeySequence("Ctrl+Shift+F"));
        QVERIFY(!w.link()->frameTap()->active());
        frames->trigger();
        QVERIFY(w.framesDock()->isVisible());
        QVERIFY(w.link()->frameTap()->active());
        frames->trigger();
        QVERIFY(!w.framesDock()->isVisible());
        QVERIFY(!w.link()->frameTap()->active());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
