#pragma once

#include "fleetmodel.h"

#include <QAbstractTableModel>
#include <QColor>
#include <functional>

// The sensor table's rows over the fleet: one per sensor, then the entry row in which a new
// serial number is typed. It turns what the fleet knows of each field into the text and colour
// the table shows; the selectors of the channel, period and mode columns are the view's widgets,
// told by selectorsChanged() when to show the fleet again.
class SensorTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int Columns = 14;
    enum Column {
        ColSn = 0,
        ColType = 1,
        ColVersion = 2,
        ColCurrentTime = 3,
        ColStartTime = 4,
        ColChannels = 5, // the channel selector and the last-values label
        ColPeriod = 6,   // the period selector
        ColPages = 7,
        ColVbat = 8,
        ColRssi = 9,
        ColStatus = 10,
        ColMode = 11,
        ColAddress = 12,
        ColValue = 13,
    };

    explicit SensorTableModel(FleetModel *fleet, QObject *parent = nullptr);

    // Rows answer no edit while this answers true (a run or a detection under way).
    void setRunning(std::function<bool()> running) { m_running = std::move(running); }
    FleetModel *fleet() const { return m_fleet; }
    bool isEntryRow(int row) const { return row == m_fleet->size(); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant toolTip(int row, int column) const;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    // The text and colour of a cell that is no selector.
    QString text(int row, int column) const;
    QColor colour(int row, int column) const;
    // The colour of a sensor row's channel or period selector.
    QColor selectorTint(int row, FleetModel::Field field) const;

signals:
    // A serial number typed over a sensor row or in the entry row; what it means is the owner's.
    void serialNumberTyped(int row, const QString &text);
    void selectorsChanged(int row, FleetModel::Aspect aspect);

private:
    void onChanged(int row, FleetModel::Aspect aspect);

    FleetModel *m_fleet;
    std::function<bool()> m_running;
};
