#pragma once

#include "actionblock.h"
#include "downloadfiles.h"
#include "sensorlist.h"
#include "sensorrecord.h"
#include "sensortype.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The fleet the operator works with: the listed sensors in serial-number order, what is known
// of each, what the operator wants sent to it, the marks of an action run, and what its row
// shows. Front ends render it and listen to its signals; the runs read and mark it. Row
// numbers are the sensor table's: sensors 0 to size() - 1, then the entry row at size(), in
// which a new serial number is typed (it only has an appearance).
class FleetModel : public QObject
{
    Q_OBJECT
public:
    // ARGB colours of texts and selectors; no dependence on a GUI library.
    using Rgb = uint32_t;
    static constexpr Rgb Black = 0xFF000000u;
    static constexpr Rgb Red = 0xFFFF0000u;
    static constexpr Rgb Blue = 0xFF0000FFu;
    static constexpr Rgb Green = 0xFF00FF00u;
    static constexpr Rgb DarkGreen = 0xFF008000u;

    static constexpr int MaxSensors = sensorlist::MaxSensorRows;
    static constexpr int Columns = 14;
    // changed(row, AllColumns): every cell of the row, its selectors included.
    static constexpr int AllColumns = -1;
    enum Column {
        ColSn = 0,
        ColType = 1,
        ColVersion = 2,
        ColCurrentTime = 3,
        ColStartTime = 4,
        ColChannels = 5, // the channel selector, its tint and the last-values label
        ColPeriod = 6,   // the period selector and its tint
        ColPages = 7,
        ColVbat = 8,
        ColRssi = 9,
        ColStatus = 10,
        ColMode = 11,
        ColAddress = 12,
        ColValue = 13,
    };

    struct Cell {
        QString text;
        Rgb colour = Black;
    };

    struct Sensor {
        SensorRecord record;
        SensorType type = SensorType::unknown();
        // What the operator wants: the checked channels (in selector order), the period
        // selector's item (-1: none shown) and whether it lists the periods at all.
        QStringList checkedChannels;
        int periodItem = -1;
        bool periodsListed = false;
        bool mode_flag = true;
        // What the sensor last reported.
        uint8_t sensor_channel_mask = 0;
        uint8_t sensor_period_item = 255; // 255: none yet
        // Marks of an action run.
        bool set_time_pending = false;
        bool clear_pending = false;
        bool change_pending = false;
        bool served = false;
        bool detected = false;
        int clock_offset = 0xFFFF;    // seconds from the sensor clock to the PC clock
        bool showingProgress = false; // the Status cell shows the download's progress
        // The sensor's last status, as its row shows it: what a collector tells of the sensor.
        QString status;
        // What the row shows. The "Add" and "Val" cells hold the memory write's texts.
        std::array<Cell, Columns> cells;
        QString lastValues;
        Rgb channelsTint = Black;
        Rgb periodTint = Black;

        // The channel mask of the checked channels.
        uint8_t selectedMask() const { return type.channelMask(checkedChannels); }
        QString periodText() const;
    };

    explicit FleetModel(QObject *parent = nullptr);
    ~FleetModel() override;

    int size() const { return int(m_sensors.size()); }
    bool isSensorRow(int row) const { return row >= 0 && row < size(); }
    const Sensor &sensor(int row) const { return *m_sensors[size_t(row)]; }
    // For what no row shows (the record, the marks, what the sensor reported): changes made
    // here notify nobody.
    Sensor &edit(int row) { return *m_sensors[size_t(row)]; }
    // The last row holding `serialNumber`; -1 when none does.
    int find_row(uint32_t serialNumber) const;
    // A cell of a sensor row or of the entry row.
    const Cell &cell(int row, int column) const;

    // Adds a sensor in serial-number order with the state of a number the operator entered,
    // all its channels checked. The row, or -1 for 0, a listed number or a full list.
    int insert_sensor(uint16_t serialNumber);
    // A serial number typed in the entry row (`replacing` -1) or over sensor row `replacing`:
    // a listed number (the row's own typed differently included) and a full list change
    // nothing; a new number replaces the row's sensor or is added.
    struct Entered {
        enum Outcome { Added, Invalid, Listed, Full } outcome = Invalid;
        uint16_t serialNumber = 0;
        int row = -1;
    };
    Entered enter_serial_number(const QString &typed, int replacing);
    // Removes a sensor row and closes its data files.
    void remove_row(int row);

    void setCell(int row, int column, const QString &text, Rgb colour);
    void setText(int row, int column, const QString &text);
    void setColour(int row, int column, Rgb colour);
    void set_status(int row, const QString &text, Rgb colour);
    // "N % downloaded": the download's progress, kept on the record as well.
    void show_progress(int row, int percent);
    void setLastValues(int row, const QString &text);
    void setCheckedChannels(int row, const QStringList &channels);
    void setPeriodItem(int row, int item);
    void setTints(int row, Rgb channels, Rgb period);
    void setModeFlag(int row, bool checked);

    // Describes the row's type again from the catalogue and offers its channels, all checked
    // with `check_all`, none otherwise; the sensor's reported settings are forgotten.
    void fill_channel_selector(int row, bool check_all);
    // Lists the periods in the row's selector and shows `item` (-1: none).
    void fill_period_selector(int row, int item);
    void clear_period_selector(int row);

    // The action boxes, as the operator set them; rows added later show their marks too.
    const actionblock::Choice &choice() const { return m_choice; }
    void setChoice(const actionblock::Choice &choice);
    // "Set Time" and "Clear all data" mark a time column of every row, the entry row included.
    void markTimeColumn(int column, bool marked);
    void waitingForAction(bool entryToo);
    // Black texts and selectors; a red battery text turns black, other Vbat colours stay.
    void reset_row_colours();

    // The selector tracking: rows of a known type whose selector differs from what the sensor
    // reported turn red and wait for an action, the others blue. True when one differs.
    bool track_period_changes();
    bool track_channel_changes();

    // The run's selection for one sensor, from its row and the checked boxes.
    struct Selection {
        uint8_t channelMask = 0;
        uint8_t periodCode = 0;
    };
    void compute_selection(uint32_t serialNumber, Selection &selection) const;
    // Fills the sensor's 17-byte parameter block; its relay address, or -1 when the sensor is
    // not listed (the block is then all zeros).
    int build_param_payload(uint32_t serialNumber, const Selection &selection,
                            command::Block &payload) const;
    // 0 ready, 1 a row's sensor information is missing, 2 a row has no channel selected;
    // pending_failure_row() names the row. Rows to change get a red serial number.
    int mark_pending_changes();
    int pending_failure_row() const { return m_pendingFailureRow; }
    void clear_pending_marks();
    // One second of a run: every sensor's contact counters age, the direct one only while the
    // path one does, and stop at the ceiling so that they never read as "never heard".
    void age_contacts();

    // The list snapshot: cleared at start, written at shutdown.
    static void clear_snapshot(const QString &path);
    // False when the file could not be written.
    bool write_snapshot(const QString &path) const;

    DownloadFiles &files() { return m_files; }
    enum class Decoded { Ok, NotListed, NotCreated, NotWritten };
    // Decodes `count` pages of a received page frame (as lastFrameData() lays it out) into the
    // sensor's files. They are made with `create` when none is open: at the first page of a
    // download, and again when a resumed download finds them closed, so that no received page
    // is decoded into nothing. `afterPage` runs after every page; the row may move meanwhile.
    Decoded decode_pages(uint32_t serialNumber, int count, const uint8_t *data, int dataLength,
                         const pagedecode::Options &options, const std::function<bool()> &create,
                         const std::function<void()> &afterPage = std::function<void()>());

signals:
    void sensorInserted(int row);
    void sensorRemoved(int row);
    void changed(int row, int column);
    // The status of a sensor row changed (Sensor::status).
    void statusChanged(int row);

private:
    Cell &cellRef(int row, int column);
    static void describe(Sensor &s, bool check_all);
    void colourColumn(int column, Rgb colour, bool entryToo);

    std::vector<std::unique_ptr<Sensor>> m_sensors;
    std::array<Cell, Columns> m_entry;
    actionblock::Choice m_choice;
    int m_pendingFailureRow = -1;
    DownloadFiles m_files;
};
