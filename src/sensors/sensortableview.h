#pragma once

#include "fleetmodel.h"

#include <QTableWidget>
#include <functional>

class CustomCombo;
class CustomCombo2;
class QCheckBox;
class QLabel;

// The sensor table: renders the fleet model, one row per sensor and a trailing entry row in
// which a new serial number is typed. It keeps its cells in step with the model's signals and
// reports what the operator changes in a row's selectors; what that means is its owner's.
class SensorTableView : public QTableWidget
{
    Q_OBJECT
public:
    explicit SensorTableView(FleetModel *model, QWidget *parent = nullptr);
    ~SensorTableView() override;

    // Rows made while this answers true (a run or a detection under way) start locked.
    void setRunning(std::function<bool()> running) { m_running = std::move(running); }
    // True while the table writes its cells itself: their change signals are not the operator's.
    bool isFilling() const { return m_filling; }

    CustomCombo *channelSelector(int row) const;
    CustomCombo2 *periodSelector(int row) const;
    QLabel *lastValuesLabel(int row) const;
    QCheckBox *modeBox(int row) const;

    void append_entry_row();
    // Shows the model's content of a cell again, selectors included.
    void renderCell(int row, int column);
    // Every row editable and its selectors enabled, as after a run.
    void giveBack();
    // The width that shows every column without scrolling.
    int fullWidth() const;
    // The widths the columns need: at least the usual ones, never narrower than what they show.
    void fitColumns();

signals:
    // The selectors of sensor row `row` (-1 when the selector has no sensor) were changed.
    void channelsEdited(int row, const QStringList &items);
    void periodEdited(int row, int index);
    void modeEdited(int row, bool checked);

private:
    void makeRowCells(int row);
    void renderRow(int row);
    void onSensorInserted(int row);
    void onSensorRemoved(int row);
    void onModelChanged(int row, int column);
    void scheduleFit();
    void setRowEditable(int row, bool editable);
    void setRowWidgetsEnabled(int row, bool enabled);
    // The sensor row whose selector or mode box is `widget`; -1 when none.
    int rowOf(const QObject *widget) const;

    FleetModel *m_model;
    std::function<bool()> m_running;
    bool m_filling = false;
    bool m_fitPending = false;
};
