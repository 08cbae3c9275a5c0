#include "sensortext.h"

#include "hextext.h"
#include "page.h"
#include "radiopaths.h"
#include "rowrefresh.h"
#include "sensoranswer.h"

namespace sensortext
{
namespace
{
const QString ClockFormat = QStringLiteral("dd/MM/yyyy hh:mm:ss");
} // namespace

QString serialNumber(const FleetModel::Sensor &s)
{
    return hex4(s.record.serial_number);
}

QString version(const FleetModel::Sensor &s)
{
    return s.report.version < 0 ? QString() : QString::number(s.report.version);
}

QString clock(const FleetModel::Sensor &s)
{
    return s.report.clocks ? rowrefresh::clockText(s.record.sensor_clock, s.clock_offset)
                           : QString();
}

QString recordingStart(const FleetModel::Sensor &s)
{
    return s.report.clocks ? s.record.record_start.toString(ClockFormat) : QString();
}

QString pages(const FleetModel::Sensor &s)
{
    return s.report.pageCount < 0 ? QString() : QString::number(s.report.pageCount);
}

QString battery(const FleetModel::Sensor &s)
{
    const int code = s.report.battery;
    return code < 0 || code > 15 ? QString() : QString::fromLatin1(page::batteryLabels[code]);
}


QString rssi(const FleetModel::Sensor &s)
{
    const FleetModel::PathShown &p = s.report.path;
    return p.shown ? radiopaths::rssi_cell_text(p.rssi, p.age, p.relayPosition) : QString();
}

QString lastValues(const FleetModel::Sensor &s)
{
    const QByteArray &a = s.record.answer;
    if (a.size() < answer::CheckedLength)
        return QString();
    const uint8_t mask = uint8_t(a[answer::ChannelMask]);
    return rowrefresh::lastValuesText(s.type, s.record.sensor_type, mask, a);
}

} // namespace sensortext
