#include "fleetmodel.h"
#include "hextext.h"
#include "sensortext.h"

#include "commandset.h"
#include "periods.h"

#include <QDebug>
#include <QSettings>
#include <algorithm>

const QString FleetModel::WaitingForAction = QStringLiteral("Waiting for action");

QString FleetModel::Sensor::periodText() const
{
    return periodsListed ? periods::text(periodItem) : QString();
}

FleetModel::FleetModel(QObject *parent) : QObject(parent)
{
    m_sensors.reserve(MaxSensors);
}

FleetModel::~FleetModel() = default;

int FleetModel::find_row(uint32_t serialNumber) const
{
    for (int r = size() - 1; r >= 0; --r)
        if (m_sensors[size_t(r)]->record.serial_number == serialNumber)
            return r;
    return -1;
}

const FleetModel::Marks &FleetModel::marks(int row) const
{
    return isSensorRow(row) ? sensor(row).marks : m_entry.marks;
}

FleetModel::Aspect FleetModel::aspectOf(Field field)
{
    switch (field) {
    case Field::Channels:
        return Aspect::Channels;
    case Field::Period:
        return Aspect::Period;
    default:
        return Aspect::Texts;
    }
}

int FleetModel::insert_sensor(uint16_t serialNumber)
{
    if (serialNumber == 0 || size() >= MaxSensors || find_row(serialNumber) >= 0)
        return -1;
    QVector<uint32_t> serials;
    for (const auto &s : m_sensors)
        serials << s->record.serial_number;
    const int at = sensorlist::insertionIndex(serials, serialNumber);
    auto s = std::make_unique<Sensor>();
    s->record = SensorRecord::entered(serialNumber);
    // A sensor added while actions are chosen waits for them like the others.
    if (m_choice.setTime)
        s->marks[size_t(Field::Clock)] = Mark::Waiting;
    if (m_choice.clearData)
        s->marks[size_t(Field::Start)] = Mark::Waiting;
    if (m_choice.setTime || m_choice.clearData || m_choice.anyDownload())
        s->status = FleetModel::WaitingForAction;
    describe(*s, true);
    emit sensorAboutToBeInserted(at);
    m_sensors.insert(m_sensors.begin() + at, std::move(s));
    emit sensorInserted(at);
    return at;
}

FleetModel::Entered FleetModel::enter_serial_number(const QString &typed, int replacing)
{
    Entered e;
    const std::optional<uint16_t> parsed = sensorlist::parseTypedSerialNumber(typed);
    if (!parsed)
        return e;
    e.serialNumber = *parsed;
    if (find_row(e.serialNumber) >= 0) {
        e.outcome = Entered::Listed;
    } else if (!isSensorRow(replacing) && size() >= MaxSensors) {
        qDebug() << QStringLiteral("/!\\ sensor list full, refused :") << hex4(e.serialNumber);
        e.outcome = Entered::Full;
    } else {
        remove_row(replacing);
        e.outcome = Entered::Added;
        e.row = insert_sensor(e.serialNumber);
    }
    return e;
}

void FleetModel::remove_row(int row)
{
    if (!isSensorRow(row))
        return;
    m_files.close(sensor(row).record.serial_number);
    emit sensorAboutToBeRemoved(row);
    m_sensors.erase(m_sensors.begin() + row);
    emit sensorRemoved(row);
}

void FleetModel::set_status(int row, const QString &text, Tone tone)
{
    if (!isSensorRow(row)) {
        if (row != size() || (m_entry.status == text && m_entry.tone == tone))
            return;
        m_entry.status = text;
        m_entry.tone = tone;
        emit changed(row, Aspect::Texts);
        return;
    }
    Sensor &s = edit(row);
    s.showingProgress = false;
    if (s.status == text && s.tone == tone)
        return;
    const bool news = s.status != text;
    s.status = text;
    s.tone = tone;
    emit changed(row, Aspect::Texts);
    if (news)
        emit statusChanged(row);
}

void FleetModel::show_progress(int row, int percent)
{
    if (!isSensorRow(row))
        return;
    Sensor &s = edit(row);
    s.record.download_percent = percent;
    const QString text = QString::number(percent) + QStringLiteral(" % downloaded");
    s.showingProgress = true;
    if (s.status == text && s.tone == Tone::Plain)
        return;
    s.status = text;
    s.tone = Tone::Plain;
    emit changed(row, Aspect::Texts);
    emit statusChanged(row);
}

void FleetModel::setMark(int row, Field field, Mark mark)
{
    if (row < 0 || row > size() || field == Field::Count)
        return;
    Mark &m = isSensorRow(row) ? edit(row).marks[size_t(field)] : m_entry.marks[size_t(field)];
    if (m == mark)
        return;
    m = mark;
    emit changed(row, aspectOf(field));
}

void FleetModel::setReport(int row, const Report &report)
{
    if (!isSensorRow(row) || sensor(row).report == report)
        return;
    edit(row).report = report;
    emit changed(row, Aspect::Texts);
}

void FleetModel::setPathShown(int row, const PathShown &path)
{
    if (!isSensorRow(row))
        return;
    Report report = sensor(row).report;
    report.path = path;
    setReport(row, report);
}

void FleetModel::setMemoryTexts(int row, const QString &address, const QString &value)
{
    if (!isSensorRow(row) && row != size())
        return;
    QString &a = isSensorRow(row) ? edit(row).memoryAddress : m_entry.memoryAddress;
    QString &v = isSensorRow(row) ? edit(row).memoryValue : m_entry.memoryValue;
    if (a == address && v == value)
        return;
    a = address;
    v = value;
    emit changed(row, Aspect::Texts);
}

void FleetModel::setCheckedChannels(int row, const QStringList &channels)
{
    if (!isSensorRow(row))
        return;
    Sensor &s = edit(row);
    // Only what the selector offers can be checked, and in its order.
    QStringList checked;
    if (s.record.serial_number != 0)
        for (const QString &c : s.type.selectableChannels())
            if (channels.contains(c))
                checked << c;
    if (checked == s.checkedChannels)
        return;
    s.checkedChannels = checked;
    emit changed(row, Aspect::Channels);
}

void FleetModel::setPeriodItem(int row, int item)
{
    if (!isSensorRow(row))
        return;
    Sensor &s = edit(row);
    const int shown = s.periodsListed && item >= 0 && item < periods::Count ? item : -1;
    if (shown == s.periodItem)
        return;
    s.periodItem = shown;
    emit changed(row, Aspect::Period);
}

void FleetModel::setModeFlag(int row, bool checked)
{
    if (!isSensorRow(row) || sensor(row).mode_flag == checked)
        return;
    edit(row).mode_flag = checked;
    emit changed(row, Aspect::Mode);
}

void FleetModel::fill_channel_selector(int row, bool check_all)
{
    if (!isSensorRow(row))
        return;
    describe(edit(row), check_all);
    emit changed(row, Aspect::All);
}

void FleetModel::describe(Sensor &s, bool check_all)
{
    s.checkedChannels.clear();
    if (s.record.serial_number != 0) {
        s.type = describeType(s.record.sensor_type);
        if (check_all)
            s.checkedChannels = s.type.selectableChannels();
    }
    s.sensor_channel_mask = 0;
    s.sensor_period_item = 255;
}

void FleetModel::fill_period_selector(int row, int item)
{
    if (!isSensorRow(row))
        return;
    Sensor &s = edit(row);
    s.periodsListed = true;
    s.periodItem = item >= 0 && item < periods::Count ? item : -1;
    emit changed(row, Aspect::Period);
}

void FleetModel::clear_period_selector(int row)
{
    if (!isSensorRow(row))
        return;
    edit(row).periodsListed = false;
    edit(row).periodItem = -1;
    emit changed(row, Aspect::Period);
}

void FleetModel::setChoice(const actionblock::Choice &choice)
{
    m_choice = choice;
}

void FleetModel::markWaiting(Field field, bool marked)
{
    for (int r = 0; r <= size(); ++r)
        setMark(r, field, marked ? Mark::Waiting : Mark::None);
    if (marked)
        waitingForAction(true);
}

void FleetModel::markChosenTimes()
{
    for (int r = 0; r <= size(); ++r) {
        if (m_choice.setTime)
            setMark(r, Field::Clock, Mark::Waiting);
        if (m_choice.clearData)
            setMark(r, Field::Start, Mark::Waiting);
    }
}

void FleetModel::waitingForAction(bool entryToo)
{
    const int rows = entryToo ? size() + 1 : size();
    for (int r = 0; r < rows; ++r)
        set_status(r, FleetModel::WaitingForAction);
}

void FleetModel::reset_marks()
{
    for (int r = 0; r < size(); ++r) {
        for (size_t f = 0; f < size_t(Field::Count); ++f) {
            const auto field = Field(f);
            if (field != Field::Battery || sensor(r).mark(field) == Mark::Warning)
                setMark(r, field, Mark::None);
        }
        if (sensor(r).tone != Tone::Plain) {
            edit(r).tone = Tone::Plain;
            emit changed(r, Aspect::Texts);
        }
    }
}

bool FleetModel::track_period_changes()
{
    bool differs = false;
    for (int r = 0; r < size(); ++r) {
        const Sensor &s = sensor(r);
        if (s.record.sensor_type == 0)
            continue;
        if (s.periodItem == s.sensor_period_item) {
            setMark(r, Field::Period, Mark::Refreshed);
        } else {
            set_status(r, FleetModel::WaitingForAction);
            setMark(r, Field::Period, Mark::Waiting);
            differs = true;
        }
    }
    return differs;
}

bool FleetModel::track_channel_changes()
{
    bool differs = false;
    for (int r = 0; r < size(); ++r) {
        const Sensor &s = sensor(r);
        // A type the catalogue does not describe offers no channel to change.
        if (s.record.sensor_type == 0 || !s.type.known)
            continue;
        if (s.selectedMask() == s.sensor_channel_mask) {
            setMark(r, Field::Channels, Mark::Refreshed);
        } else {
            set_status(r, FleetModel::WaitingForAction);
            setMark(r, Field::Channels, Mark::Waiting);
            differs = true;
        }
    }
    return differs;
}

void FleetModel::selectorsChosen(Field field, bool chosen)
{
    if (chosen) {
        if (field == Field::Channels)
            track_channel_changes();
        else if (field == Field::Period)
            track_period_changes();
        return;
    }
    for (int r = 0; r < size(); ++r)
        if (sensor(r).mark(field) == Mark::Waiting)
            setMark(r, field, Mark::None);
}

void FleetModel::compute_selection(uint32_t serialNumber, Selection &selection) const
{
    const int r = find_row(serialNumber);
    if (r < 0)
        return;
    if (m_choice.selectChannels)
        selection.channelMask = sensor(r).selectedMask();
    if (m_choice.changePeriod)
        selection.periodCode =
            sensorlist::selectedPeriodCode(sensor(r).periodItem, sensor(r).record.period_index);
}

int FleetModel::build_param_payload(uint32_t serialNumber, const Selection &selection,
                                    command::Block &payload) const
{
    payload.fill(0);
    const int r = find_row(serialNumber);
    if (r < 0) {
        qDebug() << QStringLiteral("/!\\ send param, sensor not in the list") << hex4(serialNumber);
        return -1;
    }
    const Sensor &row = sensor(r);
    const SensorRecord &rec = row.record;
    actionblock::Sensor s;
    s.sensorType = rec.sensor_type;
    s.reportedPeriodCode = rec.period_index;
    s.reportedChannelMask = rec.channel_mask;
    s.selectedPeriodCode = selection.periodCode;
    s.selectedChannelMask = selection.channelMask;
    s.memoryAddress = row.memoryAddress;
    s.memoryValue = row.memoryValue;
    s.collectedUntil = row.collected_until;
    s.sensorClock = rec.sensor_clock;
    const actionblock::Payload p = actionblock::build(m_choice, s);
    payload = p.block;
    if (p.memoryWrite)
        qDebug() << QStringLiteral("eep") << p.memory.address << p.memory.value;
    else if (p.memory.requested && !p.memory.valid && p.block[command::FlagsByte] == 0)
        qDebug() << QStringLiteral("/!\\ eep refused, address") << s.memoryAddress
                 << QStringLiteral("value") << s.memoryValue;
    qDebug() << QStringLiteral("send param, sensor") << hex4(serialNumber)
             << QStringLiteral(" relais : ") << hex4(rec.relay_address);
    return rec.relay_address;
}

int FleetModel::mark_pending_changes()
{
    QVector<sensorlist::PendingRow> rows;
    for (const auto &s : m_sensors) {
        sensorlist::PendingRow p;
        p.sensorType = s->record.sensor_type;
        p.selectedMask = s->selectedMask();
        p.reportedMask = s->sensor_channel_mask;
        p.periodItem = s->periodItem;
        p.reportedPeriodItem = s->sensor_period_item;
        rows << p;
    }
    const sensorlist::PendingResult result = sensorlist::markPendingChanges(m_choice, rows);
    for (int r = 0; r < result.marks.size(); ++r) {
        Sensor &s = edit(r);
        s.set_time_pending |= result.marks[r].setTime;
        s.clear_pending |= result.marks[r].clear;
        s.change_pending |= result.marks[r].change;
    }
    m_pendingFailureRow = result.row;
    if (result.code != sensorlist::PendingResult::Ready)
        return result.code;
    for (int r = 0; r < size(); ++r)
        if (sensor(r).change_pending)
            setMark(r, Field::Serial, Mark::Waiting);
    return 0;
}

void FleetModel::clear_pending_marks()
{
    for (const auto &s : m_sensors) {
        s->set_time_pending = false;
        s->clear_pending = false;
        s->change_pending = false;
    }
}

void FleetModel::age_contacts()
{
    for (const auto &s : m_sensors) {
        SensorRecord &rec = s->record;
        if (rec.path_age < SensorRecord::CounterCeiling) {
            ++rec.path_age;
            if (rec.direct_age < SensorRecord::CounterCeiling)
                ++rec.direct_age;
        }
    }
}

void FleetModel::clear_snapshot(const QString &path)
{
    QSettings s(path, QSettings::IniFormat);
    s.setIniCodec("UTF-8");
    s.clear();
    s.sync();
}

bool FleetModel::write_snapshot(const QString &path) const
{
    QSettings s(path, QSettings::IniFormat);
    s.setIniCodec("UTF-8");
    s.setValue(QStringLiteral("NB_SENSOR"), QString::number(size() & 0xFF));
    // Beyond what the table shows, the keys a list file restores from, so that the next start
    // brings the list back as an import would.
    QString list;
    for (const auto &sensor : m_sensors)
        list += hex4(sensor->record.serial_number) + QLatin1Char(';');
    s.setValue(QStringLiteral("LIST_SENSOR"), list);
    for (const auto &sensor : m_sensors) {
        s.beginGroup(hex4(sensor->record.serial_number));
        s.setValue(QStringLiteral("Type_of_module"), sensor->type.title);
        s.setValue(QStringLiteral("Version"), sensortext::version(*sensor));
        s.setValue(QStringLiteral("Start_Time"), sensortext::recordingStart(*sensor));
        s.setValue(QStringLiteral("Current_Time"), sensortext::clock(*sensor));
        s.setValue(QStringLiteral("Recording_channels"), sensor->checkedChannels);
        s.setValue(QStringLiteral("Last_Values"), sensortext::lastValues(*sensor));
        s.setValue(QStringLiteral("Periode"), sensor->periodText());
        s.setValue(QStringLiteral("Nr._Pages"), sensortext::pages(*sensor));
        s.setValue(QStringLiteral("Vbat"), sensortext::battery(*sensor));
        s.setValue(QStringLiteral("Rssi"), sensortext::rssi(*sensor));
        s.setValue(QStringLiteral("Last_Status"), sensor->status);
        s.setValue(QStringLiteral("Periode_index"), sensor->record.period_index);
        s.setValue(QStringLiteral("Recording_channels_index"), sensor->record.channel_mask);
        s.endGroup();
    }
    s.sync();
    return s.status() == QSettings::NoError;
}

FleetModel::Decoded FleetModel::decode_pages(uint32_t serialNumber, int count, const uint8_t *data,
                                             int dataLength, const pagedecode::Options &options,
                                             const std::function<bool()> &create,
                                             const std::function<void()> &afterPage)
{
    int r = find_row(serialNumber);
    if (r < 0) {
        qDebug() << QStringLiteral("/!\\ pages of a sensor not in the list") << hex4(serialNumber);
        return Decoded::NotListed;
    }
    const QString writeError = QStringLiteral("Error writing data in file");
    if (!m_files.isOpen(serialNumber)) {
        SensorRecord &rec = edit(r).record;
        if (rec.current_page == rec.start_page)
            rec.samples_written = 0;
        if (!create || !create())
            return Decoded::NotCreated;
        // Creating may have asked the operator for a folder while the rows moved.
        r = find_row(serialNumber);
        if (r < 0)
            return Decoded::NotListed;
        const Sensor &s = sensor(r);
        if (!m_files.isArchive(serialNumber) &&
            !m_files.begin(serialNumber, s.record.ident, s.type.layout(s.record.sensor_type),
                           options)) {
            set_status(r, writeError, Tone::Bad);
            return Decoded::NotWritten;
        }
    }
    const SensorRecord &rec = sensor(r).record;
    const FrameOutcome outcome =
        m_files.decode(serialNumber, data, dataLength, count, rec.current_page, rec.end_page,
                       rec.page_count, afterPage);
    r = find_row(serialNumber);
    if (r < 0)
        return Decoded::NotListed;
    edit(r).record.samples_written += outcome.samples;
    if (outcome.samplesBeyondPage > 0)
        qDebug() << QStringLiteral("/!\\ page sample count beyond the page :")
                 << outcome.samplesBeyondPage;
    if (!outcome.written) {
        qDebug() << QStringLiteral("/!\\ data file write failed :")
                 << m_files.errorString(serialNumber);
        set_status(r, writeError, Tone::Bad);
        return Decoded::NotWritten;
    }
    return Decoded::Ok;
}
