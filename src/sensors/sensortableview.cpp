#include "sensortableview.h"

#include "customcombo.h"
#include "periods.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

namespace
{
using FM = FleetModel;

// The usual widths; a column is never narrower than what it shows.
const char *const kHeaders[FM::Columns] = {
    "SN",     "Sensor Type", "Ver",  "Current Time", "Start Time", "Channels to Record",
    "Period", "#Pages",      "Vbat", "Rssi",         "Status",     "Mode",
    "Add",    "Val"};
const int kMinimumWidths[FM::Columns] = {37, 71, 26, 114, 114, 223, 75,
                                         45, 35, 50, 170, 35,  50,  50};

const QString StyleRed = QStringLiteral("QComboBox   {  color:   red;   }");
const QString StyleBlue = QStringLiteral("QComboBox   {  color:   blue;   }");
const QString StyleBlack = QStringLiteral("QComboBox   {  color:   black;   }");
constexpr int RowHeight = 35;

QString selectorStyle(FM::Rgb tint)
{
    switch (tint) {
    case FM::Red:
        return StyleRed;
    case FM::Blue:
        return StyleBlue;
    case FM::Black:
        return StyleBlack;
    default:
        return QStringLiteral("QComboBox   {  color:   %1;   }").arg(QColor::fromRgba(tint).name());
    }
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

SensorTableView::SensorTableView(FleetModel *model, QWidget *parent)
    : QTableWidget(0, FM::Columns, parent), m_model(model), m_running([] { return false; })
{
    QStringList headers;
    for (const char *h : kHeaders)
        headers << QString::fromLatin1(h);
    setHorizontalHeaderLabels(headers);
    for (int c = 0; c < FM::Columns; ++c)
        setColumnWidth(c, kMinimumWidths[c]);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setAutoScroll(false);
    verticalHeader()->setDefaultSectionSize(RowHeight);

    connect(m_model, &FleetModel::sensorInserted, this, &SensorTableView::onSensorInserted);
    connect(m_model, &FleetModel::sensorRemoved, this, &SensorTableView::onSensorRemoved);
    connect(m_model, &FleetModel::changed, this, &SensorTableView::onModelChanged);
}

SensorTableView::~SensorTableView()
{
    // The cell widgets go with the table; what they say on their way out is not the operator's.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
}

int SensorTableView::fullWidth() const
{
    int width = verticalHeader()->sizeHint().width() + 2 * frameWidth() +
                verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < FM::Columns; ++c)
        width += columnWidth(c);
    return width;
}

void SensorTableView::scheduleFit()
{
    if (m_fitPending)
        return;
    m_fitPending = true;
    QMetaObject::invokeMethod(this, &SensorTableView::fitColumns, Qt::QueuedConnection);
}

void SensorTableView::fitColumns()
{
    m_fitPending = false;
    // Widths only grow: a column the operator widened stays so.
    for (int c = 0; c < FM::Columns; ++c) {
        const int before = columnWidth(c);
        resizeColumnToContents(c);
        setColumnWidth(c, std::max({before, kMinimumWidths[c], columnWidth(c)}));
    }
}

CustomCombo *SensorTableView::channelSelector(int row) const
{
    QWidget *cell = cellWidget(row, FM::ColChannels);
    return cell ? cell->findChild<CustomCombo *>() : nullptr;
}

CustomCombo2 *SensorTableView::periodSelector(int row) const
{
    return qobject_cast<CustomCombo2 *>(cellWidget(row, FM::ColPeriod));
}

QLabel *SensorTableView::lastValuesLabel(int row) const
{
    QWidget *cell = cellWidget(row, FM::ColChannels);
    return cell ? cell->findChild<QLabel *>() : nullptr;
}

QCheckBox *SensorTableView::modeBox(int row) const
{
    QWidget *cell = cellWidget(row, FM::ColMode);
    return cell ? cell->findChild<QCheckBox *>() : nullptr;
}

int SensorTableView::rowOf(const QObject *widget) const
{
    for (int r = 0; r < m_model->size(); ++r)
        if (channelSelector(r) == widget || periodSelector(r) == widget || modeBox(r) == widget)
            return r;
    return -1;
}

// Items and cell widgets of a freshly inserted row `row`; sensor rows and the entry row differ
// only in what can be selected. What they show comes from the model.
void SensorTableView::makeRowCells(int row)
{
    const bool entry = row == rowCount() - 1;
    const bool running = m_running();
    for (int col = 0; col < FM::Columns; ++col) {
        auto *item = new QTableWidgetItem(QString());
        item->setTextAlignment(Qt::AlignCenter);
        Qt::ItemFlags flags = Qt::ItemIsEnabled;
        const bool editableColumn =
            col == FM::ColSn || col == FM::ColAddress || col == FM::ColValue;
        if (editableColumn && !running)
            flags |= Qt::ItemIsEditable;
        if (!entry && col <= FM::ColStatus)
            flags |= Qt::ItemIsSelectable;
        item->setFlags(flags);
        item->setForeground(Qt::black);
        setItem(row, col, item);
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
    setCellWidget(row, FM::ColChannels, channelCell);
    connect(channels, &CustomCombo::checkedItemsChanged, this,
            [this, channels](const QStringList &items) {
                if (!m_filling)
                    emit channelsEdited(rowOf(channels), items);
            });

    auto *period = new CustomCombo2;
    setCellWidget(row, FM::ColPeriod, period);
    connect(period, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, period](int index) {
                if (!m_filling)
                    emit periodEdited(rowOf(period), index);
            });

    auto *modeFrame = new QFrame;
    auto *modeLayout = new QHBoxLayout(modeFrame);
    modeLayout->setContentsMargins(2, 2, 2, 2);
    modeLayout->addSpacing(5);
    auto *mode = new QCheckBox;
    modeLayout->addWidget(mode);
    setCellWidget(row, FM::ColMode, modeFrame);
    connect(mode, &QCheckBox::toggled, this, [this, mode](bool checked) {
        if (!m_filling)
            emit modeEdited(rowOf(mode), checked);
    });

    if (running) {
        setRowWidgetsEnabled(row, false);
    } else {
        mode->setChecked(true);
        mode->setEnabled(true);
    }
    setRowHeight(row, RowHeight);
}

void SensorTableView::renderCell(int row, int column)
{
    if (row < 0 || row >= rowCount())
        return;
    FlagScope fill(m_filling);
    const bool sensorRow = m_model->isSensorRow(row);
    switch (column) {
    case FM::ColChannels:
        if (CustomCombo *channels = channelSelector(row); channels && sensorRow) {
            const FM::Sensor &s = m_model->sensor(row);
            const QStringList offered =
                s.record.serial_number ? s.type.selectableChannels() : QStringList();
            QStringList shown;
            for (int i = 0; i < channels->count(); ++i)
                shown << channels->itemText(i);
            if (shown != offered) {
                channels->clear();
                channels->addCheckItems(offered);
            }
            channels->setCheckedItems(s.checkedChannels);
            channels->setStyleSheet(selectorStyle(s.channelsTint));
            lastValuesLabel(row)->setText(s.lastValues);
        }
        break;
    case FM::ColPeriod:
        if (CustomCombo2 *period = periodSelector(row); period && sensorRow) {
            const FM::Sensor &s = m_model->sensor(row);
            if (!s.periodsListed) {
                period->clear();
            } else {
                if (period->count() != periods::Count) {
                    period->clear();
                    period->addItems(periods::texts());
                }
                period->setCurrentIndex(s.periodItem);
            }
            period->setStyleSheet(selectorStyle(s.periodTint));
        }
        break;
    case FM::ColMode:
        if (QCheckBox *mode = modeBox(row); mode && sensorRow)
            mode->setChecked(m_model->sensor(row).mode_flag);
        break;
    default:
        if (QTableWidgetItem *cell = item(row, column)) {
            const FM::Cell &c = m_model->cell(row, column);
            cell->setText(c.text);
            cell->setForeground(QColor::fromRgba(c.colour));
        }
        break;
    }
}

void SensorTableView::renderRow(int row)
{
    for (int col = 0; col < FM::Columns; ++col)
        renderCell(row, col);
}

void SensorTableView::onSensorInserted(int row)
{
    FlagScope fill(m_filling);
    insertRow(row);
    makeRowCells(row);
    renderRow(row);
    scheduleFit();
}

void SensorTableView::onSensorRemoved(int row)
{
    FlagScope fill(m_filling);
    removeRow(row);
}

void SensorTableView::onModelChanged(int row, int column)
{
    if (column == FM::AllColumns)
        renderRow(row);
    else
        renderCell(row, column);
    scheduleFit();
}

void SensorTableView::append_entry_row()
{
    FlagScope fill(m_filling);
    const int n = rowCount();
    setRowCount(n + 1);
    makeRowCells(n);
    for (int row = 0; row < n; ++row)
        for (int col = 0; col <= FM::ColStatus; ++col)
            if (QTableWidgetItem *cell = item(row, col))
                cell->setFlags(cell->flags() | Qt::ItemIsSelectable);
}

void SensorTableView::setRowEditable(int row, bool editable)
{
    for (int col : {int(FM::ColSn), int(FM::ColAddress), int(FM::ColValue)})
        if (QTableWidgetItem *cell = item(row, col))
            cell->setFlags(editable ? cell->flags() | Qt::ItemIsEditable
                                    : cell->flags() & ~Qt::ItemIsEditable);
}

void SensorTableView::setRowWidgetsEnabled(int row, bool enabled)
{
    if (CustomCombo *c = channelSelector(row))
        c->setEnabled(enabled);
    if (CustomCombo2 *p = periodSelector(row))
        p->setEnabled(enabled);
    if (QCheckBox *m = modeBox(row))
        m->setEnabled(enabled);
}

void SensorTableView::giveBack()
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    // The flags' change signals are no typed serial number.
    FlagScope fill(m_filling);
    for (int r = 0; r < rowCount(); ++r) {
        setRowEditable(r, true);
        if (r < m_model->size())
            setRowWidgetsEnabled(r, true);
    }
}
