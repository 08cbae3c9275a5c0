#include "managewirelessdata.h"

#include "connectiondialog.h"
#include "customcombo.h"
#include "dialogdouble.h"
#include "fleetrows.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "page.h"
#include "scripteddongle.h"
#include "sensortablemodel.h"
#include "settings.h"
#include "testkit.h"
#include "testports.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

class TestManageWirelessData : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<managewirelessdata> m_w;
    std::unique_ptr<DialogDouble> m_dialogs;

    SensorTableView *table() const { return m_w->table(); }
    QModelIndex cell(int row, int column) const { return table()->model()->index(row, column); }
    QString text(int row, int column) const { return cell(row, column).data().toString(); }
    // Opens the cell's editor as a double click does.
    QLineEdit *editorOf(int row, int column)
    {
        table()->setCurrentIndex(cell(row, column));
        table()->edit(cell(row, column));
        for (QLineEdit *e : table()->viewport()->findChildren<QLineEdit *>())
            if (e->isVisible())
                return e;
        return nullptr;
    }
    // Shows the window, made here unless the test made it already.
    void build()
    {
        if (!m_w)
            m_w = std::make_unique<managewirelessdata>(m_link.get());
        m_w->show();
        QApplication::setActiveWindow(m_w.get());
        QVERIFY(QTest::qWaitForWindowExposed(m_w.get()));
    }
    // Types into a cell the way the operator does: open its editor, type, press Return.
    void typeInto(int row, int column, const QString &text)
    {
        QLineEdit *editor = editorOf(row, column);
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        // The delegate commits what was typed once the editor has handled the key, and a
        // refusal is told once the commit is over.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    // On the indicator: a box stretched over a whole line only reacts to its indicator and text.
    static void clickBox(QCheckBox *box)
    {
        QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(6, box->height() / 2));
    }
    void typeSerials(const QStringList &serials)
    {
        for (const QString &sn : serials)
            typeInto(table()->model()->rowCount() - 1, 0, sn);
    }
    QStringList snColumn() const
    {
        QStringList texts;
        for (int r = 0; r < table()->model()->rowCount(); ++r)
            texts << text(r, 0);
        return texts;
    }
    int answeredSensor(uint16_t sn, int type, int item)
    {
        return ::answeredSensor(m_w->model(), sn, type, item);
    }
    QString status(int row) const { return text(row, 10); }
    QColor colour(int row, int column) const
    {
        return cell(row, column).data(Qt::ForegroundRole).value<QBrush>().color();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
        offerTestPorts();
        QApplication::setFont(QFont(QStringLiteral("MS Sans Serif"), 9)); // as the program runs
    }
    void init()
    {
        QFile::remove(settings::FileName);
        QFile::remove(QStringLiteral("export.ini"));
        m_dialogs = std::make_unique<DialogDouble>();
        m_link = std::make_unique<ManageSerialPort>();
    }
    void cleanup()
    {
        m_w.reset();
        m_link.reset();
        m_dialogs.reset();
        testPorts().clear();
    }

    void typedSerialNumberIsCheckedBeforeItMakesARow_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("rows"); // SN column afterwards, entry row included
        QTest::addColumn<bool>("box");
        // which texts are refused is tst_sensorlist's: one refusal shows the box
        QTest::newRow("hexadecimal letters") << "9a01" << QStringList{"9A01", ""} << false;
        QTest::newRow("short number is padded") << "42" << QStringList{"0042", ""} << false;
        QTest::newRow("zero") << "0" << QStringList{""} << true;
    }
    void typedSerialNumberIsCheckedBeforeItMakesARow()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, rows);
        QFETCH(bool, box);
        build();
        typeInto(0, 0, typed);
        QCOMPARE(snColumn(), rows);
        QCOMPARE(m_dialogs->calls.size(), box ? 1 : 0);
        if (box) {
            QCOMPARE(m_dialogs->calls[0].title, QStringLiteral("Error SN"));
            QCOMPARE(m_dialogs->calls[0].text,
                     QStringLiteral("Serial Number must be 1 to 4 hexadecimal digits, not 0"));
            QCOMPARE(m_dialogs->calls[0].icon, QMessageBox::Critical);
        }
    }

    // The operator types a wrong number and hits Enter twice quickly: the second press arrives
    // while the "Error SN" box is up, and it and the box's own answer must leave the cell
    // editor alone (it was freed under the commit that showed the box).
    void aRefusedNumberEnteredTwiceQuicklyLeavesTheTableWhole()
    {
        build();
        m_dialogs->whileShown = [this] {
            if (QWidget *focus = QApplication::focusWidget())
                QTest::keyClick(focus, Qt::Key_Return);
            QEventLoop modal;
            QTimer::singleShot(20, &modal, &QEventLoop::quit);
            modal.exec();
        };
        QLineEdit *editor = editorOf(0, 0);
        QVERIFY(editor);
        QTest::keyClicks(editor, "xyz"); // "abc" is a serial number now
        for (int i = 0; i < 2; ++i) {
            QCoreApplication::postEvent(
                editor, new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
            QCoreApplication::postEvent(
                editor, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_dialogs->calls.size(), 1, 1000);
        QTest::qWait(50);
        QCOMPARE(m_dialogs->titles(), QStringList{"Error SN"});
        QCOMPARE(snColumn(), QStringList{""});
        typeInto(0, 0, "0042"); // the table still takes numbers
        QCOMPARE(snColumn(), (QStringList{"0042", ""}));
    }

    void typedRowsStaySortedAndEditedOnesMoveOrStay()
    {
        build();
        typeSerials({"0300", "0100", "9001", "0200", "0100"});
        QCOMPARE(snColumn(), (QStringList{"0100", "0200", "0300", "9001", ""}));
        QCOMPARE(m_dialogs->titles(), QStringList{"Error SN"});
        QCOMPARE(m_dialogs->calls[0].text, QStringLiteral("Sensor 0100 is already in the list"));
        QCOMPARE(m_dialogs->calls[0].icon, QMessageBox::Warning);
        // What a new row shows (what it holds is the model's).
        QCOMPARE(text(3, 1), QStringLiteral("Plug Relay 16A"));
        QCOMPARE(m_w->channelSelector(3)->checkedItems(),
                 (QStringList{"Voltage", "Current", "Act. Energy", "App. Energy", "Act. Pow.",
                              "App. Pow."}));
        // Nothing is sent to a sensor of unknown type: no placeholder channel, nothing waiting.
        QCOMPARE(text(0, 1), QStringLiteral("Unknown"));
        QCOMPARE(m_w->channelSelector(0)->count(), 0);
        QCOMPARE(m_w->channelSelector(0)->styleSheet(),
                 QStringLiteral("QComboBox   {  color:   black;   }"));
        QCOMPARE(m_w->periodSelector(0)->count(), 0);
        QVERIFY(m_w->modeBox(0)->isChecked());

        typeInto(2, 0, "0050");
        QCOMPARE(snColumn(), (QStringList{"0050", "0100", "0200", "9001", ""}));
        typeInto(1, 0, "0200"); // a duplicate: the row keeps its number
        QCOMPARE(snColumn(), (QStringList{"0050", "0100", "0200", "9001", ""}));
        typeInto(1, 0, "100"); // its own number: nothing to tell
        typeInto(1, 0, "xyz");
        QCOMPARE(snColumn(), (QStringList{"0050", "0100", "0200", "9001", ""}));
        QCOMPARE(m_dialogs->titles(), (QStringList{"Error SN", "Error SN", "Error SN"}));
        QCOMPARE(m_dialogs->calls[1].text, QStringLiteral("Sensor 0200 is already in the list"));
    }

    void the256thRowIsRefused()
    {
        // filled before it is shown: a shown table lays out every row as it comes
        m_w = std::make_unique<managewirelessdata>(m_link.get());
        for (int i = 1; i <= 255; ++i)
            QVERIFY(m_w->insert_sensor(uint16_t(i)) >= 0);
        build();
        QCOMPARE(table()->model()->rowCount(), 256);
        typeInto(255, 0, "0800");
        QCOMPARE(table()->model()->rowCount(), 256);
        QCOMPARE(text(255, 0), QString());
        QCOMPARE(m_dialogs->titles(), QStringList{"Sensor List Full"});
        QVERIFY(m_dialogs->calls[0].text.contains(QStringLiteral("255")));
        // Renumbering a listed sensor is still possible.
        typeInto(0, 0, "0900");
        QCOMPARE(text(254, 0), QStringLiteral("0900"));
    }

    void deleteRemovesEverySelectedRow()
    {
        build();
        typeSerials({"0100", "0200", "0300", "0400", "0500"});
        MessageCapture log(MessageCapture::Silent);
        table()->clearSelection();
        for (int r : {0, 2, 4})
            table()->selectionModel()->select(table()->model()->index(r, 0),
                                              QItemSelectionModel::Select |
                                                  QItemSelectionModel::Rows);
        m_w->setHold(managewirelessdata::Hold::Run);
        QTest::keyClick(table(), Qt::Key_Delete);
        QCOMPARE(m_w->sensorRows(), 5);
        m_w->setHold(managewirelessdata::Hold::None);
        QTest::keyClick(table(), Qt::Key_Delete);
        QCOMPARE(snColumn(), (QStringList{"0200", "0400", ""}));
        QVERIFY(log.contains(QStringLiteral("Selected Rows : ")));
        QVERIFY(log.contains(QStringLiteral("0300")));
    }

    void selectorChangesAreColouredAndCheckTheirBox()
    {
        build();
        const int known = answeredSensor(0x0100, 1, 4);
        const QString red = QStringLiteral("QComboBox   {  color:   red;   }");
        const QString blue = QStringLiteral("QComboBox   {  color:   blue;   }");

        m_w->periodSelector(known)->setCurrentIndex(7);
        QCOMPARE(m_w->periodSelector(known)->styleSheet(), red);
        QCOMPARE(status(known), QStringLiteral("Waiting for action"));
        QVERIFY(m_w->changePeriodBox()->isChecked());
        m_w->periodSelector(known)->setCurrentIndex(4); // back to what the sensor has
        QCOMPARE(m_w->periodSelector(known)->styleSheet(), blue);

        m_w->channelSelector(known)->setCheckedItems({"Temperature"});
        QCOMPARE(m_w->channelSelector(known)->styleSheet(), red);
        QVERIFY(m_w->selectChannelsBox()->isChecked());
        // Red only while the box will send it.
        clickBox(m_w->selectChannelsBox());
        QCOMPARE(m_w->channelSelector(known)->styleSheet(),
                 QStringLiteral("QComboBox   {  color:   black;   }"));
        clickBox(m_w->selectChannelsBox());
        QCOMPARE(m_w->channelSelector(known)->styleSheet(), red);
        m_w->reset_marks();
        QCOMPARE(m_w->periodSelector(known)->styleSheet(),
                 QStringLiteral("QComboBox   {  color:   black;   }"));
    }

    void actionBoxesExcludeEachOther_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("clicked");
        QTest::addColumn<QStringList>("after");
        const QStringList settingsBoxes{"time", "clear", "period", "channels"};
        QTest::newRow("download all drops every setting")
            << (settingsBoxes + QStringList{"between"}) << "all" << QStringList{"all"};
        QTest::newRow("download between drops every setting")
            << (settingsBoxes + QStringList{"all"}) << "between" << QStringList{"between"};
        QTest::newRow("set time drops the downloads")
            << QStringList{"all"} << "time" << QStringList{"time"};
        QTest::newRow("settings combine")
            << QStringList{"time", "clear", "period"} << "channels" << settingsBoxes;
        QTest::newRow("channels drop download between")
            << QStringList{"between"} << "channels" << QStringList{"channels"};
    }
    void actionBoxesExcludeEachOther()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, clicked);
        QFETCH(QStringList, after);
        build();
        const QMap<QString, QCheckBox *> boxes{
            {"time", m_w->setTimeBox()},        {"clear", m_w->clearDataBox()},
            {"period", m_w->changePeriodBox()}, {"channels", m_w->selectChannelsBox()},
            {"all", m_w->downloadAllBox()},     {"between", m_w->downloadBetweenBox()}};
        for (const QString &name : before) {
            const QSignalBlocker quiet(boxes[name]);
            boxes[name]->setChecked(true);
        }
        clickBox(boxes[clicked]);
        QStringList checked;
        for (auto it = boxes.begin(); it != boxes.end(); ++it)
            if (it.value()->isChecked())
                checked << it.key();
        after.sort();
        QCOMPARE(checked, after);
    }

    void timeAndClearBoxesMarkTheirColumns()
    {
        build();
        typeSerials({"0100", "0200"});
        clickBox(m_w->setTimeBox());
        for (int r = 0; r < 3; ++r) { // the entry row too
            QCOMPARE(colour(r, 3), QColor(Qt::red));
            QCOMPARE(status(r), QStringLiteral("Waiting for action"));
        }
        QCOMPARE(colour(0, 4), QColor(Qt::black));
        typeSerials({"0150"}); // a row added after the box waits like the others
        QCOMPARE(status(1), QStringLiteral("Waiting for action"));
        QCOMPARE(colour(1, 3), QColor(Qt::red));
        QCOMPARE(status(3), QStringLiteral("Waiting for action"));
        clickBox(m_w->clearDataBox());
        QCOMPARE(colour(1, 4), QColor(Qt::red));
        clickBox(m_w->setTimeBox());
        QCOMPARE(colour(1, 3), QColor(Qt::black));
        QCOMPARE(colour(1, 4), QColor(Qt::red));
    }

    void typedMemoryWriteAndBoxesReachTheParameterBlock()
    {
        build();
        MessageCapture log(MessageCapture::Silent);
        const int r = answeredSensor(0x0100, 1, 4);
        m_w->model().edit(r).record.relay_address = 0x9001;
        FleetModel &model = m_w->model();
        FleetModel::Selection sel;
        command::Block payload;
        typeInto(r, 12, "01F0");
        typeInto(r, 13, "a5");
        // The block goes through the sensor's relay.
        QCOMPARE(model.build_param_payload(0x0100, sel, payload), 0x9001);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(payload.data()), 6).toHex(' '),
                 QByteArray("00 13 01 f0 a5 01"));

        clickBox(m_w->selectChannelsBox());
        m_w->channelSelector(r)->setCheckedItems({"Humidity"});
        model.compute_selection(0x0100, sel);
        QCOMPARE(model.build_param_payload(0x0100, sel, payload), 0x9001);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(payload.data()), 17).toHex(' '),
                 QByteArray("40 00 00 00 00 00 00 00 00 00 00 00 00 00 02 01 00"));
        QCOMPARE(model.build_param_payload(0x0999, sel, payload), -1);
    }

    // The tick is half a second: the button of the run under way blinks with it (the run's own
    // clock, which it drives once every two, is the engine's).
    void tickShowsClockAndBlinks()
    {
        build();
        m_w->setHold(managewirelessdata::Hold::Run);
        QStringList texts;
        for (int tick = 0; tick < 16; ++tick) {
            m_w->each_sec();
            texts << m_w->sendActionButton()->text();
        }
        QCOMPARE(texts.count(QStringLiteral("Processing action, Press to interrupt")), 8);
        QCOMPARE(texts.count(QString()), 8);
        QVERIFY(QDateTime::fromString(m_w->clockLabel()->text(), "dd/MM/yyyy hh:mm:ss").isValid());
        m_w->setHold(managewirelessdata::Hold::None);
    }

    void fileThatCannotBeCreatedGetsASecondChance_data()
    {
        QTest::addColumn<bool>("secondFolderGood");
        QTest::addColumn<QString>("second"); // empty: Cancel
        QTest::newRow("operator picks a good folder") << true << "";
        QTest::newRow("both folders bad") << false << "/afile/other";
        QTest::newRow("cancelled") << false << "";
    }
    void fileThatCannotBeCreatedGetsASecondChance()
    {
        QFETCH(bool, secondFolderGood);
        QFETCH(QString, second);
        build();
        QTemporaryDir out;
        QVERIFY(QFile(out.filePath("afile")).open(QIODevice::WriteOnly));
        m_w->folder_changed(out.path() + "/afile/sub");
        const bool cancelled = !secondFolderGood && second.isEmpty();
        m_dialogs->answerText(secondFolderGood ? out.path()
                              : cancelled      ? QString()
                                               : out.path() + second);
        const int r = m_w->insert_sensor(0x0042);
        const bool made = m_w->create_data_files(0x0042);
        QCOMPARE(made, secondFolderGood);
        // Cancel writes nothing in the working folder.
        QCOMPARE(QDir::current().entryList({"0042_*.tsv"}).size(), 0);
        if (!cancelled)
            QCOMPARE(m_w->folderEdit()->text(),
                     QDir(secondFolderGood ? out.path() : out.path() + second).absolutePath());
        const QString failedIn = out.path() + (cancelled ? "/afile/sub" : second);
        if (secondFolderGood) {
            QCOMPARE(m_dialogs->titles(), QStringList{"Choose Destination folder"});
            QCOMPARE(QDir(out.path()).entryList({"0042_*.tsv"}).size(), 1);
        } else {
            QCOMPARE(m_dialogs->titles(),
                     (QStringList{"Choose Destination folder", "File Access Error"}));
            QVERIFY(m_dialogs->calls[1].text.startsWith("The file " + failedIn + "/0042_"));
            QVERIFY(m_dialogs->calls[1].text.endsWith(
                ".tsv can't be created, please verify folder settings"));
            QCOMPARE(status(r), QStringLiteral("Error Creating File"));
            QCOMPARE(colour(r, 10), QColor(Qt::red));
        }
    }

    void folderThatCannotBeMadeIsReported_data()
    {
        QTest::addColumn<QString>("chosen"); // under the temporary folder; empty: Cancel
        QTest::addColumn<QString>("named");
        QTest::newRow("another bad folder") << "/afile/b"
                                            << "/afile/b";
        // Cancel answers nothing, which must not turn into the working folder.
        QTest::newRow("cancelled") << QString() << "/afile/a";
    }
    void folderThatCannotBeMadeIsReported()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, named);
        build();
        QTemporaryDir out;
        QVERIFY(QFile(out.filePath("afile")).open(QIODevice::WriteOnly));
        m_w->folder_changed(out.path() + "/afile/a");
        m_dialogs->answerText(chosen.isEmpty() ? QString() : out.path() + chosen);
        QVERIFY(!m_w->ensure_output_folder());
        QVERIFY(!m_w->folder_checked);
        QCOMPARE(m_dialogs->titles(),
                 (QStringList{"Choose Destination folder", "Folder Creation Failed"}));
        QCOMPARE(m_dialogs->calls[1].text,
                 "The folder " + out.path() + named + " can't be created");
    }

    void aWindowThatHoldsNoSampleIsRefusedBeforeTheRun_data()
    {
        QTest::addColumn<int>("fromSecs"); // from now
        QTest::addColumn<int>("toSecs");
        QTest::addColumn<QString>("says");
        QTest::newRow("reversed") << -600 << -1200 << "is before";
        QTest::newRow("empty") << -600 << -600 << "are the same";
        QTest::newRow("future") << 3600 << 7200 << "in the future";
    }
    void aWindowThatHoldsNoSampleIsRefusedBeforeTheRun()
    {
        QFETCH(int, fromSecs);
        QFETCH(int, toSecs);
        QFETCH(QString, says);
        build();
        typeSerials({"0100"});
        clickBox(m_w->downloadBetweenBox());
        const QDateTime now = QDateTime::currentDateTime();
        m_w->fromEdit()->setDateTime(now.addSecs(fromSecs));
        m_w->toEdit()->setDateTime(now.addSecs(toSecs));
        m_w->button_send_action_clicked();
        QVERIFY(m_w->hold() == managewirelessdata::Hold::None && !m_w->session().isRunning());
        QVERIFY(m_w->actionGroup()->isEnabled());
        QCOMPARE(m_dialogs->titles(), QStringList{"Download Window"});
        QVERIFY2(m_dialogs->calls[0].text.contains(says), qPrintable(m_dialogs->calls[0].text));
        // The same dates are no fault when the window is not asked for.
        clickBox(m_w->downloadAllBox());
        QVERIFY(m_w->windowProblem().isEmpty());
    }

    // The run's own ending (files closed, the dongle told) is the engine's; here the window
    // gets its controls back, also when no run got under way.
    void endingARunGivesTheTableBack()
    {
        build();
        const int r = m_w->insert_sensor(0x0100);
        m_w->setHold(managewirelessdata::Hold::Run);
        m_w->actionGroup()->setEnabled(false);
        QVERIFY(!(cell(r, 0).flags() & Qt::ItemIsEditable));
        m_w->periodSelector(r)->setEnabled(false);
        QSignalSpy ended(m_w.get(), &managewirelessdata::button_sa_clicked);
        m_w->stop_run();
        QCOMPARE(ended.count(), 1);
        QVERIFY(m_w->hold() == managewirelessdata::Hold::None);
        QVERIFY(m_w->actionGroup()->isEnabled());
        QVERIFY(m_w->periodSelector(r)->isEnabled());
        QVERIFY(cell(r, 0).flags() & Qt::ItemIsEditable);
        QCOMPARE(m_w->sendActionButton()->text(), QStringLiteral("Send Action"));
    }

    void savedPositionIsRestoredWhenItFits_data()
    {
        QTest::addColumn<QPoint>("saved");
        QTest::addColumn<bool>("moved");
        const QSize desktop = QGuiApplication::primaryScreen()->virtualGeometry().size();
        QTest::newRow("fits") << QPoint(100, 50) << true;
        QTest::newRow("too close to the right") << QPoint(desktop.width() - 100, 50) << false;
        QTest::newRow("too close to the bottom") << QPoint(100, desktop.height() - 70) << false;
    }
    // The publisher's line sits under the table when [MQTT] is on, and nowhere when it is off.
    void theBrokersLineShowsUnderTheTableWhenPublishing()
    {
        build();
        QVERIFY(!m_w->mqttStateLabel()->isVisible());
        m_w.reset();
        settings::write(QStringLiteral("MQTT/ENABLED"), QStringLiteral("true"));
        settings::write(QStringLiteral("MQTT/HOST"), QStringLiteral("127.0.0.1"));
        settings::write(QStringLiteral("MQTT/PORT"), QStringLiteral("9")); // nobody listens
        build();
        QVERIFY(m_w->mqttStateLabel()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(
            m_w->mqttStateLabel()->text().contains(QRegularExpression(
                QStringLiteral("^MQTT: broker 127.0.0.1:9 unreachable, \\d+ messages? waiting$"))),
            20000);
    }
    void savedPositionIsRestoredWhenItFits()
    {
        QFETCH(QPoint, saved);
        QFETCH(bool, moved);
        settings::write(settings::key::DataWinX, QString::number(saved.x()));
        settings::write(settings::key::DataWinY, QString::number(saved.y()));
        m_w = std::make_unique<managewirelessdata>(m_link.get());
        QCOMPARE(m_w->pos() == saved, moved);
    }

    void selectorsIgnoreTheMouseWheelAndPopupTicksStayOpen()
    {
        build();
        const int r = answeredSensor(0x0100, 1, 4);
        CustomCombo2 *period = m_w->periodSelector(r);
        QWheelEvent wheel(QPointF(5, 5), period->mapToGlobal(QPoint(5, 5)), QPoint(),
                          QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(period, &wheel);
        QCOMPARE(period->currentIndex(), 4);

        // One click through the window, as the operator opens it: the release lands on the
        // pop-up, over an item, and must not toggle it.
        CustomCombo *channels = m_w->channelSelector(r);
        QSignalSpy changed(channels, &CheckComboBox::checkedItemsChanged);
        QTest::mouseClick(m_w->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                          channels->mapTo(m_w.get(), channels->rect().center()));
        QAbstractItemView *view = channels->view();
        QTRY_VERIFY_WITH_TIMEOUT(view->isVisible(), 1000);
        QCOMPARE(channels->checkedItems(), (QStringList{"Temperature", "Humidity"}));
        const QPoint second = view->visualRect(view->model()->index(1, 0)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, second);
        QVERIFY(view->isVisible());
        QCOMPARE(channels->checkedItems(), QStringList{"Temperature"});
        QCOMPARE(changed.count(), 1);
        QCOMPARE(channels->displayText(), QStringLiteral("Temperature"));
        channels->hidePopup();
    }

    // What the fleet knows of a field shows in the colour the table has always used for it:
    // done times and serial numbers dark green, selectors that took effect plain green,
    // waiting and failed red, confirmed blue, a low battery red.
    void marksShowInTheirColours()
    {
        FleetModel fleet;
        SensorTableModel table(&fleet);
        const int r = fleet.insert_sensor(0x0100);
        using M = FleetModel::Mark;
        using F = FleetModel::Field;
        const QColor darkGreen(0, 128, 0);
        const auto colourOf = [&](int column) {
            return table.index(r, column).data(Qt::ForegroundRole).value<QBrush>().color();
        };
        fleet.setMark(r, F::Serial, M::Done);
        fleet.setMark(r, F::Clock, M::Failed);
        fleet.setMark(r, F::Start, M::Refreshed);
        fleet.setMark(r, F::Info, M::Refreshed);
        fleet.setMark(r, F::Battery, M::Warning);
        fleet.setMark(r, F::Channels, M::Done);
        fleet.setMark(r, F::Period, M::Waiting);
        fleet.set_status(r, QStringLiteral("Download Complete"), FleetModel::Tone::Good);
        QCOMPARE(colourOf(0), darkGreen);
        QCOMPARE(colourOf(3), QColor(Qt::red));
        QCOMPARE(colourOf(4), QColor(Qt::blue));
        for (int infoColumn : {1, 2, 7, 9})
            QCOMPARE(colourOf(infoColumn), QColor(Qt::blue));
        QCOMPARE(colourOf(8), QColor(Qt::red));
        QCOMPARE(colourOf(10), darkGreen);
        QCOMPARE(colourOf(12), QColor(Qt::black));
        QCOMPARE(table.selectorTint(r, F::Channels), QColor(Qt::green));
        QCOMPARE(table.selectorTint(r, F::Period), QColor(Qt::red));
        // The entry row shows only its own marks and status.
        fleet.markWaiting(F::Start, true);
        QCOMPARE(table.index(1, 4).data(Qt::ForegroundRole).value<QBrush>().color(),
                 QColor(Qt::red));
        QCOMPARE(table.index(1, 10).data().toString(), QStringLiteral("Waiting for action"));
        QCOMPARE(table.index(1, 0).data().toString(), QString());
        QVERIFY(!(table.index(1, 0).flags() & Qt::ItemIsSelectable));
    }

    // At 1366 x 768 every column shows its header and content whole, side by side, and the
    // rows get the height: no RSSI box stands before any list arrived.
    void theTableFitsACommonScreen()
    {
        build();
        m_w->resize(1366, 700);
        typeSerials({"9A01"});
        // A clock far off shows whole, the widest text of its column.
        m_w->model().edit(0).record.sensor_clock = QDateTime(QDate(2026, 12, 6), QTime(20, 41, 7));
        m_w->model().edit(0).record.record_start = QDateTime(QDate(2026, 12, 1), QTime(8, 0, 0));
        FleetModel::Report report;
        report.clocks = true;
        m_w->model().setReport(0, report);
        QCOMPARE(text(0, 3), QStringLiteral("06/12/2026 20:41:07"));
        m_w->model().fill_period_selector(0, 4);
        const int analog = answeredSensor(0xA000, 2, 0);
        QTest::qWait(20); // the columns are fitted once the events are through
        QHeaderView *header = table()->horizontalHeader();
        for (int c = 0; c < table()->model()->columnCount(); ++c) {
            const int shown = table()->columnWidth(c);
            QVERIFY2(header->sectionSizeHint(c) <= shown, qPrintable(QString::number(c)));
            table()->resizeColumnToContents(c);
            QVERIFY2(table()->columnWidth(c) <= shown, qPrintable(QString::number(c)));
            table()->setColumnWidth(c, shown);
        }
        // The selectors take the room left: four channels show whole, the relay's six are cut
        // with an ellipsis and whole in the tooltip.
        CustomCombo *four = m_w->channelSelector(analog);
        QVERIFY2(four->width() >= four->displayWidth(), qPrintable(four->displayText()));
        CustomCombo *six = m_w->channelSelector(0);
        six->grab();
        QCOMPARE(six->toolTip(), six->displayText());
        QVERIFY(!table()->horizontalScrollBar()->isVisible());
        QVERIFY(table()->height() > 300);

        m_w->rssiGroup()->show();
        for (int i = 0; i < managewirelessdata::RssiCombos; ++i)
            QVERIFY(!m_w->rssiCombo(i)->isVisibleTo(m_w.get()));
        m_w->set_rssi_list(3, {"9001 -70"});
        QVERIFY(m_w->rssiCombo(3)->isVisibleTo(m_w.get()));
        m_w->set_rssi_list(3, {});
        QVERIFY(!m_w->rssiCombo(3)->isVisibleTo(m_w.get()));
    }

    // Export and import through the buttons; the list of the last session is back at the
    // next start. A file that is no list is told, not silently ignored.
    void theListIsSavedLoadedAndBackAtTheNextStart()
    {
        build();
        typeSerials({"0100", "9001"});
        const QString path = m_dir.filePath("saved.ini");
        m_dialogs->answerText(path);
        QTest::mouseClick(m_w->exportButton(), Qt::LeftButton);
        QCOMPARE(m_dialogs->calls.last().title, QStringLiteral("Choose Filename"));
        table()->selectAll();
        QTest::keyClick(table(), Qt::Key_Delete);
        QCOMPARE(m_w->sensorRows(), 0);
        m_dialogs->answerText(path);
        QTest::mouseClick(m_w->importButton(), Qt::LeftButton);
        QCOMPARE(snColumn(), (QStringList{"0100", "9001", ""}));

        m_dialogs->answerText(m_dir.filePath("missing.ini"));
        QTest::mouseClick(m_w->importButton(), Qt::LeftButton);
        QCOMPARE(m_dialogs->calls.last().title, QStringLiteral("Import Sensor List"));
        QVERIFY(m_dialogs->calls.last().text.contains("cannot read"));

        m_w->shutdown();
        m_w.reset();
        build();
        QCOMPARE(snColumn(), (QStringList{"0100", "9001", ""}));
    }

    // A table that holds sensors is replaced by an import only when the operator says so,
    // told which entries of the file are left out and why.
    void anImportAsksBeforeItReplacesTheTable()
    {
        build();
        typeSerials({"0100"});
        const QString path = m_dir.filePath("other.ini");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nLIST_SENSOR=\"0200;12345;0300;0200;\"\n");
        file.close();
        m_dialogs->answerText(path);
        m_dialogs->answerButton(QMessageBox::No);
        QTest::mouseClick(m_w->importButton(), Qt::LeftButton);
        QCOMPARE(snColumn(), (QStringList{"0100", ""}));
        QCOMPARE(m_dialogs->titles(), (QStringList{"Choose Filename", "Import Sensor List"}));
        QCOMPARE(m_dialogs->calls[1].icon, QMessageBox::Question);
        QCOMPARE(m_dialogs->calls[1].text,
                 QStringLiteral("The table lists 1 sensor. Replace the table with the 2 sensors "
                                "of other.ini?\n\nNot imported:\n\"12345\": Serial Number must "
                                "be 1 to 4 hexadecimal digits, not 0\n\"0200\": listed twice"));
        m_dialogs->answerText(path);
        m_dialogs->answerButton(QMessageBox::Yes);
        QTest::mouseClick(m_w->importButton(), Qt::LeftButton);
        QCOMPARE(snColumn(), (QStringList{"0200", "0300", ""}));
        QCOMPARE(m_dialogs->calls.size(), 4);
    }

    void aBusyLinkHoldsTheButtonsThatStartExchanges()
    {
        ScriptedDongle dongle(ScriptedDongle::Api);
        testPorts() = {{dongle.path(), QStringLiteral("USB Serial")}};
        build();
        m_w->connectionDialog()->tryToOpenConnection();
        QTRY_VERIFY_WITH_TIMEOUT(m_link->isOpen(), 3000);
        const QList<QPushButton *> buttons{m_w->sendActionButton(), m_w->detectButton(),
                                           m_w->importButton(), m_w->exportButton()};
        emit m_link->busyChanged(true);
        for (QPushButton *b : buttons)
            QVERIFY2(!b->isEnabled(), qPrintable(b->text()));
        // The button of the run under way stays: it is how the operator interrupts it.
        m_w->setHold(managewirelessdata::Hold::Run);
        emit m_link->busyChanged(true);
        QVERIFY(m_w->sendActionButton()->isEnabled());
        m_w->setHold(managewirelessdata::Hold::None);
        emit m_link->busyChanged(false);
        for (QPushButton *b : buttons)
            QVERIFY2(b->isEnabled(), qPrintable(b->text()));
        m_link->closePort();
        m_w->com_slot();
        QVERIFY(!m_w->sendActionButton()->isEnabled());
        QVERIFY(m_w->rssiGroup()->isHidden());
    }
};

QTEST_MAIN(TestManageWirelessData)
#include "tst_managewirelessdata.moc"
