#include "connectiondialog.h"
#include "linkwait.h"

#include "commandset.h"
#include "dialogs.h"
#include "manageserialport.h"
#include "portreconnect.h"
#include "portwatcher.h"
#include "settings.h"

#include <QComboBox>
#include <QDebug>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace
{
PortLister g_lister = nullptr;
const QString ConnectionLost = QStringLiteral("<font color=red><b>Connection lost</b></font>");
} // namespace

QList<PortEntry> systemPorts()
{
    QList<PortEntry> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << PortEntry{info.portName(), PortWatcher::friendlyName(info)};
    return ports;
}

void setPortLister(PortLister lister)
{
    g_lister = lister;
}

QList<PortEntry> enumeratePorts(const QString &storedPort)
{
    QList<PortEntry> ports = g_lister ? g_lister() : systemPorts();
    if (storedPort.isEmpty())
        return ports;
    for (const PortEntry &p : ports)
        if (p.portName == storedPort)
            return ports;
    // A simulator's pty or a /dev/serial/by-id link: only worth offering when it is there.
    const QFileInfo file(storedPort);
    if (file.isAbsolute() && file.exists() && !file.isDir())
        ports << PortEntry{storedPort, storedPort};
    return ports;
}

ConnectionDialog::ConnectionDialog(ManageSerialPort *port, QWidget *parent)
    : QWidget(parent), m_link(port), m_status(new QLabel), m_portCombo(new QComboBox),
      m_channelLabel(new QLabel(tr("Channel :"))),
      m_refreshButton(new QPushButton(tr("Refresh COM ports"))),
      m_openButton(new QPushButton(tr("Open Connection"))), m_channelCombo(new QComboBox),
      m_reconnect(new PortReconnect(port, this))
{
    auto *main = new QVBoxLayout(this);
    auto *row = new QHBoxLayout;
    main->addWidget(m_status);
    main->addLayout(row);
    m_status->setTextFormat(Qt::RichText);

    auto *portLabel = new QLabel(tr("Com Port :"));
    portLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_channelLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_portCombo->setMinimumWidth(140);
    m_openButton->setDefault(true);
    row->addWidget(portLabel);
    row->addWidget(m_portCombo);
    row->addWidget(m_refreshButton);
    row->addWidget(m_openButton);
    row->addWidget(m_channelLabel);
    row->addWidget(m_channelCombo);

    for (int channel = 11; channel <= 26; ++channel)
        m_channelCombo->addItem(QStringLiteral("%1 (0x%2)").arg(channel).arg(channel, 0, 16));
    m_channelCombo->addItem(QStringLiteral("~"));
    m_channelCombo->setCurrentIndex(UnknownChannelIndex);
    m_channelLabel->hide();
    m_channelCombo->hide();

    // The first refresh runs before the combos are connected, so building the bar never opens
    // a port.
    refreshComList();
    connect(m_portCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ConnectionDialog::tryToOpenConnection);
    connect(m_channelCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ConnectionDialog::setchan);
    connect(m_link, &ManageSerialPort::com_change, this, &ConnectionDialog::com_change);
    connect(m_refreshButton, &QPushButton::clicked, this, &ConnectionDialog::refreshComList);
    connect(m_openButton, &QPushButton::clicked, this, &ConnectionDialog::tryToOpenConnection);
    // Enumeration misses pseudo-terminals and by-id links: the stored port counts as listed
    // when its file is there, as in the list itself.
    m_reconnect->setPresence([](const QString &lost) {
        for (const PortEntry &p : enumeratePorts(lost))
            if (p.portName == lost)
                return true;
        return false;
    });
    connect(m_reconnect, &PortReconnect::portBack, this, &ConnectionDialog::reconnect);
    // While the link waits for the dongle, what would start another exchange stays still.
    connect(m_link, &ManageSerialPort::busyChanged, this, [this](bool busy) {
        for (QWidget *w :
             {static_cast<QWidget *>(m_portCombo), static_cast<QWidget *>(m_openButton),
              static_cast<QWidget *>(m_refreshButton), static_cast<QWidget *>(m_channelCombo)})
            w->setEnabled(!busy);
    });
}

void ConnectionDialog::setPortColour(const char *colour)
{
    m_portCombo->setStyleSheet(
        QStringLiteral("QComboBox   {  color:   %1;   }").arg(QLatin1String(colour)));
    const int index = m_portCombo->currentIndex();
    if (index >= 0)
        m_portCombo->setItemData(index, QColor(QLatin1String(colour)), Qt::ForegroundRole);
}

bool ConnectionDialog::refreshComList()
{
    qDebug() << QStringLiteral("refresh");
    const bool wasBlocked = m_portCombo->blockSignals(true);
    closeForRefresh();
    m_ports.clear();
    m_status->setText(QString());
    m_portCombo->clear();
    m_portCombo->setStyleSheet(QStringLiteral("QComboBox   {  color:   black;   }"));

    const QString stored = settings::readString(settings::key::ComPort);
    m_ports = enumeratePorts(stored);
    // The port that went away stays offered, and chosen, as what it is: lost. Choosing another
    // port in its place would open a device that is not the dongle.
    const QString lost = lostPort();
    int lostIndex = -1;
    for (int i = 0; i < m_ports.size() && !lost.isEmpty(); ++i)
        if (m_ports[i].portName == lost)
            lostIndex = i;
    if (!lost.isEmpty() && lostIndex < 0) {
        lostIndex = m_ports.size();
        m_ports << PortEntry{lost, (m_openName.isEmpty() ? lost : m_openName) +
                                       QStringLiteral(" (lost)")};
    }
    for (const PortEntry &p : m_ports)
        m_portCombo->addItem(p.friendlyName);
    m_portCombo->setCurrentIndex(m_ports.size() < 2 ? 0 : -1);
    qDebug() << QStringLiteral("refresh");

    bool found = false;
    if (settings::contains(settings::key::ComPort)) {
        for (int i = 0; i < m_ports.size() && !found; ++i) {
            if (m_ports[i].portName == stored) {
                m_portCombo->setCurrentIndex(i);
                found = true;
            }
        }
    }
    if (lostIndex >= 0)
        m_portCombo->setCurrentIndex(lostIndex);
    qDebug() << (found ? QStringLiteral("refresh com 1") : QStringLiteral("refresh com 0"));
    m_portCombo->blockSignals(wasBlocked);
    return found;
}

void ConnectionDialog::closeForRefresh()
{
    if (!m_link->isOpen())
        return;
    m_link->closePort();
    m_openPort.clear();
    m_reconnect->watch(QString());
    // The controls that need the connection follow it down.
    m_channelLabel->hide();
    m_channelCombo->hide();
    emit tocom();
}

void ConnectionDialog::fail()
{
    const int index = m_portCombo->currentIndex();
    setPortColour("red");
    if (index >= 0 && index < m_ports.size())
        m_portCombo->setItemText(index, m_ports[index].friendlyName + QStringLiteral("###"));
    m_status->setText(QStringLiteral("<font color=red><b>Unable to open connection.</b></font>"));
}

void ConnectionDialog::tryToOpenConnection()
{
    setPortColour("black");
    const int index = m_portCombo->currentIndex();
    if (index < 0 || index >= m_ports.size()) {
        emit tocom();
        return;
    }
    m_status->setText(QStringLiteral("Trying to open connection..."));
    const PortEntry entry = m_ports[index];
    qDebug() << QStringLiteral("Trying to open connection") << entry.portName;
    // The operator chose another port than the lost one: it is no longer waited for.
    if (!lostPort().isEmpty() && entry.portName != lostPort()) {
        m_reconnect->watch(QString());
        m_startRetry = false;
    }

    if (m_link->isOpen())
        m_link->closePort();
    for (int i = 0; i < 9 && m_link->isOpen(); ++i)
        LinkWait::pauseFor(10);
    if (m_link->isOpen()) {
        fail();
        emit tocom();
        return;
    }
    if (!m_link->openPort(entry.portName) || !m_link->isOpen()) {
        emit tocom();
        fail();
        if (!m_link->openError().isEmpty())
            m_status->setText(QStringLiteral("<font color=red><b>%1</b></font>")
                                  .arg(m_link->openError().toHtmlEscaped()));
        return;
    }

    switch (m_link->linkMode()) {
    case ManageSerialPort::Api802154: {
        qDebug() << QStringLiteral("dongle version") << m_link->readDongleVersion();
        m_channelLabel->show();
        m_channelCombo->show();
        m_status->setText(QStringLiteral("<font color=green>Connection 802.15.4 OK</font>"));
        const int channel = m_link->read_chan();
        // Showing the channel just read is no request to change it: without the block the
        // combo would write it back and report "Channel successfully changed." over the
        // connection status.
        if (channel != 0) {
            const QSignalBlocker quiet(m_channelCombo);
            m_channelCombo->setCurrentIndex(channel - 11);
        }
        Dialogs::saveSetting(this, settings::key::ComPort, entry.portName);
        m_openPort = entry.portName;
        m_openName = entry.friendlyName;
        m_startRetry = false;
        m_reconnect->watch(entry.portName);
        emit tocom();
        setPortColour("green");
        m_portCombo->setItemText(index, entry.friendlyName);
        break;
    }
    case ManageSerialPort::Lora:
        qDebug() << QStringLiteral("lora");
        m_channelLabel->hide();
        m_channelCombo->hide();
        m_status->setText(QStringLiteral("<font color=green>Connection LORA OK</font>"));
        Dialogs::saveSetting(this, settings::key::ComPort, entry.portName);
        m_openPort = entry.portName;
        m_openName = entry.friendlyName;
        m_startRetry = false;
        m_reconnect->watch(entry.portName);
        setPortColour("green");
        m_portCombo->setItemText(index, entry.friendlyName);
        emit tocom();
        break;
    default:
        m_link->closePort();
        emit tocom();
        fail();
        break;
    }
}

void ConnectionDialog::setchan()
{
    const int channel = m_channelCombo->currentIndex() + 11;
    qDebug() << QStringLiteral("channel: ") << channel;
    m_link->sendApiFrame(command::setChannelBody(uint8_t(channel)), 0);
    const int read = m_link->read_chan();
    if (uint8_t(read) == uint8_t(channel))
        m_status->setText(QStringLiteral("<font color=green>Channel successfully changed."));
    else
        m_status->setText(QStringLiteral("<font color=red>Unable to set new channel."));
}

void ConnectionDialog::com_change()
{
    emit tocom();
    if (m_link->isOpen()) {
        // Another device came or went: the list changes, the working connection stays (closing
        // it would break a run because a mouse was plugged in).
        const QString open = m_openPort;
        const QSignalBlocker quiet(m_portCombo);
        const int index = m_portCombo->currentIndex();
        const QString shown = index >= 0 ? m_portCombo->itemText(index) : QString();
        const QString status = m_status->text();
        const QString style = m_portCombo->styleSheet();
        m_ports = enumeratePorts(settings::readString(settings::key::ComPort));
        m_portCombo->clear();
        for (const PortEntry &p : m_ports)
            m_portCombo->addItem(p.friendlyName);
        for (int i = 0; i < m_ports.size(); ++i)
            if (m_ports[i].portName == open) {
                m_portCombo->setCurrentIndex(i);
                m_portCombo->setItemText(i, shown.isEmpty() ? m_ports[i].friendlyName : shown);
            }
        m_portCombo->setStyleSheet(style);
        m_status->setText(status);
        return;
    }
    m_channelLabel->hide();
    m_channelCombo->hide();
    m_status->setText(QString());
    // The open port went away under us (the reconnection heard of it first): say so; it is
    // taken back when it returns.
    m_openPort.clear();
    refreshComList();
    if (!lostPort().isEmpty() && !m_startRetry)
        m_status->setText(ConnectionLost);
}

void ConnectionDialog::openAtStart()
{
    tryToOpenConnection();
    const int index = m_portCombo->currentIndex();
    if (m_link->isOpen() || index < 0 || index >= m_ports.size())
        return;
    m_startRetry = true;
    m_reconnect->retry(m_ports[index].portName);
}

QString ConnectionDialog::lostPort() const
{
    return m_reconnect->lostPort();
}

void ConnectionDialog::reconnect(const QString &lost)
{
    qDebug() << QStringLiteral("reconnect") << lost;
    refreshComList();
    for (int i = 0; i < m_ports.size(); ++i)
        if (m_ports[i].portName == lost) {
            const QSignalBlocker quiet(m_portCombo);
            m_portCombo->setCurrentIndex(i);
        }
    if (m_portCombo->currentIndex() < 0 || m_ports[m_portCombo->currentIndex()].portName != lost) {
        m_status->setText(ConnectionLost);
        return;
    }
    tryToOpenConnection();
    // A dongle that never answered since the start was not lost: what fail() said stands.
    if (!m_link->isOpen() && !m_startRetry)
        m_status->setText(ConnectionLost);
}
