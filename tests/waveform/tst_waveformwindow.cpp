// The waveform window against a simulated power meter: what it shows, pausing, closing in
// every state, and the exported image.
#include "plug_waveform.h"

#include "dialogdouble.h"
#include "plot.h"
#include "settings.h"
#include "simlink.h"
#include "waveformcapture.h"

#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QtTest>
#include <functional>
#include <qwt_plot_curve.h>

class TestWaveformWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<sim::Simulator> m_sim;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<plug_waveform> m_window;
    std::unique_ptr<QSignalSpy> m_closed;

    void open()
    {
        SensorType type = SensorType::unknown();
        m_window = std::make_unique<plug_waveform>(m_link.get(), 0x9001, type);
        m_closed = std::make_unique<QSignalSpy>(m_window.get(), &plug_waveform::waveformClosed);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
        QVERIFY(startSimLink(meterScenario(), m_sim, m_link));
    }
    void cleanup()
    {
        m_closed.reset();
        m_window.reset();
    }

    // The cycle runs nested in the event loop until paused: a test acts from inside it, on
    // the first update after this call.
    void onNextUpdate(std::function<void()> act)
    {
        auto *once = new QObject(m_window.get());
        connect(&m_window->capture(), &WaveformCapture::updated, once, [once, act] {
            delete once;
            act();
        });
    }

    void showsTheMeterValuesExportsAndClosesAfterTheCycle()
    {
        open();
        DialogDouble dialogs;
        const QString png = m_dir.filePath(QStringLiteral("wave.png"));
        dialogs.answerText(m_dir.filePath(QStringLiteral("wave"))); // the suffix is added
        QCOMPARE(m_window->plot()->title().text(), QStringLiteral("Waveforms Module 9001"));
        QStringList texts;
        bool visibleAfterClose = false;
        QElapsedTimer sinceClose;
        onNextUpdate([&] {
            // The labels and the plot are filled once this update's slots have run.
            QTimer::singleShot(0, m_window.get(), [&] {
                texts << m_window->voltageLabel()->text() << m_window->currentLabel()->text()
                      << m_window->activePowerLabel()->text()
                      << m_window->apparentPowerLabel()->text();
                QTest::mouseClick(m_window->exportButton(), Qt::LeftButton);
                m_window->close();
                sinceClose.start();
                visibleAfterClose = m_window->isVisible() && m_closed->isEmpty();
            });
        });
        QTRY_COMPARE_WITH_TIMEOUT(m_closed->count(), 1, 10000);
        // The capture request's pauses (1.1 s) end with the close, not after it: what is left
        // is the window's 100 ms close tick (a loaded machine given room).
        QVERIFY2(sinceClose.elapsed() <= 500, qPrintable(QString::number(sinceClose.elapsed())));
        QCOMPARE(texts, (QStringList{"<b>Voltage RMS</b> :  230.00 <b>V</b>",
                                     "<b>Current RMS</b> : 5.020 <b>A</b>",
                                     "<b>Active Power</b> : 996.0 <b>W</b>",
                                     "<b>Apparent Power</b> :  1156.0 <b>VA</b>"}));
        QCOMPARE(m_window->plot()->axisInterval(QwtPlot::yRight).maxValue(), 10.0);
        QCOMPARE(int(m_window->plot()->voltageCurve()->dataSize()), 140);
        // A close during the cycle is deferred until its capture request has ended.
        QVERIFY(visibleAfterClose);
        QVERIFY(!m_window->capture().running());
        QVERIFY(!m_window->isVisible());
        QCOMPARE(settings::readInt(settings::key::WaveformWinX, -1), m_window->x());
        QCOMPARE(dialogs.calls.value(0).title, QStringLiteral("Nom du fichier"));
        const QImage image(png);
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), m_window->groupBox()->size());
    }

    void pausesResumesAndClosesWhilePaused()
    {
        open();
        onNextUpdate([&] { QTest::mouseClick(m_window->pauseButton(), Qt::LeftButton); });
        QTRY_VERIFY_WITH_TIMEOUT(m_window->capture().acquisitions() >= 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->capture().running(), 5000);
        QCOMPARE(m_window->pauseButton()->text(), QStringLiteral("&Refresh Again"));
        const int done = m_window->capture().acquisitions();
        QTest::qWait(1500); // a cycle takes longer than this
        QCOMPARE(m_window->capture().acquisitions(), done);

        // Resumed, the cycle runs inside the click.
        onNextUpdate([&] { QTest::mouseClick(m_window->pauseButton(), Qt::LeftButton); });
        QTest::mouseClick(m_window->pauseButton(), Qt::LeftButton);
        QCOMPARE(m_window->capture().acquisitions(), done + 1);
        QVERIFY(!m_window->capture().running());
        QCOMPARE(m_window->pauseButton()->text(), QStringLiteral("&Refresh Again"));

        // Paused, nothing holds the close back: the first tick closes.
        QElapsedTimer clock;
        clock.start();
        m_window->close();
        QTRY_COMPARE_WITH_TIMEOUT(m_closed->count(), 1, 1000);
        QVERIFY(clock.elapsed() < 1000);
    }

    // Last: once the application was told to quit, every later wait ends at once.
    void quittingEndsTheCycle()
    {
        open();
        onNextUpdate([&] { QTimer::singleShot(0, qApp, &QCoreApplication::quit); });
        QTRY_VERIFY_WITH_TIMEOUT(m_window->capture().acquisitions() >= 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->capture().running(), 2000);
        QVERIFY(!m_window->capture().busy());
        m_window->close();
        QTRY_COMPARE_WITH_TIMEOUT(m_closed->count(), 1, 1000);
    }
};

QTEST_MAIN(TestWaveformWindow)
#include "tst_waveformwindow.moc"
