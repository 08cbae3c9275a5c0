#pragma once

#include "sensortablemodel.h"

#include <QTableView>
#include <functional>

class CustomCombo;
class CustomCombo2;
class QCheckBox;
class QLabel;

// The sensor table: a view of SensorTableModel, one row per sensor and a trailing entry row in
// which a new serial number is typed. The channel, period and mode columns are widgets kept in
// step with the fleet; the view reports what the operator changes in them, and what that means
// is its owner's.
class SensorTableView : public QTableView
{
    Q_OBJECT
public:
    explicit SensorTableView(FleetModel *fleet, QWidget *parent = nullptr);
    ~SensorTableView() override;

    SensorTableModel *tableModel() const { return m_model; }
    // Rows made while this answers true (a run or a detection under way) start locked, and no
    // cell can be edited.
    void setRunning(std::function<bool()> running);
    // True while the table writes its selectors itself: their change signals are not the
    // operator's.
    bool isFilling() const { return m_filling; }

    CustomCombo *channelSelector(int row) const;
    CustomCombo2 *periodSelector(int row) const;
    QLabel *lastValuesLabel(int row) const;
    QCheckBox *modeBox(int row) const;

    // The selectors disabled and nothing selectable, for a run or a detection.
    void lock();
    // Every row's selectors enabled, as after a run.
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

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void makeRowWidgets(int row);
    void renderSelectors(int row, FleetModel::Aspect aspect);
    void scheduleFit();
    void setRowWidgetsEnabled(int row, bool enabled);
    QWidget *widgetAt(int row, int column) const;
    // The sensor row whose selector or mode box is `widget`; -1 when none.
    int rowOf(const QObject *widget) const;

    FleetModel *m_fleet;
    SensorTableModel *m_model;
    std::function<bool()> m_running;
    bool m_filling = false;
    bool m_fitPending = false;
    // The channel column's width as the last fit left it.
    int m_channelsFitted = -1;
};
