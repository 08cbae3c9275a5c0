#pragma once

#include "framedecoder.h"
#include "frametap.h"

#include <QAbstractTableModel>
#include <deque>
#include <optional>

// The last frames of the line, a row each, oldest first: at most `capacity` rows, the oldest
// going as new ones come. A row is decoded when it is first shown, and only its one line is
// kept; the fields of the frame are taken apart again when its detail is asked for.
class FrameTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int DefaultCapacity = 10000;
    enum Column { ColTime = 0, ColDirection, ColLength, ColSummary, Columns };

    explicit FrameTableModel(int capacity = DefaultCapacity, QObject *parent = nullptr);

    int capacity() const { return m_capacity; }
    // Adds the frames, unless paused; the oldest rows go beyond the capacity.
    void append(const QVector<TappedFrame> &frames);
    void clear();
    // While paused, frames are counted, not kept: the rows stay still to be read.
    void setPaused(bool paused);
    bool paused() const { return m_paused; }
    qint64 missedWhilePaused() const { return m_missed; }

    const TappedFrame &frame(int row) const { return m_rows[size_t(row)].frame; }
    bool refused(int row) const;
    QString summary(int row) const;
    // The fields and the bytes of a row, for the detail under the table.
    QString detail(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row {
        TappedFrame frame;
        mutable std::optional<framedecode::Decoded> decoded; // its summary and reason only
    };
    const framedecode::Decoded &decodedRow(int row) const;

    int m_capacity;
    std::deque<Row> m_rows;
    bool m_paused = false;
    qint64 m_missed = 0;
};
