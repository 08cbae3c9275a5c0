#include "plug_waveform.h"

#include "dialogs.h"
#include "filelocations.h"
#include "pictureexport.h"
#include "plot.h"
#include "settings.h"
#include "waveformcapture.h"
#include "windowplacement.h"

#include <QCloseEvent>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace
{
constexpr int CloseTickMs = 100;
} // namespace

plug_waveform::plug_waveform(ManageSerialPort *link, uint16_t address, const SensorType &type,
                             QWidget *parent)
    : QWidget(parent, Qt::Window), m_capture(new WaveformCapture(link, address, type, this)),
      m_plot(new Plot(address)), m_group(new QGroupBox), m_voltage(new QLabel),
      m_apparent(new QLabel), m_current(new QLabel), m_active(new QLabel),
      m_export(new QPushButton(tr("Export as image file"))),
      m_pause(new QPushButton(QIcon(FileLocations::current().icon(QStringLiteral("pause.png"))),
                              tr("&Pause Refresh")))
{
    setWindowIcon(QIcon(FileLocations::current().icon(QStringLiteral("waveform.png"))));
    setWindowTitle(tr("Waveforms"));
    setWindowModality(Qt::ApplicationModal);
    setMinimumSize(600, 400);

    auto *values = new QGridLayout;
    values->addWidget(m_voltage, 0, 0);
    values->addWidget(m_apparent, 1, 0);
    values->addWidget(m_current, 0, 1);
    values->addWidget(m_active, 0, 2);
    auto *inner = new QVBoxLayout(m_group);
    inner->setContentsMargins(0, 0, 0, 0);
    inner->addWidget(m_plot, 1);
    inner->addLayout(values);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_export);
    buttons->addWidget(m_pause);
    auto *outer = new QVBoxLayout(this);
    outer->addWidget(m_group, 1);
    outer->addLayout(buttons);

    connect(m_pause, &QPushButton::clicked, this, &plug_waveform::switchPauseRefresh);
    connect(m_export, &QPushButton::clicked, this, &plug_waveform::export_file);
    connect(m_capture, &WaveformCapture::updated, this, &plug_waveform::showResults);

    restoreWindowPosition(this, settings::key::WaveformWinX, settings::key::WaveformWinY,
                          margins::WaveformWindow);
    show();
    // Queued: whoever created the window connects waveformClosed() before the cycle, which
    // runs until the window closes, takes over.
    QMetaObject::invokeMethod(this, &plug_waveform::startAcquisition, Qt::QueuedConnection);
}

plug_waveform::~plug_waveform() = default;

void plug_waveform::startAcquisition()
{
    if (m_closeTimer || m_capture->paused())
        return;
    m_capture->start();
}

void plug_waveform::showResults()
{
    const waveform::Labels &l = m_capture->labels();
    m_voltage->setText(l.voltage);
    m_current->setText(l.current);
    m_active->setText(l.activePower);
    m_apparent->setText(l.apparentPower);
    m_plot->setTraces(m_capture->timeValues(), m_capture->displayedVoltage(),
                      m_capture->displayedCurrent(), m_capture->sampleCount(),
                      m_capture->currentRange());
}

void plug_waveform::switchPauseRefresh()
{
    if (m_closeTimer)
        return;
    if (!m_capture->paused()) {
        m_capture->setPaused(true);
        m_pause->setIcon(QIcon(FileLocations::current().icon(QStringLiteral("play.png"))));
        m_pause->setText(tr("&Refresh Again"));
        return;
    }
    m_pause->setIcon(QIcon(FileLocations::current().icon(QStringLiteral("pause.png"))));
    m_pause->setText(tr("&Pause Refresh"));
    // A cycle still finishing keeps going instead: start() only lifts the pause then.
    m_capture->start();
}

void plug_waveform::export_file()
{
    exportPicture(this, m_group);
}

void plug_waveform::close_window()
{
    qDebug() << QStringLiteral("timeout close");
    // Not only the busy flag: the capture request that opens a cycle is not busy, yet the
    // cycle runs inside this window's call and needs it alive until it returns.
    if (m_capture->busy() || m_capture->running())
        return;
    m_closeTimer->stop();
    close();
}

void plug_waveform::closeEvent(QCloseEvent *event)
{
    if (m_closeTimer) {
        hide();
        emit waveformClosed();
        event->accept();
        return;
    }
    event->ignore();
    m_capture->stop();
    QFile::copy(settings::path(), settings::path() + QStringLiteral(".old"));
    rememberWindowPosition(this, settings::key::WaveformWinX, settings::key::WaveformWinY);
    qDebug() << QStringLiteral("timeout close window started");
    m_closeTimer = new QTimer(this);
    connect(m_closeTimer, &QTimer::timeout, this, &plug_waveform::close_window);
    m_closeTimer->start(CloseTickMs);
}
