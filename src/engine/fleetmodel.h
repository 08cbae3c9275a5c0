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
// of each, what the operator wants sent to it, the marks of an action run, and how each of its
// fields stands. Front ends render it and listen to its signals; the runs read and mark it.
// Row numbers are the sensor table's: sensors 0 to size() - 1, then the entry row at size(), in
// which a new serial number is typed (it holds only the marks a sensor added now would get).
class FleetModel : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxSensors = sensorlist::MaxSensorRows;
    // The status of a sensor nothing has been asked of yet.
    static const QString WaitingForAction;

    // How a field stands after what the program last did with it.
    enum class Mark : uint8_t {
        None,      // nothing done with it since the last reset
        Waiting,   // an action for it is chosen and not yet served
        Done,      // the action took effect
        Failed,    // the action did not take effect
        Refreshed, // the last answer confirmed it without an action for it
        Warning,   // what the sensor reported needs the operator's eye (a low battery)
    };
    // The fields a mark is kept for. `Info` is the type, version, #Pages and Rssi together.
    enum class Field : uint8_t { Serial, Info, Clock, Start, Battery, Channels, Period, Count };
    using Marks = std::array<Mark, size_t(Field::Count)>;
    // What the last status says of the sensor.
    enum class Tone : uint8_t { Plain, Good, Bad };

    // What a change of a row touched, so that a front end renders only that.
    enum class Aspect { All, Texts, Channels, Period, Mode };

    // The radio path as the last refresh of the RSSI lists showed it.
    struct PathShown {
        bool shown = false;
        uint8_t rssi = 0xFF;
        int age = 0;
        int relayPosition = 0; // 1-based place in the relay table, 0 direct, -1 unknown relay
        bool operator==(const PathShown &o) const
        {
            return shown == o.shown && rssi == o.rssi && age == o.age &&
                   relayPosition == o.relayPosition;
        }
    };

    // What the sensor last reported, as far as the operator is shown it; -1: not yet.
    struct Report {
        int version = -1;
        int pageCount = -1;
        int battery = -1;    // the battery code, 0 to 15
        bool clocks = false; // the sensor clock and the recording start are known
        PathShown path;
        bool operator==(const Report &o) const
        {
            return version == o.version && pageCount == o.pageCount && battery == o.battery &&
                   clocks == o.clocks && path == o.path;
        }
        bool operator!=(const Report &o) const { return !(*this == o); }
    };

    // The entry row: the marks and status a sensor added now would show, and the memory texts
    // typed in it.
    struct Entry {
        Marks marks{};
        QString status;
        Tone tone = Tone::Plain;
        QString memoryAddress;
        QString memoryValue;
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
        // The memory write the operator typed: address and value, as typed.
        QString memoryAddress;
        QString memoryValue;
        // What the sensor last reported.
        uint8_t sensor_channel_mask = 0;
        uint8_t sensor_period_item = 255; // 255: none yet
        Report report;
        // Marks of an action run.
        bool set_time_pending = false;
        bool clear_pending = false;
        bool change_pending = false;
        bool served = false;
        bool detected = false;
        int clock_offset = 0xFFFF;    // seconds from the sensor clock to the PC clock
        // What the journal foresees for it: a short line, the warnings, and the whole text.
        QString healthSummary;
        QStringList healthWarnings;
        QString healthTooltip;
        // For a collection of new data: the last sample its archive holds (invalid: none).
        QDateTime collected_until;
        bool showingProgress = false; // the status is the download's progress
        // The sensor's last status: what a collector tells of the sensor.
        QString status;
        Tone tone = Tone::Plain;
        Marks marks{};

        Mark mark(Field f) const { return marks[size_t(f)]; }
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
    const Entry &entry() const { return m_entry; }
    // The marks of a sensor row or of the entry row.
    const Marks &marks(int row) const;

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

    // The status of a sensor row or of the entry row.
    void set_status(int row, const QString &text, Tone tone = Tone::Plain);
    // "N % downloaded": the download's progress, kept on the record as well.
    void show_progress(int row, int percent);
    void setMark(int row, Field field, Mark mark);
    void setReport(int row, const Report &report);
    void setPathShown(int row, const PathShown &path);
    void setMemoryTexts(int row, const QString &address, const QString &value);
    void setCheckedChannels(int row, const QStringList &channels);
    void setPeriodItem(int row, int item);
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
    // "Set Time" and "Clear all data" mark the clock or the start of every row, the entry row
    // included, as waiting.
    void markWaiting(Field field, bool marked);
    // The time columns the choice rewrites marked waiting again, statuses left as they are: a
    // run stopped before it touched anyone keeps the choice, and the table shows it.
    void markChosenTimes();
    void waitingForAction(bool entryToo);
    // Every mark and status tone of the sensor rows back to none; only a battery warning of the
    // battery's marks goes, a confirmed battery stays so.
    void reset_marks();

    // The selector tracking: rows of a known type whose selector differs from what the sensor
    // reported wait for an action, the others are marked confirmed. True when one differs.
    bool track_period_changes();
    bool track_channel_changes();
    // The box of the channel or period selectors was checked or unchecked: a selector waits
    // only while its box will send it, so unchecked, no selector of the field stays waiting;
    // checked, the rows are tracked again.
    void selectorsChosen(Field field, bool chosen);

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
    // pending_failure_row() names the row. The serial numbers of rows to change wait.
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
    const DownloadFiles &files() const { return m_files; }
    enum class Decoded { Ok, NotListed, NotCreated, NotWritten };
    // Decodes `count` pages of a received page frame (as lastFrameData() lays it out) into the
    // sensor's files. They are made with `create` when none is open: at the first page of a
    // download, and again when a resumed download finds them closed, so that no received page
    // is decoded into nothing. `afterPage` runs after every page; the row may move meanwhile.
    Decoded decode_pages(uint32_t serialNumber, int count, const uint8_t *data, int dataLength,
                         const pagedecode::Options &options, const std::function<bool()> &create,
                         const std::function<void()> &afterPage = std::function<void()>());

signals:
    void sensorAboutToBeInserted(int row);
    void sensorInserted(int row);
    void sensorAboutToBeRemoved(int row);
    void sensorRemoved(int row);
    void changed(int row, FleetModel::Aspect aspect);
    // The status of a sensor row changed (Sensor::status).
    void statusChanged(int row);
    // A status answer of the sensor was shown in its row (a run, a detection, a sub-window).
    void answerShown(int row, bool detection);

private:
    static void describe(Sensor &s, bool check_all);
    static Aspect aspectOf(Field field);

    std::vector<std::unique_ptr<Sensor>> m_sensors;
    Entry m_entry;
    actionblock::Choice m_choice;
    int m_pendingFailureRow = -1;
    DownloadFiles m_files;
};
