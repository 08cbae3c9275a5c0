#include "managewirelessdata.h"

#include "connectiondialog.h"
#include "manageserialport.h"
#include "settings.h"

#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace
{
struct Column {
    const char *header;
    int width;
};
const Column kColumns[managewirelessdata::Columns] = {
    {"SN", 37},          {"Sensor Type", 71},
    {"Ver", 26},         {"Current Time", 114},
    {"Start Time", 114}, {"Channels to Record", 223},
    {"Period", 75},      {"#Pages", 45},
    {"Vbat", 35},        {"Rssi", 50},
    {"Status", 170},     {"Mode", 35},
    {"Add", 50},         {"Val", 50},
};
} // namespace

managewirelessdata::managewirelessdata(ManageSerialPort *link, QWidget *parent)
    : QWidget(parent), m_link(link), m_connection(new ConnectionDialog(link)), m_clock(new QLabel),
      m_sendAction(new QPushButton(tr("Send Action"))),
      m_detect(new QPushButton(tr("Auto-detect and add sensors to list"))),
      m_rssiGroup(new QGroupBox(tr("Rssi Lists"))), m_dongleLevel(new QLabel),
      m_table(new QTableWidget(0, Columns)), m_tick(new QTimer(this))
{
    setMinimumSize(1000, 600);
    setMaximumSize(1000, 2000);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_connection);

    auto *clockRow = new QHBoxLayout;
    clockRow->addWidget(new QLabel(QStringLiteral("      Current PC Time : ")));
    clockRow->addWidget(m_clock);
    clockRow->addStretch();
    layout->addLayout(clockRow);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_sendAction);
    buttons->addWidget(m_detect);
    m_detect->setFixedWidth(300);
    buttons->addStretch();
    layout->addLayout(buttons);
    m_sendAction->setEnabled(false);
    m_detect->hide();

    auto *grid = new QGridLayout(m_rssiGroup);
    const int perRow[4] = {7, 6, 6, 6};
    for (int row = 0, made = 0; row < 4; ++row)
        for (int col = 0; col < perRow[row]; ++col, ++made)
            grid->addWidget(new QComboBox, row, col);
    layout->addWidget(m_rssiGroup);
    m_rssiGroup->hide();
    layout->addWidget(m_dongleLevel);
    m_dongleLevel->hide();

    QStringList headers;
    for (const Column &c : kColumns)
        headers << QString::fromLatin1(c.header);
    m_table->setHorizontalHeaderLabels(headers);
    for (int i = 0; i < Columns; ++i)
        m_table->setColumnWidth(i, kColumns[i].width);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setHighlightSections(false);
    m_table->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    m_table->setAutoScroll(false);
    m_table->verticalHeader()->setDefaultSectionSize(35);
    layout->addWidget(m_table);

    restoreWindowPosition(this, settings::key::DataWinX, settings::key::DataWinY,
                          margins::SensorDataWidget);

    connect(m_link, &ManageSerialPort::new_frame, this, &managewirelessdata::new_lora_frame);
    connect(m_connection, &ConnectionDialog::tocom, this, &managewirelessdata::com_slot);
    connect(m_tick, &QTimer::timeout, this, &managewirelessdata::each_sec);
    each_sec();
    m_tick->start(500);
}

managewirelessdata::~managewirelessdata() = default;

void managewirelessdata::shutdown()
{
    m_tick->stop();
    saveWindowPosition(this, settings::key::DataWinX, settings::key::DataWinY);
}

void managewirelessdata::com_slot()
{
    if (!m_link->isOpen()) {
        m_sendAction->setEnabled(false);
        m_detect->hide();
        m_rssiGroup->hide();
        m_dongleLevel->hide();
        return;
    }
    m_sendAction->setEnabled(true);
    const bool api = m_link->linkMode() == ManageSerialPort::Api802154;
    m_detect->setVisible(api);
    m_rssiGroup->setVisible(api);
    m_dongleLevel->setVisible(!api);
}

void managewirelessdata::new_lora_frame()
{
    const QByteArray f = m_link->lastLoraFrame();
    if (f.size() == 3 && static_cast<uint8_t>(f[0]) == 0x11)
        m_dongleLevel->setText(
            QStringLiteral("Dongle RSSI: %1 dbm").arg(static_cast<uint8_t>(f[1]) - 137));
}

void managewirelessdata::each_sec()
{
    m_clock->setText(QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")));
}
