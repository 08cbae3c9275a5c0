#include "mainwindow.h"
#include "fleethealthwindow.h"
#include "healthsettings.h"

#include "advancedconfigwindow.h"
#include "connectiondialog.h"
#include "dataplotwindow.h"
#include "dialogs.h"
#include "filelocations.h"
#include "framelog.h"
#include "frameview.h"
#include "lora_term.h"
#include "manageserialport.h"
#include "managewirelessdata.h"
#include "settings.h"
#include "windowplacement.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDockWidget>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>

namespace
{
QIcon iconFile(const QString &name)
{
    const QString path = FileLocations::current().icon(name);
    return QFile::exists(path) ? QIcon(path) : QIcon();
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_link(new ManageSerialPort),
      m_frameLog(new FrameLog(m_link->frameTap(), this))
{
    setWindowTitle(QStringLiteral("Tessaran v%1 - Brovane").arg(Version));
    restoreWindowPosition(this, settings::key::MainWinX, settings::key::MainWinY,
                          margins::MainWindow);

    m_fileMenu = menuBar()->addMenu(tr("&File"));
    QAction *plotData = m_fileMenu->addAction(tr("&Plot data file..."));
    connect(plotData, &QAction::triggered, this, &MainWindow::openDataPlot);
    m_fileMenu->addSeparator();
    QAction *exit = m_fileMenu->addAction(iconFile(QStringLiteral("exit.png")), tr("&Exit"));
    exit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    // Leaving goes through the close sequence (the list snapshot, the positions, the folder);
    // the program ends with its last window.
    connect(exit, &QAction::triggered, this, &QWidget::close);
    m_configMenu = menuBar()->addMenu(tr("&Configuration"));
    QAction *advanced = m_configMenu->addAction(iconFile(QStringLiteral("tools.png")),
                                                tr("&Advanced Configuration"));
    connect(advanced, &QAction::triggered, this, &MainWindow::openAdvancedConfigWindow);
    m_helpMenu = menuBar()->addMenu(tr("&Help"));
    QAction *about = m_helpMenu->addAction(tr("&About Tessaran..."));
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);

    // The frames of the line, for diagnosis: the dock is watched only while it is open.
    m_frameView = new FrameView(m_frameLog);
    m_framesDock = new QDockWidget(tr("Frames"), this);
    m_framesDock->setObjectName(QStringLiteral("frames"));
    m_framesDock->setWidget(m_frameView);
    addDockWidget(Qt::BottomDockWidgetArea, m_framesDock);
    m_framesDock->hide();
    m_viewMenu = menuBar()->addMenu(tr("&View"));
    QAction *frames = m_framesDock->toggleViewAction();
    frames->setText(tr("&Frames"));
    frames->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+F")));
    m_viewMenu->addAction(frames);
    connect(frames, &QAction::toggled, m_frameLog, &FrameLog::setWatched);
    // The table and the terminal keep the room they need (a laptop's 768 lines leave none
    // under them): the frames come as a window of their own over the lower part of the screen,
    // which the operator may dock under or beside them.
    m_framesDock->setFloating(true);
    connect(frames, &QAction::toggled, this, [this](bool shown) {
        if (!shown)
            return;
        if (!m_framesPlaced && m_framesDock->isFloating()) {
            m_framesPlaced = true;
            const QScreen *screen = this->screen();
            const QRect room = screen ? screen->availableGeometry() : geometry();
            const int h = qMin(room.height() / 2, 480);
            m_framesDock->setGeometry(room.x(), room.bottom() + 1 - h, qMin(room.width(), 1366), h);
        }
        m_frameView->setFocus();
    });

    if (settings::contains(settings::key::LoraTerm))
        qDebug() << QStringLiteral("lora term");
    if (settings::readInt(settings::key::LoraTerm, 0) == 1) {
        m_terminal = new lora_term(m_link);
        setCentralWidget(m_terminal);
    } else {
        m_sensorData = new managewirelessdata(m_link);
        setCentralWidget(m_sensorData);
        QAction *health = m_viewMenu->addAction(tr("Fleet &health..."));
        health->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+H")));
        connect(health, &QAction::triggered, this, &MainWindow::showFleetHealth);
    }
    // The table is what the operator works in: give it the room the screen has, up to a size
    // where its columns and the rows of a usual fleet are all visible.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect room = screen->availableGeometry();
        // Columns widen to what sensors report (type names, channel lists): leave them room.
        const int wanted = m_sensorData ? m_sensorData->sizeHint().width() + 160 : width();
        resize(qMax(width(), qMin(wanted, room.width() - 20)),
               qMax(height(), qMin(860, room.height() - 60)));
    }
    show();
    // Opened before the connection, so that the dongle's identification is in the file too.
    if (!m_frameLog->openConfigured(settings::current()))
        QTimer::singleShot(
            0, this, [this] { Dialogs::warning(this, tr("Frame log"), m_frameLog->fileError()); });
    // Connecting is an exchange with waits that process events: it starts once the window is
    // up, never inside the constructor.
    if (m_sensorData)
        QTimer::singleShot(0, m_sensorData->connectionDialog(), &ConnectionDialog::openAtStart);
}

DataPlotWindow *MainWindow::openDataPlot()
{
    const QString folder = m_sensorData ? m_sensorData->outputDir().absolutePath() : QString();
    const QString path = Dialogs::current().openFileName(this, tr("Plot data file"), folder,
                                                         tr("Data files (*.tsv)"));
    if (path.isEmpty())
        return nullptr;
    auto *window = new DataPlotWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (!window->load(path)) {
        delete window;
        return nullptr;
    }
    window->show();
    return window;
}

QString MainWindow::aboutText() const
{
    const FileLocations &files = FileLocations::current();
    QStringList lines{QStringLiteral("Tessaran v%1").arg(Version), QString()};
    lines << files.describe();
    if (m_sensorData)
        lines << QStringLiteral("Output folder: ") + m_sensorData->outputDir().absolutePath();
    if (!files.problems().isEmpty())
        lines << QString() << files.problems();
    return lines.join(QLatin1Char('\n'));
}

void MainWindow::showFleetHealth()
{
    if (!m_sensorData)
        return;
    if (!m_sensorData->journal().isOpen()) {
        Dialogs::warning(this, tr("Fleet health"), m_sensorData->journal().errorText());
        return;
    }
    if (!m_healthWindow) {
        m_healthWindow = new FleetHealthWindow(&m_sensorData->journal(), health::loadThresholds(),
                                               this);
        m_healthWindow->setWindowFlag(Qt::Window);
        m_healthWindow->setWindowTitle(tr("Fleet health"));
        m_healthWindow->resize(1000, 620);
    } else {
        m_healthWindow->reload();
    }
    // The sensor the operator is on, when the journal knows it.
    if (const uint32_t sn = m_sensorData->currentSerialNumber())
        m_healthWindow->setSensor(uint16_t(sn));
    m_healthWindow->show();
    m_healthWindow->raise();
    m_healthWindow->activateWindow();
}

void MainWindow::showAbout()
{
    Dialogs::information(this, tr("About Tessaran"), aboutText());
}

MainWindow::~MainWindow()
{
    delete m_advanced;
    // The central widget goes with the window; the link outlives everything that points to it.
    delete takeCentralWidget();
    // The log lets go of the link's tap, so it goes first.
    delete m_frameView;
    delete m_frameLog;
    delete m_link;
}

void MainWindow::openAdvancedConfigWindow()
{
    if (m_advanced) {
        delete m_advanced;
        m_advanced = nullptr;
        // The deleted window never said it closed: give the table back to the operator.
        if (m_sensorData)
            m_sensorData->setEnabled(true);
    }
    if (!Dialogs::askAccessCode(this))
        return;
    m_advanced = new AdvancedConfigWindow(m_link);
    // The dongle window alone does not keep the program running once the main window closed.
    m_advanced->setAttribute(Qt::WA_QuitOnClose, false);
    emit advancedUserModeEnabled();
    if (m_sensorData)
        m_sensorData->setDisabled(true);
    m_advanced->show();
    connect(m_advanced, &AdvancedConfigWindow::closingWindow, this,
            &MainWindow::returnFromAdvConfig);
}

void MainWindow::returnFromAdvConfig()
{
    if (m_sensorData)
        m_sensorData->setEnabled(true);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (!m_sensorData)
        return;
    qDebug() << QStringLiteral("quit");
    m_sensorData->shutdown();
    rememberWindowPosition(this, settings::key::MainWinX, settings::key::MainWinY);
    if (m_link->isOpen())
        m_link->closePort();
}
