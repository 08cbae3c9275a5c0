#include "managewirelessdata.h"

#include "connectiondialog.h"
#include "customcombo.h"
#include "dialogs.h"
#include "loraframe.h"
#include "manageserialport.h"
#include "periods.h"
#include "sensorlist.h"
#include "settings.h"
#include "windowplacement.h"
#include "wait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QDebug>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace
{
struct ColumnInfo {
    const char *header;
    int width;
};
const ColumnInfo kColumns[managewirelessdata::Columns] = {
    {"SN", 37},          {"Sensor Type", 71},
    {"Ver", 26},         {"Current Time", 114},
    {"Start Time", 114}, {"Channels to Record", 223},
    {"Period", 75},      {"#Pages", 45},
    {"Vbat", 35},        {"Rssi", 50},
    {"Status", 170},     {"Mode", 35},
    {"Add", 50},         {"Val", 50},
};

const QString StyleRed = QStringLiteral("QComboBox   {  color:   red;   }");
const QString StyleBlue = QStringLiteral("QComboBox   {  color:   blue;   }");
const QString StyleBlack = QStringLiteral("QComboBox   {  color:   black;   }");
const QString WaitingForAction = QStringLiteral("Waiting for action");
const QString ClockFormat = QStringLiteral("dd/MM/yyyy hh:mm:ss");
const QString SendActionText = QStringLiteral("Send Action");
const QString DetectText = QStringLiteral("Auto-detect and add sensors to list");
const QString ActionBlinkText = QStringLiteral("Processing action, Press to interrupt");
const QString DetectBlinkText = QStringLiteral("Ongoing Detection, Press to interrupt");
constexpr int RowHeight = 35;
constexpr int LimitTicks = 300;
constexpr int RelayTicks = 5;

QString hex4(uint32_t serialNumber)
{
    return QStringLiteral("%1").arg(serialNumber & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

// Sets a flag for the lifetime of a scope and restores what it was.
class FlagScope
{
public:
    explicit FlagScope(bool &flag) : m_flag(flag), m_was(flag) { m_flag = true; }
    ~FlagScope() { m_flag = m_was; }
    FlagScope(const FlagScope &) = delete;
    FlagScope &operator=(const FlagScope &) = delete;

private:
    bool &m_flag;
    bool m_was;
};
} // namespace

managewirelessdata::managewirelessdata(ManageSerialPort *link, QWidget *parent)
    : QWidget(parent), m_link(link), m_connection(new ConnectionDialog(link)), m_clock(new QLabel),
      m_actionGroup(new QGroupBox(QStringLiteral("Action for all sensors in the list below"))),
      m_setTime(new QCheckBox(QStringLiteral("Set Time"))),
      m_selectChannels(new QCheckBox(QStringLiteral("Select Channels to record"))),
      m_changePeriod(new QCheckBox(QStringLiteral("Change Recording Period"))),
      m_clearData(new QCheckBox(QStringLiteral("Clear all data"))),
      m_downloadAll(new QCheckBox(QStringLiteral("Download All Data"))),
      m_downloadBetween(new QCheckBox(QStringLiteral("Download data from : "))),
      m_from(new QDateTimeEdit), m_to(new QDateTimeEdit),
      m_selectFolder(new QPushButton(QStringLiteral("Select files output folder"))),
      m_folderEdit(new QLineEdit), m_sendAction(new QPushButton(SendActionText)),
      m_detect(new QPushButton(DetectText)),
      m_import(new QPushButton(QStringLiteral("Import Sensor List"))),
      m_export(new QPushButton(QStringLiteral("Export Sensor List"))),
      m_rssiGroup(new QGroupBox(QStringLiteral("Rssi Lists"))), m_dongleLevel(new QLabel),
      m_table(new QTableWidget(0, Columns)), m_tick(new QTimer(this)),
      connection_timer(new QTimer(this)), m_relayRefreshTimer(new QTimer(this)),
      m_downloadTimer(new QTimer(this)), m_sendActionTimer(new QTimer(this)),
      m_readListTimer(new QTimer(this))
{
    m_rows.reserve(MaxRows);
    // Delete pressed in the table reaches the row removal before the table's own handling.
    m_table->installEventFilter(this);

    // The snapshot of the previous run is discarded at every start.
    m_snapshot = std::make_unique<QSettings>(QStringLiteral("export.ini"), QSettings::IniFormat);
    m_snapshot->setIniCodec("UTF-8");
    m_snapshot->clear();
    m_snapshot->sync();

    restoreWindowPosition(this, settings::key::DataWinX, settings::key::DataWinY,
                          margins::SensorDataWidget);
    pdc_enabled = settings::readBool(settings::key::PdcEnable, false);
    debug_enabled = settings::readBool(settings::key::DebugEnable, false);

    connect(m_tick, &QTimer::timeout, this, &managewirelessdata::each_sec);
    connect(connection_timer, &QTimer::timeout, this, &managewirelessdata::time_out);
    connect(m_downloadTimer, &QTimer::timeout, this, &managewirelessdata::time_out_dl);
    connect(m_sendActionTimer, &QTimer::timeout, this, &managewirelessdata::timeout_send_action);
    connect(m_readListTimer, &QTimer::timeout, this, &managewirelessdata::timeout_read_list);

    m_apiDestination = m_link->apiDestination();
    setWindowTitle(QStringLiteral("Wireless Sensor - Internal Data"));
    setWindowModality(Qt::ApplicationModal);

    buildLayout();
    append_entry_row();

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_table, &QTableWidget::cellChanged, this, &managewirelessdata::valueChanged);
    connect(m_link, &ManageSerialPort::new_frame, this, &managewirelessdata::new_lora_frame);
    connect(m_connection, &ConnectionDialog::tocom, this, &managewirelessdata::com_slot);

    if (settings::contains(settings::key::DestFolder)) {
        const QString folder = settings::readString(settings::key::DestFolder);
        m_folderEdit->setText(folder);
        output_dir = QDir(folder);
    } else {
        m_folderEdit->setText(QDir::currentPath());
    }
    each_sec();
    m_tick->start(500);
}

managewirelessdata::~managewirelessdata()
{
    // The cell widgets go with the widget; what they say on their way out is not the operator's.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
}

void managewirelessdata::buildLayout()
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

    const QDateTime now = QDateTime::currentDateTime();
    m_from->setDisplayFormat(QStringLiteral("dd.MM.yyyy   hh:mm"));
    m_to->setDisplayFormat(QStringLiteral("dd.MM.yyyy  hh:mm"));
    for (QDateTimeEdit *edit : {m_from, m_to}) {
        edit->setCalendarPopup(true);
        edit->setMinimumDateTime(now.addYears(-10));
        edit->setMaximumDateTime(now.addDays(2));
    }
    m_from->setDateTime(now.addDays(-1));
    m_to->setDateTime(now.addSecs(60));

    auto *actions = new QVBoxLayout(m_actionGroup);
    auto *settingsLine = new QHBoxLayout;
    for (QCheckBox *box : {m_setTime, m_selectChannels, m_changePeriod, m_clearData})
        settingsLine->addWidget(box);
    settingsLine->addStretch();
    actions->addLayout(settingsLine);
    actions->addWidget(m_downloadAll);
    auto *windowLine = new QHBoxLayout;
    windowLine->addWidget(m_downloadBetween);
    windowLine->addWidget(m_from);
    windowLine->addWidget(new QLabel(QStringLiteral(" to ")));
    windowLine->addWidget(m_to);
    windowLine->addStretch();
    actions->addLayout(windowLine);
    layout->addWidget(m_actionGroup);
    connect(m_setTime, &QCheckBox::stateChanged, this, &managewirelessdata::state_change_set_time);
    connect(m_changePeriod, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_setperiode);
    connect(m_clearData, &QCheckBox::stateChanged, this, &managewirelessdata::state_change_clrdata);
    connect(m_downloadAll, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_dl_all_data);
    connect(m_downloadBetween, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_dl_data_between);
    connect(m_selectChannels, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_set_data);

    auto *folderLine = new QHBoxLayout;
    folderLine->addWidget(m_selectFolder);
    folderLine->addWidget(m_folderEdit);
    layout->addLayout(folderLine);
    connect(m_selectFolder, &QPushButton::clicked, this,
            &managewirelessdata::button_select_folder_clicked);
    connect(m_folderEdit, &QLineEdit::textEdited, this, &managewirelessdata::folder_changed);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_sendAction);
    for (QPushButton *b : {m_detect, m_import, m_export}) {
        b->setFixedWidth(300);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    m_sendAction->setEnabled(false);
    m_detect->hide();

    auto *grid = new QGridLayout(m_rssiGroup);
    const int perRow[4] = {7, 6, 6, 6};
    for (int line = 0; line < 4; ++line)
        for (int col = 0; col < perRow[line]; ++col) {
            auto *combo = new QComboBox;
            m_rssiCombos << combo;
            grid->addWidget(combo, line, col);
        }
    layout->addWidget(m_rssiGroup);
    m_rssiGroup->hide();
    layout->addWidget(m_dongleLevel);
    m_dongleLevel->hide();

    QStringList headers;
    for (const ColumnInfo &c : kColumns)
        headers << QString::fromLatin1(c.header);
    m_table->setHorizontalHeaderLabels(headers);
    for (int i = 0; i < Columns; ++i)
        m_table->setColumnWidth(i, kColumns[i].width);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->horizontalHeader()->setHighlightSections(false);
    m_table->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    m_table->setAutoScroll(false);
    m_table->verticalHeader()->setDefaultSectionSize(RowHeight);
    layout->addWidget(m_table);
}

int managewirelessdata::sensorRows() const
{
    return std::max(0, m_table->rowCount() - 1);
}

CustomCombo *managewirelessdata::channelSelector(int row) const
{
    QWidget *cell = m_table->cellWidget(row, ColChannels);
    return cell ? cell->findChild<CustomCombo *>() : nullptr;
}

CustomCombo2 *managewirelessdata::periodSelector(int row) const
{
    return qobject_cast<CustomCombo2 *>(m_table->cellWidget(row, ColPeriod));
}

QLabel *managewirelessdata::lastValuesLabel(int row) const
{
    QWidget *cell = m_table->cellWidget(row, ColChannels);
    return cell ? cell->findChild<QLabel *>() : nullptr;
}

QCheckBox *managewirelessdata::modeBox(int row) const
{
    QWidget *cell = m_table->cellWidget(row, ColMode);
    return cell ? cell->findChild<QCheckBox *>() : nullptr;
}

// Items and cell widgets of a freshly inserted row `row`; sensor rows and the entry row differ
// only in what can be selected.
void managewirelessdata::makeRowCells(int row)
{
    const bool entry = row == m_table->rowCount() - 1;
    for (int col = 0; col < Columns; ++col) {
        auto *item = new QTableWidgetItem(QString());
        item->setTextAlignment(Qt::AlignCenter);
        Qt::ItemFlags flags = Qt::ItemIsEnabled;
        const bool editableColumn = col == ColSn || col == ColAddress || col == ColValue;
        if (editableColumn && !detection_running && !action_running)
            flags |= Qt::ItemIsEditable;
        if (!entry && col <= ColStatus)
            flags |= Qt::ItemIsSelectable;
        item->setFlags(flags);
        item->setForeground(Qt::black);
        m_table->setItem(row, col, item);
    }

    auto *channelCell = new QWidget;
    auto *channelLayout = new QVBoxLayout(channelCell);
    channelLayout->setContentsMargins(0, 0, 0, 0);
    channelLayout->setSpacing(0);
    auto *channels = new CustomCombo;
    auto *lastValues = new QLabel;
    lastValues->setStyleSheet(QStringLiteral("font: 8px;"));
    lastValues->setFixedHeight(10);
    channelLayout->addWidget(channels);
    channelLayout->addWidget(lastValues);
    m_table->setCellWidget(row, ColChannels, channelCell);
    connect(channels, &CustomCombo::checkedItemsChanged, this,
            &managewirelessdata::datarec_changed);

    auto *period = new CustomCombo2;
    m_table->setCellWidget(row, ColPeriod, period);
    connect(period, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &managewirelessdata::periode_changed);

    auto *modeFrame = new QFrame;
    auto *modeLayout = new QHBoxLayout(modeFrame);
    modeLayout->setContentsMargins(2, 2, 2, 2);
    modeLayout->addSpacing(5);
    auto *mode = new QCheckBox;
    modeLayout->addWidget(mode);
    m_table->setCellWidget(row, ColMode, modeFrame);
    connect(mode, &QCheckBox::stateChanged, this, &managewirelessdata::legacy_mode_changed);

    Row &r = m_rows[size_t(row)];
    r.sensor_channel_mask = 0;
    r.sensor_period_item = 255;
    r.previous_period_index = period->currentIndex();
    if (detection_running || action_running) {
        setRowWidgetsEnabled(row, false);
    } else {
        mode->setChecked(true);
        mode->setEnabled(true);
        r.mode_flag = true;
    }
    m_table->setRowHeight(row, RowHeight);
}

void managewirelessdata::append_entry_row()
{
    FlagScope fill(filling);
    const int n = m_table->rowCount();
    m_table->setRowCount(n + 1);
    m_rows.emplace_back();
    makeRowCells(n);
    for (int row = 0; row < n; ++row)
        for (int col = 0; col <= ColStatus; ++col)
            if (QTableWidgetItem *item = m_table->item(row, col))
                item->setFlags(item->flags() | Qt::ItemIsSelectable);
}

void managewirelessdata::valueChanged(int row, int column)
{
    if (column == ColSn && !filling)
        enter_serial_number(row);
}

void managewirelessdata::restoreSnCell(int row)
{
    QTableWidgetItem *item = m_table->item(row, ColSn);
    if (!item)
        return;
    const bool entry = row == m_table->rowCount() - 1;
    item->setText(entry ? QString() : hex4(m_rows[size_t(row)].record.serial_number));
}

void managewirelessdata::enter_serial_number(int row)
{
    if (edit_guard || row < 0 || row >= m_table->rowCount())
        return;
    FlagScope fill(filling);
    const bool busy = action_running || detection_running;
    const bool entry = row == m_table->rowCount() - 1;
    const std::optional<uint16_t> parsed =
        sensorlist::parseTypedSerialNumber(m_table->item(row, ColSn)->text());
    if (!parsed) {
        if (!busy)
            Dialogs::critical(this, QStringLiteral("Error SN"),
                              QStringLiteral("Serial Number must be a strictly positive integer"));
        restoreSnCell(row);
        return;
    }
    const uint16_t sn = *parsed;
    const int holder = find_row(sn);
    if (holder >= 0 && holder != row) {
        restoreSnCell(row);
        return;
    }
    if (holder == row) {
        // The same number typed differently ("100" for 0100): the sensor stays as it is.
        restoreSnCell(row);
        return;
    }
    if (entry && sensorRows() >= sensorlist::MaxSensorRows) {
        qDebug() << QStringLiteral("/!\\ sensor list full, refused :") << hex4(sn);
        if (!busy)
            Dialogs::critical(this, QStringLiteral("Sensor List Full"),
                              QStringLiteral("The sensor list holds at most %1 sensors: remove a "
                                             "sensor before adding %2")
                                  .arg(sensorlist::MaxSensorRows)
                                  .arg(hex4(sn)));
        restoreSnCell(row);
        return;
    }
    if (entry)
        m_table->item(row, ColSn)->setText(QString());
    else
        remove_row(row);
    insert_sensor(sn);
}

int managewirelessdata::insert_sensor(uint16_t serialNumber)
{
    if (serialNumber == 0 || sensorRows() >= sensorlist::MaxSensorRows ||
        find_row(serialNumber) >= 0)
        return -1;
    FlagScope fill(filling);
    QVector<uint32_t> serials;
    for (int r = 0; r < sensorRows(); ++r)
        serials << m_rows[size_t(r)].record.serial_number;
    const int at = sensorlist::insertionIndex(serials, serialNumber);
    m_table->insertRow(at);
    m_rows.emplace(m_rows.begin() + at);
    makeRowCells(at);
    Row &r = m_rows[size_t(at)];
    r.record = SensorRecord::entered(serialNumber);
    m_table->item(at, ColSn)->setText(hex4(serialNumber));
    fill_channel_selector(at, true);
    channelSelector(at)->setStyleSheet(StyleRed);
    periodSelector(at)->clear();
    r.previous_period_index = -1;
    r.sensor_channel_mask = 0;
    r.sensor_period_item = 255;
    return at;
}

void managewirelessdata::remove_row(int row)
{
    // The entry row always stays last.
    if (row < 0 || row >= m_table->rowCount() - 1)
        return;
    FlagScope fill(filling);
    close_data_files(row);
    m_table->removeRow(row);
    m_rows.erase(m_rows.begin() + row);
}

void managewirelessdata::removeSelectedRows()
{
    QVector<uint32_t> serials;
    QStringList shown;
    const QModelIndexList selected = m_table->selectionModel()->selectedIndexes();
    for (const QModelIndex &index : selected) {
        const int r = index.row();
        if (r >= sensorRows())
            continue;
        const uint32_t sn = m_rows[size_t(r)].record.serial_number;
        if (!serials.contains(sn)) {
            serials << sn;
            shown << hex4(sn);
        }
    }
    qDebug() << QStringLiteral("Selected Rows : ") << shown;
    for (uint32_t sn : serials)
        remove_row(find_row(sn));
    m_table->clearSelection();
}

void managewirelessdata::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Delete) {
        if (!action_running && !detection_running)
            removeSelectedRows();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool managewirelessdata::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        keyPressEvent(static_cast<QKeyEvent *>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void managewirelessdata::describe(int row, int type)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    m_rows[size_t(row)].type = describeType(type);
}

void managewirelessdata::fill_channel_selector(int row, bool check_all)
{
    CustomCombo *channels = channelSelector(row);
    if (!channels)
        return;
    FlagScope fill(filling);
    channels->clear();
    Row &r = m_rows[size_t(row)];
    if (r.record.serial_number == 0)
        return;
    describe(row, r.record.sensor_type);
    channels->addCheckItems(r.type.selectableChannels());
    if (check_all)
        channels->setCheckedItems(r.type.selectableChannels());
    m_table->item(row, ColType)->setText(r.type.title);
    r.sensor_channel_mask = 0;
    r.sensor_period_item = 255;
}

void managewirelessdata::fill_period_selector(int row, int item)
{
    CustomCombo2 *period = periodSelector(row);
    if (!period)
        return;
    FlagScope fill(filling);
    if (period->count() != periods::Count) {
        period->clear();
        period->addItems(periods::texts());
    }
    period->setCurrentIndex(item >= 0 && item < periods::Count ? item : -1);
    m_rows[size_t(row)].previous_period_index = period->currentIndex();
}

int managewirelessdata::find_row(uint32_t serialNumber) const
{
    for (int r = sensorRows() - 1; r >= 0; --r)
        if (m_rows[size_t(r)].record.serial_number == serialNumber)
            return r;
    return -1;
}

void managewirelessdata::set_status(int row, const QString &text, const QColor &colour)
{
    if (QTableWidgetItem *item = m_table->item(row, ColStatus)) {
        item->setText(text);
        item->setForeground(colour);
    }
}

void managewirelessdata::reset_row_colours()
{
    for (int r = 0; r < sensorRows(); ++r) {
        for (int col = 0; col <= ColStatus; ++col) {
            QTableWidgetItem *item = m_table->item(r, col);
            if (!item || col == ColChannels || col == ColPeriod)
                continue;
            if (col == ColVbat) {
                if (item->foreground().color() == QColor(Qt::red))
                    item->setForeground(Qt::black);
                continue;
            }
            item->setForeground(Qt::black);
        }
        channelSelector(r)->setStyleSheet(StyleBlack);
        periodSelector(r)->setStyleSheet(StyleBlack);
    }
}

uint8_t managewirelessdata::selectorMask(int row) const
{
    const CustomCombo *channels = channelSelector(row);
    return channels ? m_rows[size_t(row)].type.channelMask(channels->checkedItems()) : 0;
}

void managewirelessdata::periode_changed()
{
    if (action_running || detection_running || filling)
        return;
    for (int r = 0; r < sensorRows(); ++r) {
        Row &row = m_rows[size_t(r)];
        CustomCombo2 *period = periodSelector(r);
        row.previous_period_index = period->currentIndex();
        if (row.record.sensor_type == 0)
            continue;
        if (period->currentIndex() == row.sensor_period_item) {
            period->setStyleSheet(StyleBlue);
        } else {
            set_status(r, WaitingForAction, Qt::black);
            period->setStyleSheet(StyleRed);
            m_changePeriod->setChecked(true);
        }
    }
}

void managewirelessdata::datarec_changed()
{
    if (action_running || detection_running || filling)
        return;
    for (int r = 0; r < sensorRows(); ++r) {
        if (m_rows[size_t(r)].record.sensor_type == 0)
            continue;
        CustomCombo *channels = channelSelector(r);
        if (selectorMask(r) == m_rows[size_t(r)].sensor_channel_mask) {
            channels->setStyleSheet(StyleBlue);
        } else {
            set_status(r, WaitingForAction, Qt::black);
            channels->setStyleSheet(StyleRed);
            m_selectChannels->setChecked(true);
        }
    }
}

void managewirelessdata::legacy_mode_changed() {}

void managewirelessdata::colourColumn(int column, const QColor &colour, bool entryToo)
{
    const int rows = entryToo ? m_table->rowCount() : sensorRows();
    for (int r = 0; r < rows; ++r)
        if (QTableWidgetItem *item = m_table->item(r, column))
            item->setForeground(colour);
}

void managewirelessdata::waitingForAction(bool entryToo)
{
    const int rows = entryToo ? m_table->rowCount() : sensorRows();
    for (int r = 0; r < rows; ++r)
        set_status(r, WaitingForAction, Qt::black);
}

void managewirelessdata::state_change_set_time()
{
    markColumnOfBox(m_setTime, ColCurrentTime);
}

void managewirelessdata::state_change_clrdata()
{
    markColumnOfBox(m_clearData, ColStartTime);
}

// "Set Time" and "Clear all data" rewrite a time column of every sensor: it turns red while
// the box is checked, and the downloads, which would read the old times, are unchecked.
void managewirelessdata::markColumnOfBox(const QCheckBox *box, int column)
{
    if (box->isChecked()) {
        m_downloadAll->setChecked(false);
        m_downloadBetween->setChecked(false);
        colourColumn(column, Qt::red, true);
        waitingForAction(true);
    } else {
        colourColumn(column, Qt::black, true);
    }
}

void managewirelessdata::state_change_setperiode()
{
    if (m_changePeriod->isChecked()) {
        m_downloadAll->setChecked(false);
        m_downloadBetween->setChecked(false);
    }
}

void managewirelessdata::state_change_set_data()
{
    if (m_selectChannels->isChecked()) {
        m_downloadAll->setChecked(false);
        m_downloadBetween->setChecked(false);
    }
}

void managewirelessdata::state_change_dl_all_data()
{
    if (!m_downloadAll->isChecked())
        return;
    for (QCheckBox *box :
         {m_downloadBetween, m_clearData, m_setTime, m_selectChannels, m_changePeriod})
        box->setChecked(false);
    waitingForAction(false);
}

void managewirelessdata::state_change_dl_data_between()
{
    if (!m_downloadBetween->isChecked())
        return;
    for (QCheckBox *box : {m_downloadAll, m_clearData, m_setTime, m_selectChannels, m_changePeriod})
        box->setChecked(false);
    waitingForAction(false);
}

void managewirelessdata::uncheck_action_boxes()
{
    for (QCheckBox *box : {m_setTime, m_selectChannels, m_changePeriod, m_clearData, m_downloadAll,
                           m_downloadBetween})
        box->setChecked(false);
}

actionblock::Choice managewirelessdata::action_choice() const
{
    actionblock::Choice c;
    c.setTime = m_setTime->isChecked();
    c.changePeriod = m_changePeriod->isChecked();
    c.clearData = m_clearData->isChecked();
    c.downloadBetween = m_downloadBetween->isChecked();
    c.downloadAll = m_downloadAll->isChecked();
    c.selectChannels = m_selectChannels->isChecked();
    c.windowStart = m_from->dateTime();
    c.windowEnd = m_to->dateTime();
    return c;
}

void managewirelessdata::compute_selection(uint32_t serialNumber)
{
    const int r = find_row(serialNumber);
    if (r < 0)
        return;
    if (m_selectChannels->isChecked())
        selected_channel_mask = selectorMask(r);
    if (m_changePeriod->isChecked())
        selected_period_code = sensorlist::selectedPeriodCode(
            periodSelector(r)->currentIndex(), m_rows[size_t(r)].record.period_index);
}

bool managewirelessdata::build_param_payload(uint32_t serialNumber, uint8_t payload[17])
{
    std::fill(payload, payload + command::BlockSize, uint8_t(0));
    const int r = find_row(serialNumber);
    if (r < 0) {
        qDebug() << QStringLiteral("/!\\ send param, sensor not in the list") << hex4(serialNumber);
        return false;
    }
    const SensorRecord &rec = m_rows[size_t(r)].record;
    actionblock::Sensor s;
    s.sensorType = rec.sensor_type;
    s.reportedPeriodCode = rec.period_index;
    s.reportedChannelMask = rec.channel_mask;
    s.selectedPeriodCode = selected_period_code;
    s.selectedChannelMask = selected_channel_mask;
    s.memoryAddress = m_table->item(r, ColAddress)->text();
    s.memoryValue = m_table->item(r, ColValue)->text();
    const actionblock::Payload p = actionblock::build(action_choice(), s);
    std::copy(p.block.begin(), p.block.end(), payload);
    if (p.memoryWrite)
        qDebug() << QStringLiteral("eep") << p.memory.address << p.memory.value;
    else if (p.memory.requested && !p.memory.valid && p.block[command::FlagsByte] == 0)
        qDebug() << QStringLiteral("/!\\ eep refused, address") << s.memoryAddress
                 << QStringLiteral("value") << s.memoryValue;
    listen_address = rec.relay_address;
    qDebug() << QStringLiteral("send param, sensor") << hex4(serialNumber)
             << QStringLiteral(" relais : ") << hex4(rec.relay_address);
    return true;
}

int managewirelessdata::mark_pending_changes()
{
    QVector<sensorlist::PendingRow> rows;
    for (int r = 0; r < sensorRows(); ++r) {
        const Row &row = m_rows[size_t(r)];
        sensorlist::PendingRow p;
        p.sensorType = row.record.sensor_type;
        p.selectedMask = selectorMask(r);
        p.reportedMask = row.sensor_channel_mask;
        p.periodItem = periodSelector(r)->currentIndex();
        p.reportedPeriodItem = row.sensor_period_item;
        rows << p;
    }
    const sensorlist::PendingResult result = sensorlist::markPendingChanges(action_choice(), rows);
    for (int r = 0; r < result.marks.size(); ++r) {
        Row &row = m_rows[size_t(r)];
        row.set_time_pending |= result.marks[r].setTime;
        row.clear_pending |= result.marks[r].clear;
        row.change_pending |= result.marks[r].change;
    }
    m_pendingFailureRow = result.row;
    if (result.code != sensorlist::PendingResult::Ready)
        return result.code;
    for (int r = 0; r < sensorRows(); ++r)
        if (m_rows[size_t(r)].change_pending)
            m_table->item(r, ColSn)->setForeground(Qt::red);
    return 0;
}

void managewirelessdata::clear_pending_marks()
{
    for (Row &row : m_rows) {
        row.set_time_pending = false;
        row.clear_pending = false;
        row.change_pending = false;
    }
}

void managewirelessdata::button_select_folder_clicked()
{
    const QString chosen = Dialogs::current().existingDirectory(
        this, QStringLiteral("Choose Destination folder"), output_dir.absolutePath());
    // A cancelled chooser answers nothing, which names the process's current folder.
    output_dir = chosen.isEmpty() ? QDir(QDir::currentPath()) : QDir(chosen);
    m_folderEdit->setText(output_dir.absolutePath());
}

void managewirelessdata::folder_changed(const QString &text)
{
    output_dir.setPath(text);
}

bool managewirelessdata::ensure_output_folder()
{
    if (ensureFolder(output_dir.path())) {
        folder_checked = true;
        return true;
    }
    folder_checked = false;
    button_select_folder_clicked();
    if (ensureFolder(output_dir.path())) {
        folder_checked = true;
        return true;
    }
    qDebug() << QStringLiteral("2");
    if (action_running)
        stop_run();
    Dialogs::critical(this, QStringLiteral("Folder Creation Failed"),
                      QStringLiteral("The folder ") + output_dir.absolutePath() +
                          QStringLiteral(" can't be created"));
    return false;
}

bool managewirelessdata::create_data_files(uint32_t serialNumber)
{
    const int r = find_row(serialNumber);
    if (r < 0)
        return false;
    Row &row = m_rows[size_t(r)];
    // Names carry the second of creation: a second download of the sensor within the same
    // second must not truncate the first one's file, so it takes the next free second.
    QDateTime stamp = QDateTime::currentDateTime();
    for (int tries = 0; tries < 60; ++tries, stamp = stamp.addSecs(1)) {
        const QString probe = dataFileBaseName(serialNumber, stamp);
        if (!QFileInfo::exists(dataFilePath(output_dir.path(), probe + QStringLiteral(".tsv"))) &&
            !QFileInfo::exists(dataFilePath(output_dir.path(), probe + QStringLiteral(".pdc"))))
            break;
    }
    const QString base = dataFileBaseName(serialNumber, stamp);
    const QString textName = base + QStringLiteral(".tsv");
    const QString binaryName = base + QStringLiteral(".pdc");
    QString path = dataFilePath(output_dir.path(), textName);
    qDebug() << QStringLiteral("path : ") << path;
    const auto refuse = [&](const QString &failedPath) {
        Dialogs::critical(this, QStringLiteral("File Access Error"),
                          QStringLiteral("The file ") + failedPath +
                              QStringLiteral(" can't be created, please verify folder settings"));
        set_status(r, QStringLiteral("Error Creating File"), Qt::red);
    };
    if (!row.files->openText(output_dir.path(), textName)) {
        qDebug() << QStringLiteral("1");
        button_select_folder_clicked();
        path = dataFilePath(output_dir.path(), textName);
        if (!row.files->openText(output_dir.path(), textName)) {
            qDebug() << QStringLiteral("2");
            refuse(path);
            return false;
        }
    }
    row.file_open = true;
    if (pdc_enabled && !row.files->openBinary(output_dir.path(), binaryName)) {
        refuse(dataFilePath(output_dir.path(), binaryName));
        // Half a pair would write rows without their pages: neither file stays open.
        close_data_files(r);
        return false;
    }
    return true;
}

void managewirelessdata::close_data_files(int row)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    m_rows[size_t(row)].files->close();
    m_rows[size_t(row)].file_open = false;
}

bool managewirelessdata::decode_pages(uint32_t serialNumber, int count)
{
    return decode_pages(serialNumber, count, m_link->lastFrameData(),
                        m_link->lastFrameDataLength());
}

bool managewirelessdata::decode_pages(uint32_t serialNumber, int count, const uint8_t *data,
                                      int dataLength)
{
    const int r = find_row(serialNumber);
    if (r < 0) {
        qDebug() << QStringLiteral("/!\\ pages of a sensor not in the list") << hex4(serialNumber);
        return false;
    }
    Row &row = m_rows[size_t(r)];
    SensorRecord &rec = row.record;
    // Files are created at the first page of a download, and again when a resumed download
    // finds them closed, so that no received page is decoded into nothing.
    if (!row.file_open) {
        if (rec.current_page == rec.start_page)
            rec.samples_written = 0;
        if (!create_data_files(serialNumber)) {
            if (action_running)
                stop_run();
            return false;
        }
        pagedecode::Options options;
        options.debugColumns = debug_enabled;
        options.window = m_downloadBetween->isChecked();
        options.from = m_from->dateTime();
        options.to = m_to->dateTime();
        row.decoder = pagedecode::PageDecoder(rec.serial_number, rec.ident,
                                              row.type.layout(rec.sensor_type), options);
        if (!row.files->writeText(row.decoder.header())) {
            set_status(r, QStringLiteral("Error writing data in file"), Qt::red);
            return false;
        }
    }
    const FrameOutcome outcome =
        writeFramePages(row.decoder, *row.files, data, dataLength, count, rec.current_page,
                        rec.end_page, rec.page_count, [] { QCoreApplication::processEvents(); });
    // The row may have moved while events ran; the sensor's row is found again.
    const int now = find_row(serialNumber);
    if (now < 0)
        return false;
    m_rows[size_t(now)].record.samples_written += outcome.samples;
    if (outcome.samplesBeyondPage > 0)
        qDebug() << QStringLiteral("/!\\ page sample count beyond the page :")
                 << outcome.samplesBeyondPage;
    if (!outcome.written) {
        qDebug() << QStringLiteral("/!\\ data file write failed :")
                 << m_rows[size_t(now)].files->errorString();
        set_status(now, QStringLiteral("Error writing data in file"), Qt::red);
        return false;
    }
    return true;
}

void managewirelessdata::setRowEditable(int row, bool editable)
{
    for (int col : {int(ColSn), int(ColAddress), int(ColValue)})
        if (QTableWidgetItem *item = m_table->item(row, col))
            item->setFlags(editable ? item->flags() | Qt::ItemIsEditable
                                    : item->flags() & ~Qt::ItemIsEditable);
}

void managewirelessdata::setRowWidgetsEnabled(int row, bool enabled)
{
    if (CustomCombo *c = channelSelector(row))
        c->setEnabled(enabled);
    if (CustomCombo2 *p = periodSelector(row))
        p->setEnabled(enabled);
    if (QCheckBox *m = modeBox(row))
        m->setEnabled(enabled);
}

void managewirelessdata::stop_run()
{
    m_relayRefreshTimer->stop();
    m_downloadTimer->stop();
    connection_timer->stop();
    for (int r = 0; r < int(m_rows.size()); ++r) {
        if (m_rows[size_t(r)].file_open)
            close_data_files(r);
        m_rows[size_t(r)].record.download_started = false;
    }
    m_actionGroup->setEnabled(true);
    m_detect->setEnabled(true);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    {
        FlagScope guard(edit_guard);
        for (int r = 0; r < m_table->rowCount(); ++r) {
            setRowEditable(r, true);
            if (r < sensorRows())
                setRowWidgetsEnabled(r, true);
        }
    }
    m_sendAction->setText(SendActionText);
    m_sendAction->setStyleSheet(QStringLiteral("color: black"));
    action_running = false;
    if (m_link->isOpen())
        m_link->flushInput();
    emit button_sa_clicked();
}

void managewirelessdata::stopDetection()
{
    m_tick->stop();
    m_relayRefreshTimer->stop();
    timeout_flag = false;
    m_sendAction->setEnabled(true);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    {
        FlagScope guard(edit_guard);
        for (int r = 0; r < m_table->rowCount(); ++r) {
            setRowEditable(r, true);
            if (r < sensorRows())
                setRowWidgetsEnabled(r, true);
        }
    }
    detection_running = false;
    m_detect->setText(DetectText);
    m_detect->setStyleSheet(QStringLiteral("color: black"));
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
    if (const auto report = lora::parseRadioReport(m_link->lastLoraFrame()))
        m_dongleLevel->setText(QStringLiteral("Dongle RSSI: %1 dbm").arg(report->rssiDbm));
}

void managewirelessdata::open_window()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (QDateTimeEdit *edit : {m_from, m_to}) {
        edit->setMinimumDateTime(now.addYears(-10));
        edit->setMaximumDateTime(now.addDays(2));
    }
}

void managewirelessdata::advanceListenPhase()
{
    if (listen_phase >= 3 || --phase_countdown > 0)
        return;
    switch (listen_phase) {
    case 0:
        listen_phase = 1;
        phase_countdown = 2;
        break;
    case 1:
        listen_phase = 2;
        phase_countdown = 4;
        break;
    default:
        listen_phase = 3;
        break;
    }
}

void managewirelessdata::each_sec()
{
    const QDateTime now = QDateTime::currentDateTime();
    m_clock->setText(now.toString(ClockFormat));
    if (--m_limitCountdown <= 0) {
        m_limitCountdown = LimitTicks;
        m_from->setMaximumDateTime(now.addDays(2));
        m_to->setMaximumDateTime(now.addDays(2));
    }
    if (action_running)
        m_sendAction->setText(m_blink ? QString() : ActionBlinkText);
    if (detection_running)
        m_detect->setText(m_blink ? QString() : DetectBlinkText);
    if (action_running && m_blink) {
        advanceListenPhase();
        for (int r = 0; r < sensorRows(); ++r) {
            SensorRecord &rec = m_rows[size_t(r)].record;
            if (rec.path_age < SensorRecord::CounterCeiling) {
                ++rec.path_age;
                if (rec.direct_age < SensorRecord::CounterCeiling)
                    ++rec.direct_age;
            }
        }
    }
    if (m_blink) {
        m_blink = false;
        if (sub_window_open && !action_running && --m_relayCountdown <= 0) {
            m_relayCountdown = RelayTicks;
            emit refresh_relais();
        }
    } else {
        m_blink = true;
    }
}

void managewirelessdata::close_com()
{
    if (action_running)
        stop_run();
    if (detection_running)
        stopDetection();
    delayMs(200);
}

void managewirelessdata::time_out()
{
    timeout_flag = true;
    connection_timer->stop();
}

void managewirelessdata::time_out_dl()
{
    m_downloadTimer->stop();
}

void managewirelessdata::timeout_send_action()
{
    m_sendActionTimer->stop();
    wait_expired = true;
}

void managewirelessdata::timeout_read_list()
{
    m_readListTimer->stop();
    read_list_expired = true;
}

void managewirelessdata::writeSnapshot()
{
    QSettings &s = *m_snapshot;
    s.setValue(QStringLiteral("NB_SENSOR"), QString::number(sensorRows() & 0xFF));
    for (int r = 0; r < sensorRows(); ++r) {
        const auto text = [&](int col) { return m_table->item(r, col)->text(); };
        s.beginGroup(hex4(m_rows[size_t(r)].record.serial_number));
        s.setValue(QStringLiteral("Type_of_module"), text(ColType));
        s.setValue(QStringLiteral("Version"), text(ColVersion));
        s.setValue(QStringLiteral("Start_Time"), text(ColStartTime));
        s.setValue(QStringLiteral("Current_Time"), text(ColCurrentTime));
        s.setValue(QStringLiteral("Recording_channels"), channelSelector(r)->checkedItems());
        s.setValue(QStringLiteral("Last_Values"), lastValuesLabel(r)->text());
        s.setValue(QStringLiteral("Periode"), periodSelector(r)->currentText());
        s.setValue(QStringLiteral("Nr._Pages"), text(ColPages));
        s.setValue(QStringLiteral("Vbat"), text(ColVbat));
        s.setValue(QStringLiteral("Rssi"), text(ColRssi));
        s.setValue(QStringLiteral("Last_Status"), text(ColStatus));
        s.endGroup();
    }
    s.sync();
}

void managewirelessdata::shutdown()
{
    qDebug() << QStringLiteral("folder ok :") << folder_checked;
    if (folder_checked)
        settings::write(settings::key::DestFolder, output_dir.absolutePath());
    saveWindowPosition(this, settings::key::DataWinX, settings::key::DataWinY);
    writeSnapshot();
    uncheck_action_boxes();
    m_relayRefreshTimer->stop();
    m_tick->stop();
    connection_timer->stop();
    m_downloadTimer->stop();
    delayMs(50);
    if (action_running)
        stop_run();
    if (detection_running)
        stopDetection();
}
