#include "managewirelessdata.h"
#include "mqttpublisher.h"
#include "hextext.h"
#include "linkwait.h"
#include "sensortype.h"

#include "advancewirellesssensor.h"
#include "connectiondialog.h"
#include "customcombo.h"
#include "dialogs.h"
#include "filelocations.h"
#include "loraframe.h"
#include "manageserialport.h"
#include "plug_waveform.h"
#include "sensorlist.h"
#include "sensorlistfile.h"
#include "settings.h"
#include "windowplacement.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QDebug>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace
{
using FM = FleetModel;

const QString ClockFormat = QStringLiteral("dd/MM/yyyy hh:mm:ss");
const QString SendActionText = QStringLiteral("Send Action");
const QString DetectText = QStringLiteral("Auto-detect and add sensors to list");
const QString ActionBlinkText = QStringLiteral("Processing action, Press to interrupt");
const QString DetectBlinkText = QStringLiteral("Ongoing Detection, Press to interrupt");
constexpr int LimitTicks = 300;
constexpr int RelayTicks = 5;

} // namespace

managewirelessdata::managewirelessdata(ManageSerialPort *link, QWidget *parent)
    : QWidget(parent), m_link(link), m_session(new FleetSession(link, this)),
      m_model(&m_session->fleet()), m_connection(new ConnectionDialog(link)), m_clock(new QLabel),
      m_actionGroup(new QGroupBox(QStringLiteral("Action for all sensors in the list below"))),
      m_setTime(new QCheckBox(QStringLiteral("Set Time"))),
      m_selectChannels(new QCheckBox(QStringLiteral("Select Channels to record"))),
      m_changePeriod(new QCheckBox(QStringLiteral("Change Recording Period"))),
      m_clearData(new QCheckBox(QStringLiteral("Clear all data"))),
      m_downloadAll(new QCheckBox(QStringLiteral("Download All Data"))),
      m_downloadBetween(new QCheckBox(QStringLiteral("Download data from : "))),
      m_downloadNew(new QCheckBox(QStringLiteral("Download new data"))),
      m_from(new QDateTimeEdit), m_to(new QDateTimeEdit),
      m_selectFolder(new QPushButton(QStringLiteral("Select files output folder"))),
      m_folderEdit(new QLineEdit), m_sendAction(new QPushButton(SendActionText)),
      m_detect(new QPushButton(DetectText)),
      m_import(new QPushButton(QStringLiteral("Import Sensor List"))),
      m_export(new QPushButton(QStringLiteral("Export Sensor List"))),
      m_rssiGroup(new QGroupBox(QStringLiteral("Rssi Lists"))), m_dongleLevel(new QLabel),
      m_table(new SensorTableView(m_model)), m_runProgress(new QProgressBar), m_elapsed(new QLabel),
      m_runSummary(new QLabel), m_mqttState(new QLabel), m_tick(new QTimer(this))
{
    // Delete pressed in the table reaches the row removal before the table's own handling.
    m_table->installEventFilter(this);

    restoreWindowPosition(this, settings::key::DataWinX, settings::key::DataWinY,
                          margins::SensorDataWidget);
    pdc_enabled = settings::readBool(settings::key::PdcEnable, false);
    debug_enabled = settings::readBool(settings::key::DebugEnable, false);

    connect(m_tick, &QTimer::timeout, this, &managewirelessdata::each_sec);

    m_apiDestination = m_link->apiDestination();
    setWindowTitle(QStringLiteral("Wireless Sensor - Internal Data"));
    setWindowModality(Qt::ApplicationModal);

    buildLayout();
    m_table->setRunning([this] { return m_hold != Hold::None; });
    restore_last_list();
    connect(m_table, &SensorTableView::channelsEdited, this, &managewirelessdata::channelsEdited);
    connect(m_table, &SensorTableView::periodEdited, this, &managewirelessdata::periodEdited);
    connect(m_table, &SensorTableView::modeEdited, this, &managewirelessdata::legacy_mode_changed);

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            &managewirelessdata::displayContextMenu);
    connect(m_table->tableModel(), &SensorTableModel::serialNumberTyped, this,
            &managewirelessdata::enter_serial_number);
    connect(m_link, &ManageSerialPort::new_frame, this, &managewirelessdata::new_lora_frame);
    connect(m_link, &ManageSerialPort::busyChanged, this, &managewirelessdata::linkBusyChanged);
    connect(m_connection, &ConnectionDialog::tocom, this, &managewirelessdata::com_slot);
    connect(m_sendAction, &QPushButton::clicked, this,
            &managewirelessdata::button_send_action_clicked);
    connect(m_session, &FleetSession::stopped, this, &managewirelessdata::runStopped);
    connect(m_session, &FleetSession::runEnded, this, [this](const RunSummary &summary) {
        // Stopped before anyone was served, the run changed nothing: the operator's choice
        // stays for the next try.
        if (summary.anyTouched())
            uncheck_action_boxes();
        else
            m_model->markChosenTimes();
        showRunSummary(summary);
    });
    connect(m_session, &FleetSession::progressChanged, this, &managewirelessdata::showRunProgress);
    connect(m_session, &FleetSession::failed, this,
            [this](const QString &title, const QString &text) {
                Dialogs::critical(this, title, text);
            });
    connect(m_detect, &QPushButton::clicked, this,
            &managewirelessdata::button_detect_sensor_clicked);
    connect(m_import, &QPushButton::clicked, this, &managewirelessdata::button_import_clicked);
    connect(m_export, &QPushButton::clicked, this, &managewirelessdata::button_export_clicked);
    connect(m_session, &FleetSession::detectionRanOut, this, &managewirelessdata::stopDetection);
    connect(m_session, &FleetSession::rssiListsChanged, this, &managewirelessdata::showRssiViews);
    m_session->setHooks({[this] { return ensure_output_folder(); },
                         [this](uint32_t sn) { return create_data_files(sn); }});
    // Beside config.ini, where a scheduled collector in the same folder writes too. A journal
    // that cannot be used is said once, under the table, and everything else goes on.
    m_journalPath = QFileInfo(FileLocations::current().config()).absoluteDir().filePath(
        FleetJournal::defaultFileName());
    if (m_journal.open(m_journalPath)) {
        m_session->setJournal(&m_journal, health::loadThresholds());
    } else {
        m_runSummary->setText(m_journal.errorText());
        m_runSummary->setVisible(true);
    }
    // What the journal records also goes to the broker of [MQTT], through its outbox; the
    // line under the table says how that goes.
    const MqttSettings mqttSettings = mqtt::loadSettings();
    if (mqttSettings.enabled && m_journal.isOpen()) {
        m_session->setPublishing(mqttSettings.topicPrefix, mqttSettings.qos,
                                 mqttSettings.publishRows);
        m_publisher = std::make_unique<MqttPublisher>(m_journalPath, mqttSettings);
        connect(m_publisher.get(), &MqttPublisher::stateChanged, m_mqttState, &QLabel::setText);
        connect(m_session, &FleetSession::sensorOutcome, m_publisher.get(), &MqttPublisher::wake);
        m_publisher->start();
        m_mqttState->setText(m_publisher->stateLine());
        m_mqttState->show();
    }

    if (settings::contains(settings::key::DestFolder)) {
        const QString folder = settings::readString(settings::key::DestFolder);
        m_folderEdit->setText(folder);
        output_dir = QDir(folder);
    } else {
        m_folderEdit->setText(FileLocations::current().outputFolder());
        output_dir = QDir(FileLocations::current().outputFolder());
    }
    syncChoice();
    linkBusyChanged(m_link->isBusy());
    m_table->fitColumns();
    each_sec();
    m_tick->start(500);
    // Told once the window is up; such a channel is written unscaled meanwhile.
    const QStringList catalogue = catalogueWarnings();
    if (!catalogue.isEmpty())
        QMetaObject::invokeMethod(
            this,
            [this, catalogue] {
                Dialogs::warning(this, QStringLiteral("Sensor Catalogue"),
                                 catalogue.join(QLatin1Char('\n')));
            },
            Qt::QueuedConnection);
}

managewirelessdata::~managewirelessdata()
{
    // The children go with the widget, the table and its cells among them; what they say on
    // their way out is not the operator's.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
    // The journal goes before the session, a child, does.
    m_session->setJournal(nullptr, {});
    // The advanced window has no parent to take it along.
    if (advanced_window) {
        advanced_window->disconnect(this);
        delete advanced_window.data();
    }
}

void managewirelessdata::buildLayout()
{
    // As wide and high as the window: the table is what the operator works in.
    setMinimumSize(1000, 600);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_connection);

    auto *clockRow = new QHBoxLayout;
    clockRow->addWidget(new QLabel(QStringLiteral("      Current PC Time : ")));
    clockRow->addWidget(m_clock);
    clockRow->addStretch();
    layout->addLayout(clockRow);

    const QDateTime now = QDateTime::currentDateTime();
    m_from->setDisplayFormat(QStringLiteral("dd.MM.yyyy   hh:mm"));
    m_to->setDisplayFormat(QStringLiteral("dd.MM.yyyy  hh:mm"));
    for (QDateTimeEdit *edit : {m_from, m_to}) {
        edit->setCalendarPopup(true);
        edit->setMinimumDateTime(now.addYears(-10));
        edit->setMaximumDateTime(now.addDays(2));
    }
    m_from->setDateTime(now.addDays(-1));
    m_to->setDateTime(now.addSecs(60));

    auto *actions = new QVBoxLayout(m_actionGroup);
    auto *settingsLine = new QHBoxLayout;
    for (QCheckBox *box : {m_setTime, m_selectChannels, m_changePeriod, m_clearData})
        settingsLine->addWidget(box);
    settingsLine->addStretch();
    actions->addLayout(settingsLine);
    auto *downloadLine = new QHBoxLayout;
    downloadLine->addWidget(m_downloadAll);
    downloadLine->addWidget(m_downloadNew);
    downloadLine->addStretch();
    m_downloadNew->setToolTip(
        QStringLiteral("Only what each sensor recorded since the last collection, appended to its "
                       "archive (the \"archive\" folder in the output folder, one file per "
                       "recording)"));
    actions->addLayout(downloadLine);
    auto *windowLine = new QHBoxLayout;
    windowLine->addWidget(m_downloadBetween);
    windowLine->addWidget(m_from);
    windowLine->addWidget(new QLabel(QStringLiteral(" to ")));
    windowLine->addWidget(m_to);
    windowLine->addStretch();
    actions->addLayout(windowLine);
    layout->addWidget(m_actionGroup);
    // The model follows every box first, so that what the box slots do sees the new choice.
    for (QCheckBox *box : {m_setTime, m_selectChannels, m_changePeriod, m_clearData, m_downloadAll,
                           m_downloadBetween, m_downloadNew})
        connect(box, &QCheckBox::toggled, this, &managewirelessdata::syncChoice);
    for (QDateTimeEdit *edit : {m_from, m_to})
        connect(edit, &QDateTimeEdit::dateTimeChanged, this, &managewirelessdata::syncChoice);
    connect(m_setTime, &QCheckBox::stateChanged, this, &managewirelessdata::state_change_set_time);
    connect(m_changePeriod, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_setperiode);
    connect(m_clearData, &QCheckBox::stateChanged, this, &managewirelessdata::state_change_clrdata);
    connect(m_downloadAll, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_dl_all_data);
    connect(m_downloadBetween, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_dl_data_between);
    connect(m_downloadNew, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_dl_new_data);
    connect(m_selectChannels, &QCheckBox::stateChanged, this,
            &managewirelessdata::state_change_set_data);

    auto *folderLine = new QHBoxLayout;
    folderLine->addWidget(m_selectFolder);
    folderLine->addWidget(m_folderEdit);
    layout->addLayout(folderLine);
    connect(m_selectFolder, &QPushButton::clicked, this,
            &managewirelessdata::button_select_folder_clicked);
    connect(m_folderEdit, &QLineEdit::textEdited, this, &managewirelessdata::folder_changed);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_sendAction);
    for (QPushButton *b : {m_detect, m_import, m_export}) {
        b->setFixedWidth(300);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    m_detect->hide();

    // A list box shows only once its list has something: 25 empty boxes would take the
    // table's rows and 25 Tab stops.
    auto *grid = new QGridLayout(m_rssiGroup);
    const int perRow[4] = {7, 6, 6, 6};
    for (int line = 0; line < 4; ++line)
        for (int col = 0; col < perRow[line]; ++col) {
            auto *combo = new QComboBox;
            combo->hide();
            m_rssiCombos << combo;
            grid->addWidget(combo, line, col);
        }
    m_rssiGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    layout->addWidget(m_rssiGroup);
    m_rssiGroup->hide();
    layout->addWidget(m_dongleLevel);
    m_dongleLevel->hide();

    layout->addWidget(m_table, 1);

    // One line under the table, so that the table keeps its rows on a 768-pixel screen. The
    // elapsed time stays once the run is over: how long it took is worth reading then too.
    auto *progressLine = new QHBoxLayout;
    m_runProgress->setTextVisible(true);
    m_runProgress->hide();
    m_elapsed->hide();
    progressLine->addWidget(m_runProgress, 1);
    progressLine->addWidget(m_elapsed);
    layout->addLayout(progressLine);
    m_runSummary->setWordWrap(true);
    m_runSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_runSummary->hide();
    layout->addWidget(m_runSummary);
    m_mqttState->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_mqttState->hide();
    layout->addWidget(m_mqttState);
}

void managewirelessdata::showRunProgress()
{
    const RunProgress &p = m_session->progress();
    const bool running = m_hold == Hold::Run && p.isRunning();
    if (running) {
        m_runProgress->setRange(0, p.maximum());
        m_runProgress->setValue(p.value());
        m_runProgress->setFormat(p.barText());
        m_elapsed->show();
    }
    m_runProgress->setVisible(running);
    if (!m_elapsed->isHidden())
        m_elapsed->setText(p.elapsedText());
}

void managewirelessdata::showRunSummary(const RunSummary &summary)
{
    QStringList lines;
    for (const SensorSummary &s : summary.sensors) {
        QStringList told;
        if (!s.pagesText.isEmpty())
            told << s.pagesText;
        told << s.archiveNotes;
        for (const archive::Gap &g : s.gaps)
            told << archive::gapText(g);
        if (!told.isEmpty())
            lines << SensorListFile::section(uint16_t(s.serialNumber)) + QStringLiteral(": ") +
                         told.join(QStringLiteral(", "));
    }
    m_runSummary->setText(lines.isEmpty()
                              ? QString()
                              : QStringLiteral("Last run: ") + lines.join(QStringLiteral("; ")));
    m_runSummary->setVisible(!lines.isEmpty());
}

QSize managewirelessdata::sizeHint() const
{
    // Wide enough for every column without scrolling.
    const QMargins m = layout()->contentsMargins();
    return QSize(std::max(m_table->fullWidth() + m.left() + m.right(), minimumWidth()),
                 QWidget::sizeHint().height());
}

void managewirelessdata::tellLater(const QString &title, const QString &text,
                                   QMessageBox::Icon icon)
{
    QMetaObject::invokeMethod(
        this,
        [this, title, text, icon] {
            Dialogs::current().message(icon, this, title, text, QMessageBox::Ok);
        },
        Qt::QueuedConnection);
}

void managewirelessdata::enter_serial_number(int row, const QString &typed)
{
    if (row < 0 || row > m_model->size())
        return;
    const FM::Entered e = m_model->enter_serial_number(typed, m_model->isSensorRow(row) ? row : -1);
    if (m_hold != Hold::None)
        return;
    if (e.outcome == FM::Entered::Invalid)
        tellLater(QStringLiteral("Error SN"), sensorlist::TypedSerialNumberRule);
    // Its own number typed again over a row changes nothing and needs no word.
    if (e.outcome == FM::Entered::Listed && m_model->find_row(e.serialNumber) != row)
        tellLater(QStringLiteral("Error SN"),
                  QStringLiteral("Sensor %1 is already in the list").arg(hex4(e.serialNumber)),
                  QMessageBox::Warning);
    if (e.outcome == FM::Entered::Full)
        tellLater(QStringLiteral("Sensor List Full"),
                  QStringLiteral("The sensor list holds at most %1 sensors: remove a sensor "
                                 "before adding %2")
                      .arg(FM::MaxSensors)
                      .arg(hex4(e.serialNumber)));
}

int managewirelessdata::insert_sensor(uint16_t serialNumber)
{
    return m_model->insert_sensor(serialNumber);
}

void managewirelessdata::remove_row(int row)
{
    m_model->remove_row(row);
}

uint32_t managewirelessdata::currentSerialNumber() const
{
    const QModelIndex current = m_table->currentIndex();
    if (!current.isValid() || current.row() >= sensorRows())
        return 0;
    return m_model->sensor(current.row()).record.serial_number;
}

void managewirelessdata::removeSelectedRows()
{
    QVector<uint32_t> serials;
    QStringList shown;
    const QModelIndexList selected = m_table->selectionModel()->selectedIndexes();
    for (const QModelIndex &index : selected) {
        const int r = index.row();
        if (r >= sensorRows())
            continue;
        const uint32_t sn = m_model->sensor(r).record.serial_number;
        if (!serials.contains(sn)) {
            serials << sn;
            shown << hex4(sn);
        }
    }
    qDebug() << QStringLiteral("Selected Rows : ") << shown;
    for (uint32_t sn : serials)
        remove_row(find_row(sn));
    m_table->clearSelection();
}

void managewirelessdata::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Delete) {
        if (m_hold == Hold::None)
            removeSelectedRows();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool managewirelessdata::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        keyPressEvent(static_cast<QKeyEvent *>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void managewirelessdata::describe(int row, int type)
{
    if (m_model->isSensorRow(row))
        m_model->edit(row).type = describeType(type);
}

void managewirelessdata::fill_channel_selector(int row, bool check_all)
{
    m_model->fill_channel_selector(row, check_all);
}

void managewirelessdata::fill_period_selector(int row, int item)
{
    m_model->fill_period_selector(row, item);
}

int managewirelessdata::find_row(uint32_t serialNumber) const
{
    return m_model->find_row(serialNumber);
}

void managewirelessdata::set_status(int row, const QString &text, FleetModel::Tone tone)
{
    m_model->set_status(row, text, tone);
}

void managewirelessdata::set_rssi_list(int index, const QStringList &items)
{
    QComboBox *combo = m_rssiCombos.value(index);
    if (!combo)
        return;
    combo->clear();
    combo->addItems(items);
    combo->setVisible(!items.isEmpty());
}

void managewirelessdata::show_rssi_lists()
{
    m_session->showRssiLists();
}

// A view shows its title, then its entries; a relay that hears nobody takes no place.
void managewirelessdata::showRssiViews(const QVector<radiopaths::ListView> &views)
{
    for (int i = 0; i < m_rssiCombos.size(); ++i) {
        const radiopaths::ListView view = views.value(i);
        set_rssi_list(i,
                      view.items.isEmpty() ? QStringList() : QStringList(view.title) + view.items);
    }
}

void managewirelessdata::reset_marks()
{
    m_model->reset_marks();
}

void managewirelessdata::channelsEdited(int row, const QStringList &items)
{
    m_model->setCheckedChannels(row, items);
    datarec_changed();
}

void managewirelessdata::periodEdited(int row, int index)
{
    m_model->setPeriodItem(row, index);
    periode_changed();
}

void managewirelessdata::periode_changed()
{
    if (m_hold != Hold::None || m_table->isFilling())
        return;
    if (m_model->track_period_changes())
        m_changePeriod->setChecked(true);
}

void managewirelessdata::datarec_changed()
{
    if (m_hold != Hold::None || m_table->isFilling())
        return;
    if (m_model->track_channel_changes())
        m_selectChannels->setChecked(true);
}

void managewirelessdata::legacy_mode_changed(int row, bool checked)
{
    if (m_model->isSensorRow(row))
        m_model->edit(row).mode_flag = checked;
}

void managewirelessdata::button_send_action_clicked()
{
    if (m_hold == Hold::Run) {
        stop_run();
        return;
    }
    if (sensorRows() == 0) {
        Dialogs::warning(this, QStringLiteral("Empty List"),
                         QStringLiteral("The sensor list is empty, please add sensor manually or "
                                        "launch sensor auto-detection"));
        return;
    }
    if (const QString why = windowProblem(); !why.isEmpty()) {
        Dialogs::warning(this, QStringLiteral("Download Window"), why);
        return;
    }
    m_detectAllowed = false;
    m_actionGroup->setEnabled(false);
    // Set before the table is locked: what locking changes in the cells is not the operator's.
    m_hold = Hold::Run;
    m_table->lock();
    m_tick->start(500);
    m_sendAction->setText(ActionBlinkText);
    m_sendAction->setStyleSheet(QStringLiteral("font-weight: bold;color: red"));
    m_table->clearSelection();
    applyBusy();

    syncChoice();
    m_session->setRunSettings({output_dir.path(), pdc_enabled, debug_enabled});
    // Without a dongle nothing runs: the controls come back at once.
    if (!m_session->runActions())
        runStopped();
}

void managewirelessdata::stop_run()
{
    // The run closes the files, makes the dongle forget the sensors and the session gives the
    // controls back (runStopped); the LoRa run also cuts its transaction short.
    if (m_session->isRunning())
        m_session->stop();
    else if (m_hold == Hold::Run)
        runStopped();
}

void managewirelessdata::runStopped()
{
    m_actionGroup->setEnabled(true);
    m_detectAllowed = true;
    m_table->giveBack();
    m_sendAction->setText(SendActionText);
    m_sendAction->setStyleSheet(QStringLiteral("color: black"));
    m_hold = Hold::None;
    applyBusy();
    showRunProgress();
    emit button_sa_clicked();
}

void managewirelessdata::button_detect_sensor_clicked()
{
    if (m_hold == Hold::Detection) {
        stopDetection();
        return;
    }
    if (m_hold == Hold::Run)
        return;
    m_sendActionAllowed = false;
    // Set before the table is locked: what locking changes in the cells is not the operator's.
    m_hold = Hold::Detection;
    m_table->lock();
    m_tick->start(500);
    m_detect->setText(DetectBlinkText);
    m_detect->setStyleSheet(QStringLiteral("font-weight: bold;color: red"));
    m_table->clearSelection();
    applyBusy();
    // Returns once the detection is over: stopped from here, out of passes, or through a port
    // that closed or never had an 802.15.4 dongle.
    m_session->detect();
    if (m_hold == Hold::Detection)
        stopDetection();
}

// The tick goes on after a detection: it drives the clock and the RSSI lists, which would
// otherwise stand still until the next run.
void managewirelessdata::stopDetection()
{
    m_hold = Hold::None;
    if (m_session->isDetecting())
        m_session->stop();
    m_sendActionAllowed = m_link->isOpen();
    m_table->giveBack();
    m_detect->setText(DetectText);
    m_detect->setStyleSheet(QStringLiteral("color: black"));
    applyBusy();
}

void managewirelessdata::com_slot()
{
    m_sendActionAllowed = m_link->isOpen();
    applyBusy();
    if (!m_link->isOpen()) {
        m_detect->hide();
        m_rssiGroup->hide();
        m_dongleLevel->hide();
        return;
    }
    const bool api = m_link->linkMode() == ManageSerialPort::Api802154;
    m_detect->setVisible(api);
    m_rssiGroup->setVisible(api);
    m_dongleLevel->setVisible(!api);
}

// While the link is busy no control may start another exchange; the button of the operation
// under way stays usable, as it is how the operator interrupts it.
void managewirelessdata::linkBusyChanged(bool busy)
{
    m_linkBusy = busy;
    applyBusy();
}

void managewirelessdata::applyBusy()
{
    const bool busy = m_linkBusy;
    m_sendAction->setEnabled(m_sendActionAllowed && (m_hold == Hold::Run || !busy));
    m_detect->setEnabled(m_detectAllowed && (m_hold == Hold::Detection || !busy));
    m_import->setEnabled(!busy);
    m_export->setEnabled(!busy);
}

void managewirelessdata::new_lora_frame()
{
    if (const auto report = lora::parseRadioReport(m_link->lastLoraFrame()))
        m_dongleLevel->setText(QStringLiteral("Dongle RSSI: %1 dbm").arg(report->rssiDbm));
}

void managewirelessdata::open_window()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (QDateTimeEdit *edit : {m_from, m_to}) {
        edit->setMinimumDateTime(now.addYears(-10));
        edit->setMaximumDateTime(now.addDays(2));
    }
}

void managewirelessdata::each_sec()
{
    const QDateTime now = QDateTime::currentDateTime();
    m_clock->setText(now.toString(ClockFormat));
    if (--m_limitCountdown <= 0) {
        m_limitCountdown = LimitTicks;
        m_from->setMaximumDateTime(now.addDays(2));
        m_to->setMaximumDateTime(now.addDays(2));
    }
    if (m_hold == Hold::Run)
        m_sendAction->setText(m_blink ? QString() : ActionBlinkText);
    if (m_hold == Hold::Detection)
        m_detect->setText(m_blink ? QString() : DetectBlinkText);
    showRunProgress();
    if (m_blink)
        m_session->tick();
    if (m_blink) {
        m_blink = false;
        show_rssi_lists();
        if (sub_window_open && m_hold != Hold::Run && --m_relayCountdown <= 0) {
            m_relayCountdown = RelayTicks;
            emit refresh_relais();
        }
    } else {
        m_blink = true;
    }
}

void managewirelessdata::close_com()
{
    if (m_hold == Hold::Run)
        stop_run();
    if (m_hold == Hold::Detection)
        stopDetection();
    LinkWait::pauseFor(200);
}

void managewirelessdata::shutdown()
{
    // A sub-window ends its exchange with the device as it closes, and says so to this table,
    // which lets it go.
    if (advanced_window)
        advanced_window->close();
    if (waveform_window)
        waveform_window->close();
    qDebug() << QStringLiteral("folder ok :") << folder_checked;
    if (folder_checked)
        Dialogs::saveSetting(this, settings::key::DestFolder, output_dir.absolutePath());
    rememberWindowPosition(this, settings::key::DataWinX, settings::key::DataWinY);
    const QString snapshot = FileLocations::current().snapshot();
    if (!m_model->write_snapshot(snapshot))
        Dialogs::notSaved(this, QStringLiteral("The sensor list"), snapshot);
    uncheck_action_boxes();
    m_tick->stop();
    LinkWait::pauseFor(50);
    if (m_hold == Hold::Run)
        stop_run();
    if (m_hold == Hold::Detection)
        stopDetection();
}
