#include "advancedconfigwindow.h"

#include "dialogs.h"
#include "filelocations.h"
#include "hextext.h"
#include "loraframe.h"
#include "manageserialport.h"
#include "settings.h"
#include "windowplacement.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

AdvancedConfigWindow::AdvancedConfigWindow(ManageSerialPort *link, QWidget *parent)
    : QWidget(parent), m_link(link), m_status(new QLabel(QStringLiteral(" ")))
{
    restoreWindowPosition(this, settings::key::AdvConfigWinX, settings::key::AdvConfigWinY,
                          margins::DongleConfigWindow);
    setWindowIcon(QIcon(FileLocations::current().icon(QStringLiteral("simCard.png"))));
    setWindowTitle(QStringLiteral("Castrimo - Advanced Configuration"));
    setWindowModality(Qt::ApplicationModal);
    setMinimumWidth(400);

    auto *layout = new QVBoxLayout(this);
    if (m_link->isOpen() && m_link->linkMode() == ManageSerialPort::Api802154) {
        auto *group = new QGroupBox(QStringLiteral("Update Dongle Firmware"));
        auto *g = new QVBoxLayout(group);
        m_upload = new QPushButton(QStringLiteral("Upload file to dongle"));
        m_progress = new QProgressBar;
        m_progress->setFormat(QStringLiteral("%v/%m"));
        m_progress->hide();
        m_version = new QLabel;
        m_version->hide();
        g->addWidget(m_upload);
        g->addWidget(m_status);
        g->addWidget(m_progress);
        g->addWidget(m_version);
        layout->addWidget(group);
        connect(m_upload, &QPushButton::clicked, this, &AdvancedConfigWindow::sendFirm);
        connect(m_link, &ManageSerialPort::uploadProgress, this,
                &AdvancedConfigWindow::showProgress);
        // No upload while another exchange holds the link (the version read at opening).
        connect(m_link, &ManageSerialPort::busyChanged, m_upload,
                [this](bool busy) { m_upload->setEnabled(!busy); });
    } else if (m_link->isOpen() && m_link->linkMode() == ManageSerialPort::Lora) {
        auto *send = new QGroupBox(QStringLiteral("Send Frame to lora dongle"));
        auto *s = new QVBoxLayout(send);
        m_frame = new QLineEdit;
        auto *sendButton = new QPushButton(QStringLiteral("Send Frame"));
        s->addWidget(m_frame);
        s->addWidget(sendButton);
        auto *read = new QGroupBox(QStringLiteral("Read Lora Dongle config"));
        auto *r = new QVBoxLayout(read);
        auto *readButton = new QPushButton(QStringLiteral("Read config"));
        r->addWidget(readButton);
        auto *result = new QGroupBox(QStringLiteral("Result"));
        auto *rl = new QVBoxLayout(result);
        m_result = new QTextEdit;
        rl->addWidget(m_result);
        layout->addWidget(send);
        layout->addWidget(read);
        layout->addWidget(result);
        connect(sendButton, &QPushButton::clicked, this, &AdvancedConfigWindow::write_conf);
        connect(m_frame, &QLineEdit::returnPressed, this, &AdvancedConfigWindow::write_conf);
        connect(readButton, &QPushButton::clicked, this, &AdvancedConfigWindow::read_conf);
        connect(m_link, &ManageSerialPort::new_frame, this, &AdvancedConfigWindow::new_frame);
    }
    // Only the 802.15.4 window shows the status line; the others still own it.
    if (!m_status->parent()) {
        m_status->setParent(this);
        m_status->hide();
    }
    resize(minimumSizeHint());
}

void AdvancedConfigWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The version read is an exchange that processes events for up to a second and a half: it
    // runs once the window is up, never while it is being built.
    if (!m_versionAsked) {
        m_versionAsked = true;
        QTimer::singleShot(0, this, &AdvancedConfigWindow::readVersion);
    }
}

void AdvancedConfigWindow::readVersion()
{
    if (!m_link->isOpen() || m_link->linkMode() != ManageSerialPort::Api802154)
        return;
    m_status->setText(versionText());
}

QString AdvancedConfigWindow::versionText()
{
    const int version = m_link->readDongleVersion();
    if (version < CompatibleVersion)
        return QStringLiteral("<font color=red>No compatible dongle found</font>");
    return QStringLiteral("Dongle version : %1").arg(version);
}

void AdvancedConfigWindow::sendFirm()
{
    if (!m_upload || m_uploading)
        return;
    const QString fileName = Dialogs::current().openFileName(
        this, QStringLiteral("Choose Filename"), settings::readString(settings::key::DongleSrecDir),
        QStringLiteral("*.srec"));
    if (fileName.isEmpty())
        return;
    Dialogs::saveSetting(this, settings::key::DongleSrecDir, fileName);
    connect(m_link, &ManageSerialPort::update_program_status, this,
            &AdvancedConfigWindow::update_status_line, Qt::UniqueConnection);
    m_uploading = true;
    m_version->hide();
    m_progress->setRange(0, 0);
    m_progress->show();

    // The waits below process events: the main window may delete this one meanwhile.
    QPointer<AdvancedConfigWindow> self(this);
    ManageSerialPort *link = m_link;
    link->uploadDongleFirmware(fileName);
    // Whatever happened, the link goes back to the port the program uses, at its own settings,
    // so the dongle (updated or not) is usable again without restarting the program.
    link->closePort();
    if (settings::contains(settings::key::ComPort))
        link->openPort(settings::readString(settings::key::ComPort));
    if (!self)
        return;
    m_uploading = false;
    m_progress->hide();
    if (isVisible()) {
        const QString version = versionText();
        if (!self)
            return;
        m_version->setText(version);
        m_version->show();
    }
}

void AdvancedConfigWindow::showProgress(int line, int lines)
{
    m_progress->setRange(0, lines);
    m_progress->setValue(line);
}

void AdvancedConfigWindow::write_conf()
{
    if (m_frame)
        m_link->sendApiFrame(QByteArray::fromHex(m_frame->text().toLatin1()), 1);
}

void AdvancedConfigWindow::read_conf()
{
    m_link->sendApiFrame(lora::readConfigBody(), 1);
}

void AdvancedConfigWindow::new_frame()
{
    const QByteArray f = m_link->lastLoraFrame();
    if (!m_result || f.isEmpty() || lora::isDongleReport(f))
        return;
    m_result->setText(hexText(f).toLower());
}

void AdvancedConfigWindow::update_status_line(const QString &status)
{
    m_status->setText(status);
}

void AdvancedConfigWindow::closeEvent(QCloseEvent *event)
{
    // Closing ends an upload under way at once; the port is reopened as after any upload.
    if (m_uploading)
        m_link->requestStop();
    rememberWindowPosition(this, settings::key::AdvConfigWinX, settings::key::AdvConfigWinY);
    hide();
    emit closingWindow();
    event->accept();
}
