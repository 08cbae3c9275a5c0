#pragma once

#include "actionblock.h"
#include "actionrun.h"
#include "advancewirellesssensor.h"
#include "detection.h"
#include "fleetmodel.h"
#include "fleetjournal.h"
#include "fleetsession.h"
#include "healthsettings.h"
#include "listenphases.h"
#include "lorarun.h"
#include "sensortableview.h"

#include <QDir>
#include <QMessageBox>
#include <QPointer>
#include <QVector>
#include <QWidget>
#include <memory>

class ConnectionDialog;
class DataPlotWindow;
class plug_waveform;
class ManageSerialPort;
class MqttPublisher;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

// The sensor data widget: the connection bar, the action controls, the output folder and the
// sensor table, the main window's centre in normal mode. The table (SensorTableView) renders the
// fleet model: one row per sensor, sorted by serial number, and a trailing entry row in which a
// new serial number is typed. What a row holds lives in the model; this widget passes the
// operator's edits on and answers them with the action boxes.
class managewirelessdata : public QWidget
{
    Q_OBJECT
    // First: the session works over the link, and the model below is its own.
    ManageSerialPort *m_link;
    // The fleet and its runs: the window starts, stops and follows them through the session.
    FleetSession *m_session;
    FleetJournal m_journal;
    QString m_journalPath;
    FleetModel *m_model;

public:
    static constexpr int Columns = 14;
    static constexpr int RssiCombos = 25;
    // Table slots, the entry row included.
    static constexpr int MaxRows = 256;

    using Column = SensorTableModel::Column;

    explicit managewirelessdata(ManageSerialPort *link, QWidget *parent = nullptr);
    ~managewirelessdata() override;

    ConnectionDialog *connectionDialog() const { return m_connection; }
    QPushButton *sendActionButton() const { return m_sendAction; }
    QPushButton *detectButton() const { return m_detect; }
    QPushButton *importButton() const { return m_import; }
    QPushButton *exportButton() const { return m_export; }
    QPushButton *selectFolderButton() const { return m_selectFolder; }
    QLineEdit *folderEdit() const { return m_folderEdit; }
    QGroupBox *actionGroup() const { return m_actionGroup; }
    QGroupBox *rssiGroup() const { return m_rssiGroup; }
    QLabel *dongleLevelLabel() const { return m_dongleLevel; }
    QLabel *clockLabel() const { return m_clock; }
    SensorTableView *table() const { return m_table; }
    QProgressBar *runProgressBar() const { return m_runProgress; }
    QLabel *elapsedLabel() const { return m_elapsed; }
    // What the last run's downloads did with their pages, per sensor.
    QLabel *runSummaryLabel() const { return m_runSummary; }
    QLabel *mqttStateLabel() const { return m_mqttState; }
    QCheckBox *setTimeBox() const { return m_setTime; }
    QCheckBox *selectChannelsBox() const { return m_selectChannels; }
    QCheckBox *changePeriodBox() const { return m_changePeriod; }
    QCheckBox *clearDataBox() const { return m_clearData; }
    QCheckBox *downloadAllBox() const { return m_downloadAll; }
    QCheckBox *downloadBetweenBox() const { return m_downloadBetween; }
    QCheckBox *downloadNewBox() const { return m_downloadNew; }
    QDateTimeEdit *fromEdit() const { return m_from; }
    QDateTimeEdit *toEdit() const { return m_to; }
    QDir outputDir() const { return output_dir; }

    FleetModel &model() const { return *m_model; }
    FleetSession &session() const { return *m_session; }
    // The fleet's journal (closed when it could not be opened) and its file.
    const FleetJournal &journal() const { return m_journal; }
    const QString &journalPath() const { return m_journalPath; }
    // The sensor of the table's current row; 0 when none.
    uint32_t currentSerialNumber() const;
    // Rows with a sensor (the entry row excluded).
    int sensorRows() const { return m_model->size(); }
    CustomCombo *channelSelector(int row) const { return m_table->channelSelector(row); }
    CustomCombo2 *periodSelector(int row) const { return m_table->periodSelector(row); }
    QLabel *lastValuesLabel(int row) const { return m_table->lastValuesLabel(row); }
    QCheckBox *modeBox(int row) const { return m_table->modeBox(row); }
    QComboBox *rssiCombo(int index) const { return m_rssiCombos.value(index); }
    QSize sizeHint() const override;

    // What the window's controls are held for: a run or a detection started here, from the
    // click until the session gives them back.
    enum class Hold { None, Run, Detection };
    Hold hold() const { return m_hold; }
    // Holds the controls as a run or a detection would, without starting one.
    void setHold(Hold hold) { m_hold = hold; }

    // The table and its rows.
    void enter_serial_number(int row, const QString &typed);
    // Adds a sensor row for `serialNumber` in order; the row, or -1 when the number is already
    // listed or the list is full. The path of a detected or imported sensor.
    int insert_sensor(uint16_t serialNumber);
    void remove_row(int row);
    void fill_channel_selector(int row, bool check_all);
    // Fills the row's period selector with the period list and shows `item` (-1: none).
    void fill_period_selector(int row, int item);
    // The last sensor row holding `serialNumber`; -1 when none does (acting on row 0 instead
    // would touch another sensor's row and files).
    int find_row(uint32_t serialNumber) const;
    void reset_marks();
    void describe(int row, int type);
    void set_status(int row, const QString &text, FleetModel::Tone tone);
    // Fills RSSI list box `index`; a box shows only while its list has something.
    void set_rssi_list(int index, const QStringList &items);

    // Actions.
    actionblock::Choice action_choice() const;
    // Why the download window cannot be sent; empty when it can (or no window is asked for).
    QString windowProblem() const;
    void uncheck_action_boxes();

    // Data files (the model's DownloadFiles hold them open).
    bool ensure_output_folder();
    bool create_data_files(uint32_t serialNumber);
    // Decodes `count` pages of the link's last received frame into the sensor's files, creating
    // them first when none is open; false when they cannot be created or written.
    bool decode_pages(uint32_t serialNumber, int count);
    // The same for a frame's data held elsewhere (as lastFrameData() lays it out).
    bool decode_pages(uint32_t serialNumber, int count, const uint8_t *frame, int dataLength);
    void close_data_files(int row);
    bool folder_checked = false;
    bool pdc_enabled = false;
    bool debug_enabled = false;

    // Ends an action run and gives the controls back.
    void stop_run();
    // Starts an action run, or stops the one under way.
    void button_send_action_clicked();
    // Starts a detection, or stops the one under way.
    void button_detect_sensor_clicked();
    // The RSSI list views and the Rssi cells, once a second.
    void show_rssi_lists();
    // Entry points of the RSSI list views kept by name; they act on nothing, since the views
    // are refreshed by show_rssi_lists() and the relays by the run's own timer.
    void rssi_popup(const QPoint &) {}
    void rssi_list_update() {}
    void relay_refresh_action() {}
    // Stops the timers and saves what the next start needs; called by the main window's close.
    void shutdown();
    // The list of the previous session, from the snapshot it left, as an import restores it.
    void restore_last_list();

    // The waveform window of the sensor in `row`: ends a running detection or action run,
    // wakes the sensor and opens the window once it answered (else a warning). When a run had
    // to be ended, the rest happens once the link is free again.
    void open_waveform(int row);
    // The newest data file of the sensor in `row`, plotted in a window of its own.
    DataPlotWindow *open_data_plot(int row);
    plug_waveform *waveform_window = nullptr;
    // The sensor's answer to the wake-up that opened the waveform window.
    QByteArray waveform_answer;

    // The context menu of the table.
    // The menu a right-click at `pos` (this widget's coordinates) opens; null when none may
    // open there or now. Each entry is one action: adding one is one line here.
    std::unique_ptr<QMenu> contextMenuAt(QPoint pos);
    // Opens (or shows again) the advanced window of the sensor `serialNumber`, behind the
    // access code asked once per program run.
    void open_advanced_window(uint32_t serialNumber);
    AdvanceWirellessSensor *advancedWindow() const { return advanced_window; }
    bool accessGranted() const { return access_granted; }

signals:
    void req_stop_rx();
    void button_sa_clicked();
    void refresh_relais();

public slots:
    void periode_changed();
    void datarec_changed();
    void legacy_mode_changed(int row, bool checked);
    void open_window();
    void com_slot();
    void new_lora_frame();
    void each_sec();
    void close_com();
    void displayContextMenu(QPoint pos);
    void adv_config_closed();

    void state_change_set_time();
    void state_change_setperiode();
    void state_change_clrdata();
    void state_change_dl_all_data();
    void state_change_dl_data_between();
    void state_change_dl_new_data();
    void state_change_set_data();

    void button_select_folder_clicked();
    void button_export_clicked();
    void button_import_clicked();
    void folder_changed(const QString &text);

    void waveform_closed();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Hold m_hold = Hold::None;
    void buildLayout();
    void channelsEdited(int row, const QStringList &items);
    void periodEdited(int row, int index);
    // A refusal of typed text is told after the cell's commit has returned: a modal box run
    // from inside it lets a second key press free the cell editor still in use there.
    void tellLater(const QString &title, const QString &text,
                   QMessageBox::Icon icon = QMessageBox::Critical);
    void syncChoice();
    void linkBusyChanged(bool busy);
    void applyBusy();
    void removeSelectedRows();
    void open_waveform_now(uint16_t serialNumber, int attemptsLeft);
    void stopDetection();
    void showRssiViews(const QVector<radiopaths::ListView> &views);
    void markFieldOfBox(const QCheckBox *box, FleetModel::Field field);

    void runStopped();
    void showRunSummary(const RunSummary &summary);
    void showRunProgress();

    ConnectionDialog *m_connection;
    QLabel *m_clock;
    QGroupBox *m_actionGroup;
    QCheckBox *m_setTime;
    QCheckBox *m_selectChannels;
    QCheckBox *m_changePeriod;
    QCheckBox *m_clearData;
    QCheckBox *m_downloadAll;
    QCheckBox *m_downloadBetween;
    QCheckBox *m_downloadNew;
    QDateTimeEdit *m_from;
    QDateTimeEdit *m_to;
    QPushButton *m_selectFolder;
    QLineEdit *m_folderEdit;
    QPushButton *m_sendAction;
    QPushButton *m_detect;
    QPushButton *m_import;
    QPushButton *m_export;
    QGroupBox *m_rssiGroup;
    QVector<QComboBox *> m_rssiCombos;
    QLabel *m_dongleLevel;
    SensorTableView *m_table;
    QProgressBar *m_runProgress;
    QLabel *m_elapsed;
    QLabel *m_runSummary;
    QLabel *m_mqttState; // the publisher's line; hidden while nothing is published
    std::unique_ptr<MqttPublisher> m_publisher;

    QTimer *m_tick;

    QDir output_dir;
    uint64_t m_apiDestination = 0xFFFF;

    bool sub_window_open = false;
    // Context menu and its windows.
    bool inDataArea(QPoint globalPos) const;
    QPointer<AdvanceWirellessSensor> advanced_window;
    bool access_granted = false;
    bool m_blink = false;
    int m_limitCountdown = 300;
    int m_relayCountdown = 5;
    // Whether the existing rules allow the two run buttons; the link's busy state comes on top.
    bool m_sendActionAllowed = false;
    bool m_detectAllowed = true;
    bool m_linkBusy = false;
};
