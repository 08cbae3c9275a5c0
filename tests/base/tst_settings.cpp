#include "dialogdouble.h"
#include "filesizelimit.h"
#include "linksettings.h"
#include "messagecapture.h"
#include "settings.h"
#include "testkit.h"
#include "windowplacement.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <climits>

class TestSettings : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;

private slots:
    void init() { QFile::remove(settings::FileName); }

    void absentKeysGiveDefaults()
    {
        QCOMPARE(settings::readInt(settings::key::TimeoutBase, 40), 40);
        QCOMPARE(settings::readHex(settings::key::AddressApi, 0xFFFF), uint64_t(0xFFFF));
        QVERIFY(!QFile::exists(settings::FileName)); // reading never creates the file
        writeIni("[COM]\nADDRESS_API=1234\n[W_DATA]\nPDC_ENABLE=true\n"
                 "DEBUG_ENABLE=maybe\n[LORA]\nCONFIG2=\n");
        QCOMPARE(settings::readHex(settings::key::AddressApi, 0xFFFF), uint64_t(0x1234));
        QVERIFY(settings::readBool(settings::key::PdcEnable, false));
        QVERIFY(!settings::readBool(settings::key::DebugEnable, true));
        // present but empty replaces the default
        QCOMPARE(settings::readString(settings::key::loraConfig(2), "x"), QString());
        writeIni("[COM]\nADDRESS_API=xyz\n");
        QCOMPARE(settings::readHex(settings::key::AddressApi, 0xFFFF), uint64_t(0));
    }

    // A number is taken only when it is decimal text in the range its key can be used in;
    // anything else is the default, said once with the key and the text.
    void numbersOutsideTheirUseFallBackToTheDefault_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("expected");
        using namespace settings;
        QTest::newRow("position, lowest int")
            << key::DataWinX << QByteArray("-2147483648") << INT_MIN;
        QTest::newRow("position past int") << key::MainWinX << QByteArray("2147483648") << 7;
        QTest::newRow("terminal 4294967297") << key::LoraTerm << QByteArray("4294967297") << 7;
        QTest::newRow("terminal 2") << key::LoraTerm << QByteArray("2") << 7;
        QTest::newRow("terminal 1") << key::LoraTerm << QByteArray(" 1 ") << 1;
        QTest::newRow("preamble 10000000") << key::PreambleWakeUp << QByteArray("10000000") << 7;
        QTest::newRow("preamble 255") << key::PreambleWakeUp << QByteArray("255") << 255;
        QTest::newRow("preamble -1") << key::PreambleNormal << QByteArray("-1") << 7;
        QTest::newRow("base abc") << key::TimeoutBase << QByteArray("abc") << 7;
        QTest::newRow("base empty") << key::TimeoutBase << QByteArray("") << 7;
        QTest::newRow("base 0") << key::TimeoutBase << QByteArray("0") << 7;
        QTest::newRow("base 12.5") << key::TimeoutBase << QByteArray("12.5") << 7;
        QTest::newRow("rate 0") << key::BaudRadio << QByteArray("0") << 7;
        QTest::newRow("rate 1000000") << key::BaudRadio << QByteArray("1000000") << 1000000;
        QTest::newRow("coefficient -3") << key::TimeoutCoeffOver4 << QByteArray("-3") << 7;
    }
    void numbersOutsideTheirUseFallBackToTheDefault()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, text);
        QFETCH(int, expected);
        const QStringList path = key.split('/');
        writeIni("[" + path[0].toLatin1() + "]\n" + path[1].toLatin1() + "=" + text + "\n");
        MessageCapture capture;
        QCOMPARE(settings::readInt(key, 7), expected);
        QCOMPARE(capture.count(key), expected == 7 ? 1 : 0);
    }

    void aMalformedFileReadsAsEmpty()
    {
        writeIni(QByteArray("\xff\xfe[[[\n=\n\0\0garbage", 17));
        QCOMPARE(settings::readInt(settings::key::TimeoutBase, 40), 40);
        QCOMPARE(settings::readString(settings::key::ComPort, "none"), QStringLiteral("none"));
    }

    void positionsAreWrittenAsDecimalText()
    {
        settings::write(settings::key::MainWinX, QString::number(-12));
        QFile f(settings::FileName);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains("MAIN_WIN_X=-12"));
        QCOMPARE(settings::readInt(settings::key::MainWinX, 0), -12);
    }

    // A full disk: the write fails and says so, once per file, and the old file stays whole.
    void aSettingThatCannotBeWrittenIsTold()
    {
        QVERIFY(settings::write(settings::key::ComPort, QStringLiteral("ttyUSB0")));
        const qint64 before = QFileInfo(settings::FileName).size();
        DialogDouble dialogs;
        MessageCapture log(MessageCapture::Silent);
        {
            const FileSizeLimit full(before + 8);
            QVERIFY(!Dialogs::saveSetting(nullptr, settings::key::DestFolder,
                                          QStringLiteral("/a/folder/with/a/long/name")));
            QWidget window;
            window.move(40, 50);
            QVERIFY(!saveWindowPosition(&window, settings::key::MainWinX,
                                        settings::key::MainWinY));
            Dialogs::notSaved(nullptr, QStringLiteral("The window's position"),
                              settings::FileName);
        }
        QCOMPARE(dialogs.titles(), QStringList{"Settings Not Saved"});
        QVERIFY(dialogs.calls[0].text.startsWith(
            settings::key::DestFolder + " could not be written to " +
            QFileInfo(settings::FileName).absoluteFilePath()));
        QCOMPARE(log.count(QStringLiteral("could not be written")), 2);
        QCOMPARE(settings::readString(settings::key::ComPort), QStringLiteral("ttyUSB0"));
    }

    // The collector's --config: a file elsewhere, read without moving the working folder.
    void aStoreReadsTheFileItIsBuiltFrom()
    {
        QVERIFY(settings::write(settings::key::TimeoutBase, 40));
        QTemporaryDir other;
        const settings::Store store(other.filePath(QStringLiteral("site.ini")));
        QVERIFY(store.write(settings::key::TimeoutBase, 75));
        QCOMPARE(store.readInt(settings::key::TimeoutBase, 0), 75);
        QCOMPARE(settings::readInt(settings::key::TimeoutBase, 0), 40);
        QCOMPARE(LinkSettings::load(store).timeoutBase, 75);
        settings::use(store.path());
        QCOMPARE(settings::readInt(settings::key::TimeoutBase, 0), 75);
        settings::use(settings::FileName);
        QCOMPARE(settings::readInt(settings::key::TimeoutBase, 0), 40);
    }

    void loraDefaultsAreTheStoredTexts()
    {
        QCOMPARE(settings::defaults::loraConfigText(0), QStringLiteral("106C566693640453000000"));
        QCOMPARE(settings::defaults::loraConfigText(2), QStringLiteral("100000000000000031c500"));
        QCOMPARE(settings::defaults::loraConfigText(5), QStringLiteral("10000000000000001FFF00"));
        QVERIFY(settings::defaults::loraConfigText(6).isEmpty());
        QCOMPARE(settings::key::loraConfig(9), QStringLiteral("LORA/CONFIG9"));
    }

    void restoredPositionsStayOnTheDesktop_data()
    {
        QTest::addColumn<bool>("hasSaved");
        QTest::addColumn<QPoint>("saved");
        QTest::addColumn<QPoint>("current");
        QTest::addColumn<bool>("full");
        QTest::addColumn<QPoint>("expected");
        const QPoint sys(50, 60);
        // desktop 1920x1080, main window margins 600/400
        QTest::newRow("fits") << true << QPoint(100, 200) << sys << true << QPoint(100, 200);
        QTest::newRow("no keys") << false << QPoint() << sys << true << sys;
        QTest::newRow("negative") << true << QPoint(-5, 200) << sys << true << QPoint(0, 0);
        QTest::newRow("too far right keeps system place")
            << true << QPoint(1320, 10) << sys << true << sys;
        QTest::newRow("just fits") << true << QPoint(1319, 679) << sys << true << QPoint(1319, 679);
        QTest::newRow("system place off screen")
            << false << QPoint() << QPoint(1500, 10) << true << QPoint(0, 0);
        QTest::newRow("system place negative")
            << false << QPoint() << QPoint(-1, 10) << true << QPoint(0, 0);
        // the sensor data widget: margins 100/70, no negative test, no later checks
        QTest::newRow("widget negative applied")
            << true << QPoint(-30, 10) << sys << false << QPoint(-30, 10);
        QTest::newRow("widget too far") << true << QPoint(1820, 10) << sys << false << sys;
        // the extremes of an int: far off the desktop, never an overflow
        QTest::newRow("lowest int")
            << true << QPoint(INT_MIN, INT_MIN) << sys << false << QPoint(INT_MIN, INT_MIN);
        QTest::newRow("highest int") << true << QPoint(INT_MAX, 10) << sys << false << sys;
        QTest::newRow("highest int, full") << true << QPoint(INT_MAX, 10) << sys << true << sys;
    }
    void restoredPositionsStayOnTheDesktop()
    {
        QFETCH(bool, hasSaved);
        QFETCH(QPoint, saved);
        QFETCH(QPoint, current);
        QFETCH(bool, full);
        QFETCH(QPoint, expected);
        const WindowMargins m = full ? margins::MainWindow : margins::SensorDataWidget;
        QCOMPARE(restoredWindowPosition(hasSaved, saved, current, QSize(1920, 1080), m), expected);
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
