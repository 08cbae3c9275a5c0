#include "advancewirellesssensor.h"
#include "managewirelessdata.h"
#include "sensorfirmwaregroup.h"

#include "dialogdouble.h"
#include "manageserialport.h"
#include "messagecapture.h"
#include "simlink.h"
#include "testkit.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTimer>
#include <QtTest>
#include <memory>

using W = AdvanceWirellessSensor;

class TestAdvancedWindow : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<DialogDouble> m_dialogs;
    std::unique_ptr<MessageCapture> m_log;

    std::unique_ptr<W> window(uint16_t sn)
    {
        SensorRecord record;
        record.serial_number = sn;
        auto w = std::make_unique<W>(m_link.get(), record);
        w->show();
        QApplication::setActiveWindow(w.get());
        if (!QTest::qWaitForWindowExposed(w.get()))
            qFatal("the window never showed");
        return w;
    }
    // The grey level of the darkest pixel.
    static int darkest(const QImage &image)
    {
        int d = 255;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                d = std::min(d, qGray(image.pixel(x, y)));
        return d;
    }
    static QStringList texts(const QMenu &menu)
    {
        QStringList t;
        for (QAction *a : menu.actions())
            t << a->text();
        return t;
    }
    static QAction *entry(const QMenu &menu, const QString &text)
    {
        for (QAction *a : menu.actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }
    // A point of the table's `row` in the data widget's coordinates.
    static QPoint atRow(managewirelessdata &w, int row)
    {
        QTableView *t = w.table();
        return w.mapFromGlobal(t->viewport()->mapToGlobal(
            QPoint(t->columnWidth(0) / 2, t->rowViewportPosition(row) + t->rowHeight(row) / 2)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
    }
    void init()
    {
        m_log = std::make_unique<MessageCapture>(MessageCapture::Silent);
        m_dialogs = std::make_unique<DialogDouble>();
        QVERIFY(startSimLink(testScenario(), m_sim, m_link));
    }
    void cleanup()
    {
        m_link.reset();
        m_sim.reset();
        m_dialogs.reset();
        m_log.reset();
    }

    void readButtonShowsTheBytesAndComesBack()
    {
        auto w = window(0x1234);
        QVERIFY(w->apiGroups()->isVisible());
        QVERIFY(w->firmwareGroup() && w->firmwareGroup()->isVisible());
        // Every control has its room on a 1366 x 768 screen, below the title and task bars.
        QVERIFY(w->height() >= w->minimumSizeHint().height());
        QVERIFY(w->minimumSizeHint().height() <= 680);
        QVERIFY(w->button(W::ClearErrorOp)->height() > 10);
        w->readAddressEdit()->setText(QStringLiteral("0002"));
        const QImage channelIdle = w->button(W::ChannelOp)->grab().toImage();
        QTimer::singleShot(100, m_sim.get(), [this] { m_sim->wake(0x1234); });
        QTimer::singleShot(20, w.get(), [&w, channelIdle] {
            // While it waits: its own button interrupts, the others are held.
            QCOMPARE(w->button(W::ReadOp)->text(),
                     QStringLiteral("Wait for sensor, Press to interrupt"));
            QCOMPARE(w->button(W::ReadOp)->styleSheet(),
                     QStringLiteral("font-weight: bold;color: red"));
            QVERIFY(!w->button(W::ChannelOp)->isEnabled());
            QVERIFY(!w->button(W::WriteOp)->isEnabled());
            // Held buttons look held, and the wait's longer text does not widen the window.
            // Held buttons look held: their text is not drawn as dark as a live one's.
            QVERIFY(darkest(w->button(W::ChannelOp)->grab().toImage()) > darkest(channelIdle) + 40);
        });
        QTest::mouseClick(w->button(W::ReadOp), Qt::LeftButton);
        QCOMPARE(w->dataEdit()->text(), QStringLiteral("01 15 ff ff ff ff ff ff "));
        QCOMPARE(w->button(W::ReadOp)->text(), QStringLiteral("Read Data"));
        QVERIFY(w->button(W::ChannelOp)->isEnabled());
        QCOMPARE(darkest(w->button(W::ChannelOp)->grab().toImage()), darkest(channelIdle));

        QSignalSpy closing(w.get(), &W::closingWindow);
        QTest::keyClick(w->readAddressEdit(), Qt::Key_Escape);
        QVERIFY(w->isHidden());
        QCOMPARE(closing.count(), 1);
    }

    void pressingAgainInterruptsTheWait()
    {
        auto w = window(0x1234); // never woken
        const int width = w->width();
        QTimer::singleShot(150, w.get(), [&w, width] {
            // The wait's longer text does not widen the window.
            QCOMPARE(w->width(), width);
            QTest::mouseClick(w->button(W::ReadErrorOp), Qt::LeftButton);
        });
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(w->button(W::ReadErrorOp), Qt::LeftButton);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(!w->maintenance().isRunning());
        QCOMPARE(w->button(W::ReadErrorOp)->text(), QStringLiteral("Read error"));
        QCOMPARE(w->button(W::ReadErrorOp)->styleSheet(),
                 QStringLiteral("QPushButton:enabled { color: black; }"));
        QVERIFY(w->button(W::ReadOp)->isEnabled());
        QVERIFY(!m_log->contains(QStringLiteral("send param")));
    }

    void closingDuringAWaitEndsItAndTellsOnce()
    {
        auto w = window(0x1234);
        QSignalSpy closing(w.get(), &W::closingWindow);
        QTimer::singleShot(150, w.get(), [&w, &closing] {
            w->close();
            // Not while the operation is still on the window's stack.
            QCOMPARE(closing.count(), 0);
        });
        QTest::mouseClick(w->button(W::WriteOp), Qt::LeftButton);
        QCOMPARE(closing.count(), 1);
        QVERIFY(!w->maintenance().isRunning());
        QVERIFY(!w->isRunning(W::WriteOp));
        QTest::qWait(200);
        QCOMPARE(closing.count(), 1);
        QVERIFY(!m_log->contains(QStringLiteral("send param")));
    }

    void refusedInputStartsNothing_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<QString>("dialogText");
        QTest::addColumn<QString>("path");
        QTest::newRow("channel ~") << int(W::ChannelOp) << "Invalid channel selected"
                                   << "";
        QTest::newRow("dump, cancelled") << int(W::SaveOp) << "The file can't be opened"
                                         << "";
        QTest::newRow("dump, no such folder") << int(W::SaveOp) << "The file can't be opened"
                                              << "no/such/folder/x.hex";
        QTest::newRow("address not hex") << int(W::ReadOp) << ""
                                         << "";
    }
    void refusedInputStartsNothing()
    {
        QFETCH(int, op);
        QFETCH(QString, dialogText);
        QFETCH(QString, path);
        auto w = window(0x1234);
        w->readAddressEdit()->setText(QStringLiteral("x1"));
        if (!path.isEmpty())
            m_dialogs->answerText(path);
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(w->button(W::Op(op)), Qt::LeftButton);
        // Had it started, it would have waited for a device nobody wakes.
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(!w->isRunning(W::Op(op)));
        QVERIFY(w->button(W::ReadOp)->isEnabled());
        QVERIFY(!m_dialogs->calls.isEmpty());
        if (!dialogText.isEmpty())
            QCOMPARE(m_dialogs->calls.last().text, dialogText);
        QVERIFY(m_sim->fleet().wakeTargets().isEmpty());
    }

    void loraShowsOnlyReadsAndWrites()
    {
        QVERIFY(startSimLink(testScenario(QStringLiteral("lora-test.ini")), m_sim, m_link));
        auto w = window(0x9001);
        QVERIFY(!w->apiGroups()->isVisible());
        QVERIFY(!w->button(W::SaveOp)->isVisible());
        QVERIFY(w->button(W::WriteOp)->isVisible());
    }

    void contextMenuOpensOnlyOverTheRowsAndWhenIdle()
    {
        managewirelessdata data(m_link.get());
        data.show();
        QVERIFY(QTest::qWaitForWindowExposed(&data));
        for (uint16_t sn : {0x0100, 0x0200, 0x0300, 0x0400, 0x0500})
            QVERIFY(data.insert_sensor(sn) >= 0);
        QTableView *t = data.table();
        const QPoint below = data.mapFromGlobal(
            t->viewport()->mapToGlobal(QPoint(5, t->verticalHeader()->length() + 3)));
        const QPoint right = data.mapFromGlobal(
            t->viewport()->mapToGlobal(QPoint(t->horizontalHeader()->length() + 3, 5)));
        QVERIFY(!data.contextMenuAt(below));
        QVERIFY(!data.contextMenuAt(right));
        data.setHold(managewirelessdata::Hold::Run);
        QVERIFY(!data.contextMenuAt(atRow(data, 1)));
        data.setHold(managewirelessdata::Hold::None);
        data.setHold(managewirelessdata::Hold::Detection);
        QVERIFY(!data.contextMenuAt(atRow(data, 1)));
        data.setHold(managewirelessdata::Hold::None);
        std::unique_ptr<QMenu> menu = data.contextMenuAt(atRow(data, 1));
        QVERIFY(menu);
        QCOMPARE(texts(*menu), (QStringList{"Remove selected line(s)",
                                            "Advanced configuration of this sensor", "Plot data"}));
        // The entry row has no sensor to configure.
        QCOMPARE(texts(*data.contextMenuAt(atRow(data, 5))),
                 QStringList{"Remove selected line(s)"});

        t->clearSelection();
        for (int r : {0, 2, 4})
            t->selectionModel()->select(t->model()->index(r, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        entry(*menu, QStringLiteral("Remove selected line(s)"))->trigger();
        QCOMPARE(data.sensorRows(), 2);
        QCOMPARE(data.model().sensor(0).record.serial_number, 0x0200u);
        QCOMPARE(data.model().sensor(1).record.serial_number, 0x0400u);

        // Waveforms for power meters only: not for a logger of type 1, but for a device of
        // unknown type from 9000 up.
        QVERIFY(data.insert_sensor(0x9001) == 2);
        data.model().edit(0).record.sensor_type = 1;
        data.model().edit(2).record.sensor_type = 0;
        QVERIFY(!texts(*data.contextMenuAt(atRow(data, 0))).contains("Waveform"));
        QVERIFY(texts(*data.contextMenuAt(atRow(data, 2))).contains("Waveform"));
    }

    void accessCodeIsAskedOnceAndClosingForgetsThePaths()
    {
        managewirelessdata data(m_link.get());
        QVERIFY(data.insert_sensor(0x1234) >= 0);
        data.model().edit(0).record.relay_address = 0x8001;
        data.model().edit(0).record.rssi = 40;

        m_dialogs->answerText(QStringLiteral("7249"));
        data.open_advanced_window(0x1234);
        QVERIFY(!data.advancedWindow());
        m_dialogs->answerText(QStringLiteral("7294"));
        data.open_advanced_window(0x1234);
        QVERIFY(data.advancedWindow());
        QCOMPARE(m_dialogs->calls.size(), 2);
        QCOMPARE(m_dialogs->calls.last().title, QStringLiteral("Password"));
        QCOMPARE(m_dialogs->calls.last().text,
                 QStringLiteral("Restricted functions.<br>Please enter password."));
        QCOMPARE(data.advancedWindow()->record().relay_address, uint16_t(0x8001));

        QPointer<AdvanceWirellessSensor> first = data.advancedWindow();
        data.open_advanced_window(0x1234); // shown again: the same window
        QCOMPARE(data.advancedWindow(), first.data());
        first->close();
        QVERIFY(!data.advancedWindow());
        QTRY_VERIFY(!first);
        QCOMPARE(data.model().sensor(0).record.relay_address, uint16_t(0));
        QCOMPARE(data.model().sensor(0).record.rssi, uint8_t(0xFF));

        data.open_advanced_window(0x1234);
        QVERIFY(data.advancedWindow());
        QCOMPARE(m_dialogs->calls.size(), 2);
    }
};

QTEST_MAIN(TestAdvancedWindow)
#include "tst_advancedwindow.moc"
