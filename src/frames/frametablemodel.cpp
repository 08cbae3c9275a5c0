#include "frametablemodel.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>

using framedecode::Direction;

FrameTableModel::FrameTableModel(int capacity, QObject *parent)
    : QAbstractTableModel(parent), m_capacity(qMax(1, capacity))
{
}

void FrameTableModel::append(const QVector<TappedFrame> &frames)
{
    if (frames.isEmpty())
        return;
    if (m_paused) {
        m_missed += frames.size();
        return;
    }
    // Only the newest `capacity` of a burst could be shown at all.
    const int from = qMax(0, int(frames.size()) - m_capacity);
    const int adding = int(frames.size()) - from;
    const int dropping = qMax(0, int(m_rows.size()) + adding - m_capacity);
    if (dropping > 0) {
        beginRemoveRows(QModelIndex(), 0, dropping - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + dropping);
        endRemoveRows();
    }
    const int first = int(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + adding - 1);
    for (int i = from; i < frames.size(); ++i)
        m_rows.push_back(Row{frames[i], std::nullopt});
    endInsertRows();
}

void FrameTableModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_missed = 0;
    endResetModel();
}

void FrameTableModel::setPaused(bool paused)
{
    m_paused = paused;
    if (!paused)
        m_missed = 0;
}

const framedecode::Decoded &FrameTableModel::decodedRow(int row) const
{
    const Row &r = m_rows[size_t(row)];
    if (!r.decoded) {
        framedecode::Decoded d =
            framedecode::decode(r.frame.direction, r.frame.line, r.frame.piece, r.frame.bytes);
        d.fields.clear();
        r.decoded = std::move(d);
    }
    return *r.decoded;
}

bool FrameTableModel::refused(int row) const
{
    return decodedRow(row).refused;
}

QString FrameTableModel::summary(int row) const
{
    return framedecode::oneLine(decodedRow(row));
}

QString FrameTableModel::detail(int row) const
{
    if (row < 0 || row >= rowCount())
        return QString();
    const TappedFrame &f = frame(row);
    const framedecode::Decoded d = framedecode::decode(f.direction, f.line, f.piece, f.bytes);
    QString text =
        QStringLiteral("%1  %2  %3 bytes\n%4\n")
            .arg(QDateTime::fromMSecsSinceEpoch(f.time).toString(
                     QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
                 f.direction == Direction::In ? QStringLiteral("in") : QStringLiteral("out"))
            .arg(f.bytes.size())
            .arg(d.summary);
    if (d.refused)
        text += QStringLiteral("Refused: %1\n").arg(d.reason);
    for (const framedecode::Field &field : d.fields)
        text += QStringLiteral("  %1: %2\n").arg(field.name, field.value);
    return text + QLatin1Char('\n') + framedecode::hexDump(f.bytes);
}

int FrameTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int FrameTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QVariant FrameTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const int row = index.row();
    const TappedFrame &f = frame(row);
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case ColTime:
            return QDateTime::fromMSecsSinceEpoch(f.time).toString(QStringLiteral("hh:mm:ss.zzz"));
        case ColDirection:
            return f.direction == Direction::In ? QStringLiteral("in") : QStringLiteral("out");
        case ColLength:
            return f.bytes.size();
        case ColSummary:
            return summary(row);
        default:
            return QVariant();
        }
    case Qt::ToolTipRole:
        return refused(row) ? QVariant(decodedRow(row).reason) : QVariant();
    case Qt::ForegroundRole:
        if (refused(row))
            return QBrush(QColor(0xA0, 0x00, 0x00));
        return f.direction == Direction::Out ? QBrush(QColor(0x00, 0x40, 0x90)) : QVariant();
    case Qt::BackgroundRole:
        return refused(row) ? QBrush(QColor(0xFF, 0xE0, 0xE0)) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == ColLength ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                                           : QVariant();
    default:
        return QVariant();
    }
}

QVariant FrameTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ColTime:
        return QStringLiteral("Time");
    case ColDirection:
        return QStringLiteral("Dir");
    case ColLength:
        return QStringLiteral("Length");
    case ColSummary:
        return QStringLiteral("Meaning");
    default:
        return QVariant();
    }
}
