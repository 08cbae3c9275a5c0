#include "advancedconfigwindow.h"

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
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

AdvancedConfigWindow::AdvancedConfigWindow(ManageSerialPort *link, QWidget *parent)
    : QWidget(parent), m_link(link), m_status(new QLabel(QStringLiteral(" ")))
{
    restoreWindowPosition(this, settings::key::AdvConfigWinX, settings::key::AdvConfigWinY,
                          margins::DongleConfigWindow);
    setWindowIcon(QIcon(QStringLiteral("icon/simCard.png")));
    setWindowTitle(QStringLiteral("Castrimo - Advanced Configuration"));
    setWindowModality(Qt::ApplicationModal);
    setMinimumWidth(400);

    auto *layout = new QVBoxLayout(this);
    if (m_link->isOpen() && m_link->linkMode() == ManageSerialPort::Api802154) {
        auto *group = new QGroupBox(QStringLiteral("Update Dongle Firmware"));
        auto *g = new QVBoxLayout(group);
        auto *upload = new QPushButton(QStringLiteral("Upload file to dongle"));
        // The loader exchange is not part of this version; the button says so instead of
        // pretending to work.
        upload->setEnabled(false);
        upload->setToolTip(
            QStringLiteral("Dongle firmware upload is not available in this version"));
        g->addWidget(upload);
        g->addWidget(m_status);
        layout->addWidget(group);
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
    const int version = m_link->readDongleVersion();
    if (version < CompatibleVersion)
        m_status->setText(QStringLiteral("<font color=red>No compatible dongle found</font>"));
    else
        m_status->setText(QStringLiteral("Dongle version : %1").arg(version));
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
    saveWindowPosition(this, settings::key::AdvConfigWinX, settings::key::AdvConfigWinY);
    hide();
    emit closingWindow();
    event->accept();
}
