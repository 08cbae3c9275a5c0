#pragma once

#include <QList>
#include <QString>
#include <QWidget>

class ManageSerialPort;
class PortReconnect;
class QComboBox;
class QLabel;
class QPushButton;

// One serial port as the connection bar lists it.
struct PortEntry {
    QString portName;     // what is opened
    QString friendlyName; // what the operator reads
};

// The machine's serial ports, in enumeration order. Enumeration does not list pseudo-terminals
// or by-id links, so the port stored from the last good connection is offered too when it names
// a device file that enumeration missed.
QList<PortEntry> enumeratePorts(const QString &storedPort);
// Where the system's port list comes from; tests give a list of their own pseudo-terminals.
using PortLister = QList<PortEntry> (*)();
QList<PortEntry> systemPorts();
void setPortLister(PortLister lister); // nullptr: the system's list

// The connection bar shown above the sensor table and the LoRa terminal: lists the ports,
// opens the chosen one through the link, says which dongle answered, and reads and sets the
// radio channel of an 802.15.4 dongle.
class ConnectionDialog : public QWidget
{
    Q_OBJECT
public:
    static constexpr int ChannelItems = 17;
    static constexpr int UnknownChannelIndex = 16;

    ConnectionDialog(ManageSerialPort *port, QWidget *parent = nullptr);

    QComboBox *portCombo() const { return m_portCombo; }
    QComboBox *channelCombo() const { return m_channelCombo; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *channelLabel() const { return m_channelLabel; }
    QPushButton *openButton() const { return m_openButton; }
    QPushButton *refreshButton() const { return m_refreshButton; }
    QList<PortEntry> ports() const { return m_ports; }
    // The port that vanished while it was open and is reopened when it comes back; empty when
    // no connection was lost (or the operator has since opened one).
    QString lostPort() const;

signals:
    void tocom();

public slots:
    void tryToOpenConnection();
    // The opening when the program starts: a dongle that does not answer yet gets the attempts
    // a returning one gets.
    void openAtStart();
    bool refreshComList();
    void setchan();
    void com_change();

private:
    void setPortColour(const char *colour);
    void fail();
    void closeForRefresh();
    void reconnect(const QString &lost);

    ManageSerialPort *m_link;
    QList<PortEntry> m_ports;
    QLabel *m_status;
    QComboBox *m_portCombo;
    QLabel *m_channelLabel;
    QPushButton *m_refreshButton;
    QPushButton *m_openButton;
    QComboBox *m_channelCombo;
    QString m_openPort;        // the port of the working connection
    QString m_openName;        // how the list named it, kept to name it once it is lost
    bool m_startRetry = false; // the attempts of openAtStart() are under way or spent
    PortReconnect *m_reconnect;
};
