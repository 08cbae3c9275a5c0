#include "sensortablemodel.h"

#include "sensortext.h"

#include <QBrush>

namespace
{
using FM = FleetModel;
using TM = SensorTableModel;

const char *const kHeaders[TM::Columns] = {
    "SN",     "Sensor Type", "Ver",  "Current Time", "Start Time", "Channels to Record",
    "Period", "#Pages",      "Vbat", "Rssi",         "Status",     "Mode",
    "Add",    "Val"};

const QColor Black(0, 0, 0);
const QColor Red(255, 0, 0);
const QColor Blue(0, 0, 255);
const QColor Green(0, 255, 0);
const QColor DarkGreen(0, 128, 0);

// A done time or serial number is dark green; a selector that took effect is plain green.
QColor markColour(FM::Mark mark, const QColor &done)
{
    switch (mark) {
    case FM::Mark::Waiting:
    case FM::Mark::Failed:
    case FM::Mark::Warning:
        return Red;
    case FM::Mark::Done:
        return done;
    case FM::Mark::Refreshed:
        return Blue;
    case FM::Mark::None:
        break;
    }
    return Black;
}

QColor toneColour(FM::Tone tone)
{
    switch (tone) {
    case FM::Tone::Good:
        return DarkGreen;
    case FM::Tone::Bad:
        return Red;
    case FM::Tone::Plain:
        break;
    }
    return Black;
}

bool editableColumn(int column)
{
    return column == TM::ColSn || column == TM::ColAddress || column == TM::ColValue;
}
} // namespace

SensorTableModel::SensorTableModel(FleetModel *fleet, QObject *parent)
    : QAbstractTableModel(parent), m_fleet(fleet), m_running([] { return false; })
{
    connect(m_fleet, &FM::sensorAboutToBeInserted, this,
            [this](int row) { beginInsertRows(QModelIndex(), row, row); });
    connect(m_fleet, &FM::sensorInserted, this, [this] { endInsertRows(); });
    connect(m_fleet, &FM::sensorAboutToBeRemoved, this,
            [this](int row) { beginRemoveRows(QModelIndex(), row, row); });
    connect(m_fleet, &FM::sensorRemoved, this, [this] { endRemoveRows(); });
    connect(m_fleet, &FM::changed, this, &SensorTableModel::onChanged);
}

int SensorTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_fleet->size() + 1;
}

int SensorTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QString SensorTableModel::text(int row, int column) const
{
    if (!m_fleet->isSensorRow(row)) {
        if (!isEntryRow(row))
            return QString();
        const FM::Entry &e = m_fleet->entry();
        switch (column) {
        case ColStatus:
            return e.status;
        case ColAddress:
            return e.memoryAddress;
        case ColValue:
            return e.memoryValue;
        default:
            return QString();
        }
    }
    const FM::Sensor &s = m_fleet->sensor(row);
    switch (column) {
    case ColSn:
        return sensortext::serialNumber(s);
    case ColType:
        return s.type.title;
    case ColVersion:
        return sensortext::version(s);
    case ColCurrentTime:
        return sensortext::clock(s);
    case ColStartTime:
        return sensortext::recordingStart(s);
    case ColPages:
        return sensortext::pages(s);
    case ColVbat:
        return sensortext::battery(s);
    case ColRssi:
        return sensortext::rssi(s);
    case ColStatus:
        return s.status;
    case ColAddress:
        return s.memoryAddress;
    case ColValue:
        return s.memoryValue;
    default:
        return QString();
    }
}

QColor SensorTableModel::colour(int row, int column) const
{
    if (row < 0 || row > m_fleet->size())
        return Black;
    const FM::Marks &marks = m_fleet->marks(row);
    const auto mark = [&](FM::Field f) { return marks[size_t(f)]; };
    switch (column) {
    case ColSn:
        return markColour(mark(FM::Field::Serial), DarkGreen);
    case ColType:
    case ColVersion:
    case ColPages:
    case ColRssi:
        return markColour(mark(FM::Field::Info), DarkGreen);
    case ColCurrentTime:
        return markColour(mark(FM::Field::Clock), DarkGreen);
    case ColStartTime:
        return markColour(mark(FM::Field::Start), DarkGreen);
    case ColVbat:
        return markColour(mark(FM::Field::Battery), DarkGreen);
    case ColStatus:
        return toneColour(isEntryRow(row) ? m_fleet->entry().tone : m_fleet->sensor(row).tone);
    default:
        return Black;
    }
}

QColor SensorTableModel::selectorTint(int row, FleetModel::Field field) const
{
    return m_fleet->isSensorRow(row) ? markColour(m_fleet->sensor(row).mark(field), Green) : Black;
}

QVariant SensorTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return text(index.row(), index.column());
    case Qt::ForegroundRole:
        return QBrush(colour(index.row(), index.column()));
    case Qt::TextAlignmentRole:
        return int(Qt::AlignCenter);
    case Qt::ToolTipRole:
        return toolTip(index.row(), index.column());
    default:
        return QVariant();
    }
}

// What the journal foresees for the sensor, over its serial number and its Status: the
// warnings first, then its memory, battery, clock and when it was last heard.
QVariant SensorTableModel::toolTip(int row, int column) const
{
    if (!m_fleet->isSensorRow(row) || (column != 0 && column != ColStatus))
        return QVariant();
    const FleetModel::Sensor &s = m_fleet->sensor(row);
    if (s.healthTooltip.isEmpty())
        return QVariant();
    return column == ColStatus && !s.status.isEmpty()
               ? s.status + QStringLiteral("\n\n") + s.healthTooltip
               : s.healthTooltip;
}

QVariant SensorTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < Columns)
        return QString::fromLatin1(kHeaders[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags SensorTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled;
    if (editableColumn(index.column()) && !m_running())
        f |= Qt::ItemIsEditable;
    if (m_fleet->isSensorRow(index.row()) && index.column() <= ColStatus)
        f |= Qt::ItemIsSelectable;
    return f;
}

bool SensorTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))
        return false;
    const int row = index.row();
    const QString typed = value.toString();
    if (index.column() == ColSn) {
        emit serialNumberTyped(row, typed);
        // Whatever the typing did (the rows may have moved), the cell shows the fleet again.
        if (row < rowCount())
            emit dataChanged(this->index(row, ColSn), this->index(row, ColSn));
        return true;
    }
    const bool address = index.column() == ColAddress;
    const QString current = text(row, address ? ColValue : ColAddress);
    m_fleet->setMemoryTexts(row, address ? typed : current, address ? current : typed);
    return true;
}

void SensorTableModel::onChanged(int row, FleetModel::Aspect aspect)
{
    if (aspect == FM::Aspect::All || aspect == FM::Aspect::Texts)
        emit dataChanged(index(row, 0), index(row, Columns - 1));
    if (aspect != FM::Aspect::Texts)
        emit selectorsChanged(row, aspect);
}
